// The broker's record building and result texts; the pipe and process work is in ui_broker_win.cpp.
#include "common/ui_broker.h"

#include "common/policy.h"
#include "common/settings.h"
#include "common/text.h"

namespace {

constexpr const wchar_t* text_no_user = L"目标会话中没有登录的用户，无法显示认证界面，默认拒绝";
constexpr const wchar_t* text_not_connected = L"无法连接认证界面，默认拒绝";
constexpr const wchar_t* text_untrusted = L"认证界面不可信，默认拒绝";
constexpr const wchar_t* text_send_failed = L"发送认证请求失败";
constexpr const wchar_t* text_no_reply = L"等待认证结果超时，默认拒绝";
constexpr const wchar_t* text_approved = L"认证成功";
constexpr const wchar_t* text_refused = L"用户取消或认证失败";
constexpr const wchar_t* text_push_request_failed = L"推送请求失败，默认拒绝";
constexpr const wchar_t* text_push_unconfirmed = L"推送未经服务器确认，默认拒绝";
constexpr const wchar_t* text_push_unreachable = L"无法向服务器确认推送结果，默认拒绝";

// Capacities of the record fields read here, in characters.
constexpr size_t rule_name_cch = sizeof(Rule::display_name) / sizeof(wchar_t);
constexpr size_t rule_mode_cch = sizeof(Rule::auth_mode) / sizeof(wchar_t);
constexpr size_t admin_mode_cch = sizeof(Settings::admin_auth_mode) / sizeof(wchar_t);
constexpr size_t reply_message_cch = sizeof(UiAuthReply::message) / sizeof(wchar_t);

}  // namespace

bool ui_pipe_name_for(uint32_t session, wchar_t* out, size_t cch_out) {
    wchar_t name[ui_pipe_name_cch];
    if (text_format(name, ui_pipe_name_cch, L"%s.%lu", ui_pipe_name, static_cast<unsigned long>(session)) != text_ok ||
        text_length(name, ui_pipe_name_cch) >= cch_out)
        return false;
    return text_copy(out, cch_out, name) == text_ok;
}

bool ui_session_can_show(uint32_t session) { return session != 0 && session != ui_no_session; }

bool ui_host_pipe_sddl(const wchar_t* user_sid, wchar_t* out, size_t cch_out) {
    wchar_t sddl[ui_host_pipe_sddl_cch];
    if (!user_sid || !user_sid[0] ||
        text_format(sddl, ui_host_pipe_sddl_cch, L"D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GRGW;;;BA)(A;;GRGW;;;%s)", user_sid) !=
            text_ok ||
        text_length(sddl, ui_host_pipe_sddl_cch) >= cch_out)
        return false;
    return text_copy(out, cch_out, sddl) == text_ok;
}

UiTrust ui_judge_server(const UiServerFacts* server, uint32_t session, const AccountSid* session_user) {
    if (!server->image_ours) return UiTrust::not_our_image;
    if (!ui_session_can_show(session) || server->session != session) return UiTrust::other_session;
    if (!same_account(&server->user, session_user) || is_service_account(&server->user)) return UiTrust::other_user;
    return UiTrust::trusted;
}

const wchar_t* ui_trust_word(UiTrust trust) {
    switch (trust) {
        case UiTrust::not_our_image:
            return L"image";
        case UiTrust::other_session:
            return L"session";
        case UiTrust::other_user:
            return L"user";
        case UiTrust::trusted:
            break;
    }
    return L"";
}

uint32_t ui_mode_code(const wchar_t* auth_mode) {
    if (!auth_mode) return ui_mode_totp;
    wchar_t mode[rule_mode_cch + 1];
    text_copy_n(mode, rule_mode_cch + 1, auth_mode, rule_mode_cch);
    if (text_equal_ascii_nocase(mode, L"push")) return ui_mode_push;
    if (text_equal_ascii_nocase(mode, L"sms")) return ui_mode_sms;
    if (text_equal_ascii_nocase(mode, L"email")) return ui_mode_email;
    return ui_mode_totp;
}

void build_ui_request(const Rule* rule, const wchar_t* target, const wchar_t* detail, UiAuthRequest* out) {
    *out = UiAuthRequest{};
    out->magic = ui_auth_magic;
    out->mode = ui_mode_code(rule ? rule->auth_mode : nullptr);
    if (rule) text_copy_n(out->title, rule_name_cch, rule->display_name, rule_name_cch);
    text_copy(out->target, target);
    text_copy(out->detail, detail);
}

