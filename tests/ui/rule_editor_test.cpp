#include "ui/rule_editor.h"

#include <gtest/gtest.h>

#include <string>

#include "common/lang.h"
#include "common/text.h"
#include "ui/console_state.h"

namespace {

std::wstring display_name(const wchar_t* file) {
    wchar_t out[128];
    display_name_from_file_name(file, out, 128);
    return out;
}

std::wstring file_name(const wchar_t* path) {
    wchar_t out[260];
    file_name_of_path(path, out, 260);
    return out;
}

TEST(RuleEditorNames, DisplayNameDropsExeAndRaisesAnAsciiFirstLetter) {
    EXPECT_EQ(display_name(L"notepad.exe"), L"Notepad");
    EXPECT_EQ(display_name(L"TOOL.EXE"), L"TOOL");
    EXPECT_EQ(display_name(L"backup.tool.exe"), L"Backup.tool");
    EXPECT_EQ(display_name(L"setup.exe.bak"), L"Setup.exe.bak");
    EXPECT_EQ(display_name(L"übersicht.exe"), L"übersicht");  // only a-z are raised
    EXPECT_EQ(display_name(L"7zip.exe"), L"7zip");
    EXPECT_EQ(display_name(L""), L"");
    // The file name is cut to 127 characters before ".exe" is looked for.
    std::wstring long_name(125, L'a');
    EXPECT_EQ(display_name((long_name + L".exe").c_str()), L"A" + std::wstring(124, L'a') + L".e");
}

TEST(RuleEditorNames, FileNameIsAfterTheLastBackslashElseTheLastSlash) {
    EXPECT_EQ(file_name(L"C:\\Windows\\System32\\cmd.exe"), L"cmd.exe");
    EXPECT_EQ(file_name(L"C:/tools/x.exe"), L"x.exe");
    EXPECT_EQ(file_name(L"C:\\a/b\\c/d.exe"), L"c/d.exe");  // a backslash is looked for first
    EXPECT_EQ(file_name(L"plain.exe"), L"plain.exe");
    EXPECT_EQ(file_name(L"C:\\folder\\"), L"");
    EXPECT_EQ(file_name(std::wstring(400, L'x').c_str()).size(), 259u);
}

TEST(RuleEditorPresets, BothTablesDifferOnlyInTheirLabels) {
    const RulePreset* en = rule_presets(Language::en_us);
    const RulePreset* zh = rule_presets(Language::zh_cn);
    EXPECT_STREQ(en[0].label, L"— Quick Select Presets —");
    EXPECT_STREQ(zh[0].label, L"— 快速选择常用命令 —");
    for (int row = 0; row < preset_count; ++row) {
        EXPECT_STREQ(en[row].file_name, zh[row].file_name) << row;
        EXPECT_STREQ(en[row].path, zh[row].path) << row;
        EXPECT_STREQ(en[row].args, zh[row].args) << row;
    }
    EXPECT_STREQ(en[2].path, L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe");
    EXPECT_STREQ(en[4].args, L"stop ");   // trailing spaces are part of the filters
    EXPECT_STREQ(en[9].args, L"/F /IM ");
    EXPECT_STREQ(en[11].path, L"C:\\Windows\\System32\\wbem\\wmic.exe");
    EXPECT_STREQ(zh[12].label, L"自定义…");
    EXPECT_STREQ(en[12].file_name, L"");
}

TEST(RuleEditorPresets, DisplayNameOfALabelStopsAtItsParenthesis) {
    wchar_t out[128];
    for (Language language : {Language::en_us, Language::zh_cn}) {
        for (int row = 1; row <= 11; ++row) {
            const RulePreset& preset = rule_presets(language)[row];
            preset_display_name(preset.label, out, 128);
            EXPECT_STREQ(out, preset.file_name) << row;
        }
    }
    preset_display_name(L"Custom...", out, 128);
    EXPECT_STREQ(out, L"Custom...");
    preset_display_name(L"a (b) （c）", out, 128);
    EXPECT_STREQ(out, L"a (b)");  // the full-width parenthesis is looked for first
}

TEST(RuleEditorFill, PresetOnAnEmptyFormFillsNameFileAndPathButNoFilter) {
    RuleFieldFill fill;
    ASSERT_TRUE(fill_from_preset(rule_presets(Language::en_us), 2, L"", &fill));
    EXPECT_TRUE(fill.set_display && fill.set_file && fill.set_path);
    EXPECT_FALSE(fill.set_args);
    EXPECT_STREQ(fill.display_name, L"powershell.exe");
    EXPECT_STREQ(fill.file_name, L"powershell.exe");
    EXPECT_STREQ(fill.path, L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe");
}

TEST(RuleEditorFill, PresetKeepsATypedNameAndSetsItsFilter) {
    RuleFieldFill fill;
    ASSERT_TRUE(fill_from_preset(rule_presets(Language::zh_cn), 4, L"Stopping services", &fill));
    EXPECT_FALSE(fill.set_display);
    EXPECT_TRUE(fill.set_args);
    EXPECT_STREQ(fill.args, L"stop ");
}

TEST(RuleEditorFill, HeadingAndOutOfRangeRowsFillNothingAndCustomEmptiesTheFields) {
    RuleFieldFill fill;
    for (int row : {-1, 0, 13})
        EXPECT_FALSE(fill_from_preset(rule_presets(Language::en_us), row, L"", &fill)) << row;
    ASSERT_TRUE(fill_from_preset(rule_presets(Language::en_us), 12, L"", &fill));
    EXPECT_TRUE(fill.set_file && fill.set_path);
    EXPECT_STREQ(fill.file_name, L"");
    EXPECT_STREQ(fill.path, L"");
    EXPECT_STREQ(fill.display_name, L"Custom...");
}

TEST(RuleEditorFill, TypedPathFillsOnlyAnEmptyFileNameAndThenAnEmptyDisplayName) {
    RuleFieldFill fill;
    ASSERT_TRUE(fill_from_typed_path(L"C:\\Tools\\backup.exe", L"", L"", &fill));
    EXPECT_STREQ(fill.file_name, L"backup.exe");
    EXPECT_STREQ(fill.display_name, L"Backup");
    EXPECT_FALSE(fill.set_path);

    ASSERT_TRUE(fill_from_typed_path(L"C:\\Tools\\backup.exe", L"", L"Nightly backup", &fill));
    EXPECT_TRUE(fill.set_file);
    EXPECT_FALSE(fill.set_display);

    EXPECT_FALSE(fill_from_typed_path(L"C:\\Tools\\backup.exe", L"other.exe", L"", &fill));
    EXPECT_FALSE(fill_from_typed_path(L"", L"", L"", &fill));
    // A path that ends in a separator has no file name yet: nothing for the display name.
    ASSERT_TRUE(fill_from_typed_path(L"C:\\Tools\\", L"", L"", &fill));
    EXPECT_FALSE(fill.set_display);
}

TEST(RuleEditorFill, BrowsedPathAlwaysSetsTheFileNameAndCutsAnUpperCaseExe) {
    RuleFieldFill fill;
    ASSERT_TRUE(fill_from_browsed_path(L"D:\\Apps\\Ledger\\LEDGER.EXE", L"", &fill));
    EXPECT_TRUE(fill.set_file && fill.set_path && fill.set_display);
    EXPECT_STREQ(fill.file_name, L"LEDGER.EXE");
    EXPECT_STREQ(fill.display_name, L"LEDGER");
    ASSERT_TRUE(fill_from_browsed_path(L"D:\\Apps\\ledger.exe", L"Books", &fill));
    EXPECT_FALSE(fill.set_display);
}

RuleForm form(const wchar_t* name, const wchar_t* file, const wchar_t* path, const wchar_t* cache = L"300") {
    RuleForm f = {};
    text_copy(f.display_name, name);
    text_copy(f.file_name, file);
    text_copy(f.path, path);
    text_copy(f.cache, cache);
    text_copy(f.mode, L"push");
    text_copy(f.args, L"--delete");
    return f;
}

TEST(RuleEditorSave, ValidationNamesTheFirstMissingField) {
    RuleForm f = form(L"", L"", L"");
    EXPECT_EQ(check_rule_form(&f), 118u);
    f = form(L"Tool", L"", L"");
    EXPECT_EQ(check_rule_form(&f), 119u);
    f = form(L"Tool", L"", L"C:\\tool.exe");
    EXPECT_EQ(check_rule_form(&f), 0u);
    f = form(L"Tool", L"tool.exe", L"");
    EXPECT_EQ(check_rule_form(&f), 0u);
}

TEST(RuleEditorSave, CacheWindowIsTheLeadingNumber) {
    EXPECT_EQ(leading_seconds(L"600"), 600);
    EXPECT_EQ(leading_seconds(L" 42 s"), 42);
    EXPECT_EQ(leading_seconds(L"5m"), 5);
    EXPECT_EQ(leading_seconds(L"abc"), 0);
    EXPECT_EQ(leading_seconds(L"-5"), 0);  // no sign: a negative window would be written as a huge one
    EXPECT_EQ(leading_seconds(L""), 0);
    EXPECT_EQ(leading_seconds(L"99999999999"), 0x7FFFFFFF);
}

TEST(RuleEditorSave, EditingKeepsThePausedStateAndAProgramRuleHasNoFilter) {
    Rule previous = {};
    previous.type = rule_type_program;
    previous.enabled = 0;
    text_copy(previous.args_contains, L"--from-file");
    RuleForm f = form(L"Tool", L"tool.exe", L"", L"7x");
    Rule edited;
    rule_from_form(&f, rule_type_program, &previous, &edited);
    EXPECT_EQ(edited.enabled, 0);
    EXPECT_EQ(edited.type, rule_type_program);
    EXPECT_STREQ(edited.args_contains, L"");
    EXPECT_STREQ(edited.auth_mode, L"push");
    EXPECT_EQ(edited.cache_window_seconds, 7);

    Rule added;
    rule_from_form(&f, rule_type_command, nullptr, &added);
    EXPECT_EQ(added.enabled, 1);
    EXPECT_STREQ(added.args_contains, L"--delete");
}

TEST(RuleEditorSave, ModeIndexIgnoresCase) {
    EXPECT_EQ(auth_mode_index(L"PUSH"), 1);
    EXPECT_EQ(auth_mode_index(L"Email"), 3);
    EXPECT_EQ(auth_mode_index(L"voice"), 0);
    EXPECT_EQ(auth_mode_index(L""), 0);
}

TEST(RuleEditorLayout, HeightsAndTitlesOfTheThreeForms) {
    EXPECT_EQ(editor_layout(rule_type_program, false).client_height, 504);
    EXPECT_EQ(editor_layout(rule_type_program, true).client_height, 504);
    EXPECT_EQ(editor_layout(rule_type_command, false).client_height, 664);
    EXPECT_EQ(editor_layout(rule_type_command, true).client_height, 568);
    EXPECT_EQ(editor_layout(rule_type_command, false).top, 116);
    EXPECT_EQ(editor_title_id(rule_type_program, false), 105u);
    EXPECT_EQ(editor_title_id(rule_type_command, false), 106u);
    EXPECT_EQ(editor_title_id(rule_type_program, true), 107u);
    EXPECT_EQ(editor_title_id(rule_type_command, true), 108u);
}

}  // namespace

TEST(RuleEditorIdentity, BrowseFillsWhatWasReadAndTheFormKeepsBothKeys) {
    FileIdentity identity = {};
    IdentityFill fill = {};
    text_copy(fill.original_name, L"untouched");
    EXPECT_FALSE(identity_fill(&identity, false, &fill));  // unreadable: nothing replaced
    EXPECT_FALSE(identity_fill(&identity, true, &fill));   // read, but nothing to show
    EXPECT_STREQ(fill.original_name, L"untouched");
    identity.have_sha256 = sha256_from_hex(L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD",
                                           identity.sha256);
    ASSERT_TRUE(identity_fill(&identity, true, &fill));  // no version resource: the hash alone
    EXPECT_STREQ(fill.original_name, L"");
    EXPECT_STREQ(fill.sha256, L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    identity.have_original_name = true;
    text_copy(identity.original_name, L"regedit.exe");
    ASSERT_TRUE(identity_fill(&identity, true, &fill));
    EXPECT_STREQ(fill.original_name, L"regedit.exe");

    RuleForm form = {};
    text_copy(form.display_name, L"Registry");
    text_copy(form.cache, L"60");
    text_copy(form.mode, L"push");
    EXPECT_EQ(check_rule_form(&form), 119u);  // nothing names a program
    text_copy(form.original_name, L"regedit.exe");
    EXPECT_EQ(check_rule_form(&form), 0u);  // identity alone names it
    text_copy(form.sha256, L"ba7816bf");
    EXPECT_EQ(check_rule_form(&form), 136u);  // a hash that is not 64 hex digits is never saved
    text_copy(form.sha256, fill.sha256);
    EXPECT_EQ(check_rule_form(&form), 0u);
    Rule rule;
    rule_from_form(&form, rule_type_command, nullptr, &rule);
    EXPECT_STREQ(rule.match_original_name, L"regedit.exe");
    EXPECT_STREQ(rule.match_sha256, fill.sha256);

    wchar_t row[160];
    rule_row_name(&rule, L"[ID]", row, 160);
    EXPECT_STREQ(row, L"Registry [ID]");
    rule.match_original_name[0] = rule.match_sha256[0] = L'\0';
    rule_row_name(&rule, L"[ID]", row, 160);
    EXPECT_STREQ(row, L"Registry");
}
