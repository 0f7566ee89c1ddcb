// The relaunch's system calls. The token is the stopped process's own (a primary duplicate the
// watcher took before stopping it); each start duplicates it once more and places the copy in the
// token's session. CreateProcessAsUserW needs the assign-primary and quota privileges, which the
// service (LocalSystem) holds; the call is made while impersonating the starter, so the image is
// opened as the starter.
#include "service/relaunch.h"

#include <windows.h>
#include <userenv.h>

#include "common/handle.h"
#include "common/impersonation.h"
#include "common/session_token.h"

namespace {

HANDLE token_of(uintptr_t token) { return reinterpret_cast<HANDLE>(token); }

bool user_environment(void*, uintptr_t token, void** block, uint32_t* error) {
    if (CreateEnvironmentBlock(block, token_of(token), FALSE)) return true;
    *error = GetLastError();
    return false;
}

void free_user_environment(void*, void* block) { DestroyEnvironmentBlock(block); }

// create_process_in_session gives the program the environment of the token's user.
bool create_as(void*, uintptr_t token, uint32_t session, const wchar_t* application, wchar_t* command_line,
               const wchar_t* directory, uint32_t* pid, uint32_t* error) {
    OwnedHandle primary(session_primary_token(token_of(token), session));
    DWORD new_pid = 0;
    // As the starter: the image (and its folder) is opened with the starter's rights, never the
    // service's, and a path on a server the user named is never reached as the machine account.
    if (!primary || !ImpersonateLoggedOnUser(token_of(token))) {
        *error = GetLastError();
        return false;
    }
    bool created = create_process_in_session(primary.get(), application, command_line, directory, &new_pid);
    DWORD create_error = GetLastError();
    revert_or_end();
    if (!created) {
        *error = create_error;
        return false;
    }
    *pid = new_pid;
    return true;
}

bool file_exists(void*, const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool relaunch_program(const Settings* s, const Starter* starter, const wchar_t* program, const wchar_t* directory,
                      const wchar_t* arguments) {
    RelaunchPorts ports = {nullptr, user_environment, free_user_environment, create_as, file_exists};
    return relaunch_as_starter(s, starter, program, directory, &ports, arguments);
}
