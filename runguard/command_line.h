// runguard's own command line, the command line it builds for the command it runs, the folders it
// searches for a bare executable name, and the service's reason made fit for a console.
// Pure text work: no Win32 calls, so every rule here is unit-tested without pipes or processes.
#pragma once
#include <stddef.h>

// Buffer capacities in UTF-16 units, terminator included.
constexpr size_t resolved_path_cch = 1024;
constexpr size_t argument_line_cch = 2048;
constexpr size_t current_directory_cch = 1024;
constexpr size_t command_line_cch = 3072;

// runguard's exit codes of its own; any other code is the command's.
enum RunguardExit : int {
    runguard_exit_usage = 1,          // bad invocation, or a command line too long to pass on whole
    runguard_exit_unresolved = 2,     // the executable cannot be resolved
    runguard_exit_no_service = 3,     // the service cannot be reached
    runguard_exit_refused = 4,        // the service refused the command
    runguard_exit_start_failed = 5,   // allowed, but the process cannot be created
};

// `runguard run [ignored...] -- <exe> [args...]`, taken apart. Points into the argv it came from.
struct RunCommand {
    const wchar_t* executable;        // the argument after the first `--`, as typed
    const wchar_t* const* arguments;  // the command's own arguments (argument_count of them)
    int argument_count;
};

// argv[0] is runguard itself. True when argv[1] is `run` (any case), there are at least three
// arguments after the program name, and a `--` found from argv[2] on is followed by the executable.
// On false (a usage error) command is untouched.
bool parse_run_command(int argc, const wchar_t* const* argv, RunCommand* command);

// Units of arg once quoted for a Windows command line (no terminator). It is written as-is unless
// it is empty or holds a space, tab or quotation mark; then it is enclosed in quotation marks,
// each quotation mark inside is preceded by a backslash, and backslashes that precede a quotation
// mark or the closing one are doubled. CommandLineToArgvW (and the C runtime) give arg back.
size_t quoted_argument_cch(const wchar_t* arg);

// The arguments quoted as above and joined by single spaces: the argument line sent to the
// service and passed to the command. False when it does not fit in cch_line units with its
// terminator (line is then untouched): a line cut short would run a different command.
bool build_argument_line(const wchar_t* const* arguments, int count, wchar_t* line, size_t cch_line);

// "\"<path>\" <argument line>", or "\"<path>\"" alone for an empty argument line. False, with
// command_line untouched, when the path is empty or holds a quotation mark (it could not be
// enclosed) or the whole does not fit in cch_command_line units with its terminator.
bool build_command_line(const wchar_t* path, const wchar_t* argument_line, wchar_t* command_line,
                        size_t cch_command_line);

// True when the name has a folder part: a path separator (\ or /), a drive ("C:tool.exe"), or is
// "." or "..". Only such a name is looked up relative to the current folder; a bare name never is,
// so a file planted in the current folder cannot stand in for a program found on the search path.
bool names_a_path(const wchar_t* name);

// The next folder of a PATH-style list (entries separated by ';', surrounding quotation marks
// removed) that is absolute: "C:\dir" or "\\server\share\dir". Relative entries (".", "bin",
// "C:dir", "\dir") and empty ones depend on the current folder or drive and are skipped. *cursor
// moves past the entry returned; false at the end of the list (or when an entry does not fit
// cch_folder, which is then skipped too). A null *cursor counts as an empty list.
bool next_absolute_folder(const wchar_t** cursor, wchar_t* folder, size_t cch_folder);

// The service's reason as runguard prints it: at most cch_reason units of reason, with every
// control character (U+0000-U+001F, U+007F-U+009F) removed, so a reason can neither break the line
// nor send escape sequences to the console. Cut to fit cch_out (which must be at least 1).
void printable_reason(const wchar_t* reason, size_t cch_reason, wchar_t* out, size_t cch_out);
