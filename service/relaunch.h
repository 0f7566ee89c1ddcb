// Starting an approved program again in the interactive user's session.
#pragma once

struct Settings;

// Tries, in order: CreateProcessAsUserW with the console user's (linked) token on "winsta0\default";
// ShellExecuteExW "open" while impersonating that user; CreateProcessW by the service itself.
// program is a full path or a bare file name; directory may be null (none). True when any method
// started a process. Every step is logged.
bool relaunch_program(const Settings* s, const wchar_t* program, const wchar_t* directory);
