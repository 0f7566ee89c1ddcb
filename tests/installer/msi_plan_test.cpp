// The installer's decisions: the settings file from the public properties, the deferred actions'
// data, and which actions an installation runs.
#include <gtest/gtest.h>

#include <string>

#include "common/settings.h"
#include "installer/msi_plan.h"

namespace {

// Property values in settings_property_names order; unnamed ones empty.
struct Properties {
    std::wstring v[settings_property_count];
    Properties& set(const wchar_t* name, std::wstring value) {
        for (int i = 0; i < settings_property_count; ++i)
            if (std::wstring(settings_property_names[i]) == name) v[i] = std::move(value);
        return *this;
    }
    SettingsFromProperties check(Settings* out) const {
        const wchar_t* values[settings_property_count];
        for (int i = 0; i < settings_property_count; ++i) values[i] = v[i].c_str();
        return settings_from_properties(values, out);
    }
};

Properties connection() { return Properties().set(L"SERVER_URL", L"https://mfa.example.com").set(L"API_KEY", L"k1"); }

std::wstring property_named(int index) { return index >= 0 ? settings_property_names[index] : L"(none)"; }

}  // namespace

TEST(SettingsFromProperties, NoPropertyWritesNothing) {
    Settings s = {};
    SettingsFromProperties r = Properties().check(&s);
    EXPECT_FALSE(r.given);
    EXPECT_EQ(r.problem, SettingsProblem::none);
}

TEST(SettingsFromProperties, ServerAndKeyOnlyTogether) {
    Settings s = {};
    SettingsFromProperties r = Properties().set(L"SERVER_URL", L"https://a").check(&s);
    EXPECT_EQ(r.problem, SettingsProblem::connection_incomplete);
    EXPECT_EQ(property_named(r.property), L"API_KEY");
    r = Properties().set(L"MFA_USERNAME", L"alice").set(L"API_KEY", L"k").check(&s);
    EXPECT_EQ(r.problem, SettingsProblem::connection_incomplete);
    EXPECT_EQ(property_named(r.property), L"SERVER_URL");
    EXPECT_STREQ(s.server_url, L"") << "nothing filled on a problem";
}

TEST(SettingsFromProperties, QuotesBackslashesAndLineBreaksComeBackUnchanged) {
    Settings s = {};
    Properties p = connection()
                       .set(L"SERVER_URL", L"https://mfa.example.com/base\\path\"x")
                       .set(L"API_KEY", L"k\"e\\y\\\\\"")
                       .set(L"MFA_USERNAME", L"CORP\\alice")
                       .set(L"ADDRESS", L"Floor 3\r\nBuilding \"B\"")
                       .set(L"LANGUAGE", L"zh-CN");
    SettingsFromProperties r = p.check(&s);
    ASSERT_EQ(r.problem, SettingsProblem::none) << property_named(r.property);
    EXPECT_TRUE(r.given);
    EXPECT_STREQ(s.server_url, L"https://mfa.example.com/base\\path\"x");
    EXPECT_STREQ(s.api_key, L"k\"e\\y\\\\\"");
    EXPECT_STREQ(s.address, L"Floor 3\r\nBuilding \"B\"");
    EXPECT_STREQ(s.log_file, default_log_path) << "LOG_FILE not given: the default log";
    EXPECT_STREQ(s.language, L"zh-CN");

    // What the file then holds reads back as the same settings.
    wchar_t text[settings_write_cch];
    ASSERT_TRUE(settings_to_text(&s, text, settings_write_cch));
    Settings back = {};
    settings_from_text(text, &back);
    EXPECT_STREQ(back.api_key, s.api_key);
    EXPECT_STREQ(back.mfa_username, L"CORP\\alice");
    EXPECT_NE(std::wstring(text).find(L"\"api_key\": \"k\\\"e\\\\y\\\\\\\\\\\"\""), std::wstring::npos) << text;
}

