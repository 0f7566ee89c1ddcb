// install and the controlled uninstall. Every install message goes through trace (console and,
// when C:\Temp exists and is fit, C:\Temp\sn_install.txt); the uninstall's steps and messages are
// decided in uninstall.cpp, this file gives them the service control manager and the files.
#include "service/install.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

#include "common/console.h"
#include "common/log.h"
#include "common/permissions.h"
#include "common/settings.h"
#include "common/text.h"
#include "service/event_source.h"
#include "service/install_folder.h"
#include "service/install_trace.h"
#include "service/sc_handle.h"
#include "service/service.h"
#include "service/tamper.h"
#include "service/uninstall.h"

namespace {

// Opened on the first line (append, UTF-8 text mode); a failed open is tried again by the next
// line. Closed after a successful install; on the failure paths it stays open until the process
// ends. Where C:\Temp is missing or refused (see install_trace.h) the trace stays on the console.
HANDLE g_trace_file = INVALID_HANDLE_VALUE;

HANDLE open_trace() { return open_install_trace(); }

void trace(const wchar_t* format, ...) {
    wchar_t line[trace_line_cch];
    va_list args;
    va_start(args, format);
    text_vformat(line, trace_line_cch, format, args);
    va_end(args);
    console_print(L"%s", line);
    fflush(stdout);
    if (g_trace_file == INVALID_HANDLE_VALUE) g_trace_file = open_trace();
    if (g_trace_file != INVALID_HANDLE_VALUE) append_text_mode_utf8(g_trace_file, line);
}

void close_trace() {
    if (g_trace_file != INVALID_HANDLE_VALUE) CloseHandle(g_trace_file);
    g_trace_file = INVALID_HANDLE_VALUE;
}


// One line of standard input, at most cch - 1 units; false at end of input or on error.
bool read_input_line(wchar_t* line, size_t cch) {
    line[0] = L'\0';
    return fgetws(line, static_cast<int>(cch), stdin) != nullptr;
}

// The uninstall's steps on this machine's service control manager and files.
class ScmUninstall : public UninstallPort {
public:
    explicit ScmUninstall(const Settings* settings) : settings_(settings) {
        DWORD cch = GetModuleFileNameW(nullptr, exe_, tamper_path_cch);
        if (cch == 0 || cch >= tamper_path_cch) exe_[0] = L'\0';
    }

    uint32_t open_manager() override {
        manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        return manager_ ? ERROR_SUCCESS : GetLastError();
    }

    uint32_t open_service() override {
        service_.reset(OpenServiceW(manager_.get(), service_name,
                                    WRITE_DAC | READ_CONTROL | SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
        if (!service_) return GetLastError();
        // The files to release are those beside the service's executable, wherever this copy runs.
        alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[8192];
        DWORD needed = 0;
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
        if (QueryServiceConfigW(service_.get(), config, sizeof buffer, &needed) && config->lpBinaryPathName)
            image_of_binary_path(config->lpBinaryPathName, exe_, tamper_path_cch);
        return ERROR_SUCCESS;
    }

    uint32_t release_service() override { return apply_service_guard(service_.get(), Guard::release); }
    uint32_t release_key() override { return apply_guard(Guarded::key, Guard::release, nullptr); }

    void stop_service() override {
        SERVICE_STATUS_PROCESS info = {};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&info), sizeof info,
                                 &needed) &&
            info.dwProcessId != 0)
            process_.reset(OpenProcess(SYNCHRONIZE, FALSE, info.dwProcessId));
        SERVICE_STATUS status = {};
        ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
        for (int poll = 0; poll < 20; ++poll) {
            Sleep(500);
            if (!QueryServiceStatus(service_.get(), &status) || status.dwCurrentState == SERVICE_STOPPED) break;
        }
    }

    uint32_t delete_service() override {
        // The released DACL grants administrators DELETE; the handle opened before did not ask for it.
        OwnedService service(OpenServiceW(manager_.get(), service_name, DELETE));
        DWORD error = service && DeleteService(service.get()) ? ERROR_SUCCESS : GetLastError();
        service.reset();
        service_.reset();
        manager_.reset();
        return error;
    }

