// Service lifecycle. The body (service_run) is shared by service mode and the console run; the
// status reports are skipped while no status handle exists, so the console run never reports.
//
// Shut-down and lifetimes: the stop event is created before the control handler is registered,
// so a stop that arrives during start-up is never lost. The context is static and the round
// locks are never deleted while a thread may still be inside an authentication (a round can last
// minutes): after the bounded waits we delete them only when every worker has left; otherwise the
// process ends right after the stopped report with the locks still alive.
#include "service/service.h"

#include <windows.h>
#include <string.h>

#include "common/console.h"
#include "common/event_log.h"
#include "common/log.h"
#include "common/log_status.h"
#include "common/server_url.h"
#include "common/text.h"
#include "service/auth_pipe_server.h"
#include "service/event_source.h"
#include "service/process_watcher.h"
#include "service/service_context.h"
#include "service/status.h"
#include "service/tamper.h"

namespace {

ServiceContext g_context;
HANDLE g_stop_event = nullptr;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
DWORD g_checkpoint_counter = 1;
volatile LONG g_workers_in_flight = 0;

void report_status(DWORD state) {
    SERVICE_STATUS status = make_service_status(state, &g_checkpoint_counter);
    if (g_status_handle) SetServiceStatus(g_status_handle, &status);
}

void ensure_stop_event() {
    if (!g_stop_event) g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

// Interrogate and every other control are ignored, with no report.
void WINAPI control_handler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return;
    report_status(SERVICE_STOP_PENDING);
    if (g_stop_event) SetEvent(g_stop_event);
}

void WINAPI service_main(DWORD, wchar_t**) {
    ensure_stop_event();
    g_status_handle = RegisterServiceCtrlHandlerW(service_name, control_handler);
    if (!g_status_handle) return;
    report_status(SERVICE_START_PENDING);
    service_run();
    report_status(SERVICE_STOPPED);
}

void wait_and_close(HANDLE thread, DWORD timeout_ms) {
    if (!thread) return;
    WaitForSingleObject(thread, timeout_ms);
    CloseHandle(thread);
}

// Every change of the audit log's state is published for the console's dashboard, which shows
// "audit log off: <reason>" while it is not written. (A refusal is also where the Windows Event
// Log gets its entry that the audit log file cannot be written.)
void on_audit_log_state(AuditLogProblem problem, const wchar_t* path) { publish_audit_status(problem, path); }

}  // namespace

ServiceContext* service_context() { return &g_context; }
void service_worker_enter() { InterlockedIncrement(&g_workers_in_flight); }
void service_worker_leave() { InterlockedDecrement(&g_workers_in_flight); }
long service_workers_in_flight() { return InterlockedCompareExchange(&g_workers_in_flight, 0, 0); }
HANDLE service_stop_event() { return g_stop_event; }

void service_run() {
    memset(&g_context.settings, 0, sizeof g_context.settings);
    memset(&g_context.policy, 0, sizeof g_context.policy);
    session_locks_init(&g_context.round_locks);

    set_audit_log_sink(on_audit_log_state);  // the first event below reports the state
    wchar_t settings_path[1024] = {};
    wchar_t policy_path[1024] = {};
    path_beside_exe(settings_file_name, settings_path, 1024);
    path_beside_exe(policy_file_name, policy_path, 1024);
    // A missing or broken file leaves what the reader leaves: no rules protect nothing.
    load_settings(settings_path, &g_context.settings);
    load_policy(policy_path, &g_context.policy);
    drop_malformed_rules(&g_context.policy, &g_context.settings);
    log_event(&g_context.settings, L"service started, rules=%lu", static_cast<unsigned long>(g_context.policy.count));
    wchar_t rule_count[16];
    text_format(rule_count, 16, L"%lu", static_cast<unsigned long>(g_context.policy.count));
    audit_event(&g_context.settings, AuditEvent::service_started, rule_count, product_version());
    switch (judge_server_url(g_context.settings.server_url, g_context.settings.allow_plain_http)) {
        case UrlTransport::plain_refused:
            log_event(&g_context.settings, L"server_url refused: plain http to another machine; every MFA round is refused");
            break;
        case UrlTransport::plain_allowed:
            log_event(&g_context.settings, L"warning: plain http to another machine allowed by allow_plain_http");
            break;
        case UrlTransport::secure:
        case UrlTransport::plain_loopback:
            break;
    }
    start_tamper_protection(&g_context.settings);

    ensure_stop_event();
    HANDLE listener = start_pipe_listener(&g_context);
    HANDLE watcher = start_process_watcher(&g_context);
    report_status(SERVICE_RUNNING);

    WaitForSingleObject(g_stop_event, INFINITE);

    wake_pipe_listener();
    wait_and_close(listener, 3000);
    wait_and_close(watcher, 3000);
    tamper_stop();

    if (service_workers_in_flight() == 0) {
        CloseHandle(g_stop_event);
        g_stop_event = nullptr;
        session_locks_destroy(&g_context.round_locks);
    }
    log_event(&g_context.settings, L"service stopped");
    audit_event(&g_context.settings, AuditEvent::service_stopped);
}

bool run_service_dispatcher() {
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<wchar_t*>(service_name), service_main},
        {nullptr, nullptr},
    };
    return StartServiceCtrlDispatcherW(table) != FALSE;
}

int run_in_console() {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Global\\SentrelSvcSingleton");
    if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) {
        if (mutex) CloseHandle(mutex);
        console_print(L"服务已在运行。\n");
        return 0;
    }
    // Nothing signals the stop event here: the console run lasts until the process is ended.
    service_run();
    CloseHandle(mutex);
    return 0;
}
