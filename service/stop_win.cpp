#include "service/stop.h"

#include <windows.h>

#include "common/console.h"
#include "service/sc_handle.h"
#include "service/service.h"

int stop_service_command() {
    OwnedService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        console_print(L"无法打开 SCM，错误: %lu\n", GetLastError());
        return 1;
    }
    OwnedService service(OpenServiceW(manager.get(), service_name, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST)
            console_print(L"服务 SentrelSvc 未安装。\n");
        else
            console_print(L"打开服务失败: %lu\n", error);
        return 1;
    }
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
            console_print(L"服务已停止。\n");
            return 0;
        }
        if (GetTickCount() - start >= stop_wait_ms) break;
        // A service that was still starting when asked gets the request again once it runs.
        if (status.dwCurrentState == SERVICE_RUNNING) ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        Sleep(250);
    }
    console_print(L"服务未能在 %lu 秒内停止（当前状态: %lu）。\n", stop_wait_ms / 1000, status.dwCurrentState);
    return 1;
}
