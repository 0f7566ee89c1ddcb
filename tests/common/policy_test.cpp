#include "common/policy.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "common/lang.h"
#include "common/settings.h"
#include "common/text.h"
#include "tests/support/test_files.h"

namespace {

// Policy is large: tests keep theirs on the heap.
std::unique_ptr<Policy> new_policy() { return std::unique_ptr<Policy>(new Policy()); }
std::unique_ptr<Policy> read_text(const std::wstring& text) {
    auto p = new_policy();
    policy_from_text(text.c_str(), p.get());
    return p;
}
std::wstring to_text(const Policy* p) {
    std::wstring text(policy_text_cch, L'\0');
    if (!policy_to_text(p, &text[0], policy_text_cch)) return L"<refused>";
    text.resize(wcslen(text.c_str()));
    return text;
}

Rule make_rule(int32_t type, const wchar_t* name, const wchar_t* match_name, const wchar_t* match_path = L"",
               const wchar_t* args = L"", const wchar_t* mode = L"push", int32_t cache = 300, int32_t enabled = 1) {
    Rule r = {};
    r.type = type;
    r.enabled = enabled;
    text_copy(r.display_name, name);
    text_copy(r.match_name, match_name);
    text_copy(r.match_path, match_path);
    text_copy(r.args_contains, args);
    text_copy(r.auth_mode, mode);
    r.cache_window_seconds = cache;
    return r;
}

void add(Policy* p, const Rule& r) { p->rules[p->count++] = r; }

bool same_rules(const Policy* a, const Policy* b) {
    return a->count == b->count && memcmp(a->rules, b->rules, sizeof(Rule) * a->count) == 0;
}

std::wstring object(const wchar_t* body) { return std::wstring(L"{ \"type\": \"program\", ") + body + L" }"; }
std::wstring rules_text(const std::wstring& objects) { return L"{\"rules\": [" + objects + L"]}"; }

const wchar_t* const empty_policy_text = L"{\n  \"rules\": [\n  ]\n}\n";

}  // namespace

TEST(PolicyText, ReaderFieldsDefaultsAndDroppedTypes) {
    auto p = read_text(rules_text(
        L"{ \"TYPE\": \"Program\", \"display_name\": \"A \\\"q\\\"\", \"match_name\": \"a.exe\","
        L" \"match_path\": \"C:\\\\x\\\\a.exe\", \"args_contains\": \"-v\", \"auth_mode\": \"sms\","
        L" \"cache_window_seconds\": 0, \"enabled\": \"FALSE\" },"
        L"{ \"type\": \"service\", \"display_name\": \"dropped\" },"
        L"{ \"display_name\": \"no type\" },"
        L"{ \"type\": \"command\", \"enabled\": 0, \"cache_window_seconds\": \"600\", \"auth_mode\": \"\" },"
        L"{ \"type\": \"command\", \"cache_window_seconds\": -5, \"enabled\": false },"
        L"{ \"type\": \"program\", \"enabled\": true, \"cache_window_seconds\": 4294967295 }"));
    ASSERT_EQ(p->count, 4u);
    const Rule& a = p->rules[0];
    EXPECT_EQ(a.type, rule_type_program);
    EXPECT_STREQ(a.display_name, L"A \"q\"");
    EXPECT_STREQ(a.match_name, L"a.exe");
    EXPECT_STREQ(a.match_path, L"C:\\x\\a.exe");
    EXPECT_STREQ(a.args_contains, L"-v");
    EXPECT_STREQ(a.auth_mode, L"sms");
    EXPECT_EQ(a.cache_window_seconds, 0);
    EXPECT_EQ(a.enabled, 0);  // quoted FALSE pauses

    const Rule& b = p->rules[1];  // the two dropped objects left no slot behind
    EXPECT_EQ(b.type, rule_type_command);
    EXPECT_EQ(b.enabled, 1);                 // a bare 0 is not false
    EXPECT_EQ(b.cache_window_seconds, 300);  // a quoted number is not a number
    EXPECT_STREQ(b.auth_mode, L"totp");      // empty mode
    EXPECT_STREQ(b.display_name, L"");

    EXPECT_EQ(p->rules[2].enabled, 0);
    EXPECT_EQ(p->rules[2].cache_window_seconds, 300);  // a minus sign
    EXPECT_EQ(p->rules[3].enabled, 1);
    EXPECT_EQ(uint32_t(p->rules[3].cache_window_seconds), 4294967295u);
    const Rule zero = {};
    EXPECT_EQ(memcmp(&p->rules[4], &zero, sizeof(Rule)), 0);  // slots past count are zero

    auto q = read_text(rules_text(object(L"\"match_name\": \"x.exe\"")));  // no mode, no enabled, no window
    ASSERT_EQ(q->count, 1u);
    EXPECT_STREQ(q->rules[0].auth_mode, L"totp");
    EXPECT_EQ(q->rules[0].enabled, 1);
    EXPECT_EQ(q->rules[0].cache_window_seconds, 300);
}

