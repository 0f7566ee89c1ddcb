// The broker's own push: requested before the dialog is asked, polled by the broker while it is
// shown.
//
// The push is created for the person in front of the dialog: the configured mfa_username, or else
// the account that started the program or command (which must be the session's user), or the
// account that runs the dialog host; never the caller's own account (LocalSystem in the service). Its challenge id and passcode go into the request, so the dialog shows that passcode
// and waits for the broker's verdict. An approving answer of a host counts only when the broker's
// own poll says approved; that poll is repeated a few times while the challenge still reads open
// or the server cannot be reached, so a slow server or a lost answer does not turn a real approval
// into a refusal.
#include <windows.h>

#include "common/handle.h"
#include "common/log.h"
#include "common/mfa_client.h"
#include "common/process_identity.h"
#include "common/settings.h"
#include "common/text.h"
#include "common/ui_broker.h"

namespace {

constexpr size_t error_cch = 512;
constexpr size_t status_cch = 64;
constexpr size_t account_cch = sizeof(Settings::mfa_username) / sizeof(wchar_t);

const UiPushCalls mfa_push_calls = {request_push, poll_push_status, ui_push_confirm_interval_ms};

const UiPushCalls* calls_of(const UiBrokerOptions* options) {
    return options && options->push_calls ? options->push_calls : &mfa_push_calls;
}

// DOMAIN\user of an account (names without their domain would let alice and CORP\alice share a
// factor); false when it cannot be named.
bool real_account_name(const AccountSid* account, wchar_t* out, size_t cch_out) {
    wchar_t name[256], domain[256];
    DWORD cch_name = ARRAYSIZE(name), cch_domain = ARRAYSIZE(domain);
    SID_NAME_USE use;
    if (!account || account->cb == 0 ||
        !LookupAccountSidW(nullptr, const_cast<BYTE*>(account->sid), name, &cch_name, domain, &cch_domain, &use))
        return false;
    wchar_t full[account_cch];
    if (text_format(full, account_cch, L"%s\\%s", domain, name) != text_ok) return false;
    return text_copy(out, cch_out, full) == text_ok;
}

bool name_of(const UiSystemPorts* ports, const AccountSid* account, wchar_t* out, size_t cch_out) {
    if (ports && ports->account_name) return ports->account_name(ports->state, account, out, cch_out);
    return real_account_name(account, out, cch_out);
}

// The account of the process at the server end of the pipe; false when it cannot be read.
bool host_account(HANDLE pipe, AccountSid* out) {
    ULONG pid = 0;
    return GetNamedPipeServerProcessId(pipe, &pid) && process_account(pid, out);
}

}  // namespace

void ui_round_settings(const Settings* s, const UiSystemPorts* ports, const AccountSid* account, void* pipe,
                       Settings* out) {
    *out = s ? *s : Settings{};
    if (out->mfa_username[0]) return;
    AccountSid host = {};
    if ((!account || account->cb == 0) && host_account(pipe, &host)) account = &host;
    wchar_t name[account_cch];  // without one, the MFA client names the caller's account
    if (name_of(ports, account, name, account_cch)) text_copy(out->mfa_username, name);
}

bool ui_request_broker_push(const UiBrokerOptions* options, const Settings* s, const Settings* push_settings,
                            UiAuthRequest* request, wchar_t* message, size_t cch_message) {    wchar_t id[128] = L"", passcode[32] = L"", error[error_cch] = L"";
    bool created = calls_of(options)->request(push_settings, id, ARRAYSIZE(id), passcode, ARRAYSIZE(passcode), error,
                                              error_cch);
    if (created && !id[0]) {
        created = false;
        text_copy(error, L"服务器未返回 challenge_id");
    }
    if (!created) {
        log_event(s, L"UI push request failed: %s", error);
        ui_push_request_failed(error, message, cch_message);
        return false;
    }
    text_copy(request->challenge_id, id);
    text_copy(request->passcode, passcode);
    return true;
}

PushSeen ui_poll_broker_push(const UiBrokerOptions* options, const Settings* push_settings, const wchar_t* challenge_id,
                             wchar_t* status, size_t cch_status, wchar_t* error, size_t cch_error) {
    status[0] = error[0] = L'\0';
    bool ok = calls_of(options)->poll(push_settings, challenge_id, status, cch_status, error, cch_error);
    return ui_push_seen(ok, status);
}

PushSeen ui_confirm_broker_push(const UiBrokerOptions* options, const Settings* s, const Settings* push_settings,
                                const wchar_t* challenge_id) {
    const UiPushCalls* calls = calls_of(options);
    PushSeen seen = PushSeen::unreachable;
    wchar_t status[status_cch] = L"", error[error_cch] = L"";
    for (int polls = 0;;) {
        status[0] = error[0] = L'\0';
        bool ok = calls->poll(push_settings, challenge_id, status, status_cch, error, error_cch);
        seen = ui_push_seen(ok, status);
        if (!ui_push_poll_again(seen, ++polls)) break;
        Sleep(calls->poll_interval_ms);
    }
    if (seen != PushSeen::approved)
        log_event(s, L"UI push approval not confirmed by the server: %s",
                  seen == PushSeen::unreachable ? error : status);
    return seen;
}
