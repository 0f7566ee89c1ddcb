// runguard's Win32 side: finding the executable, asking the service, running the command.
#pragma once
#include <stddef.h>

// The executable the way runguard sends and starts it: made a full path by GetFullPathNameW, then
// the file's own final path (GetFinalPathNameByHandleW, DOS name, without the "\\?\" prefix). A name
// with a folder part (names_a_path) is taken relative to the current folder: as typed when it names
// an existing file system object, else with ".exe" added when it has no extension. A bare name is
// searched (".exe" added when it has no extension) in runguard's own folder, the system folders,
// the Windows folder and the absolute folders of PATH, never in the current folder. False, with
// path untouched, when nothing is found, the file cannot be opened, or a step's result does not fit
// in resolved_path_cch - 1 units or in cch_path.
bool resolve_executable(const wchar_t* name, wchar_t* path, size_t cch_path);

// The whole of `runguard run -- <exe> [args...]`: messages on standard error, and the exit code
// (runguard's own, RunguardExit, or the command's).
int run_guarded(int argc, const wchar_t* const* argv);
