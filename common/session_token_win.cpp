#include "common/session_token.h"

#include <userenv.h>
#include <wtsapi32.h>

#include "common/handle.h"

namespace {

// The environment block of the token's user, without anything of this process's own.
struct UserEnvironment {
    void* block = nullptr;
    explicit UserEnvironment(HANDLE token) {
        if (!CreateEnvironmentBlock(&block, token, FALSE)) block = nullptr;
    }
    ~UserEnvironment() {
        if (block) DestroyEnvironmentBlock(block);
    }
    UserEnvironment(const UserEnvironment&) = delete;
    UserEnvironment& operator=(const UserEnvironment&) = delete;
};

void hand_back(const PROCESS_INFORMATION& info, DWORD* pid, HANDLE* process) {
    CloseHandle(info.hThread);
    if (process)
        *process = info.hProcess;
    else
        CloseHandle(info.hProcess);
    if (pid) *pid = info.dwProcessId;
}

}  // namespace

HANDLE session_user_token(DWORD session) {
    HANDLE token = nullptr;
    if (WTSQueryUserToken(session, &token)) return token;
    return nullptr;
}

HANDLE session_primary_token(HANDLE token, DWORD session) {
    HANDLE primary = nullptr;
    if (!DuplicateTokenEx(token, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &primary))
        return nullptr;
    SetTokenInformation(primary, TokenSessionId, &session, sizeof session);  // result not needed
    return primary;
}

bool create_process_in_session(HANDLE primary, const wchar_t* program, wchar_t* command_line,
                               const wchar_t* directory, DWORD* pid, HANDLE* process) {
    UserEnvironment environment(primary);
    if (!environment.block) return false;
    wchar_t desktop[] = L"winsta0\\default";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessAsUserW(primary, program, command_line, nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                              environment.block, directory, &startup, &info))
        return false;
    hand_back(info, pid, process);
    return true;
}

bool create_process_as_self(const wchar_t* program, wchar_t* command_line, const wchar_t* directory, DWORD* pid,
                            HANDLE* process) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &raw)) return false;
    OwnedHandle token(raw);
    UserEnvironment environment(token.get());
    if (!environment.block) return false;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program, command_line, nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, environment.block,
                        directory, &startup, &info))
        return false;
    hand_back(info, pid, process);
    return true;
}
