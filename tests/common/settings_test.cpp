#include "common/settings.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/lang.h"
#include "common/text.h"
#include "tests/support/test_files.h"

namespace {

// Runs the scan into a buffer prefilled with a marker, so "untouched" is visible.
std::wstring scan(const wchar_t* text, const wchar_t* key, size_t cch = 64,
                  JsonEscapes escapes = JsonEscapes::file) {
    wchar_t out[64];
    text_copy(out, L"<untouched>");
    bool found = scan_json_value(text, key, out, cch, escapes);
    EXPECT_EQ(found, wcscmp(out, L"<untouched>") != 0) << "result disagrees with the buffer for " << text;
    return out;
}

void expect_same_settings(const Settings& a, const Settings& b) {
    EXPECT_STREQ(a.server_url, b.server_url);
    EXPECT_STREQ(a.api_key, b.api_key);
    EXPECT_STREQ(a.mfa_username, b.mfa_username);
    EXPECT_STREQ(a.address, b.address);
    EXPECT_STREQ(a.country_code, b.country_code);
    EXPECT_STREQ(a.client_ip, b.client_ip);
    EXPECT_STREQ(a.admin_auth_mode, b.admin_auth_mode);
    EXPECT_STREQ(a.log_file, b.log_file);
    EXPECT_STREQ(a.language, b.language);
}

}  // namespace

TEST(JsonScan, FirstOccurrenceOfTheKeyInAnyCaseWins) {
    EXPECT_EQ(scan(L"{\"SERVER_URL\": \"https://a\"}", L"server_url"), L"https://a");
    // The first occurrence wins wherever it stands: nested, or inside another value.
    EXPECT_EQ(scan(L"{\"x\": {\"server_url\": \"nested\"}, \"server_url\": \"top\"}", L"server_url"), L"nested");
    // A value that is the quoted key is its first occurrence; its own value is unusable.
    EXPECT_EQ(scan(L"{\"a\": \"server_url\", \"server_url\": \"b\"}", L"server_url"), L"<untouched>");
    // Escaped quotation marks inside a value do not form the key.
    EXPECT_EQ(scan(L"{\"a\": \"\\\"server_url\\\": \\\"x\\\"\", \"server_url\": \"b\"}", L"server_url"), L"b");
    EXPECT_EQ(scan(L"{\"server_url_2\": \"x\"}", L"server_url"), L"<untouched>");
    EXPECT_EQ(scan(L"{\"api_key\": \"k\"}", L"server_url"), L"<untouched>");
}

TEST(JsonScan, OnlySpacesAndColonsMaySeparateKeyAndValue) {
    EXPECT_EQ(scan(L"{\"k\":\"v\"}", L"k"), L"v");
    EXPECT_EQ(scan(L"{\"k\"  :  \"v\"}", L"k"), L"v");
    EXPECT_EQ(scan(L"{\"k\" :: \"v\"}", L"k"), L"v");
    EXPECT_EQ(scan(L"{\"k\":\t\"v\"}", L"k"), L"<untouched>");
    EXPECT_EQ(scan(L"{\"k\":\n\"v\"}", L"k"), L"<untouched>");
    EXPECT_EQ(scan(L"{\"k\"\r\n: \"v\"}", L"k"), L"<untouched>");
}

TEST(JsonScan, BareDigitsAreTakenOtherBareValuesAreNot) {
    EXPECT_EQ(scan(L"{\"client_ip\": 10}", L"client_ip"), L"10");
    EXPECT_EQ(scan(L"{\"n\": 0012x5}", L"n"), L"0012");
    for (const wchar_t* text : {L"{\"n\": null}", L"{\"n\": true}", L"{\"n\": -5}", L"{\"n\": {\"v\": \"1\"}}",
                                L"{\"n\": [\"1\"]}", L"{\"n\": "}) {
        EXPECT_EQ(scan(text, L"n"), L"<untouched>") << text;
    }
    // The word variant also takes a run of letters, and still takes quoted texts and digits.
    wchar_t word[8] = L"-";
    EXPECT_TRUE(scan_json_word(L"{\"enabled\": False }", L"enabled", word, 8));
    EXPECT_STREQ(word, L"False");
    EXPECT_TRUE(scan_json_word(L"{\"enabled\": \"no\"}", L"enabled", word, 8));
    EXPECT_STREQ(word, L"no");
    EXPECT_TRUE(scan_json_word(L"{\"enabled\": 0}", L"enabled", word, 8));
    EXPECT_STREQ(word, L"0");
    EXPECT_FALSE(scan_json_word(L"{\"enabled\": -1}", L"enabled", word, 8));
    EXPECT_STREQ(word, L"0");
}

