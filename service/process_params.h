// What a process was started with, read from outside before the watcher stops it: its command
// line and current folder, so that the relaunch brings the program back with the same document
// and in the same folder.
//
// Windows 8.1 and later give the command line with NtQueryInformationProcess
// (ProcessCommandLineInformation) and query access alone. Everything else (older systems, and
// the folder always) comes from the process parameters block its PEB points to: the PEB's
// address from ProcessBasicInformation, then ReadProcessMemory, which needs PROCESS_VM_READ and is
// refused for protected processes. Whatever cannot be read is reported missing; the relaunch then
// does what it did without it.
//
// Only the arguments are ever taken from the command line: the program started is the approved
// file, whatever the command line's first token says.
#pragma once
#include <stddef.h>
#include <stdint.h>

constexpr size_t process_command_line_cch = 32768;  // CreateProcess's limit, terminator included
constexpr size_t process_folder_cch = 1024;

struct ProcessParams {
    bool have_command_line;
    bool have_folder;
    wchar_t command_line[process_command_line_cch];
    wchar_t folder[process_folder_cch];
};

// --- the 64-bit layouts read from the other process (only the fields used) ---

struct RemoteUnicodeString {  // UNICODE_STRING
    uint16_t cb_length;
    uint16_t cb_maximum;
    uint32_t padding;
    uint64_t buffer;
};
static_assert(sizeof(RemoteUnicodeString) == 16, "UNICODE_STRING is 16 bytes on x64");

constexpr size_t peb_process_parameters_offset = 0x20;    // PEB.ProcessParameters
constexpr size_t parameters_current_folder_offset = 0x38;  // RTL_USER_PROCESS_PARAMETERS.CurrentDirectory.DosPath
constexpr size_t parameters_command_line_offset = 0x70;    // RTL_USER_PROCESS_PARAMETERS.CommandLine
constexpr size_t parameters_desktop_offset = 0xC0;         // RTL_USER_PROCESS_PARAMETERS.DesktopInfo

constexpr size_t process_desktop_cch = 260;

// --- pure functions ---

// Whether a string read from another process can be taken into cch_out units: an even length no
// larger than its maximum, with room for a terminator, and a buffer when it is not empty.
bool remote_string_usable(const RemoteUnicodeString* s, size_t cch_out);
// Where the arguments start: after the first token (a quoted one runs to its closing quote, an
// unquoted one to the first space or tab), as the C runtime takes argv[0]. The text from there
// on, spaces included.
const wchar_t* arguments_after_program(const wchar_t* command_line);
// "\"<program>\"" followed by the arguments (a space put before them when they do not start with
// one). False (out untouched) when it does not fit cch_out or CreateProcess's 32,767 characters.
bool relaunch_command_line(const wchar_t* program, const wchar_t* arguments, wchar_t* out, size_t cch_out);
// A current folder as the process holds it ("C:\work\") for CreateProcess: the trailing
// backslash removed except after a drive ("C:\" stays). False (out untouched) for an empty one.
bool folder_for_start(const wchar_t* folder, wchar_t* out, size_t cch_out);

// Whether the desktop a process was started for (STARTUPINFO.lpDesktop, kept in its process
// parameters) is its session's default one, where a relaunch puts it: empty (the default desktop
// of its window station), "Default" or "WinSta0\Default", ignoring case.
bool desktop_is_default(const wchar_t* desktop);

// --- Win32 (process_params_win.cpp) ---

// Reads what it can of the process's command line and folder into out (the missing parts with
// their have_ flag false). query is a handle with PROCESS_QUERY_LIMITED_INFORMATION; pid names the
// process for a second open with PROCESS_VM_READ, which is used only when its creation time is the
// query handle's (the id may have been given to another process meanwhile).
void read_process_params(void* query, uint32_t pid, ProcessParams* out);
// The desktop the process was started for, as its process parameters name it; false (out
// untouched) when it cannot be read. query and pid as for read_process_params.
bool read_process_desktop(void* query, uint32_t pid, wchar_t* out, size_t cch_out);
