// report_exit: a test program that runs a command from a Windows parent and reports its whole
// 32-bit exit code (seen from Linux, a Wine process's exit status keeps only its low 8 bits).
//   report_exit <command line>
// Everything after report_exit's own name on its command line goes verbatim to CreateProcessW,
// which finds the program as a command prompt would. When the command has ended, the last line
// on standard error is "exit code: <unsigned decimal>" and report_exit exits with 0. It exits
// with 1 ("cannot start: <error>") when the command cannot be created, 2 when none was given.
// With REPORT_EXIT_PID set, the first line on standard error is "started pid: <id>" as soon as the
// command is created, so tests can tell the process they started from any other start.
// REPORT_EXIT_DESKTOP names the desktop the command is started for (STARTUPINFO.lpDesktop); with
// REPORT_EXIT_JOB set the command runs in a job of its own that lets no process break away.
#include <windows.h>

#include "common/console.h"
#include "common/handle.h"
#include "common/text.h"
#include "tools/start_mark.h"

namespace {

// The command line after its first token, taken the way CommandLineToArgvW takes argv[0]:
// a quoted first token ends at the next quotation mark, an unquoted one at a space or tab.
const wchar_t* after_program_name(const wchar_t* command_line) {
    const wchar_t* p = command_line;
    if (*p == L'"') {
        ++p;
        while (*p != L'\0' && *p != L'"') ++p;
        if (*p == L'"') ++p;
    } else {
        while (*p != L'\0' && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

wchar_t child_command_line[32768];

}  // namespace

int wmain(int, wchar_t**) {
    write_start_mark();  // the test runner tells a Wine start failure from our result by it
    const wchar_t* tail = after_program_name(GetCommandLineW());
    if (tail[0] == L'\0') {
        console_eprint(L"usage: report_exit <command line>\n");
        return 2;
    }
    text_copy(child_command_line, tail);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    wchar_t desktop[256];
    DWORD cch_desktop = GetEnvironmentVariableW(L"REPORT_EXIT_DESKTOP", desktop, 256);
    if (cch_desktop != 0 && cch_desktop < 256) startup.lpDesktop = desktop;
    // A job that holds its processes: created before the command, which starts inside it.
    OwnedHandle job;
    if (GetEnvironmentVariableW(L"REPORT_EXIT_JOB", nullptr, 0) != 0) {
        job.reset(CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limit = {};  // no breakaway of any kind
        if (!job || !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limit, sizeof limit)) {
            console_eprint(L"cannot make the job: %lu\n", GetLastError());
            return 1;
        }
    }
    PROCESS_INFORMATION created = {};
    if (!CreateProcessW(nullptr, child_command_line, nullptr, nullptr, FALSE, job ? CREATE_SUSPENDED : 0, nullptr,
                        nullptr, &startup, &created)) {
        console_eprint(L"cannot start: %lu\n", GetLastError());
        return 1;
    }
    OwnedHandle process(created.hProcess);
    OwnedHandle thread(created.hThread);
    if (job && (!AssignProcessToJobObject(job.get(), process.get()) || ResumeThread(thread.get()) == DWORD(-1))) {
        console_eprint(L"cannot start in the job: %lu\n", GetLastError());
        TerminateProcess(process.get(), 1);
        return 1;
    }
    if (GetEnvironmentVariableW(L"REPORT_EXIT_PID", nullptr, 0) != 0)
        console_eprint(L"started pid: %lu\n", static_cast<unsigned long>(created.dwProcessId));
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) {
        console_eprint(L"cannot read the exit code: %lu\n", GetLastError());
        return 1;
    }
    console_eprint(L"exit code: %lu\n", code);
    return 0;
}
