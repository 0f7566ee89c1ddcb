// The broker's pipe round and the start of the dialog host.
//
// The pipe is opened overlapped so that both transfers can be bounded: the request write and the
// reply read each wait on an event with a time limit, and a transfer still running at the limit is
// cancelled and its end awaited before its OVERLAPPED leaves the stack. The client asks for
// identification-level impersonation only, so no pipe server can act as the caller. A round that
// gives up closes the pipe, which is how the dialog learns that its caller has gone.
//
// The answers, checks and verdicts after the request are in ui_broker_round_win.cpp.
//
// Before anything is written, the server end is checked (ui_judge_server): its process image must
// be the trusted host path (SentrelUI.exe beside the running executable), and it must run in the
// round's session as that session's user. A process that squats the pipe name, or a host of
// another user or session, is refused and never sees the request.
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
constexpr DWORD start_poll_ms = 50;

unsigned long ul(DWORD value) { return static_cast<unsigned long>(value); }

HANDLE open_ui_pipe(const wchar_t* pipe_name) {
    return CreateFileW(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
}

// --- the real system calls ---

// The SID of DOMAIN\user as the session reports them, for a caller that may not ask for the
// session's token (the console).
bool session_user_by_name(DWORD session, AccountSid* user) {
    wchar_t* name = nullptr;
    wchar_t* domain = nullptr;
    DWORD cb = 0;
    bool found = false;
    if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &name, &cb) &&
        WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSDomainName, &domain, &cb) && name[0]) {
        wchar_t account[512];
        BYTE sid[account_sid_max_cb];
        DWORD cb_sid = sizeof sid;
        wchar_t referenced[256];
        DWORD cch_referenced = 256;
        SID_NAME_USE use;
        if (text_format(account, 512, L"%s\\%s", domain, name) == text_ok &&
            LookupAccountNameW(nullptr, account, sid, &cb_sid, referenced, &cch_referenced, &use) && use == SidTypeUser &&
            cb_sid <= account_sid_max_cb) {
            user->cb = cb_sid;
            memcpy(user->sid, sid, cb_sid);
            found = true;
        }
    }
    if (name) WTSFreeMemory(name);
    if (domain) WTSFreeMemory(domain);
    return found;
}

bool real_session_user(void*, uint32_t session, AccountSid* user) {
    OwnedHandle token(session_user_token(session));
    if (token) return token_account(token.get(), user);
    if (GetLastError() == ERROR_NO_TOKEN) return false;  // nobody is logged on there
    return session_user_by_name(session, user);
}

bool real_server_facts(void*, void* pipe, const wchar_t* trusted_host_path, UiServerFacts* facts) {
    *facts = UiServerFacts{};
    facts->session = ui_no_session;
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe, &pid)) return false;
    facts->pid = pid;
    ULONG session = ui_no_session;
    if (GetNamedPipeServerSessionId(pipe, &session)) facts->session = session;
    if (process_image_path(pid, facts->image, path_cch))
        facts->image_ours = same_file_path(facts->image, trusted_host_path);
    process_account(pid, &facts->user);
    return true;
}

// Starts the command line in the session with the session user's token; the process handle or
// null.
HANDLE start_as_session_user(const Settings* s, HANDLE token, wchar_t* command_line, DWORD session) {
    OwnedHandle primary(session_primary_token(token, session));
    if (!primary) return nullptr;
    HANDLE process = nullptr;
    if (!create_process_in_session(primary.get(), nullptr, command_line, nullptr, nullptr, &process)) {
        log_event(s, L"UI CreateProcessAsUserW failed: %lu session=%lu", ul(GetLastError()), ul(session));
        return nullptr;
    }
    log_event(s, L"UI launch via user token ok, session=%lu", ul(session));
    return process;
}

