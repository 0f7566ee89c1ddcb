#include "common/mfa_client.h"

#include <gtest/gtest.h>

#include <string>

#include "common/settings.h"
#include "common/text.h"

namespace {

constexpr const wchar_t* constants =
    L"\"reason\":\"Sentrel认证\",\"expires_in\":300,\"client_app\":\"Sentrel Service v2.0\"";

TEST(MfaBodies, AllFiveCallsFillTheirTemplates) {
    wchar_t body[mfa_body_cch];
    build_verify_totp_body(L"alice", L"123456", L"Room 1", L"CN", body, mfa_body_cch);
    EXPECT_STREQ(L"{\"username\":\"alice\",\"code\":\"123456\",\"address\":\"Room 1\",\"country_code\":\"CN\"}", body);

    build_push_request_body(L"alice", L"10.0.0.5", L"Room 1", L"CN", body, mfa_body_cch);
    EXPECT_EQ(std::wstring(L"{\"username\":\"alice\",\"client_ip\":\"10.0.0.5\",") + constants +
                  L",\"location\":{\"address\":\"Room 1\",\"country_code\":\"CN\"}}",
              body);

    build_message_request_body(L"alice", L"sms", L"10.0.0.5", L"Room 1", L"CN", body, mfa_body_cch);
    EXPECT_EQ(std::wstring(L"{\"username\":\"alice\",\"auth_type\":\"sms\",\"client_ip\":\"10.0.0.5\",\"login\":\"alice\",") +
                  constants + L",\"location\":{\"address\":\"Room 1\",\"country_code\":\"CN\"}}",
              body);

    build_message_verify_body(L"c-9", L"654321", body, mfa_verify_body_cch);
    EXPECT_STREQ(L"{\"challenge_id\":\"c-9\",\"code\":\"654321\"}", body);

    wchar_t path[256];
    build_push_status_path(L"a b&c", path, 256);  // no URL encoding
    EXPECT_STREQ(L"/api/v1/auth/push/status?challenge_id=a b&c", path);
}

TEST(MfaBodies, EscapeValuesButNotTheClientIp) {
    wchar_t body[mfa_body_cch];
    build_verify_totp_body(L"a\"b\\c", L"1\"", L"line1\nline2\r", L"C\"N", body, mfa_body_cch);
    EXPECT_STREQ(L"{\"username\":\"a\\\"b\\\\c\",\"code\":\"1\\\"\",\"address\":\"line1\\nline2\\r\",\"country_code\":\"C\\\"N\"}",
                 body);
    build_message_request_body(L"x\"y", L"e\"mail", L"1\"2", L"", L"", body, mfa_body_cch);
    EXPECT_NE(nullptr, wcsstr(body, L"\"username\":\"x\\\"y\",\"auth_type\":\"e\\\"mail\",\"client_ip\":\"1\"2\","
                                    L"\"login\":\"x\\\"y\""));
    build_message_verify_body(L"i\\d", L"c\n", body, mfa_verify_body_cch);
    EXPECT_STREQ(L"{\"challenge_id\":\"i\\\\d\",\"code\":\"c\\n\"}", body);
}

TEST(MfaBodies, ValuesAreCutByTheirEscapingCapacityAndABodyThatDoesNotFitIsRefused) {
    wchar_t body[mfa_body_cch];
    std::wstring address(2000, L'a');
    EXPECT_TRUE(build_verify_totp_body(L"u", L"1", address.c_str(), L"CN", body, mfa_body_cch));
    // the address keeps 509 characters (capacity 512 less room for one escape pair)
    EXPECT_NE(nullptr, wcsstr(body, (L"\"address\":\"" + std::wstring(509, L'a') + L"\"").c_str()));
    // user twice, address and the fixed texts exceed the buffer: the body would be broken JSON
    EXPECT_FALSE(build_message_request_body(std::wstring(300, L'u').c_str(), L"sms", L"ip", address.c_str(), L"CN",
                                            body, mfa_body_cch));
}

TEST(MfaStatus, VerifyTotpTexts) {
    wchar_t err[256] = L"";
    EXPECT_TRUE(judge_verify_totp(200, err, 256));
    EXPECT_FALSE(judge_verify_totp(401, err, 256));
    EXPECT_STREQ(L"验证码错误或用户不存在", err);
    EXPECT_FALSE(judge_verify_totp(403, err, 256));
    EXPECT_STREQ(L"被地域安全策略拒绝", err);
    EXPECT_FALSE(judge_verify_totp(201, err, 256));
    EXPECT_STREQ(L"认证失败，HTTP 201", err);
}

TEST(MfaStatus, PushTexts) {
    wchar_t err[512] = L"";
    EXPECT_TRUE(judge_request_push(200, L"", err, 512));
    std::wstring answer = L"{\"error\":\"" + std::wstring(100, L'z') + L"\"}";
    EXPECT_FALSE(judge_request_push(201, answer.c_str(), err, 512));
    EXPECT_EQ(L"Push挑战失败, HTTP:201 响应:" + answer.substr(0, 63), err);
    EXPECT_TRUE(judge_poll_push(200, err, 512));
    EXPECT_FALSE(judge_poll_push(404, err, 512));
    EXPECT_STREQ(L"Push 轮询失败，HTTP 404", err);
}

TEST(MfaStatus, MessageTexts) {
    wchar_t err[256] = L"";
    EXPECT_TRUE(judge_request_message(200, err, 256));
    EXPECT_TRUE(judge_request_message(201, err, 256));
    EXPECT_FALSE(judge_request_message(500, err, 256));
    EXPECT_STREQ(L"验证码发送失败，HTTP 500", err);
    EXPECT_TRUE(judge_verify_message(200, err, 256));
    EXPECT_FALSE(judge_verify_message(401, err, 256));
    EXPECT_STREQ(L"验证码错误或已过期", err);
    EXPECT_FALSE(judge_verify_message(403, err, 256));
    EXPECT_STREQ(L"验证失败，HTTP 403", err);
    EXPECT_FALSE(judge_verify_message(0, nullptr, 0));  // no buffer: no write
}

TEST(MfaClient, VerifyTotpNeedsUrlAndKeyWithoutTraffic) {
    Settings s = {};
    text_copy(s.server_url, L"http://127.0.0.1:1");
    wchar_t err[256] = L"";
    EXPECT_FALSE(verify_totp(&s, L"123456", err, 256));
    EXPECT_STREQ(L"server_url/api_key 未配置", err);
    EXPECT_FALSE(verify_totp(nullptr, L"123456", err, 256));
    EXPECT_STREQ(L"server_url/api_key 未配置", err);
    // the other calls go on with an empty key and stop only at an empty URL
    Settings empty = {};
    EXPECT_FALSE(verify_message_code(&empty, L"c", L"1", err, 256));
    EXPECT_STREQ(L"server_url 未配置", err);
    EXPECT_FALSE(poll_push_status(&empty, L"c", nullptr, 0, err, 256));
    EXPECT_STREQ(L"server_url 未配置", err);
}

TEST(MfaClient, UserNameAndClientIp) {
    Settings s = {};
    wchar_t out[128];
    text_copy(s.mfa_username, L"bob");
    mfa_user_name(&s, out, 128);
    EXPECT_STREQ(L"bob", out);
    mfa_user_name(nullptr, out, 128);
    EXPECT_NE(L'\0', out[0]);  // the account that runs the tests

    text_copy(s.client_ip, L"192.0.2.7");
    client_ip_for(&s, out, 64);
    EXPECT_STREQ(L"192.0.2.7", out);
    text_copy(s.client_ip, L"127.0.0.1");  // ignored: an address is detected or the loopback one stays
    client_ip_for(&s, out, 64);
    EXPECT_NE(L'\0', out[0]);
    EXPECT_NE(nullptr, wcschr(out, L'.'));
}

}  // namespace