TEST(SettingsFromProperties, LanguageLeftToTheReaderWhenNotGiven) {
    Settings s = {};
    ASSERT_EQ(connection().check(&s).problem, SettingsProblem::none);
    EXPECT_STREQ(s.language, L"");
    ASSERT_EQ(connection().set(L"LOG_FILE", L"D:\\Logs\\sentrel.log").check(&s).problem, SettingsProblem::none);
    EXPECT_STREQ(s.log_file, L"D:\\Logs\\sentrel.log");
}

TEST(SettingsFromProperties, ValuesTheWriterWouldCutAreRefused) {
    Settings s = {};
    // api_key's escaped text is cut at 253 characters: 253 plain characters fit, 254 do not.
    EXPECT_EQ(connection().set(L"API_KEY", std::wstring(253, L'k')).check(&s).problem, SettingsProblem::none);
    SettingsFromProperties r = connection().set(L"API_KEY", std::wstring(254, L'k')).check(&s);
    EXPECT_EQ(r.problem, SettingsProblem::too_long);
    EXPECT_EQ(property_named(r.property), L"API_KEY");
    // Each quotation mark takes two characters escaped: 127 fit (254 written), 128 do not.
    EXPECT_EQ(connection().set(L"API_KEY", std::wstring(127, L'"')).check(&s).problem, SettingsProblem::none);
    EXPECT_EQ(connection().set(L"API_KEY", std::wstring(128, L'"')).check(&s).problem, SettingsProblem::too_long);
    // The field itself: country_code keeps 31 characters.
    EXPECT_EQ(connection().set(L"COUNTRY_CODE", std::wstring(31, L'C')).check(&s).problem, SettingsProblem::none);
    r = connection().set(L"COUNTRY_CODE", std::wstring(32, L'C')).check(&s);
    EXPECT_EQ(r.problem, SettingsProblem::too_long);
    EXPECT_EQ(property_named(r.property), L"COUNTRY_CODE");
    EXPECT_EQ(connection().set(L"LOG_FILE", std::wstring(1100, L'x')).check(&s).problem, SettingsProblem::too_long);
}

TEST(SettingsFromProperties, LanguageAndAdminModeFromTheirLists) {
    Settings s = {};
    EXPECT_EQ(connection().set(L"LANGUAGE", L"en-US").check(&s).problem, SettingsProblem::none);
    EXPECT_EQ(connection().set(L"LANGUAGE", L"fr-FR").check(&s).problem, SettingsProblem::unknown_language);
    EXPECT_EQ(connection().set(L"LANGUAGE", L"EN-us").check(&s).problem, SettingsProblem::unknown_language);
    for (const wchar_t* mode : {L"totp", L"push", L"sms", L"email"})
        EXPECT_EQ(connection().set(L"ADMIN_AUTH_MODE", mode).check(&s).problem, SettingsProblem::none) << mode;
    EXPECT_EQ(connection().set(L"ADMIN_AUTH_MODE", L"voice").check(&s).problem, SettingsProblem::unknown_auth_mode);
}

TEST(SettingsFromProperties, ProblemsAreDescribedWithTheProperty) {
    wchar_t message[1024];
    describe_settings_problem({true, SettingsProblem::too_long, 3}, message, 1024);
    EXPECT_EQ(std::wstring(message).rfind(L"ADDRESS is too long", 0), 0u) << message;
    describe_settings_problem({true, SettingsProblem::connection_incomplete, 1}, message, 1024);
    EXPECT_NE(std::wstring(message).find(L"API_KEY is missing"), std::wstring::npos) << message;
    EXPECT_NE(std::wstring(message).find(L"Nothing was changed."), std::wstring::npos);
}

TEST(ActionData, PathAndTextRoundTrip) {
    wchar_t data[256];
    ASSERT_TRUE(pack_path_and_text(L"C:\\Program Files\\Sentrel\\SentrelSvc.json", L"{\n  \"a\": \"b\"\n}\n", data, 256));
    const wchar_t *path = nullptr, *text = nullptr;
    ASSERT_TRUE(split_path_and_text(data, &path, &text));
    EXPECT_STREQ(path, L"C:\\Program Files\\Sentrel\\SentrelSvc.json");
    EXPECT_STREQ(text, L"{\n  \"a\": \"b\"\n}\n");

    EXPECT_FALSE(pack_path_and_text(L"C:\\a\nb", L"x", data, 256)) << "a path with a line feed is ambiguous";
    EXPECT_FALSE(pack_path_and_text(L"", L"x", data, 256));
    EXPECT_FALSE(pack_path_and_text(L"C:\\a", L"0123456789", data, 8)) << "does not fit";
    wchar_t no_separator[] = L"C:\\a";
    EXPECT_FALSE(split_path_and_text(no_separator, &path, &text));
    wchar_t empty_path[] = L"\ntext";
    EXPECT_FALSE(split_path_and_text(empty_path, &path, &text));
}