// A caller that may not ask for the session's token (the console) starts the host itself, but
// only in its own session and only when it is that session's user: never as anyone else.
bool may_start_as_self(DWORD session, const AccountSid* user) {
    AccountSid self = {};
    HANDLE raw = nullptr;
    if (ui_own_session() != session || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    OwnedHandle token(raw);
    return token_account(token.get(), &self) && !is_service_account(&self) && same_account(&self, user);
}

void* real_start_host(void*, const Settings* s, uint32_t session, const AccountSid* user, const wchar_t* host_path) {
    wchar_t command_line[command_line_cch];
    if (text_format(command_line, command_line_cch, L"\"%s\" --pipe", host_path) != text_ok) return nullptr;

    OwnedHandle token(session_user_token(session));
    if (token) return start_as_session_user(s, token.get(), command_line, session);
    if (may_start_as_self(session, user)) {
        HANDLE process = nullptr;
        if (create_process_as_self(nullptr, command_line, nullptr, nullptr, &process)) {
            log_event(s, L"UI launch in own session ok, session=%lu", ul(session));
            return process;
        }
        log_event(s, L"UI CreateProcessW failed: %lu session=%lu", ul(GetLastError()), ul(session));
        return nullptr;
    }
    log_event(s, L"UI get user token failed session=%lu", ul(session));
    return nullptr;
}

const UiSystemPorts real_ports = {nullptr, real_session_user, real_server_facts, real_start_host, nullptr};

// Opens the pipe of a host that was just started. The pipe is tried every 50 ms: for the start-up
// wait in any case, and beyond it, up to the limit, for as long as the host we started still runs.
// A cold start (the first after log-on, a loaded machine) can take seconds and would otherwise be
// refused; a second host that found one already running ends at once and costs nothing more. A
// busy host (all of its instances taken) is not waited for.
HANDLE open_started_host_pipe(const UiBrokerOptions* options, const wchar_t* pipe_name, HANDLE started_host) {
    const ULONGLONG start = GetTickCount64();
    const ULONGLONG limit = options->start_limit_ms > options->start_wait_ms ? options->start_limit_ms
                                                                             : options->start_wait_ms;
    for (;;) {
        HANDLE pipe = open_ui_pipe(pipe_name);
        if (pipe != INVALID_HANDLE_VALUE || GetLastError() == ERROR_PIPE_BUSY) return pipe;
        ULONGLONG waited = GetTickCount64() - start;
        if (waited >= limit) return pipe;
        bool host_running = started_host && WaitForSingleObject(started_host, 0) == WAIT_TIMEOUT;
        if (waited >= options->start_wait_ms && !host_running) return pipe;
        Sleep(start_poll_ms);
    }
}

// True when the pipe's server may see the request; logs the refusal otherwise.
bool server_trusted(const Settings* s, const UiSystemPorts* ports, HANDLE pipe, const wchar_t* trusted_path,
                    uint32_t session, const AccountSid* session_user) {
    UiServerFacts facts;
    UiTrust trust = UiTrust::not_our_image;
    if (ports->server_facts(ports->state, pipe, trusted_path, &facts)) {
        trust = ui_judge_server(&facts, session, session_user);
    } else {
        facts = UiServerFacts{};
        facts.session = ui_no_session;
    }
    if (trust == UiTrust::trusted) return true;
    log_event(s, L"UI pipe server not trusted (%s): pid=%lu session=%lu image=%s", ui_trust_word(trust),
              ul(facts.pid), ul(facts.session), facts.image[0] ? facts.image : L"(unknown)");
    return false;
}

bool write_request(const UiBrokerOptions* options, HANDLE pipe, UiAuthRequest* request) {
    DWORD written = 0;
    return pipe_transfer_bounded(pipe, true, request, sizeof *request, options->reply_timeout_ms, &written) &&
           written == sizeof *request;
}

// Opens the pipe again; true only when its server is the very process that served the first
// connection (the push was made for its user) and it is still trusted.
bool reconnect_same_host(const Settings* s, const UiBrokerOptions* options, const UiSystemPorts* ports,
                         const wchar_t* pipe_name, uint32_t session, const AccountSid* user, OwnedHandle* pipe) {
    ULONG first = 0, again = 0;
    if (!GetNamedPipeServerProcessId(pipe->get(), &first)) return false;
    pipe->reset(open_started_host_pipe(options, pipe_name, nullptr));
    return *pipe && GetNamedPipeServerProcessId(pipe->get(), &again) && again == first &&
           server_trusted(s, ports, pipe->get(), options->trusted_host_path, session, user);
}

// The shipped values: the session's pipe, and SentrelUI.exe beside the running executable as the
// host to start and the only one to trust. Without our own path (host stays empty) nothing is
// started and nothing trusted, so every round is refused.
UiBrokerOptions shipped_options(wchar_t (&host)[path_cch]) {
    host[0] = L'\0';
    path_beside_exe(ui_host_file_name, host, path_cch);
    return UiBrokerOptions{nullptr, host, host, ui_reply_timeout_ms, ui_start_wait_ms, ui_start_limit_ms,
                           nullptr, nullptr, nullptr};
}

}  // namespace

const UiSystemPorts* ui_system_ports() { return &real_ports; }

uint32_t ui_own_session() {
    DWORD session = ui_no_session;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) return ui_no_session;
    return session;
}

bool own_process_account(AccountSid* out) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    OwnedHandle token(raw);
    return token_account(token.get(), out);
}

bool authenticate_via_ui_with(const UiBrokerOptions* options, uint32_t session, const Settings* s, const Rule* rule,
                              const wchar_t* target, const wchar_t* detail, wchar_t* message, size_t cch_message) {
    return authenticate_via_ui_with_starter(options, session, nullptr, s, rule, target, detail, message, cch_message);
}

