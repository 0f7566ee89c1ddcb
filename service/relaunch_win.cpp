// Relaunch of an approved program. The service runs as LocalSystem in session 0, so a program
// started the ordinary way would run on no one's desktop under the wrong account. We start it with
// the console user's token on "winsta0\default" (the linked token, when there is one, is the full
// token of an administrator's split logon); failing that, the shell starts it while this thread
// impersonates the user; failing that too, the service starts it itself, so the user at least
// has the program. No environment block is built: the program inherits the service's environment.
#include "service/relaunch.h"

#include <windows.h>
#include <shellapi.h>
#include <wtsapi32.h>

#include "common/handle.h"
#include "common/log.h"
#include "common/session_token.h"
#include "common/settings.h"
#include "common/text.h"

namespace {

constexpr size_t command_line_cch = 1028;
constexpr DWORD no_console_session = 0xFFFFFFFF;

unsigned long ul(DWORD value) { return static_cast<unsigned long>(value); }

bool create_as_user(const Settings* s, HANDLE user_token, DWORD session, const wchar_t* program,
                    wchar_t* command_line, const wchar_t* directory) {
    OwnedHandle linked;
    TOKEN_LINKED_TOKEN link = {};
    DWORD cb = 0;
    if (GetTokenInformation(user_token, TokenLinkedToken, &link, sizeof link, &cb)) linked.reset(link.LinkedToken);
    OwnedHandle primary(session_primary_token(linked ? linked.get() : user_token, session));
    if (!primary) return false;
    DWORD pid = 0;
    if (!create_process_in_session(primary.get(), program, command_line, directory, &pid)) {
        log_event(s, L"relaunch CreateProcessAsUserW failed: %lu, trying ShellExec", ul(GetLastError()));
        return false;
    }
    log_event(s, L"relaunch ok pid=%lu session=%lu", ul(pid), ul(session));
    return true;
}

bool shell_as_user(const Settings* s, HANDLE user_token, DWORD session, const wchar_t* program,
                   const wchar_t* directory) {
    OwnedHandle primary(session_primary_token(user_token, session));
    if (!primary || !ImpersonateLoggedOnUser(primary.get())) return false;
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"open";
    info.lpFile = program;
    info.lpDirectory = directory;
    info.nShow = SW_SHOWNORMAL;
    BOOL started = ShellExecuteExW(&info);
    DWORD error = GetLastError();
    RevertToSelf();  // before anything else this thread does
    if (!started) {
        log_event(s, L"relaunch ShellExec failed: %lu", ul(error));
        return false;
    }
    OwnedHandle process(info.hProcess);
    log_event(s, L"relaunch ShellExec ok");
    return true;
}

bool start_plainly(const Settings* s, const wchar_t* program, wchar_t* command_line, const wchar_t* directory) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program, command_line, nullptr, nullptr, FALSE, 0, nullptr, directory, &startup, &info)) {
        log_event(s, L"relaunch fallback failed: %lu", ul(GetLastError()));
        return false;
    }
    OwnedHandle process(info.hProcess);
    OwnedHandle thread(info.hThread);
    log_event(s, L"relaunch fallback ok pid=%lu", ul(info.dwProcessId));
    return true;
}

}  // namespace

bool relaunch_program(const Settings* s, const wchar_t* program, const wchar_t* directory) {
    wchar_t command_line[command_line_cch];
    if (!program || program[0] == L'\0' ||
        text_format(command_line, command_line_cch, L"\"%s\"", program) != text_ok)
        return false;

    DWORD session = WTSGetActiveConsoleSessionId();
    log_event(s, L"relaunch: exe=%s session=%lu", program, ul(session));
    if (session != no_console_session) {
        OwnedHandle user_token(session_user_token(session));
        if (!user_token) {
            log_event(s, L"relaunch get_user_token failed session=%lu", ul(session));
        } else {
            if (create_as_user(s, user_token.get(), session, program, command_line, directory)) return true;
            if (shell_as_user(s, user_token.get(), session, program, directory)) return true;
        }
    }
    return start_plainly(s, program, command_line, directory);
}