TEST(JsonScan, QuotedValuesDecodeEscapesInFilesAndStandAsTheyAreInAnswers) {
    EXPECT_EQ(scan(L"{\"p\": \"C:\\\\a\\\\b\"}", L"p"), L"C:\\a\\b");
    EXPECT_EQ(scan(L"{\"p\": \"say \\\"hi\\\"\"}", L"p"), L"say \"hi\"");
    EXPECT_EQ(scan(L"{\"p\": \"1\\n2\\r3\\t4\\/5\"}", L"p"), L"1\n2\r3\t4/5");
    EXPECT_EQ(scan(L"{\"p\": \"\\u0041\\u4e2D\"}", L"p"), L"A\x4E2D");
    // Malformed or unknown escapes, and \u0000, stay as written.
    EXPECT_EQ(scan(L"{\"p\": \"\\u12g4 \\q \\u0000\"}", L"p"), L"\\u12g4 \\q \\u0000");
    EXPECT_EQ(scan(L"{\"p\": \"end\\\\\"}", L"p"), L"end\\");  // an escaped backslash, then the close
    // HTTP answers: up to the next quotation mark, backslashes kept.
    EXPECT_EQ(scan(L"{\"p\": \"a\\\\b\\\"c\"}", L"p", 64, JsonEscapes::raw), L"a\\\\b\\");
}

TEST(JsonScan, MissingCloseLeavesOutEmptyValueEmptiesItLongValueIsCut) {
    EXPECT_EQ(scan(L"{\"p\": \"no end", L"p"), L"<untouched>");
    EXPECT_EQ(scan(L"{\"p\": \"escaped end\\\"}", L"p"), L"<untouched>");
    EXPECT_EQ(scan(L"{\"p\": \"no end", L"p", 64, JsonEscapes::raw), L"<untouched>");
    EXPECT_EQ(scan(L"{\"p\": \"\"}", L"p"), L"");
    EXPECT_EQ(scan(L"{\"p\": \"abcdefgh\"}", L"p", 5), L"abcd");
    EXPECT_EQ(scan(L"{\"p\": \"\\\\\\\\\\\\\"}", L"p", 3), L"\\\\");  // cut counts decoded characters
    EXPECT_EQ(scan(L"{\"p\": 123456}", L"p", 4), L"123");
}

TEST(JsonEscape, EscapesFourCharactersAndCutsBeforeCapacityMinusThree) {
    wchar_t out[64];
    json_escape(L"a\"b\\c\nd\re\tf/", out, 64);
    EXPECT_STREQ(out, L"a\\\"b\\\\c\\nd\\re\tf/");
    json_escape(L"abcdefgh", out, 6);
    EXPECT_STREQ(out, L"abc");  // stops once capacity - 3 characters are written
    json_escape(L"ab\"cd", out, 6);
    EXPECT_STREQ(out, L"ab\\\"");  // a pair may still start at capacity - 4
    json_escape(L"abc", out, 2);
    EXPECT_STREQ(out, L"");
    json_escape(nullptr, out, 8);
    EXPECT_STREQ(out, L"");
}

