#include "service/stop.h"

#include <windows.h>

#include "common/console.h"
#include "service/sc_handle.h"
#include "service/service.h"
#include "service/tamper.h"

namespace {

// The executable the service runs (its settings and policy are beside it); this one's when the
// configuration cannot be read.
void service_executable(SC_HANDLE service, wchar_t* exe) {
    alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[8192];
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    if (QueryServiceConfigW(service, config, sizeof buffer, &needed) && config->lpBinaryPathName &&
        image_of_binary_path(config->lpBinaryPathName, exe, tamper_path_cch))
        return;
    DWORD cch = GetModuleFileNameW(nullptr, exe, tamper_path_cch);
    if (cch == 0 || cch >= tamper_path_cch) exe[0] = L'\0';
}

// Once the service has stopped, the settings and the policy get their folder's DACL back, so an
// administrator can change them; the next start protects them again. Files that are not there
// are skipped. False, with a message, when one keeps its protection.
bool release_json_files(const wchar_t* exe) {
    wchar_t paths[protected_file_count][tamper_path_cch];
    if (!protected_files_of(exe, paths)) {
        console_print(L"无法确定服务的文件夹: %s\n", exe);
        return false;
    }
    bool released = true;
    for (int i = 0; i < protected_json_count; ++i) {
        DWORD error = release_file(paths[i]);
        if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
        console_print(L"无法解除文件的保护: %s，错误: %lu\n", paths[i], error);
        released = false;
    }
    return released;
}

}  // namespace

int stop_service_command() {
    OwnedService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        console_print(L"无法打开 SCM，错误: %lu\n", GetLastError());
        return 1;
    }
    OwnedService service(
        OpenServiceW(manager.get(), service_name, SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service) {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST)
            console_print(L"服务 SentrelSvc 未安装。\n");
        else
            console_print(L"打开服务失败: %lu\n", error);
        return 1;
    }
    wchar_t exe[tamper_path_cch];
    service_executable(service.get(), exe);
    // Its process: the files are released only once its watcher can no longer undo that.
    OwnedHandle process;
    SERVICE_STATUS_PROCESS info = {};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&info), sizeof info,
                             &needed) &&
        info.dwProcessId != 0)
        process.reset(OpenProcess(SYNCHRONIZE, FALSE, info.dwProcessId));

    SERVICE_STATUS status = {};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        DWORD error = GetLastError();
        // Not running: already where we want it. Cannot accept the control: it is starting or
        // already stopping; the wait below tells which.
        if (error != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
            console_print(L"停止服务失败，错误码: %lu\n", error);
            return 1;
        }
    }
    DWORD start = GetTickCount();
    for (;;) {
        if (!QueryServiceStatus(service.get(), &status)) {
            console_print(L"查询服务状态失败，错误码: %lu\n", GetLastError());
            return 1;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            DWORD elapsed = GetTickCount() - start;
            DWORD left = elapsed < stop_wait_ms ? stop_wait_ms - elapsed : 0;
            if (process && WaitForSingleObject(process.get(), left) != WAIT_OBJECT_0) {
                console_print(L"服务已停止，但其进程未在 %lu 秒内结束，文件仍受保护。\n", stop_wait_ms / 1000);
                return 1;
            }
            console_print(L"服务已停止。\n");
            return release_json_files(exe) ? 0 : 1;
        }
        if (GetTickCount() - start >= stop_wait_ms) break;
        // A service that was still starting when asked gets the request again once it runs.
        if (status.dwCurrentState == SERVICE_RUNNING) ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        Sleep(250);
    }
    console_print(L"服务未能在 %lu 秒内停止（当前状态: %lu）。\n", stop_wait_ms / 1000, status.dwCurrentState);
    return 1;
}
