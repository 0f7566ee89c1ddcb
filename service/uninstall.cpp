#include "service/uninstall.h"

#include <windows.h>
#include <stdarg.h>

#include "common/event_log.h"
#include "common/text.h"
#include "service/install.h"

namespace {

void say(UninstallPort* port, const wchar_t* format, ...) {
    wchar_t text[uninstall_text_cch];
    va_list args;
    va_start(args, format);
    text_vformat(text, uninstall_text_cch, format, args);
    va_end(args);
    port->say(text);
}

void log_complete(UninstallPort* port, bool deleted) {
    wchar_t text[uninstall_text_cch];
    text_format(text, uninstall_text_cch, L"uninstall complete: result=%d", deleted ? 1 : 0);
    port->log(text);
    audit_event(nullptr, AuditEvent::uninstall_finished, deleted ? L"service removed" : L"service not removed");
}

bool release_files(UninstallPort* port) {
    wchar_t failed[uninstall_text_cch] = {};
    uint32_t error = port->release_files(failed, uninstall_text_cch);
    if (error == ERROR_SUCCESS) return true;
    say(port, L"无法解除文件的保护: %s，错误: %lu\n", failed, static_cast<unsigned long>(error));
    return false;
}

}  // namespace

int run_uninstall(UninstallPort* port, bool authorized_by_ui) {
    wchar_t text[uninstall_text_cch];
    text_format(text, uninstall_text_cch, L"uninstall authorized: %s, proceeding", uninstall_origin(authorized_by_ui));
    port->log(text);
    audit_event(nullptr, AuditEvent::uninstall_authorized, authorized_by_ui ? L"console" : L"command line");

    uint32_t error = port->open_manager();
    if (error != ERROR_SUCCESS) {
        say(port, L"无法打开 SCM，错误: %lu\n", static_cast<unsigned long>(error));
        return uninstall_no_manager;
    }
    error = port->open_service();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        // Nothing installed; files an earlier service protected get their folder's DACL back.
        return release_files(port) ? uninstall_removed : uninstall_files_protected;
    }
    if (error != ERROR_SUCCESS) {
        say(port, L"打开服务失败: %lu\n", static_cast<unsigned long>(error));
        log_complete(port, false);
        return uninstall_not_removed;
    }
    error = port->release_service();
    if (error != ERROR_SUCCESS) {
        say(port, L"无法解除服务的保护，错误: %lu\n", static_cast<unsigned long>(error));
        log_complete(port, false);
        return uninstall_not_removed;
    }
    port->stop_service();
    error = port->delete_service();
    if (error != ERROR_SUCCESS) {
        say(port, L"删除服务失败，错误: %lu\n", static_cast<unsigned long>(error));
        // The registration stays: its key gets the inherited DACL back, as its service object got
        // the default one. (A deleted service's key goes with it.)
        error = port->release_key();
        if (error != ERROR_SUCCESS) say(port, L"无法解除注册表项的保护，错误: %lu\n", static_cast<unsigned long>(error));
        log_complete(port, false);
        return uninstall_not_removed;
    }
    int code = uninstall_removed;
    if (!port->wait_for_process()) {
        say(port, L"服务已删除，但其进程未在 10 秒内结束，文件仍受保护。进程结束后请再次运行卸载。\n");
        code = uninstall_files_protected;
    } else if (!release_files(port)) {
        code = uninstall_files_protected;
    }
    log_complete(port, true);
    return code;
}
