// Finding the executable, against a real folder of the (Wine) file system.
#include "runguard/runguard.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "runguard/command_line.h"

namespace {

void create_file(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(file);
}

std::wstring resolve(const std::wstring& name) {
    wchar_t path[resolved_path_cch] = L"untouched";
    if (!resolve_executable(name.c_str(), path, resolved_path_cch)) return L"<failed:" + std::wstring(path) + L">";
    return path;
}

std::wstring repeat(const std::wstring& text, int count) {
    std::wstring out;
    for (int i = 0; i < count; ++i) out += text;
    return out;
}

// A folder of its own holding tool.exe, tool (no extension), only.exe and sub\inner.exe, made
// the current directory for the test.
class RunguardResolve : public ::testing::Test {
protected:
    static constexpr const wchar_t* files[] = {L"tool.exe", L"tool", L"only.exe", L"sub\\inner.exe"};

    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, previous_cwd_), 0u);
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        folder_ = std::wstring(temp) + L"runguard_resolve_" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr)) << GetLastError();
        ASSERT_TRUE(CreateDirectoryW((folder_ + L"\\sub").c_str(), nullptr)) << GetLastError();
        for (const wchar_t* name : files) ASSERT_NO_FATAL_FAILURE(create_file(folder_ + L"\\" + name));
        ASSERT_TRUE(SetCurrentDirectoryW(folder_.c_str()));
        // The form GetFullPathNameW gives (the temp path may be a short or long form).
        wchar_t cwd[MAX_PATH];
        ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, cwd), 0u);
        cwd_ = cwd;
    }
    void TearDown() override {
        SetCurrentDirectoryW(previous_cwd_);
        for (const wchar_t* name : files) DeleteFileW((folder_ + L"\\" + name).c_str());
        RemoveDirectoryW((folder_ + L"\\sub").c_str());
        RemoveDirectoryW(folder_.c_str());
    }

    wchar_t previous_cwd_[MAX_PATH] = {};
    std::wstring folder_;
    std::wstring cwd_;
};

}  // namespace

TEST_F(RunguardResolve, ExistingRelativeNamesBecomeFullPaths) {
    EXPECT_EQ(resolve(L".\\tool.exe"), cwd_ + L"\\tool.exe");
    EXPECT_EQ(resolve(L"./tool.exe"), cwd_ + L"\\tool.exe");
    EXPECT_EQ(resolve(L"sub\\inner.exe"), cwd_ + L"\\sub\\inner.exe");
    EXPECT_EQ(resolve(L"sub\\..\\only.exe"), cwd_ + L"\\only.exe");
    ASSERT_TRUE(SetCurrentDirectoryW(L"sub"));
    EXPECT_EQ(resolve(L"..\\tool.exe"), cwd_ + L"\\tool.exe");
}

TEST_F(RunguardResolve, AnExistingNameIsTakenBeforeTheExeExtensionIsTried) {
    EXPECT_EQ(resolve(L".\\tool"), cwd_ + L"\\tool");  // the file without extension exists
}

TEST_F(RunguardResolve, NameWithoutExtensionIsSearchedWithExe) {
    EXPECT_EQ(resolve(L".\\only"), cwd_ + L"\\only.exe");
    EXPECT_EQ(resolve(L"sub\\inner"), cwd_ + L"\\sub\\inner.exe");
    EXPECT_EQ(resolve(L"sub\\tool"), L"<failed:untouched>");  // ".exe" is added to a missing name only

    wchar_t system[MAX_PATH];
    ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
    std::wstring cmd = resolve(L"cmd");
    EXPECT_EQ(_wcsicmp(cmd.c_str(), (std::wstring(system) + L"\\cmd.exe").c_str()), 0) << cmd.c_str();
}

TEST_F(RunguardResolve, AnExistingDirectoryPassesResolution) {
    EXPECT_EQ(resolve(L".\\sub"), cwd_ + L"\\sub");
    EXPECT_EQ(resolve(L"sub\\"), cwd_ + L"\\sub");  // the folder's own name, as the file system gives it
}

