// Client side of the MFA server's REST API: five blocking calls over the HTTP transport, and the
// choice of the client address to report. No state is kept between calls; the caller holds the
// challenge id. Every call returns true on success and otherwise leaves the reason in err.
#pragma once
#include <stddef.h>

struct Settings;

constexpr const wchar_t* mfa_verify_path = L"/api/v1/auth/verify";
constexpr const wchar_t* mfa_push_request_path = L"/api/v1/auth/push/request";
constexpr const wchar_t* mfa_push_status_path = L"/api/v1/auth/push/status?challenge_id=%s";
constexpr const wchar_t* mfa_message_request_path = L"/api/v1/auth/message/request";
constexpr const wchar_t* mfa_message_verify_path = L"/api/v1/auth/message/verify";
constexpr size_t mfa_body_cch = 1024;
constexpr size_t mfa_verify_body_cch = 512;   // the message-verify body
constexpr size_t mfa_client_ip_cch = 64;

// What the server said of a typed code: accepted, refused as wrong (HTTP 401: the person may type
// it again), or the check itself failed (no answer, another status): err holds the reason.
enum class MfaCheck { passed, wrong_code, failed };
MfaCheck check_totp(const Settings* s, const wchar_t* code, wchar_t* err, size_t cch_err);
MfaCheck check_message_code(const Settings* s, const wchar_t* id, const wchar_t* code, wchar_t* err, size_t cch_err);
// check_totp / check_message_code == passed.
bool verify_totp(const Settings* s, const wchar_t* code, wchar_t* err, size_t cch_err);
bool request_push(const Settings* s, wchar_t* id, size_t cch_id, wchar_t* passcode, size_t cch_passcode,
                  wchar_t* err, size_t cch_err);
bool poll_push_status(const Settings* s, const wchar_t* id, wchar_t* status, size_t cch_status, wchar_t* err,
                      size_t cch_err);
// auth_type is "sms" or "email"; id and dest may be null.
bool request_message_code(const Settings* s, const wchar_t* auth_type, wchar_t* id, size_t cch_id, wchar_t* dest,
                          size_t cch_dest, wchar_t* err, size_t cch_err);
bool verify_message_code(const Settings* s, const wchar_t* id, const wchar_t* code, wchar_t* err, size_t cch_err);
// The configured client_ip unless empty or "127.0.0.1"; else the first IPv4 address of the host
// name that is not the loopback one; else "127.0.0.1". out always holds an address afterwards.
void client_ip_for(const Settings* s, wchar_t* out, size_t cch_out);
// mfa_username when set, else the account name of the calling process (up to 127 characters).
void mfa_user_name(const Settings* s, wchar_t* out, size_t cch_out);

// --- pure parts: bodies, paths, status judgement, answer fields ---

// The values are escaped here (user name 256, code 128, auth type 32, address 512, country code
// 64, challenge id 256); client_ip is inserted as it stands. False when the body does not fit out:
// the call then refuses rather than send broken JSON.
bool build_verify_totp_body(const wchar_t* user, const wchar_t* code, const wchar_t* address,
                            const wchar_t* country_code, wchar_t* out, size_t cch_out);
bool build_push_request_body(const wchar_t* user, const wchar_t* client_ip, const wchar_t* address,
                             const wchar_t* country_code, wchar_t* out, size_t cch_out);
bool build_message_request_body(const wchar_t* user, const wchar_t* auth_type, const wchar_t* client_ip,
                                const wchar_t* address, const wchar_t* country_code, wchar_t* out, size_t cch_out);
bool build_message_verify_body(const wchar_t* id, const wchar_t* code, wchar_t* out, size_t cch_out);
// The status path with the challenge id as it stands (no URL encoding), into 256 units.
void build_push_status_path(const wchar_t* id, wchar_t* out, size_t cch_out);

// Each maps an HTTP status to success, or writes the call's error text and returns false.
bool judge_verify_totp(unsigned long status, wchar_t* err, size_t cch_err);
bool judge_request_push(unsigned long status, const wchar_t* answer, wchar_t* err, size_t cch_err);
bool judge_poll_push(unsigned long status, wchar_t* err, size_t cch_err);
bool judge_request_message(unsigned long status, wchar_t* err, size_t cch_err);
bool judge_verify_message(unsigned long status, wchar_t* err, size_t cch_err);
// One answer field (first "key" in any case; a quoted text as it stands or a run of digits), cut
// to cch_out - 1. out stays untouched when the key or its value is missing, or out is null.
void read_answer_field(const wchar_t* answer, const wchar_t* key, wchar_t* out, size_t cch_out);
