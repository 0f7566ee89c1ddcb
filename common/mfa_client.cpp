// The five MFA calls: body, exchange, status judgement, answer fields. Answers are read with
// scan_json_value taking values as they stand; a missing field leaves the caller's buffer as it was.
#include "common/mfa_client.h"

#include "common/http.h"
#include "common/settings.h"
#include "common/text.h"

namespace {

constexpr const wchar_t* reason_and_app =
    L"\"reason\":\"Sentrel认证\",\"expires_in\":300,\"client_app\":\"Sentrel Service v2.0\"";

void set_error(wchar_t* err, size_t cch_err, const wchar_t* format, unsigned long status) {
    if (err && cch_err) text_format(err, cch_err, format, status);
}

// A body cut to fit its buffer would be broken JSON: it is refused, never sent.
bool refuse_long_body(wchar_t* err, size_t cch_err) {
    if (err && cch_err) text_copy(err, cch_err, L"请求内容过长，未发送");
    return false;
}

}  // namespace

void read_answer_field(const wchar_t* answer, const wchar_t* key, wchar_t* out, size_t cch_out) {
    if (out && cch_out) scan_json_value(answer, key, out, cch_out, JsonEscapes::raw);
}

bool build_verify_totp_body(const wchar_t* user, const wchar_t* code, const wchar_t* address,
                            const wchar_t* country_code, wchar_t* out, size_t cch_out) {
    wchar_t e_user[256], e_code[128], e_address[512], e_country[64];
    json_escape(user, e_user, ARRAYSIZE(e_user));
    json_escape(code, e_code, ARRAYSIZE(e_code));
    json_escape(address, e_address, ARRAYSIZE(e_address));
    json_escape(country_code, e_country, ARRAYSIZE(e_country));
    return text_format(out, cch_out, L"{\"username\":\"%s\",\"code\":\"%s\",\"address\":\"%s\",\"country_code\":\"%s\"}",
                       e_user, e_code, e_address, e_country) == text_ok;
}

bool build_push_request_body(const wchar_t* user, const wchar_t* client_ip, const wchar_t* address,
                             const wchar_t* country_code, wchar_t* out, size_t cch_out) {
    wchar_t e_user[256], e_address[512], e_country[64];
    json_escape(user, e_user, ARRAYSIZE(e_user));
    json_escape(address, e_address, ARRAYSIZE(e_address));
    json_escape(country_code, e_country, ARRAYSIZE(e_country));
    return text_format(out, cch_out,
                       L"{\"username\":\"%s\",\"client_ip\":\"%s\",%s,\"location\":{\"address\":\"%s\",\"country_code\":\"%s\"}}",
                       e_user, client_ip ? client_ip : L"", reason_and_app, e_address, e_country) == text_ok;
}

bool build_message_request_body(const wchar_t* user, const wchar_t* auth_type, const wchar_t* client_ip,
                                const wchar_t* address, const wchar_t* country_code, wchar_t* out, size_t cch_out) {
    wchar_t e_user[256], e_type[32], e_address[512], e_country[64];
    json_escape(user, e_user, ARRAYSIZE(e_user));
    json_escape(auth_type, e_type, ARRAYSIZE(e_type));
    json_escape(address, e_address, ARRAYSIZE(e_address));
    json_escape(country_code, e_country, ARRAYSIZE(e_country));
    return text_format(out, cch_out,
                       L"{\"username\":\"%s\",\"auth_type\":\"%s\",\"client_ip\":\"%s\",\"login\":\"%s\",%s,"
                       L"\"location\":{\"address\":\"%s\",\"country_code\":\"%s\"}}",
                       e_user, e_type, client_ip ? client_ip : L"", e_user, reason_and_app, e_address, e_country) == text_ok;
}

bool build_message_verify_body(const wchar_t* id, const wchar_t* code, wchar_t* out, size_t cch_out) {
    wchar_t e_id[256], e_code[128];
    json_escape(id, e_id, ARRAYSIZE(e_id));
    json_escape(code, e_code, ARRAYSIZE(e_code));
    return text_format(out, cch_out, L"{\"challenge_id\":\"%s\",\"code\":\"%s\"}", e_id, e_code) == text_ok;
}

void build_push_status_path(const wchar_t* id, wchar_t* out, size_t cch_out) {
    text_format(out, cch_out, mfa_push_status_path, id ? id : L"");
}

bool judge_verify_totp(unsigned long status, wchar_t* err, size_t cch_err) {
    if (status == 200) return true;
    if (status == 401) set_error(err, cch_err, L"验证码错误或用户不存在", status);
    else if (status == 403) set_error(err, cch_err, L"被地域安全策略拒绝", status);
    else set_error(err, cch_err, L"认证失败，HTTP %lu", status);
    return false;
}

bool judge_request_push(unsigned long status, const wchar_t* answer, wchar_t* err, size_t cch_err) {
    if (status == 200) return true;
    wchar_t start[64];
    text_copy_n(start, ARRAYSIZE(start), answer, 63);
    if (err && cch_err) text_format(err, cch_err, L"Push挑战失败, HTTP:%lu 响应:%s", status, start);
    return false;
}

bool judge_poll_push(unsigned long status, wchar_t* err, size_t cch_err) {
    if (status == 200) return true;
    set_error(err, cch_err, L"Push 轮询失败，HTTP %lu", status);
    return false;
}