TEST_F(RunguardResolve, TheFileIsNamedByItsFinalPathWithoutPrefix) {
    // The extended-length prefix and a trailing dot (meaningful only with the prefix) both give way
    // to the name the file system holds.
    EXPECT_EQ(resolve(L"\\\\?\\" + cwd_ + L"\\tool.exe"), cwd_ + L"\\tool.exe");
    EXPECT_EQ(resolve(L"sub\\..\\TOOL.EXE."), cwd_ + L"\\tool.exe");
}

TEST_F(RunguardResolve, NothingFoundFailsAndLeavesThePathUntouched) {
    EXPECT_EQ(resolve(L"no_such_tool_4711"), L"<failed:untouched>");
    EXPECT_EQ(resolve(L"sub\\no_such_tool.exe"), L"<failed:untouched>");
    EXPECT_EQ(resolve(L""), L"<failed:untouched>");
}

TEST_F(RunguardResolve, ANameLongerThan1023UnitsFailsEvenWhenItExists) {
    // ".\.\...\tool.exe" names tool.exe whatever its length; only its length decides here.
    std::wstring exact = L"sub\\..\\" + repeat(L".\\", 504) + L"tool.exe";  // 1023 units
    std::wstring over = repeat(L".\\", 508) + L"tool.exe";                  // 1024 units
    ASSERT_EQ(exact.size(), resolved_path_cch - 1);
    ASSERT_EQ(over.size(), resolved_path_cch);
    ASSERT_NE(GetFileAttributesW(over.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(resolve(exact), cwd_ + L"\\tool.exe");
    EXPECT_EQ(resolve(over), L"<failed:untouched>");
}

TEST_F(RunguardResolve, AResultThatDoesNotFitTheCallersBufferFails) {
    std::wstring full = cwd_ + L"\\tool.exe";
    wchar_t path[resolved_path_cch] = L"untouched";
    EXPECT_FALSE(resolve_executable(L".\\tool.exe", path, full.size()));
    EXPECT_STREQ(path, L"untouched");
    EXPECT_TRUE(resolve_executable(L".\\tool.exe", path, full.size() + 1));
    EXPECT_EQ(full, path);
}

// A bare name is never taken from the current folder: a cmd.exe planted there is not what runs,
// whether the name comes with its extension or without, nor a file found nowhere else.
TEST_F(RunguardResolve, BareNamesAreNeverTakenFromTheCurrentFolder) {
    ASSERT_NO_FATAL_FAILURE(create_file(folder_ + L"\\cmd.exe"));
    wchar_t system[MAX_PATH];
    ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
    std::wstring system_cmd = std::wstring(system) + L"\\cmd.exe";
    for (const wchar_t* name : {L"cmd.exe", L"cmd", L"CMD.EXE"}) {
        std::wstring got = resolve(name);
        EXPECT_EQ(_wcsicmp(got.c_str(), system_cmd.c_str()), 0) << name << L" -> " << got;
    }
    EXPECT_EQ(resolve(L".\\cmd.exe"), cwd_ + L"\\cmd.exe");  // asked for by its folder: it is what runs
    EXPECT_EQ(resolve(L"tool.exe"), L"<failed:untouched>");
    EXPECT_EQ(resolve(L"only"), L"<failed:untouched>");
    EXPECT_EQ(resolve(L"sub"), L"<failed:untouched>");
    DeleteFileW((folder_ + L"\\cmd.exe").c_str());
}

// PATH is searched for a bare name, but only its absolute folders: "." or a relative entry would
// bring the current folder back in.
TEST_F(RunguardResolve, OnlyAbsoluteFoldersOfPathAreSearched) {
    wchar_t saved[8192];
    DWORD cch = GetEnvironmentVariableW(L"PATH", saved, 8192);
    ASSERT_TRUE(cch > 0 && cch < 8192);
    ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", L".;sub;\\sub;C:sub"));
    EXPECT_EQ(resolve(L"inner.exe"), L"<failed:untouched>");
    EXPECT_EQ(resolve(L"only"), L"<failed:untouched>");
    std::wstring path = L"\"" + cwd_ + L"\\sub\";" + std::wstring(saved);
    ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", path.c_str()));
    EXPECT_EQ(resolve(L"inner"), cwd_ + L"\\sub\\inner.exe");
    EXPECT_TRUE(SetEnvironmentVariableW(L"PATH", saved));
}
