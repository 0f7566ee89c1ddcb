#include "ui/console_state.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/lang.h"
#include "common/text.h"

namespace {

std::unique_ptr<Policy> policy_of(std::initializer_list<int32_t> types) {
    auto p = std::make_unique<Policy>();
    for (int32_t type : types) {
        Rule& r = p->rules[p->count];
        r.type = type;
        r.enabled = 1;
        text_format(r.display_name, 128, L"rule %u", p->count);
        text_copy(r.auth_mode, L"totp");
        ++p->count;
    }
    return p;
}

TEST(ConsoleRules, RowsAddressTheNthRuleOfThePagesType) {
    auto p = policy_of({rule_type_program, rule_type_command, rule_type_program, rule_type_command});
    EXPECT_EQ(nth_rule_slot(p.get(), rule_type_command, 1), 3);
    EXPECT_EQ(nth_rule_slot(p.get(), rule_type_program, 1), 2);
    EXPECT_EQ(nth_rule_slot(p.get(), rule_type_command, 0), 1);
    EXPECT_EQ(nth_rule_slot(p.get(), rule_type_command, 2), -1);
    EXPECT_EQ(page_rule_type(page_app_rules), rule_type_program);
    EXPECT_EQ(page_rule_type(page_cmd_rules), rule_type_command);
    EXPECT_EQ(page_rule_type(page_dashboard), rule_type_command);
}

TEST(ConsoleRules, RemovingASlotMovesTheRestDownAndFreesTheLast) {
    auto p = policy_of({rule_type_program, rule_type_command, rule_type_program});
    ASSERT_TRUE(remove_rule_slot(p.get(), 1));
    EXPECT_EQ(p->count, 2u);
    EXPECT_STREQ(p->rules[1].display_name, L"rule 2");
    EXPECT_EQ(p->rules[2].type, rule_type_free);
    EXPECT_STREQ(p->rules[2].display_name, L"");
    EXPECT_FALSE(remove_rule_slot(p.get(), 2));
    ASSERT_TRUE(remove_rule_slot(p.get(), 1));
    ASSERT_TRUE(remove_rule_slot(p.get(), 0));
    EXPECT_EQ(p->count, 0u);
    EXPECT_FALSE(remove_rule_slot(p.get(), 0));
}

TEST(ConsoleRules, AnAppendedRuleIsEnabledAndAFullPolicyTakesNoMore) {
    auto p = policy_of({});
    Rule r = {};
    r.type = rule_type_command;
    r.enabled = 0;
    ASSERT_TRUE(policy_append(p.get(), &r));
    EXPECT_EQ(p->rules[0].enabled, 1);
    for (uint32_t i = 1; i < policy_max_rules; ++i) ASSERT_TRUE(policy_append(p.get(), &r));
    EXPECT_FALSE(policy_append(p.get(), &r));
    EXPECT_EQ(p->count, policy_max_rules);
}

TEST(ConsoleRules, ComparisonSeesEveryFieldThatReachesTheFile) {
    auto a = policy_of({rule_type_program, rule_type_command});
    auto b = policy_of({rule_type_program, rule_type_command});
    EXPECT_TRUE(policies_equal(a.get(), b.get()));
    b->rules[1].enabled = 0;
    EXPECT_FALSE(policies_equal(a.get(), b.get()));
    b->rules[1].enabled = 1;
    text_copy(b->rules[0].match_path, L"C:\\x.exe");
    EXPECT_FALSE(policies_equal(a.get(), b.get()));
    b = policy_of({rule_type_program, rule_type_command});
    b->rules[1].cache_window_seconds = 5;
    EXPECT_FALSE(policies_equal(a.get(), b.get()));
    b = policy_of({rule_type_program});
    EXPECT_FALSE(policies_equal(a.get(), b.get()));
}

TEST(ConsoleRules, EveryRuleThatIsNotAProgramRuleCountsAsACommandRule) {
    auto p = policy_of({rule_type_program, rule_type_command, rule_type_command, rule_type_program, rule_type_program});
    uint32_t app = 0, cmd = 0;
    count_rules(p.get(), &app, &cmd);
    EXPECT_EQ(app, 3u);
    EXPECT_EQ(cmd, 2u);
}

TEST(ConsoleDashboard, TheStartStopButtonSaysWhatItDoes) {
    EXPECT_EQ(start_stop_caption_id(true), static_cast<unsigned>(txt_stop_service));
    EXPECT_EQ(start_stop_caption_id(false), static_cast<unsigned>(txt_start_service));
    EXPECT_STREQ(lang_table_text(Language::en_us, start_stop_caption_id(true)), L"Stop Service");
}

TEST(ConsoleProtection, ChangesWaitUntilTheServiceIsKnownToBeStoppedOrAbsent) {
    constexpr uint32_t stopped = 1, start_pending = 2, stop_pending = 3, running = 4, paused = 7;
    EXPECT_FALSE(files_guarded({true, false, stopped, false}));
    EXPECT_FALSE(files_guarded({false, true, 0, false}));  // not installed
    for (uint32_t state : {start_pending, stop_pending, running, paused})
        EXPECT_TRUE(files_guarded({true, false, state, false})) << state;
    EXPECT_TRUE(files_guarded({false, false, 0, false}));  // the manager could not tell
    EXPECT_TRUE(files_guarded({true, false, stopped, true}));  // a foreground run guards them too
    EXPECT_TRUE(files_guarded({false, true, 0, true}));
}

Settings configured() {
    Settings s = {};
    text_copy(s.server_url, L"https://mfa.example.com");
    text_copy(s.api_key, L"key-1");
    text_copy(s.mfa_username, L"alice");
    text_copy(s.address, L"Building 4");
    text_copy(s.country_code, L"CN");
    text_copy(s.client_ip, L"10.0.0.7");
    text_copy(s.admin_auth_mode, L"push");
    text_copy(s.log_file, L"D:\\logs\\sentrel.log");
    text_copy(s.language, L"zh-CN");
    return s;
}

TEST(ConsoleSettingsPage, SaveReplacesThePagesFieldsAndKeepsTheOthers) {
    Settings loaded = configured();
    SettingsForm form = {};
    text_copy(form.server_url, L"http://127.0.0.1:8080");
    text_copy(form.api_key, L"key-2");
    text_copy(form.mfa_username, L"bob");
    text_copy(form.country_code, L"DE");
    form.language_index = 1;
    Settings saved;
    settings_from_form(&loaded, &form, &saved);
    EXPECT_STREQ(saved.server_url, L"http://127.0.0.1:8080");
    EXPECT_STREQ(saved.api_key, L"key-2");
    EXPECT_STREQ(saved.mfa_username, L"bob");
    EXPECT_STREQ(saved.country_code, L"DE");
    EXPECT_STREQ(saved.language, L"en-US");
    EXPECT_STREQ(saved.address, L"Building 4");
    EXPECT_STREQ(saved.client_ip, L"10.0.0.7");
    EXPECT_STREQ(saved.admin_auth_mode, L"push");
    EXPECT_STREQ(saved.log_file, L"D:\\logs\\sentrel.log");
    for (int index : {0, -1, 2}) {
        form.language_index = index;
        settings_from_form(&loaded, &form, &saved);
        EXPECT_STREQ(saved.language, L"zh-CN") << index;
    }
}

TEST(ConsoleSettingsPage, OnlyExactlyEnUsSelectsTheEnglishEntry) {
    EXPECT_EQ(language_index_of(L"en-US"), 1);
    EXPECT_EQ(language_index_of(L"en-us"), 0);
    EXPECT_EQ(language_index_of(L"zh-CN"), 0);
    EXPECT_EQ(language_index_of(L""), 0);
    EXPECT_EQ(language_index_of(nullptr), 0);
}

TEST(ConsoleSettingsPage, EqualityCoversAllNineFields) {
    Settings a = configured(), b = configured();
    EXPECT_TRUE(settings_equal(&a, &b));
    text_copy(b.client_ip, L"10.0.0.8");
    EXPECT_FALSE(settings_equal(&a, &b));
    b = configured();
    text_copy(b.log_file, L"");
    EXPECT_FALSE(settings_equal(&a, &b));
}

TEST(SetupWizardFile, KeepsWhatTheFileHoldsAndReplacesTheThreeValuesAskedFor) {
    Settings old = configured();
    wchar_t text[settings_write_cch];
    ASSERT_TRUE(settings_to_text(&old, text, settings_write_cch));
    Settings s;
    wizard_settings(text, L"http://new:1", L"new-key", L"carol", &s);
    EXPECT_STREQ(s.server_url, L"http://new:1");
    EXPECT_STREQ(s.api_key, L"new-key");
    EXPECT_STREQ(s.mfa_username, L"carol");
    EXPECT_STREQ(s.address, L"Building 4");
    EXPECT_STREQ(s.country_code, L"CN");
    EXPECT_STREQ(s.client_ip, L"10.0.0.7");
    EXPECT_STREQ(s.admin_auth_mode, L"push");
    EXPECT_STREQ(s.log_file, L"D:\\logs\\sentrel.log");
    EXPECT_STREQ(s.language, L"zh-CN");
}

TEST(SetupWizardFile, WithoutAFileOnlyTheThreeValuesAndTheDefaultLogPath) {
    Settings s;
    wizard_settings(nullptr, L"http://new:1", L"k", L"carol", &s);
    EXPECT_STREQ(s.log_file, default_log_path);
    EXPECT_STREQ(s.language, L"");
    EXPECT_STREQ(s.country_code, L"");
    EXPECT_STREQ(s.admin_auth_mode, L"");
}

TEST(SetupWizardFile, ALanguageTheFileDoesNotNameStaysUnnamedAndAnEmptyLogFileStaysEmpty) {
    Settings s;
    wizard_settings(L"{ \"server_url\": \"http://old\", \"log_file\": \"\", \"country_code\": \"FR\" }", L"http://new",
                    L"k", L"u", &s);
    EXPECT_STREQ(s.language, L"");  // the reader would have put in the default language
    EXPECT_STREQ(s.log_file, L"");   // logging stays off
    EXPECT_STREQ(s.country_code, L"FR");
    EXPECT_STREQ(s.server_url, L"http://new");
}

TEST(SetupWizardFile, SetupIsNeededWhileAnyConnectionValueIsEmpty) {
    Settings s = configured();
    EXPECT_FALSE(needs_setup(&s));
    s.mfa_username[0] = 0;
    EXPECT_TRUE(needs_setup(&s));
    s = configured();
    s.api_key[0] = 0;
    EXPECT_TRUE(needs_setup(&s));
}

// Count of printf conversions, so both languages of a text take the same arguments.
std::wstring conversions(const wchar_t* text) {
    std::wstring out;
    for (const wchar_t* p = text; *p; ++p) {
        if (*p != L'%') continue;
        ++p;
        while (*p == L'l') ++p;
        if (*p) out += *p;
    }
    return out;
}

TEST(ConsoleTexts, BothLanguagesExistAndTakeTheSameArguments) {
    for (int i = 0; i <= static_cast<int>(ConsoleText::uninstall_failed); ++i) {
        auto which = static_cast<ConsoleText>(i);
        set_language(lang_code_en_us);
        std::wstring en = console_text(which);
        set_language(lang_code_zh_cn);
        std::wstring zh = console_text(which);
        EXPECT_FALSE(en.empty()) << i;
        EXPECT_FALSE(zh.empty()) << i;
        EXPECT_NE(en, zh) << i;
        EXPECT_EQ(conversions(en.c_str()), conversions(zh.c_str())) << i;
    }
    set_language(lang_code_en_us);
    EXPECT_STREQ(console_text(ConsoleText::uninstall_failed), L"Uninstallation failed (Exit Code: 0x%X).");
    EXPECT_STREQ(console_text(ConsoleText::uninstaller_not_started), L"Could not start uninstaller process.");
    set_language(nullptr);
}

}  // namespace
