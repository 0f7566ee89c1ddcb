#include "service/relaunch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/settings.h"
#include "common/text.h"
#include "tests/support/test_files.h"

namespace {

// The user's environment block the fake hands out.
const wchar_t user_block[] = L"=C:=C:\\\0USERNAME=ann\0Path=C:\\Windows\\system32;;\"C:\\Users\\ann\\AppData\\Local\\"
                             L"Microsoft\\WindowsApps\\\";C:\\Tools\0TEMP=C:\\Users\\ann\\Temp\0";

struct StartCall {
    uintptr_t token;
    uint32_t session;
    std::wstring application, command_line, directory;
};

struct FakeStarts {
    std::vector<StartCall> starts;
    std::vector<uintptr_t> environment_tokens;
    bool environment_ok = true;
    uint32_t environment_error = 1312;
    std::vector<bool> create_ok = {true};  // per start; the last repeats
    uint32_t create_error = 2;
    std::set<std::wstring> files;
    int environments_live = 0;
};

FakeStarts* fake(void* state) { return static_cast<FakeStarts*>(state); }

bool fake_environment(void* state, uintptr_t token, void** block, uint32_t* error) {
    fake(state)->environment_tokens.push_back(token);
    if (!fake(state)->environment_ok) {
        *error = fake(state)->environment_error;
        return false;
    }
    ++fake(state)->environments_live;
    *block = const_cast<wchar_t*>(user_block);
    return true;
}
// cppcheck-suppress constParameter ; the port's type takes the block as the system hands it out
void fake_free_environment(void* state, void* block) {
    EXPECT_EQ(block, user_block);
    --fake(state)->environments_live;
}
bool fake_create_as(void* state, uintptr_t token, uint32_t session, const wchar_t* application, wchar_t* command_line,
                    const wchar_t* directory, uint32_t* pid, uint32_t* error) {
    FakeStarts* f = fake(state);
    f->starts.push_back({token, session, application, command_line, directory ? directory : L"(none)"});
    bool ok = f->create_ok[std::min(f->starts.size() - 1, f->create_ok.size() - 1)];
    if (ok) {
        *pid = 77;
    } else {
        *error = f->create_error;
    }
    return ok;
}
bool fake_exists(void* state, const wchar_t* path) { return fake(state)->files.count(path) != 0; }

class Relaunch : public ::testing::Test {
protected:
    TempFolder folder;
    std::unique_ptr<Settings> settings{new Settings()};
    FakeStarts system;
    RelaunchPorts ports = {&system, fake_environment, fake_free_environment, fake_create_as, fake_exists};

    void SetUp() override { text_copy(settings->log_file, folder.file(L"sentrel.log").c_str()); }
    void TearDown() override { EXPECT_EQ(system.environments_live, 0); }

    bool relaunch(Starter starter, const wchar_t* program, const wchar_t* directory = nullptr) {
        return relaunch_as_starter(settings.get(), &starter, program, directory, &ports);
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::string text = read_file_bytes(folder.file(L"sentrel.log"));
        for (size_t at = text.find("] "); at != std::string::npos; at = text.find("] ", at)) {
            size_t end = text.find("\r\r\n", at);
            out.push_back(text.substr(at + 2, end - at - 2));
            at = end;
        }
        return out;
    }
};

using Lines = std::vector<std::string>;

}  // namespace

TEST_F(Relaunch, StartsWithTheStoppedProcessesOwnTokenInItsSession) {
    EXPECT_TRUE(relaunch({0xA11CE, 3}, L"C:\\Tools\\app.exe", L"C:\\Tools"));
    ASSERT_EQ(system.starts.size(), 1u);
    const StartCall& start = system.starts[0];
    EXPECT_EQ(start.token, 0xA11CEu);  // never another user's, never a linked (elevated) one
    EXPECT_EQ(start.session, 3u);      // the session it was started in, not the console's
    EXPECT_EQ(start.application, L"C:\\Tools\\app.exe");
    EXPECT_EQ(start.command_line, L"\"C:\\Tools\\app.exe\"");
    EXPECT_EQ(start.directory, L"C:\\Tools");
    EXPECT_EQ(system.environment_tokens, std::vector<uintptr_t>{0xA11CE});  // the user's, for that token
    EXPECT_EQ(lines(), Lines({"relaunch: exe=C:\\Tools\\app.exe session=3", "relaunch ok pid=77 session=3"}));
}

TEST_F(Relaunch, WithoutTheStoppedProcessesTokenNothingIsStarted) {
    EXPECT_FALSE(relaunch({0, 2}, L"C:\\Tools\\app.exe", L"C:\\Tools"));
    EXPECT_TRUE(system.starts.empty());
    EXPECT_TRUE(system.environment_tokens.empty());
    EXPECT_EQ(lines(), Lines({"relaunch: exe=C:\\Tools\\app.exe session=2", "relaunch get_user_token failed session=2"}));
}