TEST(SettingsText, WriterTemplateAndItsCuts) {
    Settings s = {};
    text_copy(s.server_url, L"https://mfa.example:8443/base");
    text_copy(s.api_key, L"k\"1");
    text_copy(s.log_file, L"D:\\logs\\a.log");
    text_copy(s.language, L"en-US");
    wchar_t text[settings_write_cch];
    ASSERT_TRUE(settings_to_text(&s, text, settings_write_cch));
    EXPECT_STREQ(text,
                 L"{\n  \"server_url\": \"https://mfa.example:8443/base\",\n  \"api_key\": \"k\\\"1\",\n"
                 L"  \"mfa_username\": \"\",\n  \"address\": \"\",\n  \"country_code\": \"\",\n  \"client_ip\": \"\",\n"
                 L"  \"admin_auth_mode\": \"\",\n  \"log_file\": \"D:\\\\logs\\\\a.log\",\n  \"language\": \"en-US\"\n}\n");

    wchar_t small[16] = L"unchanged";
    EXPECT_FALSE(settings_to_text(&s, small, 16));
    EXPECT_STREQ(small, L"unchanged");

    // The writer's capacities cut an over-long value: 255 characters of server_url become 253.
    text_copy(s.server_url, std::wstring(255, L'u').c_str());
    ASSERT_TRUE(settings_to_text(&s, text, settings_write_cch));
    Settings back;
    settings_from_text(text, &back);
    EXPECT_EQ(std::wstring(back.server_url), std::wstring(253, L'u'));
}

TEST(SettingsText, WriterRefusesWhatWouldNotReadBackAsWritten) {
    Settings s = {};
    text_copy(s.server_url, L"https://mfa.example/base");
    text_copy(s.api_key, L"k-1");
    text_copy(s.language, L"en-US");
    wchar_t text[settings_write_cch] = L"unchanged";
    // A value ending in a later key's quoted name: the reader would find the key there first.
    Settings hiding = s;
    text_copy(hiding.server_url, L"https://mfa.example/\"API_KEY");
    EXPECT_FALSE(settings_to_text(&hiding, text, settings_write_cch));
    hiding = s;
    text_copy(hiding.mfa_username, L"x\"log_file");
    EXPECT_FALSE(settings_to_text(&hiding, text, settings_write_cch));
    // A lone surrogate (a \ud800 escape reads as one) would come back from the file as U+FFFD.
    Settings lone = s;
    settings_from_text(L"{\"address\": \"a\\ud800b\"}", &lone);
    ASSERT_EQ(lone.address[1], static_cast<wchar_t>(0xD800));
    EXPECT_FALSE(settings_to_text(&lone, text, settings_write_cch));
    EXPECT_STREQ(text, L"unchanged");
    // A quoted key name inside a value, or a whole pair, is fine.
    Settings fine = s;
    text_copy(fine.address, L"\"api_key\" and \"log_file\" inside");
    text_copy(fine.mfa_username, L"\xD83D\xDE00");
    ASSERT_TRUE(settings_to_text(&fine, text, settings_write_cch));
    Settings back;
    settings_from_text(text, &back);
    EXPECT_STREQ(back.address, fine.address);
    EXPECT_STREQ(back.api_key, L"k-1");
    EXPECT_STREQ(back.mfa_username, L"\xD83D\xDE00");
}

TEST(SettingsText, ReaderDefaultsAndBareValues) {
    Settings s;
    settings_from_text(L"{\"client_ip\": 10, \"language\": null}", &s);
    EXPECT_STREQ(s.client_ip, L"10");
    EXPECT_STREQ(s.language, default_language());
    EXPECT_STREQ(s.log_file, default_log_path);  // no key: the default path
    EXPECT_STREQ(s.server_url, L"");

    settings_from_text(L"{\"log_file\": \"\", \"language\": \"fr-FR\", \"admin_auth_mode\": \"sms\"}", &s);
    EXPECT_STREQ(s.log_file, L"");  // an empty value switches logging off
    EXPECT_STREQ(s.language, L"fr-FR");  // stored unchanged, judged by its user
    EXPECT_STREQ(s.admin_auth_mode, L"sms");
    EXPECT_STREQ(s.client_ip, L"");  // cleared, not carried over

    std::wstring text = L"{\"address\": \"" + std::wstring(300, L'a') + L"\", \"country_code\": \"" +
                        std::wstring(80, L'c') + L"\"}";
    settings_from_text(text.c_str(), &s);
    EXPECT_EQ(std::wstring(s.address), std::wstring(300, L'a'));
    EXPECT_EQ(std::wstring(s.country_code), std::wstring(31, L'c'));
}

