#include "service/uninstall.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "tests/support/fake_event_sink.h"

namespace {

// What the service control manager and the files answer, and what the uninstall did with them.
struct FakePort : UninstallPort {
    uint32_t manager = ERROR_SUCCESS;
    uint32_t open = ERROR_SUCCESS;
    uint32_t release = ERROR_SUCCESS;
    uint32_t key = ERROR_SUCCESS;
    uint32_t deletion = ERROR_SUCCESS;
    bool process_ends = true;
    uint32_t files = ERROR_SUCCESS;

    std::vector<std::string> calls;
    std::wstring said;
    std::vector<std::wstring> logged;

    uint32_t open_manager() override { return note("manager", manager); }
    uint32_t open_service() override { return note("open", open); }
    uint32_t release_service() override { return note("release", release); }
    uint32_t release_key() override { return note("key", key); }
    void stop_service() override { calls.push_back("stop"); }
    uint32_t delete_service() override { return note("delete", deletion); }
    bool wait_for_process() override {
        calls.push_back("wait");
        return process_ends;
    }
    uint32_t release_files(wchar_t* failed_path, size_t cch) override {
        if (files != ERROR_SUCCESS) text_copy(failed_path, cch, L"C:\\S\\SentrelSvc.json");
        return note("files", files);
    }
    void say(const wchar_t* text) override { said += text; }
    void log(const wchar_t* text) override { logged.push_back(text); }

    uint32_t note(const char* call, uint32_t result) {
        calls.push_back(call);
        return result;
    }
};

const std::wstring authorized = L"uninstall authorized: via UI, proceeding";
const std::wstring deleted = L"uninstall complete: result=1";
const std::wstring not_deleted = L"uninstall complete: result=0";

struct Outcome {
    const char* name;
    FakePort port;
    int code;
    std::vector<std::string> calls;
    std::wstring said;
    std::vector<std::wstring> logged;
};

FakePort port_with(void (*set)(FakePort&)) {
    FakePort port;
    set(port);
    return port;
}

}  // namespace

TEST(UninstallOutcome, ExitCodeReleasedFilesMessagesAndLogForEveryAnswer) {
    const std::vector<std::string> removed = {"manager", "open", "release", "stop", "delete", "wait", "files"};
    std::vector<Outcome> table = {
        {"removed", FakePort(), 0, removed, L"", {authorized, deleted}},
        {"nothing installed: the files are released",
         port_with([](FakePort& p) { p.open = ERROR_SERVICE_DOES_NOT_EXIST; }), 0, {"manager", "open", "files"}, L"",
         {authorized}},
        {"nothing installed, a file keeps its DACL",
         port_with([](FakePort& p) {
             p.open = ERROR_SERVICE_DOES_NOT_EXIST;
             p.files = ERROR_ACCESS_DENIED;
         }),
         4, {"manager", "open", "files"}, L"无法解除文件的保护: C:\\S\\SentrelSvc.json，错误: 5\n", {authorized}},
        {"no service control manager", port_with([](FakePort& p) { p.manager = ERROR_ACCESS_DENIED; }), 2,
         {"manager"}, L"无法打开 SCM，错误: 5\n", {authorized}},
        {"access denied is not nothing installed", port_with([](FakePort& p) { p.open = ERROR_ACCESS_DENIED; }), 3,
         {"manager", "open"}, L"打开服务失败: 5\n", {authorized, not_deleted}},
        {"any other open failure", port_with([](FakePort& p) { p.open = ERROR_INVALID_NAME; }), 3,
         {"manager", "open"}, L"打开服务失败: 123\n", {authorized, not_deleted}},
        {"the service cannot be released: nothing stopped",
         port_with([](FakePort& p) { p.release = ERROR_ACCESS_DENIED; }), 3, {"manager", "open", "release"},
         L"无法解除服务的保护，错误: 5\n", {authorized, not_deleted}},
        {"deletion fails: the key is released too, the files stay protected",
         port_with([](FakePort& p) { p.deletion = ERROR_ACCESS_DENIED; }), 3,
         {"manager", "open", "release", "stop", "delete", "key"}, L"删除服务失败，错误: 5\n",
         {authorized, not_deleted}},
        {"deletion fails, the key cannot be released either",
         port_with([](FakePort& p) {
             p.deletion = ERROR_SERVICE_MARKED_FOR_DELETE;
             p.key = ERROR_ACCESS_DENIED;
         }),
         3, {"manager", "open", "release", "stop", "delete", "key"},
         L"删除服务失败，错误: 1072\n无法解除注册表项的保护，错误: 5\n", {authorized, not_deleted}},
        {"deleted, its process still runs: the files stay protected",
         port_with([](FakePort& p) { p.process_ends = false; }), 4,
         {"manager", "open", "release", "stop", "delete", "wait"},
         L"服务已删除，但其进程未在 10 秒内结束，文件仍受保护。进程结束后请再次运行卸载。\n", {authorized, deleted}},
        {"deleted, a file keeps its DACL", port_with([](FakePort& p) { p.files = ERROR_SHARING_VIOLATION; }), 4,
         removed, L"无法解除文件的保护: C:\\S\\SentrelSvc.json，错误: 32\n", {authorized, deleted}},
    };
    for (Outcome& row : table) {
        EXPECT_EQ(run_uninstall(&row.port, true), row.code) << row.name;
        EXPECT_EQ(row.port.calls, row.calls) << row.name;
        EXPECT_EQ(row.port.said, row.said) << row.name;
        EXPECT_EQ(row.port.logged, row.logged) << row.name;
    }
}

TEST(UninstallOutcome, ConsoleUninstallIsLoggedAsSuch) {
    FakePort port;
    EXPECT_EQ(run_uninstall(&port, false), 0);
    ASSERT_FALSE(port.logged.empty());
    EXPECT_EQ(port.logged[0], L"uninstall authorized: via CLI, proceeding");
}

TEST(UninstallOutcome, EveryLogLineHasItsAuditEventBeside) {
    using Strings = std::vector<std::wstring>;
    FakeEventSink events;
    FakePort removed;
    EXPECT_EQ(run_uninstall(&removed, true), 0);
    FakePort refused = port_with([](FakePort& p) { p.deletion = ERROR_ACCESS_DENIED; });
    EXPECT_EQ(run_uninstall(&refused, false), 3);
    FakePort nothing = port_with([](FakePort& p) { p.open = ERROR_SERVICE_DOES_NOT_EXIST; });
    EXPECT_EQ(run_uninstall(&nothing, false), 0);
    auto seen = events.taken();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].id, 5000u);
    EXPECT_EQ(seen[0].type, EventType::warning);
    EXPECT_EQ(seen[0].strings, Strings{L"console"});  // --authorized: the console asked for MFA
    EXPECT_EQ(seen[1].id, 5001u);
    EXPECT_EQ(seen[1].type, EventType::information);
    EXPECT_EQ(seen[1].strings, Strings{L"service removed"});
    EXPECT_EQ(seen[2].strings, Strings{L"command line"});
    EXPECT_EQ(seen[3].id, 5001u);
    EXPECT_EQ(seen[3].strings, Strings{L"service not removed"});
    EXPECT_EQ(seen[4].id, 5000u);  // nothing installed: no completion line, no completion event
    EXPECT_EQ(removed.logged.size() + refused.logged.size() + nothing.logged.size(), seen.size());
}