TEST(PolicyText, ReaderLimitsAndWhereItLooks) {
    std::wstring seventy;
    for (int i = 0; i < 70; ++i) seventy += object((L"\"display_name\": \"r" + std::to_wstring(i) + L"\"").c_str()) + L",";
    auto p = read_text(rules_text(seventy));
    ASSERT_EQ(p->count, 64u);
    EXPECT_STREQ(p->rules[63].display_name, L"r63");

    // An object after the array is read too; objects of 4,096 characters or more are skipped.
    auto padded = [](const wchar_t* name, size_t length) {
        std::wstring body = std::wstring(L"\"display_name\": \"") + name + L"\", \"pad\": \"";
        return object((body + std::wstring(length - object((body + L"\"").c_str()).size(), L'x') + L"\"").c_str());
    };
    std::wstring longest = padded(L"kept", 4095), too_long = padded(L"skip", 4096);
    ASSERT_EQ(longest.size(), 4095u);
    ASSERT_EQ(too_long.size(), 4096u);
    p = read_text(L"{\"Rules\": [" + too_long + L"," + longest + L"], \"after\": " +
                  object(L"\"display_name\": \"after\"") + L"}");
    ASSERT_EQ(p->count, 2u);
    EXPECT_STREQ(p->rules[0].display_name, L"kept");
    EXPECT_STREQ(p->rules[1].display_name, L"after");

    // An object the text ends inside is read from what there is.
    p = read_text(L"{\"rules\": [" + object(L"\"display_name\": \"a\"") + L", { \"type\": \"command\", \"display_name\": \"cut\"");
    ASSERT_EQ(p->count, 2u);
    EXPECT_STREQ(p->rules[1].display_name, L"cut");

    for (const wchar_t* none : {L"{\"rules\": [", L"{\"rules\": {}}", L"{\"policy\": [{\"type\": \"program\"}]}", L""}) {
        EXPECT_EQ(read_text(none)->count, 0u) << none;
    }
}

TEST(PolicyText, WriterLayoutMatchesTheDefaultPolicies) {
    auto p = new_policy();
    EXPECT_EQ(to_text(p.get()), empty_policy_text);
    for (Language language : {Language::en_us, Language::zh_cn}) {
        const wchar_t* text = default_policy_text_for(language);
        p = read_text(text);
        ASSERT_EQ(p->count, 2u);
        EXPECT_EQ(to_text(p.get()), text);  // the default texts are exactly what the writer writes
    }
    EXPECT_EQ(std::wstring(default_policy_text_for(Language::en_us)),
              L"{\n  \"rules\": [\n"
              L"    { \"type\": \"program\", \"display_name\": \"Notepad\", \"match_name\": \"notepad.exe\", "
              L"\"match_path\": \"\", \"args_contains\": \"\", \"auth_mode\": \"push\", \"cache_window_seconds\": 300, "
              L"\"enabled\": true },\n"
              L"    { \"type\": \"command\", \"display_name\": \"Command Prompt\", \"match_name\": \"cmd.exe\", "
              L"\"match_path\": \"C:\\\\Windows\\\\System32\\\\cmd.exe\", \"args_contains\": \"\", \"auth_mode\": \"push\", "
              L"\"cache_window_seconds\": 300, \"enabled\": true }\n  ]\n}\n");
}

TEST(PolicyText, FullCapacityRuleRoundTripsIntact) {
    auto p = new_policy();
    // Every field full, and every character one that needs escaping: the longest rule line.
    Rule r = make_rule(rule_type_command, std::wstring(127, L'"').c_str(), std::wstring(259, L'\\').c_str(),
                       std::wstring(1023, L'\\').c_str(), std::wstring(511, L'"').c_str(),
                       std::wstring(31, L'\\').c_str(), -1, 0);
    add(p.get(), r);
    add(p.get(), r);
    std::wstring text = to_text(p.get());
    ASSERT_NE(text, L"<refused>");
    auto back = read_text(text);
    EXPECT_TRUE(same_rules(back.get(), p.get()));
}