namespace {

TEST(MfaAnswer, FieldsAsTheServerSendsThem) {
    wchar_t id[128] = L"", passcode[32] = L"", status[64] = L"";
    read_answer_field(L"{\"challenge_id\": \"c-1\\\"x\", \"passcode\":\"482913\"}", L"challenge_id", id, 128);
    EXPECT_STREQ(L"c-1\\", id);  // taken as it stands, up to the next quotation mark
    read_answer_field(L"{\"CHALLENGE_ID\":98765,\"x\":1}", L"challenge_id", id, 128);
    EXPECT_STREQ(L"98765", id);
    read_answer_field(L"{\"status\":\"APPROVED\"}", L"status", status, 64);
    EXPECT_STREQ(L"APPROVED", status);
    read_answer_field(L"{\"passcode\":\"1234567890\"}", L"passcode", passcode, 4);
    EXPECT_STREQ(L"123", passcode);
    text_copy(status, L"kept");
    read_answer_field(L"{\"state\":\"approved\"}", L"status", status, 64);
    read_answer_field(L"<html>garbage", L"status", status, 64);
    read_answer_field(L"{\"status\":null}", L"status", status, 64);
    EXPECT_STREQ(L"kept", status);
    read_answer_field(L"{\"status\":\"x\"}", L"status", nullptr, 64);  // no buffer: nothing happens
}

}  // namespace
