#include "common/http.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "common/settings.h"
#include "common/text.h"

namespace {

ApiUrl parsed(const wchar_t* url) {
    ApiUrl u;
    parse_server_url(url, &u);
    return u;
}

std::wstring joined(const wchar_t* base, const wchar_t* endpoint) {
    wchar_t out[http_path_cch];
    join_object_path(base, endpoint, out, http_path_cch);
    return out;
}

TEST(ServerUrl, SchemeSelectsTlsAndDefaultPort) {
    ApiUrl u = parsed(L"https://mfa.example.com");
    EXPECT_TRUE(u.secure);
    EXPECT_STREQ(L"mfa.example.com", u.host);
    EXPECT_EQ(443, u.port);
    EXPECT_STREQ(L"", u.base_path);
    for (const wchar_t* plain : {L"http://mfa.example.com", L"mfa.example.com"}) {
        u = parsed(plain);
        EXPECT_FALSE(u.secure) << plain;
        EXPECT_EQ(8080, u.port) << plain;
    }
    u = parsed(L"HTTPS://mfa.example.com");  // the prefix is case-sensitive: "HTTPS" is a host, port 0
    EXPECT_FALSE(u.secure);
    EXPECT_STREQ(L"HTTPS", u.host);
    EXPECT_EQ(0, u.port);
}

TEST(ServerUrl, PortAfterColon) {
    EXPECT_EQ(9443, parsed(L"https://h:9443/base").port);
    EXPECT_STREQ(L"h", parsed(L"https://h:9443/base").host);
    EXPECT_EQ(0, parsed(L"http://h:").port);
    EXPECT_EQ(12, parsed(L"h:12x4").port);                  // digits stop at the first non-digit
    EXPECT_EQ(65535, parsed(L"h:65535").port);
    EXPECT_EQ(80, parsed(L"h:0000000000000080").port);  // leading zeros are no overflow
}

TEST(ServerUrl, PortAboveTheRangeIsRefusedNotWrapped) {
    for (const wchar_t* url : {L"h:65536", L"http://h:65616/base", L"https://h:4294967376", L"h:99999999999999999999"}) {
        ApiUrl u = {};
        u.port = 7;
        EXPECT_FALSE(parse_server_url(url, &u)) << url;
        EXPECT_EQ(7, u.port) << "left untouched: " << url;
    }
}

// The request is refused before any connection, with the reason.
TEST(ServerUrl, RequestToAPortAboveTheRangeIsNotOpened) {
    Settings s = {};
    text_copy(s.server_url, L"http://127.0.0.1:65616");
    text_copy(s.api_key, L"k");
    HttpHandles h;
    wchar_t err[128] = L"";
    EXPECT_FALSE(open_api_request(&s, L"GET", L"/x", &h, err, 128));
    EXPECT_NE(std::wstring(err).find(L"65535"), std::wstring::npos) << err;
}

TEST(ServerUrl, HostAndBasePathAreCut) {
    ApiUrl u = parsed(L"http://h:1/mfa/v/");
    EXPECT_STREQ(L"/mfa/v/", u.base_path);
    std::wstring long_host(300, L'a');
    u = parsed(long_host.c_str());
    EXPECT_EQ(255u, wcslen(u.host));
    std::wstring long_path = L"h/" + std::wstring(300, L'p');
    EXPECT_EQ(255u, wcslen(parsed(long_path.c_str()).base_path));
}

TEST(ObjectPath, JoinsWithOneSlash) {
    EXPECT_EQ(L"/api/v1/auth/verify", joined(L"", L"/api/v1/auth/verify"));
    EXPECT_EQ(L"/mfa/api/v1/auth/verify", joined(L"/mfa/", L"/api/v1/auth/verify"));
    EXPECT_EQ(L"/mfa/api", joined(L"/mfa", L"/api"));
    EXPECT_EQ(L"/mfa//api", joined(L"/mfa//", L"/api"));  // only one slash is dropped
    EXPECT_EQ(L"/mfaapi", joined(L"/mfa", L"api"));         // joined unchanged
    std::wstring endpoint = L"/" + std::wstring(600, L'e');
    EXPECT_EQ(511u, joined(L"/b", endpoint.c_str()).size());
}

TEST(Headers, CarryTheKeyEvenWhenEmpty) {
    wchar_t out[http_headers_cch];
    format_api_headers(L"k-1", out, http_headers_cch);
    EXPECT_STREQ(L"X-API-Key: k-1\r\nContent-Type: application/json\r\n", out);
    format_api_headers(L"", out, http_headers_cch);
    EXPECT_STREQ(L"X-API-Key: \r\nContent-Type: application/json\r\n", out);
}

TEST(RequestBody, ConvertsToUtf8AndRefusesWhatDoesNotFit) {
    char out[16];
    size_t cb = 99;
    ASSERT_TRUE(body_to_utf8(L"a\u00e9\u8ba4\U0001F600", out, sizeof out, &cb));
    EXPECT_EQ(10u, cb);
    EXPECT_EQ(0, memcmp(out, "a\xC3\xA9\xE8\xAE\xA4\xF0\x9F\x98\x80", 10));
    char small[4] = {'#', '#', '#', '#'};
    EXPECT_FALSE(body_to_utf8(L"abc\u8ba4", small, sizeof small, &cb));  // needs 6 bytes
    EXPECT_EQ(6u, cb);
    EXPECT_TRUE(body_to_utf8(L"abcd", small, 4, &cb));  // exactly full
    EXPECT_FALSE(body_to_utf8(L"a\xD800z", out, sizeof out, &cb));  // a lone surrogate
}

TEST(ResponseText, CutsAtCharacterBoundaries) {
    wchar_t out[8];
    const char* text = "ok \xE8\xAE\xA4\xF0\x9F\x98\x80";  // "ok 认" + one non-BMP character
    EXPECT_EQ(7u, utf8_to_text(text, strlen(text), out, 8));
    EXPECT_STREQ(L"ok \u8ba4\U0001F600", out);
    EXPECT_EQ(5u, utf8_to_text(text, strlen(text), out, 6));  // the pair does not fit: left out whole
    EXPECT_STREQ(L"ok \u8ba4", out);
    EXPECT_EQ(4u, utf8_to_text(text, 5, out, 8));  // a sequence cut by the end of the bytes is dropped
    EXPECT_STREQ(L"ok ", out);
    EXPECT_EQ(4u, utf8_to_text("a\xFF" "b", 3, out, 8));
    EXPECT_STREQ(L"a\uFFFDb", out);
    EXPECT_EQ(1u, utf8_to_text("abc", 3, out, 1));
    EXPECT_STREQ(L"", out);
    EXPECT_EQ(0u, utf8_to_text("abc", 3, out, 0));
}

TEST(Exchange, EmptyServerUrlFailsWithoutTraffic) {
    Settings s = {};
    wchar_t err[256] = L"x", resp[16] = L"x";
    unsigned long status = 7;
    EXPECT_FALSE(post_json(&s, L"/api", L"{}", &status, resp, 16, err, 256));
    EXPECT_STREQ(L"server_url 未配置", err);
    EXPECT_EQ(0ul, status);
    EXPECT_STREQ(L"", resp);
    EXPECT_FALSE(get_json(nullptr, L"/api", &status, resp, 16, err, 256));
    EXPECT_STREQ(L"server_url 未配置", err);
}

TEST(Exchange, OverLongBodyIsRefusedBeforeSending) {
    Settings s = {};
    text_copy(s.server_url, L"http://127.0.0.1:1");  // nothing listens; the body is refused first
    std::wstring body(http_body_max_cb + 1, L'x');
    wchar_t err[256];
    EXPECT_FALSE(post_json(&s, L"/api", body.c_str(), nullptr, nullptr, 0, err, 256));
    EXPECT_STREQ(L"请求内容过长: 4096 字节", err);
}

TEST(Redirects, EveryThreeHundredIsRefusedWithItsStatus) {
    EXPECT_FALSE(http_status_is_redirect(200));
    EXPECT_FALSE(http_status_is_redirect(299));
    EXPECT_TRUE(http_status_is_redirect(300));
    EXPECT_TRUE(http_status_is_redirect(302));
    EXPECT_TRUE(http_status_is_redirect(308));
    EXPECT_TRUE(http_status_is_redirect(399));
    EXPECT_FALSE(http_status_is_redirect(400));
    wchar_t err[256];
    format_redirect_refusal(302, L"Found", err, 256);
    EXPECT_STREQ(L"服务器要求重定向，已拒绝: HTTP 302 Found", err);
    format_redirect_refusal(307, L"", err, 256);
    EXPECT_STREQ(L"服务器要求重定向，已拒绝: HTTP 307", err);
}

}  // namespace