TEST(SettingsFile, QuotesAndBackslashesSurviveRepeatedSaveAndLoad) {
    TempFolder tmp;
    std::wstring path = tmp.file(L"sub\\SentrelSvc.json");  // the folder is created
    Settings s = {};
    text_copy(s.server_url, L"https://mfa.example/");
    text_copy(s.api_key, L"a\"b\\c\\\"d");
    text_copy(s.mfa_username, L"域\\用户");
    text_copy(s.address, L"line1\nline2\r\n\"quoted\"");
    text_copy(s.country_code, L"CN");
    text_copy(s.client_ip, L"10.0.0.1");
    text_copy(s.admin_auth_mode, L"push");
    text_copy(s.log_file, L"\\\\server\\share\\logs\\sentrel.log");
    text_copy(s.language, L"zh-CN");

    Settings cur = s;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(save_settings(path.c_str(), &cur));
        Settings back;
        ASSERT_TRUE(load_settings(path.c_str(), &back));
        SCOPED_TRACE(round);
        expect_same_settings(back, s);
        cur = back;
    }
    std::string bytes = read_file_bytes(path);
    EXPECT_EQ(bytes.compare(0, 3, "{\n "), 0);  // UTF-8 without a byte-order mark
    EXPECT_NE(bytes.find("\"mfa_username\": \"\xE5\x9F\x9F\\\\\xE7\x94\xA8\xE6\x88\xB7\",\n"), std::string::npos);
    EXPECT_EQ(bytes.substr(bytes.size() - 4), "\"\n}\n");
}

TEST(SettingsFile, MissingFileGivesTheDefaultLogPathOnly) {
    TempFolder tmp;
    Settings s;
    memset(&s, 0x41, sizeof s);
    EXPECT_FALSE(load_settings(tmp.file(L"none.json").c_str(), &s));
    EXPECT_STREQ(s.log_file, default_log_path);
    EXPECT_STREQ(s.server_url, L"");
    EXPECT_STREQ(s.language, L"");  // no default language without a file
}

TEST(SettingsFile, ByteOrderMarkIsSkipped) {
    TempFolder tmp;
    std::wstring plain = tmp.file(L"plain.json"), marked = tmp.file(L"bom.json");
    ASSERT_TRUE(write_file_bytes(plain, "{\"server_url\": \"https://x\", \"log_file\": \"\"}"));
    ASSERT_TRUE(write_file_bytes(marked, "\xEF\xBB\xBF{\"server_url\": \"https://x\", \"log_file\": \"\"}"));
    Settings a, b;
    ASSERT_TRUE(load_settings(plain.c_str(), &a));
    ASSERT_TRUE(load_settings(marked.c_str(), &b));
    EXPECT_STREQ(b.server_url, L"https://x");
    EXPECT_STREQ(b.log_file, L"");
    expect_same_settings(a, b);
}

TEST(SettingsFile, TextBeyond4095UnitsFailsWhole) {
    TempFolder tmp;
    std::wstring path = tmp.file(L"big.json");
    const std::string head = "{\"server_url\": \"https://x\", \"pad\": \"", tail = "\"}";
    std::string fits = head + std::string(4095 - head.size() - tail.size(), 'p') + tail;
    ASSERT_EQ(fits.size(), 4095u);
    ASSERT_TRUE(write_file_bytes(path, fits));
    Settings s;
    EXPECT_TRUE(load_settings(path.c_str(), &s));
    EXPECT_STREQ(s.server_url, L"https://x");

    ASSERT_TRUE(write_file_bytes(path, head + std::string(4096 - head.size() - tail.size(), 'p') + tail));
    EXPECT_FALSE(load_settings(path.c_str(), &s));
    EXPECT_STREQ(s.server_url, L"");
    EXPECT_STREQ(s.log_file, default_log_path);
}