bool ui_round_result(UiRound round, const UiAuthReply* reply, wchar_t* message, size_t cch_message) {
    switch (round) {
        case UiRound::no_user:
            text_copy(message, cch_message, text_no_user);
            return false;
        case UiRound::not_connected:
            text_copy(message, cch_message, text_not_connected);
            return false;
        case UiRound::untrusted:
            text_copy(message, cch_message, text_untrusted);
            return false;
        case UiRound::send_failed:
            text_copy(message, cch_message, text_send_failed);
            return false;
        case UiRound::no_reply:
            text_copy(message, cch_message, text_no_reply);
            return false;
        case UiRound::replied:
            break;
    }
    // The host's text is bounded by its field, terminated or not.
    if (reply->message[0] == L'\0') {
        text_copy(message, cch_message, text_refused);
    } else {
        text_copy_n(message, cch_message, reply->message, reply_message_cch);
    }
    return false;
}

bool ui_round_passed(wchar_t* message, size_t cch_message) {
    text_copy(message, cch_message, text_approved);
    return true;
}

PushSeen ui_push_seen(bool call_ok, const wchar_t* status) {
    if (!call_ok) return PushSeen::unreachable;
    if (!status) return PushSeen::open;
    if (text_equal_ascii_nocase(status, L"approved")) return PushSeen::approved;
    if (text_equal_ascii_nocase(status, L"rejected") || text_equal_ascii_nocase(status, L"expired"))
        return PushSeen::refused;
    return PushSeen::open;
}

bool ui_push_poll_again(PushSeen seen, int polls_done) {
    return (seen == PushSeen::open || seen == PushSeen::unreachable) && polls_done < ui_push_confirm_polls;
}

bool ui_push_round_result(UiRound round, const UiAuthReply* reply, PushSeen seen, wchar_t* message,
                          size_t cch_message) {
    if (round != UiRound::replied || reply->approved == 0) return ui_round_result(round, reply, message, cch_message);
    switch (seen) {
        case PushSeen::approved:
            return ui_round_passed(message, cch_message);
        case PushSeen::unreachable:
            text_copy(message, cch_message, text_push_unreachable);
            return false;
        case PushSeen::open:
        case PushSeen::refused:
            break;
    }
    text_copy(message, cch_message, text_push_unconfirmed);
    return false;
}

void ui_push_refusal_text(PushSeen seen, const wchar_t* status, const wchar_t* error, wchar_t* out, size_t cch_out) {
    if (seen == PushSeen::unreachable) {
        if (error && error[0])
            text_format(out, cch_out, L"%s：%s", text_push_unreachable, error);
        else
            text_copy(out, cch_out, text_push_unreachable);
        return;
    }
    if (status && status[0] && text_length(status, 64) < 64)
        text_format(out, cch_out, L"%s：%s", text_push_unconfirmed, status);
    else
        text_copy(out, cch_out, text_push_unconfirmed);
}

void ui_push_request_failed(const wchar_t* reason, wchar_t* message, size_t cch_message) {
    if (reason && reason[0])
        text_format(message, cch_message, L"%s：%s", text_push_request_failed, reason);
    else
        text_copy(message, cch_message, text_push_request_failed);
}

UiAccount ui_round_account(const wchar_t* mfa_username, const AccountSid* starter, const AccountSid* session_user) {
    if (mfa_username && mfa_username[0]) return UiAccount::configured;
    if (!starter || starter->cb == 0) return UiAccount::host;
    return same_account(starter, session_user) ? UiAccount::starter : UiAccount::other_account;
}

void ui_other_account_text(wchar_t* message, size_t cch_message) {
    text_copy(message, cch_message, L"以其他账户启动；请设置 mfa_username 或以本人身份启动，默认拒绝");
}

void build_admin_rule(const Settings* s, const wchar_t* operation, Rule* out) {
    *out = Rule{};
    out->type = rule_type_command;
    text_copy(out->display_name, operation);
    bool has_mode = s && text_length(s->admin_auth_mode, admin_mode_cch) > 0;
    text_copy_n(out->auth_mode, rule_mode_cch, has_mode ? s->admin_auth_mode : L"totp", admin_mode_cch);
    out->cache_window_seconds = 0;
}
