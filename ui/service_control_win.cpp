#include "ui/service_control.h"

#include <shellapi.h>

#include "common/handle.h"
#include "common/settings.h"
#include "service/sc_handle.h"
#include "ui/console_state.h"

namespace {

// The service's current state; false when it cannot be read (*missing: it is not installed).
bool query_state(DWORD* state, bool* missing) {
    *missing = false;
    OwnedService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    OwnedService service(OpenServiceW(manager.get(), sentrel_service_name, SERVICE_QUERY_STATUS));
    if (!service) {
        *missing = GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        return false;
    }
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service.get(), &status)) return false;
    *state = status.dwCurrentState;
    return true;
}

bool foreground_run_active() {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, service_run_mutex_name);
    if (mutex) {
        CloseHandle(mutex);
        return true;
    }
    return GetLastError() == ERROR_ACCESS_DENIED;  // it exists, we may not open it
}

}  // namespace

bool service_running() {
    DWORD state = 0;
    bool missing = false;
    return query_state(&state, &missing) && state == SERVICE_RUNNING;
}

bool protection_active() {
    DWORD state = 0;
    ServiceProbe probe = {};
    probe.state_known = query_state(&state, &probe.missing);
    probe.state = state;
    probe.foreground_run = foreground_run_active();
    return files_guarded(probe);
}

void wait_while_pending(DWORD timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD state = 0;
        bool missing = false;
        if (!query_state(&state, &missing)) return;
        if (state != SERVICE_START_PENDING && state != SERVICE_STOP_PENDING) return;
        if (GetTickCount() - start >= timeout_ms) return;
        Sleep(100);
    }
}

bool start_service_command(const wchar_t* parameters, HANDLE* process, DWORD* error) {
    *process = nullptr;
    *error = 0;
    wchar_t path[1024];
    if (!path_beside_exe(L"SentrelSvc.exe", path, 1024)) {
        *error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"runas";
    info.lpFile = path;
    info.lpParameters = parameters;
    info.nShow = SW_HIDE;
    if (ShellExecuteExW(&info)) {
        *process = info.hProcess;
        return true;
    }
    DWORD last = GetLastError();
    // The shell's own code (SE_ERR_*, equal to the Win32 codes for the common cases) when it gives
    // one: Wine reports a missing file as hInstApp 2 with an unrelated last error.
    INT_PTR shell = reinterpret_cast<INT_PTR>(info.hInstApp);
    if (last == ERROR_CANCELLED || shell <= 0 || shell > 32) *error = last ? last : ERROR_GEN_FAILURE;
    else *error = static_cast<DWORD>(shell);
    return false;
}
