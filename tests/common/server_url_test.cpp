#include "common/server_url.h"

#include <gtest/gtest.h>

#include "common/settings.h"
#include "common/text.h"

TEST(ServerUrl, PlainHttpOnlyToThisMachineUnlessAllowed) {
    const struct Case {
        const wchar_t* url;
        UrlTransport plain;  // without allow_plain_http
    } cases[] = {
        {L"https://mfa.example.com", UrlTransport::secure},
        {L"https://10.0.0.5:8443/base", UrlTransport::secure},
        {L"http://127.0.0.1:8080", UrlTransport::plain_loopback},
        {L"http://127.200.3.4/api", UrlTransport::plain_loopback},
        {L"http://localhost:9000", UrlTransport::plain_loopback},
        {L"http://LocalHost", UrlTransport::plain_loopback},
        {L"http://[::1]:8080/x", UrlTransport::plain_loopback},
        {L"127.0.0.1:8080", UrlTransport::plain_loopback},  // no scheme: the transport speaks plain HTTP
        {L"http://10.0.0.5:8080", UrlTransport::plain_refused},
        {L"http://mfa.example.com", UrlTransport::plain_refused},
        {L"http://127.0.0.1.evil.example", UrlTransport::plain_refused},
        {L"http://127.0.0.256", UrlTransport::plain_refused},
        {L"http://localhost.evil.example", UrlTransport::plain_refused},
        {L"http://[::2]:8080", UrlTransport::plain_refused},
        {L"HTTPS://mfa.example.com", UrlTransport::plain_refused},  // the transport takes no TLS for it
        {L"", UrlTransport::plain_refused},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(judge_server_url(c.url, L""), c.plain) << c.url;
        UrlTransport allowed = c.plain == UrlTransport::plain_refused ? UrlTransport::plain_allowed : c.plain;
        EXPECT_EQ(judge_server_url(c.url, L"true"), allowed) << c.url;
        EXPECT_EQ(judge_server_url(c.url, L"TRUE"), allowed) << c.url;
        EXPECT_EQ(judge_server_url(c.url, L"yes"), c.plain) << c.url;
    }
    EXPECT_EQ(judge_server_url(nullptr, nullptr), UrlTransport::plain_refused);
}

TEST(ServerUrl, EveryCallRefusesWithTheTextInBothLanguages) {
    Settings s = {};
    text_copy(s.server_url, L"http://192.0.2.7:8080");
    wchar_t err[512] = L"";
    EXPECT_FALSE(server_url_permitted(&s, err, 512));
    EXPECT_STREQ(err, plain_http_refused_text);
    EXPECT_NE(std::wstring(err).find(L"Plain http://"), std::wstring::npos);
    EXPECT_NE(std::wstring(err).find(L"明文"), std::wstring::npos);
    text_copy(s.allow_plain_http, L"true");
    err[0] = 0;
    EXPECT_TRUE(server_url_permitted(&s, err, 512));
    EXPECT_STREQ(err, L"");
}

TEST(ServerUrl, TheOptionalKeyIsKeptByTheWriter) {
    Settings s = {};
    settings_from_text(L"{\"server_url\":\"http://10.1.1.1\",\"allow_plain_http\": \"true\"}", &s);
    EXPECT_STREQ(s.allow_plain_http, L"true");
    wchar_t text[settings_write_cch];
    ASSERT_TRUE(settings_to_text(&s, text, settings_write_cch));
    EXPECT_NE(std::wstring(text).find(L"  \"language\": \""), std::wstring::npos);
    EXPECT_NE(std::wstring(text).find(L"\",\n  \"allow_plain_http\": \"true\"\n}\n"), std::wstring::npos) << text;
    Settings back = {};
    settings_from_text(text, &back);
    EXPECT_STREQ(back.allow_plain_http, L"true");

    settings_from_text(L"{\"allow_plain_http\": true}", &s);  // a bare word counts as well
    EXPECT_STREQ(s.allow_plain_http, L"true");
    settings_from_text(L"{\"server_url\":\"https://x\"}", &s);
    ASSERT_TRUE(settings_to_text(&s, text, settings_write_cch));
    EXPECT_EQ(std::wstring(text).find(L"allow_plain_http"), std::wstring::npos);  // not set: not written
}