bool judge_request_message(unsigned long status, wchar_t* err, size_t cch_err) {
    if (status == 200 || status == 201) return true;
    set_error(err, cch_err, L"验证码发送失败，HTTP %lu", status);
    return false;
}

bool judge_verify_message(unsigned long status, wchar_t* err, size_t cch_err) {
    if (status == 200) return true;
    if (status == 401) set_error(err, cch_err, L"验证码错误或已过期", status);
    else set_error(err, cch_err, L"验证失败，HTTP %lu", status);
    return false;
}

MfaCheck check_totp(const Settings* s, const wchar_t* code, wchar_t* err, size_t cch_err) {
    if (err && cch_err) err[0] = L'\0';
    if (!s || !s->server_url[0] || !s->api_key[0]) {
        if (err && cch_err) text_copy(err, cch_err, L"server_url/api_key 未配置");
        return MfaCheck::failed;
    }
    wchar_t user[128], body[mfa_body_cch], answer[2048];
    mfa_user_name(s, user, ARRAYSIZE(user));
    if (!build_verify_totp_body(user, code, s->address, s->country_code, body, ARRAYSIZE(body))) {
        refuse_long_body(err, cch_err);
        return MfaCheck::failed;
    }
    unsigned long status = 0;
    if (!post_json(s, mfa_verify_path, body, &status, answer, ARRAYSIZE(answer), err, cch_err))
        return MfaCheck::failed;
    if (judge_verify_totp(status, err, cch_err)) return MfaCheck::passed;
    return status == 401 ? MfaCheck::wrong_code : MfaCheck::failed;
}

bool verify_totp(const Settings* s, const wchar_t* code, wchar_t* err, size_t cch_err) {
    return check_totp(s, code, err, cch_err) == MfaCheck::passed;
}

bool request_push(const Settings* s, wchar_t* id, size_t cch_id, wchar_t* passcode, size_t cch_passcode,
                  wchar_t* err, size_t cch_err) {
    wchar_t user[128], ip[mfa_client_ip_cch], body[mfa_body_cch], answer[4096];
    mfa_user_name(s, user, ARRAYSIZE(user));
    client_ip_for(s, ip, ARRAYSIZE(ip));
    if (!build_push_request_body(user, ip, s ? s->address : L"", s ? s->country_code : L"", body, ARRAYSIZE(body)))
        return refuse_long_body(err, cch_err);
    unsigned long status = 0;
    if (!post_json(s, mfa_push_request_path, body, &status, answer, ARRAYSIZE(answer), err, cch_err)) return false;
    if (!judge_request_push(status, answer, err, cch_err)) return false;
    read_answer_field(answer, L"challenge_id", id, cch_id);
    read_answer_field(answer, L"passcode", passcode, cch_passcode);
    return true;
}

bool poll_push_status(const Settings* s, const wchar_t* id, wchar_t* status_text, size_t cch_status, wchar_t* err,
                      size_t cch_err) {
    wchar_t path[256], answer[2048];
    build_push_status_path(id, path, ARRAYSIZE(path));
    unsigned long status = 0;
    if (!get_json(s, path, &status, answer, ARRAYSIZE(answer), err, cch_err)) return false;
    if (!judge_poll_push(status, err, cch_err)) return false;
    read_answer_field(answer, L"status", status_text, cch_status);
    return true;
}

bool request_message_code(const Settings* s, const wchar_t* auth_type, wchar_t* id, size_t cch_id, wchar_t* dest,
                          size_t cch_dest, wchar_t* err, size_t cch_err) {
    wchar_t user[128], ip[mfa_client_ip_cch], body[mfa_body_cch], answer[4096];
    mfa_user_name(s, user, ARRAYSIZE(user));
    client_ip_for(s, ip, ARRAYSIZE(ip));
    if (!build_message_request_body(user, auth_type, ip, s ? s->address : L"", s ? s->country_code : L"", body,
                                    ARRAYSIZE(body)))
        return refuse_long_body(err, cch_err);
    unsigned long status = 0;
    if (!post_json(s, mfa_message_request_path, body, &status, answer, ARRAYSIZE(answer), err, cch_err))
        return false;
    if (!judge_request_message(status, err, cch_err)) return false;
    read_answer_field(answer, L"challenge_id", id, cch_id);
    read_answer_field(answer, L"masked_destination", dest, cch_dest);
    return true;
}

MfaCheck check_message_code(const Settings* s, const wchar_t* id, const wchar_t* code, wchar_t* err, size_t cch_err) {
    wchar_t body[mfa_verify_body_cch], answer[2048];
    if (!build_message_verify_body(id, code, body, ARRAYSIZE(body))) {
        refuse_long_body(err, cch_err);
        return MfaCheck::failed;
    }
    unsigned long status = 0;
    if (!post_json(s, mfa_message_verify_path, body, &status, answer, ARRAYSIZE(answer), err, cch_err))
        return MfaCheck::failed;
    if (judge_verify_message(status, err, cch_err)) return MfaCheck::passed;
    return status == 401 ? MfaCheck::wrong_code : MfaCheck::failed;
}

bool verify_message_code(const Settings* s, const wchar_t* id, const wchar_t* code, wchar_t* err, size_t cch_err) {
    return check_message_code(s, id, code, err, cch_err) == MfaCheck::passed;
}