TEST(InstallPlan, WhatEachInstallationRuns) {
    InstallSituation fresh = {};
    fresh.settings_given = true;
    fresh.elevated = true;
    InstallPlan p = plan_installation(fresh);
    EXPECT_TRUE(p.write_settings && p.check_log_folder && p.configure_service);
    EXPECT_FALSE(p.refuse_foreign_service || p.log_uninstall);

    InstallSituation configured = fresh;
    configured.settings_file_exists = true;  // never overwritten
    EXPECT_FALSE(plan_installation(configured).write_settings);

    InstallSituation foreign = fresh;
    foreign.service_exists = true;  // registered by hand, no Sentrel package installed
    p = plan_installation(foreign);
    EXPECT_TRUE(p.refuse_foreign_service);
    EXPECT_FALSE(p.write_settings || p.configure_service) << "a refused installation prepares nothing";

    InstallSituation upgrade = foreign;
    upgrade.older_version_found = true;
    EXPECT_FALSE(plan_installation(upgrade).refuse_foreign_service);
    InstallSituation repair = foreign;
    repair.product_installed = true;
    EXPECT_FALSE(plan_installation(repair).refuse_foreign_service);

    InstallSituation removal = {};
    removal.removing = true;
    removal.service_exists = true;
    p = plan_installation(removal);
    EXPECT_TRUE(p.log_uninstall);
    EXPECT_FALSE(p.configure_service || p.write_settings || p.check_log_folder || p.refuse_foreign_service);
    removal.upgrade_removal = true;  // a newer version replaces this one: the product stays
    EXPECT_FALSE(plan_installation(removal).log_uninstall);
}

// Which runs may write SentrelSvc.json from the properties: the service trusts its server and
// writes its log where the file says, as LocalSystem.
TEST(InstallPlan, OnlyAnElevatedFirstInstallOrUpgradeWritesSettings) {
    struct Row {
        const char* run;
        bool installed, older, elevated, file_exists;
        bool write, ignored, refused;
    };
    const Row rows[] = {
        // run                          installed older  elevated file   write  ignored refused
        {"first install, elevated",     false,    false, true,    false, true,  false,  false},
        {"first install, file exists",  false,    false, true,    true,  false, false,  false},
        {"first install, not elevated", false,    false, false,   false, false, false,  true},
        {"upgrade, file missing",       false,    true,  true,    false, true,  false,  false},
        {"upgrade, file exists",        false,    true,  true,    true,  false, false,  false},
        {"repair/reinstall/change",     true,     false, true,    false, false, true,   false},
        {"maintenance, not elevated",   true,     false, false,   false, false, true,   false},
        {"maintenance, file exists",    true,     false, true,    true,  false, true,   false},
    };
    for (const Row& row : rows) {
        InstallSituation s = {};
        s.product_installed = row.installed;
        s.older_version_found = row.older;
        s.elevated = row.elevated;
        s.settings_file_exists = row.file_exists;
        s.settings_given = true;
        InstallPlan p = plan_installation(s);
        EXPECT_EQ(p.write_settings, row.write) << row.run;
        EXPECT_EQ(p.ignore_properties, row.ignored) << row.run;
        EXPECT_EQ(p.refuse_unelevated, row.refused) << row.run;
        if (!row.refused) {
            EXPECT_TRUE(p.configure_service && p.check_log_folder) << row.run;
        }
        s.settings_given = false;  // without properties nothing is written, ignored or refused
        p = plan_installation(s);
        EXPECT_FALSE(p.write_settings || p.ignore_properties || p.refuse_unelevated) << row.run;
    }
}