TEST_F(Relaunch, ABareNameIsFoundAlongTheUsersOwnPathAndStartedWithTheSameToken) {
    system.create_ok = {false, true};
    system.files = {L"C:\\Users\\ann\\AppData\\Local\\Microsoft\\WindowsApps\\App.exe", L"C:\\Tools\\App.exe"};
    EXPECT_TRUE(relaunch({0xB0B, 1}, L"App.exe"));
    ASSERT_EQ(system.starts.size(), 2u);
    EXPECT_EQ(system.starts[0].application, L"App.exe");
    EXPECT_EQ(system.starts[1].application, L"C:\\Users\\ann\\AppData\\Local\\Microsoft\\WindowsApps\\App.exe");
    EXPECT_EQ(system.starts[1].command_line, L"\"App.exe\"");
    EXPECT_EQ(system.starts[1].token, 0xB0Bu);
    EXPECT_EQ(system.starts[1].session, 1u);
    EXPECT_EQ(system.starts[1].directory, L"(none)");
    EXPECT_EQ(lines(), Lines({"relaunch: exe=App.exe session=1", "relaunch CreateProcessAsUserW failed: 2, trying ShellExec",
                              "relaunch ShellExec ok"}));
}

TEST_F(Relaunch, WhenNoMethodWorksNothingElseIsTried) {
    system.create_ok = {false};
    system.create_error = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(relaunch({0xB0B, 1}, L"C:\\Tools\\app.exe", L"C:\\Tools"));
    EXPECT_EQ(system.starts.size(), 1u);  // a full path: the shell would find nothing else
    EXPECT_EQ(lines(), Lines({"relaunch: exe=C:\\Tools\\app.exe session=1",
                              "relaunch CreateProcessAsUserW failed: 5, trying ShellExec",
                              "relaunch ShellExec failed: 5"}));

    EXPECT_FALSE(relaunch({0xB0B, 1}, L"Missing.exe"));  // not on the user's Path
    EXPECT_EQ(system.starts.size(), 2u);
    EXPECT_EQ(lines().back(), "relaunch ShellExec failed: 2");
}

TEST_F(Relaunch, WithoutTheUsersEnvironmentNothingIsStarted) {
    // Starting with no block would hand the program the service's own environment.
    system.environment_ok = false;
    system.files = {L"C:\\Tools\\App.exe"};
    EXPECT_FALSE(relaunch({0xB0B, 1}, L"App.exe"));
    EXPECT_TRUE(system.starts.empty());
    EXPECT_EQ(lines(), Lines({"relaunch: exe=App.exe session=1",
                              "relaunch CreateProcessAsUserW failed: 1312, trying ShellExec",
                              "relaunch ShellExec failed: 1312"}));
}

namespace {

struct Files {
    std::set<std::wstring> paths;
    static bool exists(void* state, const wchar_t* path) { return static_cast<Files*>(state)->paths.count(path) != 0; }
};

std::wstring find(const wchar_t* block, const wchar_t* name, Files files) {
    wchar_t out[1024] = L"(none)";
    find_on_path(block, name, Files::exists, &files, out, 1024);
    return out;
}

}  // namespace

TEST(FindOnPath, SearchesThePathVariableInOrderAsTheShellWould) {
    const wchar_t block[] = L"=D:=D:\\work\0PATHEXT=.EXE\0PATH= C:\\A\\ ;\"C:\\B c\";;C:\\D\0Z=1\0";
    Files both = {{L"C:\\B c\\tool.exe", L"C:\\D\\tool.exe"}};
    EXPECT_EQ(find(block, L"tool.exe", both), L"C:\\B c\\tool.exe");
    EXPECT_EQ(find(block, L"tool.exe", {{L"C:\\A\\tool.exe"}}), L"C:\\A\\tool.exe");
    EXPECT_EQ(find(block, L"tool.exe", {{L"C:\\D\\tool.exe"}}), L"C:\\D\\tool.exe");
    EXPECT_EQ(find(block, L"other.exe", both), L"(none)");
    // Only bare names are searched for; a block without Path finds nothing.
    EXPECT_EQ(find(block, L"..\\tool.exe", both), L"(none)");
    EXPECT_EQ(find(block, L"C:tool.exe", both), L"(none)");
    EXPECT_EQ(find(L"PATHEXT=.EXE\0PATHX=C:\\D\0", L"tool.exe", both), L"(none)");
    EXPECT_EQ(find(L"\0", L"tool.exe", both), L"(none)");
}

TEST_F(Relaunch, ArgumentsFollowTheApprovedProgramOrAreDroppedWhenTooLong) {
    Starter starter = {0xA11CE, 1};
    EXPECT_TRUE(relaunch_as_starter(settings.get(), &starter, L"C:\\Tools\\app.exe", L"D:\\Docs", &ports,
                                    L" \"my report.txt\" -x"));
    ASSERT_EQ(system.starts.size(), 1u);
    EXPECT_EQ(system.starts[0].application, L"C:\\Tools\\app.exe");
    EXPECT_EQ(system.starts[0].command_line, L"\"C:\\Tools\\app.exe\" \"my report.txt\" -x");
    EXPECT_EQ(system.starts[0].directory, L"D:\\Docs");

    std::wstring huge(32767, L'"');
    EXPECT_TRUE(relaunch_as_starter(settings.get(), &starter, L"C:\\Tools\\app.exe", nullptr, &ports, huge.c_str()));
    ASSERT_EQ(system.starts.size(), 2u);
    EXPECT_EQ(system.starts[1].command_line, L"\"C:\\Tools\\app.exe\"");
    EXPECT_EQ(lines()[2], "relaunch: command line too long, started without arguments: C:\\Tools\\app.exe");
}
