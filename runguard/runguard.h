// runguard's Win32 side: finding the executable, asking the service, running the command.
#pragma once
#include <stddef.h>

// The executable the way runguard sends and starts it: name as typed when that names an existing
// file system object (GetFileAttributesW; it must fit in resolved_path_cch - 1 units), else found
// by SearchPathW in the default order with ".exe" as default extension; either way made a full
// path by GetFullPathNameW. False, with path untouched, when nothing is found or a step's result
// does not fit in resolved_path_cch - 1 units or in cch_path.
bool resolve_executable(const wchar_t* name, wchar_t* path, size_t cch_path);

// The whole of `runguard run -- <exe> [args...]`: messages on standard error, and the exit code
// (runguard's own, RunguardExit, or the command's).
int run_guarded(int argc, const wchar_t* const* argv);
