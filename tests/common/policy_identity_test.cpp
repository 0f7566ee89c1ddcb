// The identity keys of a rule (match_original_name, match_sha256) through the reader and writers.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "common/policy.h"
#include "common/text.h"

namespace {

std::unique_ptr<Policy> read_text(const std::wstring& text) {
    std::unique_ptr<Policy> p(new Policy());
    policy_from_text(text.c_str(), p.get());
    return p;
}

std::wstring to_text(const Policy* p) {
    std::wstring text(policy_text_cch, L'\0');
    if (!policy_to_text(p, &text[0], policy_text_cch)) return L"<refused>";
    text.resize(wcslen(text.c_str()));
    return text;
}

const wchar_t* const sha = L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

}  // namespace

TEST(PolicyIdentity, KeysAreReadAndWrittenAfterArgsContainsOnlyWhenSet) {
    const std::wstring text =
        L"{\n  \"rules\": [\n"
        L"    { \"type\": \"program\", \"display_name\": \"Registry\", \"match_name\": \"\", \"match_path\": \"\","
        L" \"args_contains\": \"\", \"match_original_name\": \"REGEDIT.EXE\", \"match_sha256\": \"" + std::wstring(sha) +
        L"\", \"auth_mode\": \"push\", \"cache_window_seconds\": 300, \"enabled\": true },\n"
        L"    { \"type\": \"command\", \"display_name\": \"Tool\", \"match_name\": \"tool.exe\", \"match_path\": \"\","
        L" \"args_contains\": \"\", \"match_sha256\": \"" + std::wstring(sha) +
        L"\", \"auth_mode\": \"totp\", \"cache_window_seconds\": 0, \"enabled\": false },\n"
        L"    { \"type\": \"program\", \"display_name\": \"Old\", \"match_name\": \"old.exe\", \"match_path\": \"\","
        L" \"args_contains\": \"\", \"auth_mode\": \"push\", \"cache_window_seconds\": 300, \"enabled\": true }\n"
        L"  ]\n}\n";
    auto p = read_text(text);
    ASSERT_EQ(p->count, 3u);
    EXPECT_STREQ(p->rules[0].match_original_name, L"REGEDIT.EXE");
    EXPECT_STREQ(p->rules[0].match_sha256, sha);
    EXPECT_STREQ(p->rules[1].match_original_name, L"");
    EXPECT_STREQ(p->rules[1].match_sha256, sha);
    EXPECT_FALSE(rule_has_identity(&p->rules[2]));
    EXPECT_TRUE(rule_has_identity(&p->rules[1]));
    // Written back exactly: the keys after args_contains, and a rule without them as before.
    EXPECT_EQ(to_text(p.get()), text);

    // Appending keeps them too.
    std::wstring joined(policy_text_cch, L'\0');
    ASSERT_TRUE(policy_text_with_rule(text.c_str(), &p->rules[0], &joined[0], policy_text_cch));
    auto back = read_text(joined);
    ASSERT_EQ(back->count, 4u);
    EXPECT_STREQ(back->rules[3].match_original_name, L"REGEDIT.EXE");
    EXPECT_STREQ(back->rules[3].match_sha256, sha);
}

TEST(PolicyIdentity, EscapedAndAwkwardValuesRoundTripOrAreRefused) {
    std::unique_ptr<Policy> p(new Policy());
    Rule& r = p->rules[p->count++];
    r.type = rule_type_program;
    r.enabled = 1;
    text_copy(r.display_name, L"x");
    text_copy(r.match_original_name, std::wstring(259, L'"').c_str());  // full field, all escaped
    text_copy(r.auth_mode, L"push");
    r.cache_window_seconds = 5;
    std::wstring text = to_text(p.get());
    ASSERT_NE(text, L"<refused>");
    auto back = read_text(text);
    ASSERT_EQ(back->count, 1u);
    EXPECT_EQ(memcmp(&back->rules[0], &p->rules[0], sizeof(Rule)), 0);
    // A value equal to a later key's name would not read back: nothing is written.
    text_copy(r.match_original_name, L"auth_mode");
    EXPECT_EQ(to_text(p.get()), L"<refused>");
}

TEST(PolicyIdentity, MalformedHashesAreKeptMalformedNeverDropped) {
    std::wstring good = L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    struct Case {
        std::wstring value;  // as it stands in the file, quotes included
        bool well_formed;
    } const cases[] = {
        {L"\"" + good + L"\"", true},
        {L"\"\"", true},  // empty: no condition
        {L"\"" + good.substr(1) + L"\"", false},
        {L"\"" + good + L"00\"", false},
        {L"\"" + good + std::wstring(200, L'0') + L"\"", false},  // longer than the field: still too long
        {L"\"" + good.substr(1) + L"x\"", false},
        {L"null", false},  // present, but not a text
        {L"true", false},
    };
    for (const Case& c : cases) {
        auto p = read_text(L"{\"rules\": [{ \"type\": \"program\", \"match_sha256\": " + c.value + L" }]}");
        ASSERT_EQ(p->count, 1u);
        EXPECT_EQ(rule_sha256_well_formed(&p->rules[0]), c.well_formed) << c.value;
        // Written and read again, it stays what it was.
        auto back = read_text(to_text(p.get()));
        ASSERT_EQ(back->count, 1u);
        EXPECT_EQ(rule_sha256_well_formed(&back->rules[0]), c.well_formed) << c.value;
    }
}