TEST(PolicyText, RulesThatWouldNotReadBackAreRefused) {
    wchar_t out[64] = L"unchanged";
    auto p = new_policy();
    add(p.get(), make_rule(rule_type_program, L"Tool {beta}", L"tool.exe"));  // balanced braces read back
    ASSERT_NE(to_text(p.get()), L"<refused>");
    EXPECT_FALSE(policy_to_text(p.get(), out, 64));  // does not fit out
    EXPECT_STREQ(out, L"unchanged");

    for (Rule bad : {make_rule(rule_type_program, L"closes }", L"a.exe"),
                     make_rule(rule_type_program, L"opens {", L"a.exe"),
                     make_rule(rule_type_program, L"match_name", L"a.exe"),  // would be read as the key
                     make_rule(rule_type_command, L"x", L"a.exe", L"", L"AUTH_MODE", L"sms")}) {
        p->rules[0] = bad;
        EXPECT_EQ(to_text(p.get()), L"<refused>") << bad.display_name << " " << bad.args_contains;
        wchar_t joined[512];
        EXPECT_FALSE(policy_text_with_rule(empty_policy_text, &bad, joined, 512));
    }
    // A paused rule whose later text is the key "enabled" would come back enabled.
    p->rules[0] = make_rule(rule_type_command, L"x", L"a.exe", L"", L"Enabled", L"push", 300, 0);
    EXPECT_EQ(to_text(p.get()), L"<refused>");
}

TEST(PolicyText, TextsTheReaderCannotTakeWholeAreRefused) {
    // Under 65,536 units but over 65,535 UTF-8 bytes.
    auto p = new_policy();
    for (int i = 0; i < 25; ++i)
        add(p.get(), make_rule(rule_type_program, L"n", L"a.exe", std::wstring(1023, L'\x8DEF').c_str(),
                               std::wstring(511, L'\x5F84').c_str()));
    EXPECT_EQ(to_text(p.get()), L"<refused>");
    p->count = 14;  // about 66,900 bytes in about 24,000 units
    EXPECT_EQ(to_text(p.get()), L"<refused>");
    p->count = 13;  // about 62,100 bytes
    std::wstring fits = to_text(p.get());
    ASSERT_NE(fits, L"<refused>");
    EXPECT_EQ(read_text(fits)->count, 13u);
    // Over 65,536 units.
    for (uint32_t i = 0; i < 64; ++i) p->rules[i] = make_rule(rule_type_program, L"n", L"a.exe", std::wstring(1023, L'\\').c_str());
    p->count = 64;
    EXPECT_EQ(to_text(p.get()), L"<refused>");
}

TEST(PolicyText, AppendPlacesTheSeparatorByWhatPrecedesTheBracket) {
    Rule r = make_rule(rule_type_program, L"New", L"new.exe", L"", L"", L"sms", 60, 0);
    const wchar_t* line =
        L"\n    { \"type\": \"program\", \"display_name\": \"New\", \"match_name\": \"new.exe\", \"match_path\": \"\", "
        L"\"args_contains\": \"\", \"auth_mode\": \"sms\", \"cache_window_seconds\": 60, \"enabled\": true }";
    std::wstring out(policy_text_cch, L'\0');

    ASSERT_TRUE(policy_text_with_rule(empty_policy_text, &r, &out[0], policy_text_cch));
    EXPECT_STREQ(out.c_str(), (L"{\n  \"rules\": [\n  " + std::wstring(line) + L"]\n}\n").c_str());

    const wchar_t* one = default_policy_text_for(Language::en_us);
    ASSERT_TRUE(policy_text_with_rule(one, &r, &out[0], policy_text_cch));
    std::wstring expected(one);
    expected.insert(expected.rfind(L']'), std::wstring(L",") + line);  // the comma on its own line
    EXPECT_STREQ(out.c_str(), expected.c_str());
    auto back = read_text(out);
    ASSERT_EQ(back->count, 3u);
    EXPECT_EQ(back->rules[2].enabled, 1);  // always written enabled
    EXPECT_EQ(back->rules[2].cache_window_seconds, 60);

    wchar_t small[8] = L"same";
    EXPECT_FALSE(policy_text_with_rule(L"{\"rules\": {}}", &r, &out[0], policy_text_cch));  // no "]"
    EXPECT_FALSE(policy_text_with_rule(one, &r, small, 8));
    EXPECT_STREQ(small, L"same");
    auto full = new_policy();
    for (int i = 0; i < 64; ++i) add(full.get(), make_rule(rule_type_command, L"c", L"c.exe"));
    std::wstring full_text = to_text(full.get());
    EXPECT_FALSE(policy_text_with_rule(full_text.c_str(), &r, &out[0], policy_text_cch));  // a 65th is never read
}

