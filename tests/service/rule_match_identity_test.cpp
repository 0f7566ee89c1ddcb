// Rules that name programs by what the file is.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "common/settings.h"
#include "common/text.h"
#include "service/process_list.h"
#include "service/rule_match.h"
#include "tests/service/policy_builder.h"

namespace {

const wchar_t* const sha_a = L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const wchar_t* const sha_b = L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// Files by path: their OriginalFilename (empty: no version resource) and content hash.
struct FakeFiles {
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> files;
    int reads = 0;
    bool last_want_hash = false;
};

bool fake_read(void* state, const wchar_t* path, bool want_hash, FileIdentity* out) {
    FakeFiles* files = static_cast<FakeFiles*>(state);
    ++files->reads;
    files->last_want_hash = want_hash;
    auto found = files->files.find(path);
    if (found == files->files.end()) return false;
    FileIdentity id = {};
    id.have_original_name = !found->second.first.empty();
    text_copy(id.original_name, found->second.first.c_str());
    id.have_sha256 = want_hash && sha256_from_hex(found->second.second.c_str(), id.sha256);
    *out = id;
    return true;
}

Rule& with_identity(Rule& r, const wchar_t* original_name, const wchar_t* sha256) {
    text_copy(r.match_original_name, original_name);
    text_copy(r.match_sha256, sha256);
    return r;
}

}  // namespace

TEST(RuleMatchIdentity, RenamedCopiesAndSameNamedOthers) {
    FakeFiles files;
    files.files[L"C:\\Users\\u\\AppData\\Local\\Temp\\notes.exe"] = {L"regedit.exe", sha_a};
    files.files[L"C:\\Windows\\regedit.exe"] = {L"REGEDIT.EXE", sha_a};
    files.files[L"C:\\other\\tool.exe"] = {L"", sha_b};
    files.files[L"C:\\mine\\tool.exe"] = {L"", sha_a};
    IdentityPort port = {&files, fake_read, false};

    PolicyBuilder by_name;
    const Rule& regedit = with_identity(by_name.add(rule_type_program, L""), L"regedit.exe", L"");
    EXPECT_EQ(match_rule(by_name.policy.get(), rule_type_program, L"C:\\Users\\u\\AppData\\Local\\Temp\\notes.exe", L"", &port), &regedit);
    EXPECT_EQ(match_rule(by_name.policy.get(), rule_type_program, L"C:\\other\\tool.exe", L"", &port), nullptr);
    EXPECT_FALSE(port.unreadable);
    EXPECT_FALSE(files.last_want_hash);  // no rule asks for a hash: none is made
    // Without an identity port a rule with identity keys never matches.
    EXPECT_EQ(by_name.match(rule_type_program, L"C:\\Windows\\regedit.exe"), nullptr);

    PolicyBuilder by_hash;
    const Rule& tool = with_identity(by_hash.add(rule_type_command, L""), L"", sha_a);
    EXPECT_EQ(match_rule(by_hash.policy.get(), rule_type_command, L"C:\\mine\\tool.exe", L"", &port), &tool);
    EXPECT_EQ(match_rule(by_hash.policy.get(), rule_type_command, L"C:\\other\\tool.exe", L"", &port), nullptr);
    EXPECT_EQ(match_rule(by_hash.policy.get(), rule_type_command, L"C:\\Windows\\regedit.exe", L"", &port), &tool);
    EXPECT_TRUE(files.last_want_hash);

    // Every condition must hold: a name and a hash together.
    PolicyBuilder both;
    with_identity(both.add(rule_type_command, L"tool.exe"), L"", sha_a);
    EXPECT_EQ(match_rule(both.policy.get(), rule_type_command, L"C:\\other\\tool.exe", L"", &port), nullptr);
    EXPECT_NE(match_rule(both.policy.get(), rule_type_command, L"C:\\mine\\tool.exe", L"", &port), nullptr);
    EXPECT_EQ(match_rule(both.policy.get(), rule_type_command, L"C:\\Windows\\regedit.exe", L"", &port), nullptr);
}

