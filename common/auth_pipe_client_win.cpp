// The client end of \\.\pipe\SentrelAuth (runguard, the console's Clear Cache).
//
// A request carries what the user is about to run, and its reply decides whether it runs, so it
// goes only to our service: the pipe is opened at identification level (the server cannot act as
// us), and before anything is written the server end must be our SentrelSvc.exe (the one beside
// this executable) and, when the service is installed, the service's own process. A connection
// to anything else is closed and the pipe tried again, for a few seconds, since another instance
// may be ours; a busy pipe is waited for within the same bound.
#include <windows.h>

#include "common/auth_pipe.h"
#include "common/handle.h"
#include "common/process_identity.h"
#include "common/settings.h"

namespace {

constexpr size_t path_cch = 1024;
constexpr DWORD connect_limit_ms = 5000;
constexpr DWORD retry_pause_ms = 50;
constexpr const wchar_t* service_image_name = L"SentrelSvc.exe";
constexpr const wchar_t* service_name = L"SentrelSvc";

struct ServiceHandleTraits {
    using value_type = SC_HANDLE;
    static SC_HANDLE empty() { return nullptr; }
    static bool valid(SC_HANDLE h) { return h != nullptr; }
    static void close(SC_HANDLE h) { CloseServiceHandle(h); }
};
using OwnedServiceHandle = Owned<ServiceHandleTraits>;

// Whether the service is installed and, if so, its process id (0 while it is not running).
// False when that cannot be told.
bool installed_service(bool* installed, DWORD* pid) {
    OwnedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    OwnedServiceHandle service(OpenServiceW(manager.get(), service_name, SERVICE_QUERY_STATUS));
    if (!service) {
        if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) return false;
        *installed = false;
        *pid = 0;
        return true;
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD cb = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &cb))
        return false;
    *installed = true;
    *pid = status.dwCurrentState == SERVICE_STOPPED ? 0 : status.dwProcessId;
    return true;
}

bool server_is_our_service(HANDLE pipe, const wchar_t* trusted_image) {
    ULONG pid = 0;
    wchar_t image[path_cch];
    if (!GetNamedPipeServerProcessId(pipe, &pid) || !process_image_path(pid, image, path_cch) ||
        !same_file_path(image, trusted_image))
        return false;
    bool installed = false;
    DWORD service_pid = 0;
    if (!installed_service(&installed, &service_pid)) return false;
    return !installed || service_pid == pid;
}

}  // namespace

bool send_auth_request(const AuthRequest* request, AuthReply* reply, AuthPipeFailure* failure) {
    AuthPipeFailure ignored;
    if (!failure) failure = &ignored;
    *failure = AuthPipeFailure::no_service;
    wchar_t trusted_image[path_cch] = L"";
    if (!path_beside_exe(service_image_name, trusted_image, path_cch)) return false;

    const ULONGLONG start = GetTickCount64();
    OwnedHandle pipe;
    for (;;) {
        pipe.reset(CreateFileW(auth_pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        DWORD error = pipe ? ERROR_SUCCESS : GetLastError();
        if (pipe && server_is_our_service(pipe.get(), trusted_image)) break;
        if (pipe) {
            pipe.reset();
            *failure = AuthPipeFailure::not_our_service;
        } else if (error != ERROR_PIPE_BUSY) {
            return false;  // no pipe at all: no waiting
        }
        ULONGLONG waited = GetTickCount64() - start;
        if (waited >= connect_limit_ms) return false;
        if (error == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(auth_pipe_name, static_cast<DWORD>(connect_limit_ms - waited));
        } else {
            Sleep(retry_pause_ms);
        }
    }

    *failure = AuthPipeFailure::broken;
    DWORD written = 0;
    if (!WriteFile(pipe.get(), request, sizeof(AuthRequest), &written, nullptr) || written != sizeof(AuthRequest))
        return false;
    AuthReply received;
    DWORD read = 0;
    if (!ReadFile(pipe.get(), &received, sizeof received, &read, nullptr) || read != sizeof received) return false;
    *reply = received;
    *failure = AuthPipeFailure::none;
    return true;
}