bool authenticate_via_ui_with_starter(const UiBrokerOptions* options, uint32_t session, const AccountSid* starter,
                                      const Settings* s, const Rule* rule, const wchar_t* target,
                                      const wchar_t* detail, wchar_t* message, size_t cch_message) {
    UiAuthRequest request;
    build_ui_request(rule, target, detail, &request);
    const UiSystemPorts* ports = options->ports ? options->ports : &real_ports;

    // Nobody to ask: refused at once, and no host is started as anyone else or in session 0.
    AccountSid user = {};
    if (!ui_session_can_show(session) || !ports->session_user(ports->state, session, &user) ||
        is_service_account(&user)) {
        log_event(s, L"UI get user token failed session=%lu", ul(session));
        return ui_round_result(UiRound::no_user, nullptr, message, cch_message);
    }
    // The factor is the starter's: with no mfa_username, someone else's program is not asked about
    // in this person's name.
    if (ui_round_account(s ? s->mfa_username : nullptr, starter, &user) == UiAccount::other_account) {
        log_event(s, L"UI round refused: started as another account than the session's user, session=%lu",
                  ul(session));
        ui_other_account_text(message, cch_message);
        return false;
    }
    wchar_t pipe_name[ui_pipe_name_cch];
    if (options->pipe_name) {
        text_copy(pipe_name, options->pipe_name);
    } else if (!ui_pipe_name_for(session, pipe_name, ui_pipe_name_cch)) {
        return ui_round_result(UiRound::not_connected, nullptr, message, cch_message);
    }

    OwnedHandle pipe(open_ui_pipe(pipe_name));
    if (!pipe && GetLastError() != ERROR_PIPE_BUSY) {
        OwnedHandle host;
        if (options->host_path && options->host_path[0])
            host.reset(ports->start_host(ports->state, s, session, &user, options->host_path));
        pipe.reset(open_started_host_pipe(options, pipe_name, host.get()));
    }
    if (!pipe) return ui_round_result(UiRound::not_connected, nullptr, message, cch_message);
    if (!server_trusted(s, ports, pipe.get(), options->trusted_host_path, session, &user))
        return ui_round_result(UiRound::untrusted, nullptr, message, cch_message);

    const ULONGLONG deadline = GetTickCount64() + options->reply_timeout_ms;
    const uint32_t mode = request.mode;
    const bool push = mode == ui_mode_push;
    Settings round_settings;
    ui_round_settings(s, ports, starter, pipe.get(), &round_settings);
    if (push) {
        if (!ui_request_broker_push(options, s, &round_settings, &request, message, cch_message)) return false;
    } else {
        if ((mode == ui_mode_sms || mode == ui_mode_email) &&
            !ui_request_broker_message_code(options, s, &round_settings, &request, message, cch_message))
            return false;
    }
    request.mode = ui_request_mode_word(mode, s ? s->language : nullptr);
    if (!write_request(options, pipe.get(), &request)) {
        // A host may drop a client that stayed silent while the push or code was being requested:
        // the same host, listening again, is asked once more.
        if (!reconnect_same_host(s, options, ports, pipe_name, session, &user, &pipe) ||
            !write_request(options, pipe.get(), &request))
            return ui_round_result(UiRound::send_failed, nullptr, message, cch_message);
    }
    if (push)
        return ui_run_push_round(options, s, &round_settings, pipe.get(), &request, deadline, message, cch_message);
    return ui_run_code_round(options, s, &round_settings, pipe.get(), &request, deadline, message, cch_message);
}

bool authenticate_via_ui(uint32_t session, const Settings* s, const Rule* rule, const wchar_t* target,
                         const wchar_t* detail, wchar_t* message, size_t cch_message) {
    return authenticate_via_ui_as(session, nullptr, s, rule, target, detail, message, cch_message);
}

bool authenticate_via_ui_as(uint32_t session, const AccountSid* starter, const Settings* s, const Rule* rule,
                            const wchar_t* target, const wchar_t* detail, wchar_t* message, size_t cch_message) {
    wchar_t host[path_cch];
    UiBrokerOptions options = shipped_options(host);
    return authenticate_via_ui_with_starter(&options, session, starter, s, rule, target, detail, message,
                                            cch_message);
}

bool authenticate_admin_with(const UiBrokerOptions* options, uint32_t session, const Settings* s,
                             const wchar_t* operation, wchar_t* message, size_t cch_message) {
    Rule rule;
    build_admin_rule(s, operation, &rule);
    wchar_t result[ui_result_cch];
    if (authenticate_via_ui_with(options, session, s, &rule, admin_auth_target, nullptr, result, ui_result_cch))
        return true;
    text_copy(message, cch_message, result);
    return false;
}

bool authenticate_admin(const Settings* s, const wchar_t* operation, wchar_t* message, size_t cch_message) {
    wchar_t host[path_cch];
    UiBrokerOptions options = shipped_options(host);
    return authenticate_admin_with(&options, ui_own_session(), s, operation, message, cch_message);
}
