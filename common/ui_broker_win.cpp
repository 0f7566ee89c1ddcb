// The broker's pipe round and the start of the dialog host.
//
// The pipe is opened overlapped so that both transfers can be bounded: the request write and the
// reply read each wait on an event with a time limit, and a transfer still running at the limit is
// cancelled and its end awaited before its OVERLAPPED leaves the stack. The client asks for
// identification-level impersonation only, so no pipe server can act as the caller.
//
// Before anything is written, the server end is checked: its process image must be the trusted
// host path (SentrelUI.exe beside the running executable). A process that squats the pipe name is
// refused and never sees the request.
#include "common/ui_broker.h"

#include <windows.h>
#include <wtsapi32.h>

#include "common/handle.h"
#include "common/log.h"
#include "common/pipe_io.h"
#include "common/policy.h"
#include "common/session_token.h"
#include "common/settings.h"
#include "common/text.h"

namespace {

constexpr size_t path_cch = 1024;
constexpr size_t command_line_cch = 1040;
constexpr DWORD no_console_session = 0xFFFFFFFF;
constexpr DWORD start_poll_ms = 50;

HANDLE open_ui_pipe(const wchar_t* pipe_name) {
    return CreateFileW(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
}

// The long form of a path, or the path itself when it cannot be had (the file is gone, ...).
void long_path(const wchar_t* path, wchar_t* out, size_t cch_out) {
    DWORD cch = GetLongPathNameW(path, out, static_cast<DWORD>(cch_out));
    if (cch == 0 || cch >= cch_out) text_copy(out, cch_out, path);
}

bool same_path(const wchar_t* a, const wchar_t* b) {
    if (!a || !b || !a[0] || !b[0]) return false;
    wchar_t long_a[path_cch];
    wchar_t long_b[path_cch];
    long_path(a, long_a, path_cch);
    long_path(b, long_b, path_cch);
    return CompareStringOrdinal(long_a, -1, long_b, -1, TRUE) == CSTR_EQUAL;
}

// True when the pipe's server process runs the trusted image; logs the refusal otherwise.
bool server_trusted(const Settings* s, HANDLE pipe, const wchar_t* trusted_path) {
    ULONG pid = 0;
    wchar_t image[path_cch] = L"";
    if (GetNamedPipeServerProcessId(pipe, &pid)) {
        OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        DWORD cch = path_cch;
        if (!process || !QueryFullProcessImageNameW(process.get(), 0, image, &cch)) image[0] = L'\0';
    }
    if (image[0] != L'\0' && same_path(image, trusted_path)) return true;
    log_event(s, L"UI pipe server not trusted: pid=%lu image=%s", static_cast<unsigned long>(pid),
              image[0] ? image : L"(unknown)");
    return false;
}

// Starts the command line in the session with the session user's token; true when it started.
// The new process's handle goes to *process.
bool start_as_user(const Settings* s, wchar_t* command_line, DWORD session, HANDLE* process) {
    OwnedHandle token(session_user_token(session));
    if (!token) {
        log_event(s, L"UI get user token failed session=%lu", static_cast<unsigned long>(session));
        return false;
    }
    OwnedHandle primary(session_primary_token(token.get(), session));
    if (!primary) return false;
    if (!create_process_in_session(primary.get(), nullptr, command_line, nullptr, nullptr, process)) {
        log_event(s, L"UI CreateProcessAsUserW failed: %lu session=%lu", static_cast<unsigned long>(GetLastError()),
                  static_cast<unsigned long>(session));
        return false;
    }
    log_event(s, L"UI launch via user token ok, session=%lu", static_cast<unsigned long>(session));
    return true;
}

// Starts "host_path --pipe" in the active console session, or failing that in the caller's own.
// Returns the started host's process handle (null when nothing started); the host is not tracked
// beyond the wait for its pipe.
HANDLE start_dialog_host(const Settings* s, const wchar_t* host_path) {
    wchar_t command_line[command_line_cch];
    if (text_format(command_line, command_line_cch, L"\"%s\" --pipe", host_path) != text_ok) return nullptr;

    DWORD session = WTSGetActiveConsoleSessionId();
    HANDLE process = nullptr;
    if (session == no_console_session) {
        log_event(s, L"UI get user token failed session=%lu", static_cast<unsigned long>(session));
    } else if (start_as_user(s, command_line, session, &process)) {
        return process;
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    return info.hProcess;
}

// Opens the pipe of a host that was just started. The pipe is tried every 50 ms: for the start-up
// wait in any case, and beyond it, up to the limit, for as long as the host we started still runs.
// A cold start (the first after log-on, a loaded machine) can take seconds and would otherwise be
// refused; a second host that found one already running ends at once and costs nothing more. A
// busy host (another round holds its one instance) is not waited for.
HANDLE open_started_host_pipe(const UiBrokerOptions* options, HANDLE started_host) {
    const ULONGLONG start = GetTickCount64();
    const ULONGLONG limit = options->start_limit_ms > options->start_wait_ms ? options->start_limit_ms
                                                                             : options->start_wait_ms;
    for (;;) {
        HANDLE pipe = open_ui_pipe(options->pipe_name);
        if (pipe != INVALID_HANDLE_VALUE || GetLastError() == ERROR_PIPE_BUSY) return pipe;
        ULONGLONG waited = GetTickCount64() - start;
        if (waited >= limit) return pipe;
        bool host_running = started_host && WaitForSingleObject(started_host, 0) == WAIT_TIMEOUT;
        if (waited >= options->start_wait_ms && !host_running) return pipe;
        Sleep(start_poll_ms);
    }
}

bool write_request(const UiBrokerOptions* options, HANDLE pipe, UiAuthRequest* request) {
    DWORD written = 0;
    return pipe_transfer_bounded(pipe, true, request, sizeof *request, options->reply_timeout_ms, &written) &&
           written == sizeof *request;
}

// Opens the pipe again; true only when its server is the very process that served the first
// connection (the push was made for its user).
bool reconnect_same_host(const Settings* s, const UiBrokerOptions* options, OwnedHandle* pipe) {
    ULONG first = 0, again = 0;
    if (!GetNamedPipeServerProcessId(pipe->get(), &first)) return false;
    pipe->reset(open_started_host_pipe(options, nullptr));
    return *pipe && GetNamedPipeServerProcessId(pipe->get(), &again) && again == first &&
           server_trusted(s, pipe->get(), options->trusted_host_path);
}

// The shipped values: our pipe, and SentrelUI.exe beside the running executable as the host to
// start and the only one to trust. Without our own path (host stays empty) nothing is started and
// nothing trusted, so every round is refused.
UiBrokerOptions shipped_options(wchar_t (&host)[path_cch]) {
    host[0] = L'\0';
    path_beside_exe(ui_host_file_name, host, path_cch);
    return UiBrokerOptions{ui_pipe_name, host, host, ui_reply_timeout_ms, ui_start_wait_ms, ui_start_limit_ms};
}

}  // namespace

bool authenticate_via_ui_with(const UiBrokerOptions* options, const Settings* s, const Rule* rule,
                              const wchar_t* target, const wchar_t* detail, wchar_t* message, size_t cch_message) {
    UiAuthRequest request;
    build_ui_request(rule, target, detail, &request);

    OwnedHandle pipe(open_ui_pipe(options->pipe_name));
    if (!pipe) {
        OwnedHandle host;
        if (options->host_path && options->host_path[0]) host.reset(start_dialog_host(s, options->host_path));
        pipe.reset(open_started_host_pipe(options, host.get()));
    }
    if (!pipe) return ui_round_result(UiRound::not_connected, nullptr, message, cch_message);
    if (!server_trusted(s, pipe.get(), options->trusted_host_path))
        return ui_round_result(UiRound::untrusted, nullptr, message, cch_message);

    const bool push = request.mode == ui_mode_push;
    Settings push_settings;
    if (push && !ui_request_broker_push(options, s, pipe.get(), &request, &push_settings, message, cch_message))
        return false;
    if (!write_request(options, pipe.get(), &request)) {
        // A host may drop a client that stayed silent while the push was being requested: the same
        // host, listening again, is asked once more.
        if (!push || !reconnect_same_host(s, options, &pipe) || !write_request(options, pipe.get(), &request))
            return ui_round_result(UiRound::send_failed, nullptr, message, cch_message);
    }

    UiAuthReply reply = {};
    DWORD read = 0;
    if (!pipe_transfer_bounded(pipe.get(), false, &reply, sizeof reply, options->reply_timeout_ms, &read) ||
        read != sizeof reply)
        return ui_round_result(UiRound::no_reply, nullptr, message, cch_message);
    pipe.reset();
    if (!push) return ui_round_result(UiRound::replied, &reply, message, cch_message);
    PushSeen seen = reply.approved ? ui_confirm_broker_push(options, s, &push_settings, request.challenge_id)
                                   : PushSeen::refused;
    return ui_push_round_result(UiRound::replied, &reply, seen, message, cch_message);
}

bool authenticate_via_ui(const Settings* s, const Rule* rule, const wchar_t* target, const wchar_t* detail,
                         wchar_t* message, size_t cch_message) {
    wchar_t host[path_cch];
    UiBrokerOptions options = shipped_options(host);
    return authenticate_via_ui_with(&options, s, rule, target, detail, message, cch_message);
}

bool authenticate_admin_with(const UiBrokerOptions* options, const Settings* s, const wchar_t* operation,
                             wchar_t* message, size_t cch_message) {
    Rule rule;
    build_admin_rule(s, operation, &rule);
    wchar_t result[ui_result_cch];
    if (authenticate_via_ui_with(options, s, &rule, admin_auth_target, nullptr, result, ui_result_cch)) return true;
    text_copy(message, cch_message, result);
    return false;
}

bool authenticate_admin(const Settings* s, const wchar_t* operation, wchar_t* message, size_t cch_message) {
    wchar_t host[path_cch];
    UiBrokerOptions options = shipped_options(host);
    return authenticate_admin_with(&options, s, operation, message, cch_message);
}
