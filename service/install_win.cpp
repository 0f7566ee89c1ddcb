// install and the controlled uninstall. Every install message goes through trace (console and,
// when C:\Temp exists, C:\Temp\sn_install.txt); the uninstall speaks only on its interactive path.
#include "service/install.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

#include "common/console.h"
#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "service/sc_handle.h"
#include "service/service.h"
#include "service/tamper.h"

namespace {

// Opened on the first line (append, UTF-8); a failed open is tried again by the next line. Closed
// after a successful install; on the failure paths it stays open until the process ends.
FILE* g_trace_file = nullptr;

void trace(const wchar_t* format, ...) {
    wchar_t line[trace_line_cch];
    va_list args;
    va_start(args, format);
    text_vformat(line, trace_line_cch, format, args);
    va_end(args);
    console_print(L"%s", line);
    fflush(stdout);
    if (!g_trace_file) g_trace_file = _wfopen(install_trace_path, L"a+, ccs=UTF-8");
    if (g_trace_file) {
        fputws(line, g_trace_file);
        fflush(g_trace_file);
    }
}

void close_trace() {
    if (g_trace_file) fclose(g_trace_file);
    g_trace_file = nullptr;
}


// One line of standard input, at most cch - 1 units; false at end of input or on error.
bool read_input_line(wchar_t* line, size_t cch) {
    line[0] = L'\0';
    return fgetws(line, static_cast<int>(cch), stdin) != nullptr;
}

// Once the service's process has ended, the five files get the release DACL so that an
// administrator can remove them; while it runs, its watcher would take that for tampering.
void release_files() {
    wchar_t paths[protected_file_count][tamper_path_cch];
    if (!protected_file_paths(paths)) return;
    for (auto& path : paths) release_file(path);
}

}  // namespace

bool set_failure_actions(SC_HANDLE service) {
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSW failure = {};
    failure.dwResetPeriod = 86400;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    return ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) != FALSE;
}

int install_service() {
    wchar_t exe_path[1024] = {};
    GetModuleFileNameW(nullptr, exe_path, 1024);
    wchar_t quoted[image_path_cch];
    quote_image_path(exe_path, quoted, image_path_cch);
    trace(L"exe_path: %s\n", exe_path);
    trace(L"exe_quoted: %s\n", quoted);

    OwnedService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        trace(L"无法打开 SCM，错误: %lu\n", GetLastError());
        return 1;
    }
    trace(L"OpenSCManager OK\n");

    OwnedService service(CreateServiceW(manager.get(), service_name, service_display_name, SERVICE_ALL_ACCESS,
                                        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, quoted,
                                        nullptr, nullptr, nullptr, nullptr, nullptr));
    if (service) {
        trace(L"CreateService OK\n");
    } else {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            trace(L"服务标记删除中，请稍候重试或重启系统。\n");
            return 1;
        }
        if (error != ERROR_SERVICE_EXISTS) {
            trace(L"创建服务失败: %lu\n", error);
            return 1;
        }
        trace(L"服务已存在，尝试启动...\n");
        service.reset(OpenServiceW(manager.get(), service_name, SERVICE_ALL_ACCESS));
        if (!service) {
            trace(L"打开服务失败: %lu\n", GetLastError());
            return 1;
        }
    }
    set_failure_actions(service.get());

    if (StartServiceW(service.get(), 0, nullptr)) {
        trace(L"服务已安装并启动。\n");
    } else {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_ALREADY_RUNNING) {
            trace(L"启动服务失败，错误码: %lu\n", error);
            return 1;
        }
        trace(L"服务已在运行。\n");
    }
    service.reset();
    manager.reset();
    close_trace();
    return 0;
}

int uninstall_service(int argc, wchar_t** argv) {
    bool by_ui = uninstall_authorized_by_ui(argc, argv);
    Settings settings = {};
    wchar_t settings_path[1024];
    if (path_beside_exe(settings_file_name, settings_path, 1024)) load_settings(settings_path, &settings);

    if (!by_ui) {
        console_print(L"正在执行交互式受控卸载流程...\n");
        if (!settings.server_url[0] || !settings.api_key[0]) {
            console_print(L"[错误] 未配置 MFA 服务，无法完成受控卸载。\n");
            return 1;
        }
        console_print(L"请输入 TOTP 验证码: ");
        wchar_t code[uninstall_code_cch];
        if (!read_input_line(code, uninstall_code_cch)) return 1;
        trim_line_end(code);
        wchar_t message[uninstall_message_cch] = {};
        if (!uninstall_code_valid(&settings, code, message, uninstall_message_cch)) {
            console_print(L"[拒绝] MFA 认证失败: %s\n", message);
            return 1;
        }
    }
    log_event(&settings, L"uninstall authorized: %s, proceeding", uninstall_origin(by_ui));
    release_protections();

    OwnedService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return 2;
    OwnedService service(OpenServiceW(manager.get(), service_name, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) {
        release_files();  // nothing of this name runs as a service
        return 0;
    }

    OwnedHandle process;
    SERVICE_STATUS_PROCESS info = {};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&info), sizeof info,
                             &needed) &&
        info.dwProcessId != 0)
        process.reset(OpenProcess(SYNCHRONIZE, FALSE, info.dwProcessId));

    SERVICE_STATUS status = {};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    for (int poll = 0; poll < 20; ++poll) {
        Sleep(500);
        if (!QueryServiceStatus(service.get(), &status) || status.dwCurrentState == SERVICE_STOPPED) break;
    }
    bool deleted = DeleteService(service.get()) != FALSE;
    service.reset();
    manager.reset();

    bool process_ended = true;
    if (process) process_ended = WaitForSingleObject(process.get(), 10000) == WAIT_OBJECT_0;
    if (process_ended) release_files();

    log_event(&settings, L"uninstall complete: result=%d", deleted ? 1 : 0);
    return deleted ? 0 : 3;
}