    bool wait_for_process() override { return !process_ || WaitForSingleObject(process_.get(), 10000) == WAIT_OBJECT_0; }

    uint32_t release_files(wchar_t* failed_path, size_t cch_failed_path) override {
        wchar_t paths[protected_file_count][tamper_path_cch];
        if (!protected_files_of(exe_, paths)) return ERROR_BAD_PATHNAME;
        uint32_t first_error = ERROR_SUCCESS;
        for (auto& path : paths) {
            DWORD error = release_file(path);
            if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
            if (first_error == ERROR_SUCCESS) {
                first_error = error;
                text_copy(failed_path, cch_failed_path, path);
            }
        }
        return first_error;
    }

    void say(const wchar_t* text) override { console_print(L"%s", text); }
    void log(const wchar_t* text) override { log_event(settings_, L"%s", text); }

private:
    const Settings* settings_;
    wchar_t exe_[tamper_path_cch];
    OwnedService manager_;
    OwnedService service_;
    OwnedHandle process_;
};

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

    // A LocalSystem service loads DLLs from its own folder first: only an administrator's folder.
    wchar_t folder[install_folder_cch];
    text_copy(folder, install_folder_cch, exe_path);
    for (size_t i = text_length(folder, install_folder_cch); i > 0; --i) {
        if (folder[i - 1] == L'\\') {
            folder[i - 1] = L'\0';
            break;
        }
    }
    FolderRefusal refusal = {};
    if (!install_folder_trusted(folder, system_folder_access(), &refusal)) {
        trace(L"安装文件夹不安全，服务未安装: %s 允许非管理员用户%s。请移除该权限，或将程序放入仅管理员可写的文件夹（如 "
              L"C:\\Program Files\\Sentrel）后重试。\n",
              refusal.folder, folder_right_name_zh(refusal.right));
        return 1;
    }

    OwnedService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        trace(L"无法打开 SCM，错误: %lu\n", GetLastError());
        return 1;
    }
    trace(L"OpenSCManager OK\n");

    OwnedService service(CreateServiceW(manager.get(), service_name, service_display_name,
                                        SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_QUERY_STATUS,
                                        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, quoted,
                                        nullptr, nullptr, nullptr, nullptr, nullptr));
    if (service) {
        trace(L"CreateService OK\n");
        set_failure_actions(service.get());
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
        // A protected service lets administrators start and query it, nothing more; its
        // registration (failure actions included) stays as it was.
        service.reset(OpenServiceW(manager.get(), service_name, SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
        if (!service) {
            trace(L"打开服务失败: %lu\n", GetLastError());
            return 1;
        }
    }

    // The event source names the executable the service runs; without it the events still reach
    // the Application log, only their messages cannot be shown.
    uint32_t source_error = register_event_source(service.get(), exe_path);
    if (source_error != ERROR_SUCCESS) trace(L"无法注册事件源 Sentrel，错误: %lu\n", static_cast<unsigned long>(source_error));

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
            return uninstall_refused;
        }
        console_print(L"请输入 TOTP 验证码: ");
        wchar_t code[uninstall_code_cch];
        if (!read_input_line(code, uninstall_code_cch)) return uninstall_refused;
        trim_line_end(code);
        wchar_t message[uninstall_message_cch] = {};
        if (!uninstall_code_valid(&settings, code, message, uninstall_message_cch)) {
            console_print(L"[拒绝] MFA 认证失败: %s\n", message);
            return uninstall_refused;
        }
    }
    ScmUninstall port(&settings);
    int code = run_uninstall(&port, by_ui);
    if (code == uninstall_removed || code == uninstall_files_protected) {  // the service is gone
        uint32_t error = remove_event_source();
        if (error != ERROR_SUCCESS) console_print(L"无法删除事件源 Sentrel，错误: %lu\n", static_cast<unsigned long>(error));
    }
    return code;
}
