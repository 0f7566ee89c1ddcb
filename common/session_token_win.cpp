#include "common/session_token.h"

#include <tlhelp32.h>
#include <wtsapi32.h>

#include "common/handle.h"
#include "common/text.h"

namespace {

// A token of the session's user, taken from one of their explorer.exe processes.
HANDLE explorer_token(DWORD session) {
    OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return nullptr;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (!text_equal_ascii_nocase(entry.szExeFile, L"explorer.exe")) continue;
        DWORD process_session = 0;
        if (!ProcessIdToSessionId(entry.th32ProcessID, &process_session) || process_session != session) continue;
        OwnedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID));
        HANDLE token = nullptr;
        if (process && OpenProcessToken(process.get(), TOKEN_ALL_ACCESS, &token)) return token;
    }
    return nullptr;
}

}  // namespace

HANDLE session_user_token(DWORD session) {
    HANDLE token = nullptr;
    if (WTSQueryUserToken(session, &token)) return token;
    return explorer_token(session);
}

HANDLE session_primary_token(HANDLE token, DWORD session) {
    HANDLE primary = nullptr;
    if (!DuplicateTokenEx(token, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &primary))
        return nullptr;
    SetTokenInformation(primary, TokenSessionId, &session, sizeof session);  // result not needed
    return primary;
}

bool create_process_in_session(HANDLE primary, const wchar_t* program, wchar_t* command_line,
                               const wchar_t* directory, DWORD* pid, HANDLE* process, void* environment) {
    wchar_t desktop[] = L"winsta0\\default";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop;
    PROCESS_INFORMATION info = {};
    DWORD flags = environment ? CREATE_UNICODE_ENVIRONMENT : 0;
    if (!CreateProcessAsUserW(primary, program, command_line, nullptr, nullptr, FALSE, flags, environment, directory,
                              &startup, &info))
        return false;
    CloseHandle(info.hThread);
    if (process)
        *process = info.hProcess;
    else
        CloseHandle(info.hProcess);
    if (pid) *pid = info.dwProcessId;
    return true;
}