TEST(RuleMatchIdentity, IdentityIsReadOnceAndOnlyWhenARuleNeedsIt) {
    FakeFiles files;
    files.files[L"C:\\a\\x.exe"] = {L"x.exe", sha_b};
    IdentityPort port = {&files, fake_read, false};
    PolicyBuilder p;
    p.add(rule_type_program, L"notepad.exe");
    with_identity(p.add(rule_type_program, L"x.exe"), L"y.exe", L"");
    with_identity(p.add(rule_type_program, L""), L"", sha_a);
    const Rule& plain = p.add(rule_type_program, L"x.exe");
    EXPECT_EQ(match_rule(p.policy.get(), rule_type_program, L"C:\\a\\x.exe", L"", &port), &plain);
    EXPECT_EQ(files.reads, 1);
    // A plain rule before the identity rules decides without reading the file.
    files.reads = 0;
    EXPECT_NE(match_rule(p.policy.get(), rule_type_program, L"C:\\b\\notepad.exe", L"", &port), nullptr);
    EXPECT_EQ(files.reads, 0);
}

TEST(RuleMatchIdentity, AnUnreadableFileIsReportedNeverLetThroughByAccident) {
    FakeFiles files;  // knows no file: every read fails
    IdentityPort port = {&files, fake_read, false};
    PolicyBuilder p;
    with_identity(p.add(rule_type_program, L"locked.exe"), L"locked.exe", L"");
    EXPECT_EQ(match_rule(p.policy.get(), rule_type_program, L"C:\\free.exe", L"", &port), nullptr);
    EXPECT_FALSE(port.unreadable);  // the name already rules it out: the file is never read
    EXPECT_EQ(files.reads, 0);
    EXPECT_EQ(match_rule(p.policy.get(), rule_type_program, L"C:\\locked.exe", L"", &port), nullptr);
    EXPECT_TRUE(port.unreadable);
}

TEST(RuleMatchIdentity, MalformedHashRulesAreDroppedTheOthersStayInOrder) {
    PolicyBuilder p;
    p.add(rule_type_program, L"a.exe");
    with_identity(p.add(rule_type_program, L"b.exe"), L"", L"1234");
    with_identity(p.add(rule_type_command, L"c.exe"), L"", sha_a);
    with_identity(p.add(rule_type_command, L"d.exe"), L"", L"?");
    Settings settings = {};
    EXPECT_EQ(drop_malformed_rules(p.policy.get(), &settings), 2u);
    ASSERT_EQ(p.policy->count, 2u);
    EXPECT_STREQ(p.policy->rules[0].match_name, L"a.exe");
    EXPECT_STREQ(p.policy->rules[1].match_name, L"c.exe");
    EXPECT_EQ(p.policy->rules[2].type, rule_type_free);
}

TEST(RuleMatchIdentity, TheNameFilterStaysExactAndOpensEverythingOnlyForIdentityWithoutAName) {
    PolicyBuilder named;
    with_identity(named.add(rule_type_program, L"regedit.exe"), L"regedit.exe", L"");
    with_identity(named.add(rule_type_program, L"", L"C:\\Windows\\hh.exe"), L"", sha_a);
    ProgramNameFilter filter;
    program_filter_build(named.policy.get(), &filter);
    EXPECT_FALSE(filter.match_all);  // a name or path still has to hold: only those names are opened
    EXPECT_TRUE(program_filter_could_match(&filter, L"REGEDIT.EXE", 11));
    EXPECT_TRUE(program_filter_could_match(&filter, L"hh.exe", 6));
    EXPECT_FALSE(program_filter_could_match(&filter, L"notes.exe", 9));

    PolicyBuilder by_identity;
    by_identity.add(rule_type_program, L"regedit.exe");
    with_identity(by_identity.add(rule_type_program, L""), L"regedit.exe", L"");
    program_filter_build(by_identity.policy.get(), &filter);
    EXPECT_TRUE(filter.match_all);  // a renamed copy has any name
    EXPECT_TRUE(program_filter_could_match(&filter, L"notes.exe", 9));
}