TEST(PolicyText, WritersRefuseALoneSurrogate) {
    // The file is UTF-8: a lone surrogate would come back as U+FFFD, another rule than written.
    auto p = new_policy();
    add(p.get(), make_rule(rule_type_program, L"a\xD800" L"b", L"a.exe"));
    EXPECT_EQ(to_text(p.get()), L"<refused>");
    std::wstring out(policy_text_cch, L'\0');
    EXPECT_FALSE(policy_text_with_rule(empty_policy_text, &p->rules[0], &out[0], policy_text_cch));
    p->rules[0] = make_rule(rule_type_program, L"a\xD83D\xDE00" L"b", L"a.exe");  // a whole pair is fine
    EXPECT_NE(to_text(p.get()), L"<refused>");
}

TEST(PolicyText, AppendRefusesARuleSwallowedByAnUnclosedObject) {
    // The last "]" lies inside an object that never closes and is no rule by itself: the new line
    // would be read inside it, with that object's cache_window_seconds coming first.
    const wchar_t* text = L"{\"rules\": [{\"cache_window_seconds\": \"a\", \"list\": [";
    std::wstring with_bracket = std::wstring(text) + L"]";
    Rule r = make_rule(rule_type_program, L"New", L"new.exe", L"", L"", L"sms", 0);
    std::wstring out(policy_text_cch, L'\0');
    EXPECT_FALSE(policy_text_with_rule(with_bracket.c_str(), &r, &out[0], policy_text_cch));
}

TEST(PolicyToggle, CountsOnlyRulesOfTheType) {
    auto p = new_policy();
    add(p.get(), make_rule(rule_type_program, L"p0", L"p0.exe"));
    add(p.get(), make_rule(rule_type_command, L"c0", L"c0.exe"));
    add(p.get(), make_rule(rule_type_program, L"p1", L"p1.exe"));
    add(p.get(), make_rule(rule_type_command, L"c1", L"c1.exe"));
    EXPECT_TRUE(policy_toggle(p.get(), rule_type_command, 1));
    EXPECT_EQ(p->rules[3].enabled, 0);
    EXPECT_EQ(p->rules[0].enabled + p->rules[1].enabled + p->rules[2].enabled, 3);
    p->rules[2].enabled = 7;  // any non-zero value counts as enabled
    EXPECT_TRUE(policy_toggle(p.get(), rule_type_program, 1));
    EXPECT_EQ(p->rules[2].enabled, 0);
    EXPECT_TRUE(policy_toggle(p.get(), rule_type_command, 1));
    EXPECT_EQ(p->rules[3].enabled, 1);

    auto before = new_policy();
    *before = *p;
    EXPECT_FALSE(policy_toggle(p.get(), rule_type_command, 2));
    EXPECT_FALSE(policy_toggle(p.get(), 3, 0));
    p->count = 0;
    EXPECT_FALSE(policy_toggle(p.get(), rule_type_program, 0));
    p->count = 4;
    EXPECT_TRUE(same_rules(p.get(), before.get()));
}

