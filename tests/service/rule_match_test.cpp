#include "service/rule_match.h"

#include <gtest/gtest.h>

#include <memory>

#include "common/text.h"
#include "tests/service/policy_builder.h"

TEST(RuleMatch, NameComparesFileNamePartIgnoringCase) {
    PolicyBuilder p;
    const Rule& git = p.add(rule_type_command, L"git.exe");
    EXPECT_EQ(p.match(rule_type_command, L"C:\\Program Files\\Git\\bin\\GIT.EXE"), &git);
    EXPECT_EQ(p.match(rule_type_command, L"GIT.EXE"), &git);
    EXPECT_EQ(p.match(rule_type_command, L"C:\\tools\\git.exe.bak"), nullptr);
    EXPECT_EQ(p.match(rule_type_command, L"C:\\tools\\mygit.exe"), nullptr);
    // Not only ASCII letters: a name's case never lets a program escape its rule.
    const Rule& editor = p.add(rule_type_program, L"Редактор.exe");
    const Rule& sign = p.add(rule_type_program, L"", L"C:\\Werkzeuge\\Änderung\\signieren.exe");
    EXPECT_EQ(p.match(rule_type_program, L"C:\\Apps\\РЕДАКТОР.EXE"), &editor);
    EXPECT_EQ(p.match(rule_type_program, L"c:\\WERKZEUGE\\äNDERUNG\\Signieren.exe"), &sign);
}

TEST(RuleMatch, PathMustEqualWholePathAndBothFieldsMustHold) {
    PolicyBuilder p;
    const Rule& cmd = p.add(rule_type_command, L"", L"C:\\Windows\\System32\\cmd.exe");
    EXPECT_EQ(p.match(rule_type_command, L"c:\\windows\\system32\\CMD.exe"), &cmd);
    EXPECT_EQ(p.match(rule_type_command, L"C:\\Windows\\System32\\cmd.exe2"), nullptr);
    EXPECT_EQ(p.match(rule_type_command, L"C:\\Windows\\System32"), nullptr);

    PolicyBuilder both;
    both.add(rule_type_command, L"other.exe", L"C:\\x\\tool.exe");
    EXPECT_EQ(both.match(rule_type_command, L"C:\\x\\tool.exe"), nullptr);
}

TEST(RuleMatch, ArgsContainIgnoresCaseAndNeverMatchesEmptyArgs) {
    PolicyBuilder p;
    const Rule& push = p.add(rule_type_command, L"git.exe", L"", L"push");
    EXPECT_EQ(p.match(rule_type_command, L"C:\\git.exe", L"-C repo PUSH origin"), &push);
    EXPECT_EQ(p.match(rule_type_command, L"C:\\git.exe", L"pull"), nullptr);
    EXPECT_EQ(p.match(rule_type_command, L"C:\\git.exe", L""), nullptr);
    EXPECT_EQ(p.match(rule_type_command, L"C:\\git.exe", nullptr), nullptr);
}

TEST(RuleMatch, DisabledAndOtherTypesSkippedFirstMatchWins) {
    PolicyBuilder p;
    p.add(rule_type_command, L"tool.exe").enabled = 0;
    p.add(rule_type_program, L"tool.exe");
    const Rule& second = p.add(rule_type_command, L"");  // matches every command
    p.add(rule_type_command, L"tool.exe");
    EXPECT_EQ(p.match(rule_type_command, L"C:\\tool.exe"), &second);
    EXPECT_EQ(p.match(rule_type_program, L"C:\\tool.exe"), &p.policy->rules[1]);
    EXPECT_EQ(p.match(rule_type_program, L"C:\\other.exe"), nullptr);
    PolicyBuilder empty;
    EXPECT_EQ(empty.match(rule_type_command, L"C:\\tool.exe"), nullptr);
}