TEST(PolicyFile, SaveLoadToggleAndAppendThroughTheFile) {
    TempFolder tmp;
    std::wstring path = tmp.file(L"cfg\\SentrelSvc.policy.json");
    auto p = new_policy();
    EXPECT_FALSE(load_policy(path.c_str(), p.get()));
    EXPECT_FALSE(append_rule(path.c_str(), &p->rules[0]));  // no file: nothing written
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);

    add(p.get(), make_rule(rule_type_program, L"Say \"hi\"", L"hi.exe", L"C:\\Program Files\\Hi\\hi.exe"));
    add(p.get(), make_rule(rule_type_command, L"Shell", L"cmd.exe", L"\\\\srv\\share\\cmd.exe", L"/c \"del\"", L"email", 0));
    auto back = new_policy();
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(save_policy(path.c_str(), round == 0 ? p.get() : back.get()));
        ASSERT_TRUE(load_policy(path.c_str(), back.get()));
        EXPECT_TRUE(same_rules(back.get(), p.get())) << "round " << round;
    }
    std::string bytes = read_file_bytes(path);
    EXPECT_EQ(bytes.compare(0, 14, "{\n  \"rules\": ["), 0);  // no byte-order mark

    ASSERT_TRUE(toggle_rule(path.c_str(), back.get(), rule_type_command, 0));
    EXPECT_EQ(back->rules[1].enabled, 0);
    ASSERT_TRUE(load_policy(path.c_str(), back.get()));
    EXPECT_EQ(back->rules[1].enabled, 0);
    EXPECT_FALSE(toggle_rule(path.c_str(), back.get(), rule_type_program, 1));  // no second program rule

    Rule r = make_rule(rule_type_program, L"Added", L"added.exe");
    ASSERT_TRUE(append_rule(path.c_str(), &r));
    ASSERT_TRUE(load_policy(path.c_str(), back.get()));
    ASSERT_EQ(back->count, 3u);
    EXPECT_STREQ(back->rules[2].display_name, L"Added");

    back->count = 0;
    ASSERT_TRUE(save_policy(path.c_str(), back.get()));
    ASSERT_TRUE(append_rule(path.c_str(), &r));
    ASSERT_TRUE(load_policy(path.c_str(), back.get()));
    ASSERT_EQ(back->count, 1u);
    EXPECT_STREQ(back->rules[0].match_name, L"added.exe");
}

TEST(PolicyFile, DefaultPolicyLoadsIntoTwoRulesInBothLanguages) {
    TempFolder tmp;
    std::wstring path = tmp.file(L"SentrelSvc.policy.json");
    const wchar_t* before = current_language();
    auto p = new_policy();
    for (const wchar_t* code : {lang_code_en_us, lang_code_zh_cn}) {
        set_language(code);
        ASSERT_TRUE(write_utf8_file(path.c_str(), default_policy_text()));
        ASSERT_TRUE(load_policy(path.c_str(), p.get()));
        ASSERT_EQ(p->count, 2u);
        EXPECT_STREQ(p->rules[0].display_name, is_english_code(code) ? L"Notepad" : L"记事本");
        EXPECT_STREQ(p->rules[1].display_name, is_english_code(code) ? L"Command Prompt" : L"命令提示符");
        EXPECT_EQ(p->rules[0].type, rule_type_program);
        EXPECT_STREQ(p->rules[0].match_name, L"notepad.exe");
        EXPECT_STREQ(p->rules[0].match_path, L"");
        EXPECT_EQ(p->rules[1].type, rule_type_command);
        EXPECT_STREQ(p->rules[1].match_name, L"cmd.exe");
        EXPECT_STREQ(p->rules[1].match_path, L"C:\\Windows\\System32\\cmd.exe");
        for (const Rule& r : {p->rules[0], p->rules[1]}) {
            EXPECT_STREQ(r.auth_mode, L"push");
            EXPECT_EQ(r.cache_window_seconds, 300);
            EXPECT_EQ(r.enabled, 1);
        }
    }
    set_language(before);
}

TEST(PolicyFile, PolicyTooLongToReadBackIsRefusedAndTheOldFileStays) {
    TempFolder tmp;
    std::wstring path = tmp.file(L"SentrelSvc.policy.json");
    auto p = new_policy();
    add(p.get(), make_rule(rule_type_program, L"kept", L"kept.exe"));
    ASSERT_TRUE(save_policy(path.c_str(), p.get()));
    std::string old_bytes = read_file_bytes(path);

    auto big = new_policy();
    for (uint32_t i = 0; i < 64; ++i) add(big.get(), make_rule(rule_type_program, L"n", L"a.exe", std::wstring(1023, L'\\').c_str()));
    EXPECT_FALSE(save_policy(path.c_str(), big.get()));
    EXPECT_EQ(read_file_bytes(path), old_bytes);

    EXPECT_FALSE(toggle_rule(path.c_str(), big.get(), rule_type_program, 5));
    EXPECT_EQ(big->rules[5].enabled, 1);  // not written, so not flipped either
    EXPECT_EQ(read_file_bytes(path), old_bytes);

    Rule bad = make_rule(rule_type_program, L"unbalanced {", L"a.exe");
    EXPECT_FALSE(append_rule(path.c_str(), &bad));
    EXPECT_EQ(read_file_bytes(path), old_bytes);
}
