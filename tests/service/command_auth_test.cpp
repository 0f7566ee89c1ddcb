#include "service/command_auth.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "service/approval_cache.h"
#include "tests/service/session_lock_probe.h"
#include "tests/support/fake_event_sink.h"
#include "tests/support/test_files.h"

namespace {

// What the fake broker saw, and what it answers.
struct BrokerCall {
    int calls = 0;
    std::wstring target, detail, display_name;
    uint32_t session = 0;
    bool lock_held_during_call = false;
    bool answer = false;
    const wchar_t* message = L"";
    std::function<void()> during;  // what happens while the dialog is open
};
BrokerCall g_broker;
ServiceContext* g_context_for_fake = nullptr;

bool fake_broker(uint32_t session, const Settings*, const Rule* rule, const wchar_t* target, const wchar_t* detail,
                 wchar_t* message, size_t cch_message) {
    ++g_broker.calls;
    g_broker.session = session;
    g_broker.target = target;
    g_broker.detail = detail;
    g_broker.display_name = rule->display_name;
    g_broker.lock_held_during_call = session_lock_held(&g_context_for_fake->round_locks, session);
    if (g_broker.during) g_broker.during();
    text_copy(message, cch_message, g_broker.message);
    return g_broker.answer;
}

class CommandAuth : public ::testing::Test {
protected:
    TempFolder folder;
    std::unique_ptr<ServiceContext> context{new ServiceContext()};
    std::unique_ptr<AuthRequest> request{new AuthRequest()};
    AuthReply reply;
    uint32_t client_session = 7;

    void SetUp() override {
        g_broker = BrokerCall();
        g_context_for_fake = context.get();
        session_locks_init(&context->round_locks);
        text_copy(context->settings.log_file, folder.file(L"sentrel.log").c_str());
        request->size = sizeof(AuthRequest);
    }
    void TearDown() override { session_locks_destroy(&context->round_locks); }

    Rule& add_rule(const wchar_t* display_name, const wchar_t* match_name, const wchar_t* args_contains = L"") {
        Rule& rule = context->policy.rules[context->policy.count++];
        rule.type = rule_type_command;
        rule.enabled = 1;
        text_copy(rule.display_name, display_name);
        text_copy(rule.match_name, match_name);
        text_copy(rule.args_contains, args_contains);
        return rule;
    }
    void answer(size_t cb = sizeof(AuthRequest)) {
        answer_auth_request(context.get(), request.get(), cb, client_session, &reply, fake_broker);
    }
    std::string log() const { return read_file_bytes(folder.file(L"sentrel.log")); }
};

}  // namespace

TEST_F(CommandAuth, WrongSizedRequestIsDeniedSilently) {
    add_rule(L"Everything", L"");
    for (size_t cb : {size_t(0), sizeof(AuthRequest) - 1, size_t(12)}) {
        memset(&reply, 0xCC, sizeof reply);
        answer(cb);
        EXPECT_EQ(reply.size, 524u);
        EXPECT_EQ(reply.allowed, 0u);
        EXPECT_EQ(reply.reserved, 0u);
        EXPECT_STREQ(reply.reason, L"");
    }
    EXPECT_EQ(g_broker.calls, 0);
    EXPECT_EQ(log(), "");
}

TEST_F(CommandAuth, ClearCacheAnswersWhateverElseTheRequestHolds) {
    const AccountSid user = {12, {1, 1, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0}};
    approval_cache_insert(&user, L"C:\\app.exe", 300);
    add_rule(L"Everything", L"");
    request->kind = auth_kind_clear_cache;
    text_copy(request->path, L"C:\\tool.exe");
    answer();
    EXPECT_EQ(reply.allowed, 1u);
    EXPECT_STREQ(reply.reason, L"缓存已清空");
    EXPECT_FALSE(approval_cache_lookup(&user, L"C:\\app.exe", 0));
    EXPECT_EQ(g_broker.calls, 0);
    EXPECT_NE(log().find("] approval cache cleared by UI\r\r\n"), std::string::npos);
}

TEST_F(CommandAuth, UnmatchedCommandIsAllowedAndLogged) {
    add_rule(L"Git push", L"git.exe", L"push");
    request->kind = 5;  // any kind but 1 authorizes a command
    text_copy(request->path, L"C:\\git.exe");
    text_copy(request->args, L"status");
    answer();
    EXPECT_EQ(reply.allowed, 1u);
    EXPECT_STREQ(reply.reason, L"未命中命令规则，直接放行");
    EXPECT_EQ(g_broker.calls, 0);
    EXPECT_NE(log().find("] cmd: path=C:\\git.exe args=status result=\xE6\x9C\xAA"), std::string::npos);
}

TEST_F(CommandAuth, MatchedCommandAsksTheBrokerUnderTheLock) {
    add_rule(L"Git push", L"git.exe", L"push");
    text_copy(request->path, L"C:\\Git\\GIT.EXE");
    text_copy(request->args, L"push origin");
    g_broker.answer = false;
    g_broker.message = L"用户取消";
    answer();
    EXPECT_EQ(g_broker.calls, 1);
    EXPECT_TRUE(g_broker.lock_held_during_call);
    EXPECT_EQ(g_broker.session, 7u);  // the dialog is asked for in the client's session
    EXPECT_EQ(g_broker.target, L"C:\\Git\\GIT.EXE");
    EXPECT_EQ(g_broker.detail, L"push origin");
    EXPECT_EQ(g_broker.display_name, L"Git push");
    EXPECT_EQ(reply.allowed, 0u);
    EXPECT_STREQ(reply.reason, L"用户取消");

    g_broker.answer = true;
    g_broker.message = L"认证成功";
    answer();
    EXPECT_EQ(reply.allowed, 1u);
    EXPECT_STREQ(reply.reason, L"认证成功");
    EXPECT_NE(log().find("args=push origin result=\xE8\xAE\xA4\xE8\xAF\x81\xE6\x88\x90\xE5\x8A\x9F\r\r\n"), std::string::npos);
    // The lock is free again.
    EXPECT_FALSE(session_lock_held(&context->round_locks, 7));
}

TEST_F(CommandAuth, PrefixedPathsMeetTheRulesOfTheirPlainSpelling) {
    add_rule(L"Command Prompt", L"");
    text_copy(context->policy.rules[0].match_path, L"C:\\windows\\system32\\cmd.exe");
    add_rule(L"Share tool", L"");
    text_copy(context->policy.rules[1].match_path, L"\\\\srv\\share\\tool.exe");
    g_broker.answer = false;
    text_copy(request->path, L"\\\\?\\C:\\windows\\system32\\cmd.exe");
    text_copy(request->args, L"/c exit 7");
    answer();
    EXPECT_EQ(reply.allowed, 0u);
    EXPECT_EQ(g_broker.calls, 1);
    EXPECT_EQ(g_broker.display_name, L"Command Prompt");
    EXPECT_EQ(g_broker.target, L"C:\\windows\\system32\\cmd.exe");
    text_copy(request->path, L"\\\\?\\UNC\\srv\\share\\tool.exe");
    answer();
    EXPECT_EQ(g_broker.calls, 2);
    EXPECT_EQ(g_broker.display_name, L"Share tool");
    EXPECT_EQ(g_broker.target, L"\\\\srv\\share\\tool.exe");
    EXPECT_NE(log().find("] cmd: path=C:\\windows\\system32\\cmd.exe args=/c exit 7 result="), std::string::npos);
}

TEST_F(CommandAuth, UnterminatedFieldsAreCutAtTheirLastUnit) {
    add_rule(L"Everything", L"");
    for (wchar_t& c : request->path) c = L'p';
    for (wchar_t& c : request->args) c = L'a';
    for (wchar_t& c : request->cwd) c = L'c';
    g_broker.answer = true;
    answer();
    EXPECT_EQ(g_broker.target.size(), 1023u);
    EXPECT_EQ(g_broker.detail.size(), 2047u);
    EXPECT_EQ(reply.allowed, 1u);
}

namespace {

// Resolves the short names of one known file; nothing else.
bool fake_long_path(void*, const wchar_t* path, wchar_t* out, size_t cch_out) {
    if (!text_equal_nocase(path, L"C:\\PROGRA~1\\POWERS~1\\7\\PWSH~1.EXE")) return false;
    text_copy(out, cch_out, L"C:\\Program Files\\PowerShell\\7\\pwsh.exe");
    return true;
}

}  // namespace

TEST_F(CommandAuth, ShortNamesAreMatchedAndShownByTheirLongForm) {
    add_rule(L"PowerShell", L"");
    text_copy(context->policy.rules[0].match_path, L"C:\\Program Files\\PowerShell\\7\\pwsh.exe");
    text_copy(request->path, L"C:\\PROGRA~1\\POWERS~1\\7\\PWSH~1.EXE");
    g_broker.answer = true;
    answer_auth_request(context.get(), request.get(), sizeof(AuthRequest), client_session, &reply, fake_broker,
                        fake_long_path);
    EXPECT_EQ(g_broker.calls, 1);
    EXPECT_EQ(g_broker.target, L"C:\\Program Files\\PowerShell\\7\\pwsh.exe");
    EXPECT_NE(log().find("] cmd: path=C:\\Program Files\\PowerShell\\7\\pwsh.exe args="), std::string::npos) << log();

    // A short name that cannot be resolved could be any command: refused, nobody asked.
    text_copy(request->path, L"X:\\TOOLS~1\\PWSH~1.EXE");
    answer_auth_request(context.get(), request.get(), sizeof(AuthRequest), client_session, &reply, fake_broker,
                        fake_long_path);
    EXPECT_EQ(reply.allowed, 0u);
    EXPECT_STREQ(reply.reason, L"无法确定程序的完整路径，默认拒绝");
    EXPECT_EQ(g_broker.calls, 1);
    // ... unless no command is protected at all.
    context->policy.rules[0].enabled = 0;
    answer_auth_request(context.get(), request.get(), sizeof(AuthRequest), client_session, &reply, fake_broker,
                        fake_long_path);
    EXPECT_EQ(reply.allowed, 1u);
    EXPECT_STREQ(reply.reason, L"未命中命令规则，直接放行");
}

TEST_F(CommandAuth, DecidedCommandsAreAuditEventsWithTheClientsAccount) {
    using Strings = std::vector<std::wstring>;
    FakeEventSink events;
    add_rule(L"Git push", L"git.exe", L"push");
    // The account is looked up only for a decision that is audited.
    struct Lookup {
        const wchar_t* account;
        Strings asked;
        static bool name(void* state, wchar_t* out, size_t cch_out) {
            Lookup* lookup = static_cast<Lookup*>(state);
            lookup->asked.push_back(lookup->account);
            return text_copy(out, cch_out, lookup->account) == text_ok;
        }
    } lookup = {};
    auto decide = [&](const wchar_t* args, const wchar_t* account) {
        text_copy(request->path, L"C:\\Git\\git.exe");
        text_copy(request->args, args);
        lookup.account = account;
        ClientAccount client = {&lookup, Lookup::name};
        answer_auth_request(context.get(), request.get(), sizeof(AuthRequest), client_session, &reply, fake_broker,
                            long_path_of, nullptr, &client);
    };
    g_broker.answer = true;
    g_broker.message = L"认证成功";
    decide(L"push origin", L"CORP\\alice");
    g_broker.answer = false;
    g_broker.message = L"用户取消";
    decide(L"push --force\r\n[2026-01-01 00:00:00] forged", L"CORP\\bob");
    decide(L"status", L"CORP\\carol");  // no rule: allowed, no event of its own
    request->kind = auth_kind_clear_cache;
    decide(L"", L"CORP\\dave");
    auto seen = events.taken();
    EXPECT_EQ(lookup.asked, (Strings{L"CORP\\alice", L"CORP\\bob"}));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].id, 3001u);
    EXPECT_EQ(seen[0].type, EventType::information);
    EXPECT_EQ(seen[0].strings, (Strings{L"C:\\Git\\git.exe", L"push origin", L"CORP\\alice", L"Git push"}));
    EXPECT_EQ(seen[1].id, 3002u);
    EXPECT_EQ(seen[1].type, EventType::warning);
    EXPECT_EQ(seen[1].strings, (Strings{L"C:\\Git\\git.exe", L"push --force  [2026-01-01 00:00:00] forged",
                                        L"CORP\\bob", L"用户取消"}));

    // A refusal without a rule (a short name that cannot be resolved) is a decision too.
    request->kind = 0;
    text_copy(request->path, L"X:\\TOOLS~1\\GIT~1.EXE");
    answer_auth_request(context.get(), request.get(), sizeof(AuthRequest), client_session, &reply, fake_broker,
                        fake_long_path);
    seen = events.taken();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].id, 3002u);
    EXPECT_EQ(seen[2].strings[2], L"-");  // no account given
    EXPECT_EQ(seen[2].strings[3], L"无法确定程序的完整路径，默认拒绝");
}

TEST(LongPath, TheSystemsShortNameOfAFileResolvesToItsLongPath) {
    TempFolder folder;
    std::wstring dir = std::wstring(folder.path) + L"\\Ein langer Ordnername";
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    std::wstring file = dir + L"\\Programm mit Namen.exe";
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    wchar_t short_path[MAX_PATH];
    ASSERT_NE(GetShortPathNameW(file.c_str(), short_path, MAX_PATH), 0u);
    ASSERT_TRUE(path_may_hold_short_names(short_path)) << short_path;

    wchar_t key[1024];
    ASSERT_TRUE(rule_path_key(short_path, long_path_of, nullptr, key, 1024));
    wchar_t expected[1024];
    ASSERT_NE(GetLongPathNameW(file.c_str(), expected, 1024), 0u);
    EXPECT_STREQ(key, expected);
    EXPECT_TRUE(text_equal_nocase(key, file.c_str())) << key;

    DeleteFileW(file.c_str());  // gone: the short name tells nothing any more
    wchar_t untouched[8] = L"same";
    EXPECT_FALSE(rule_path_key(short_path, long_path_of, nullptr, untouched, 8));
    EXPECT_STREQ(untouched, L"same");
    EXPECT_TRUE(rule_path_key(L"C:\\Tools\\app.exe", long_path_of, nullptr, key, 1024));  // long already
    EXPECT_STREQ(key, L"C:\\Tools\\app.exe");
}

namespace {

// Holds a session's round lock on a thread of its own until released (another round of that
// session: a dialog that has not been answered yet).
struct HeldRound {
    SessionLocks* locks;
    uint32_t session;
    HANDLE taken, release, thread;
};

DWORD WINAPI hold_round(void* parameter) {
    HeldRound* held = static_cast<HeldRound*>(parameter);
    if (session_lock_enter(held->locks, held->session, INFINITE, nullptr) != LockWait::taken) return 1;
    SetEvent(held->taken);
    WaitForSingleObject(held->release, INFINITE);
    session_lock_leave(held->locks, held->session);
    return 0;
}

void start_held_round(HeldRound* held, SessionLocks* locks, uint32_t session) {
    *held = HeldRound{locks, session, CreateEventW(nullptr, TRUE, FALSE, nullptr),
                      CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr};
    held->thread = CreateThread(nullptr, 0, hold_round, held, 0, nullptr);
    WaitForSingleObject(held->taken, INFINITE);
}

void end_held_round(HeldRound* held) {
    SetEvent(held->release);
    WaitForSingleObject(held->thread, INFINITE);
    CloseHandle(held->thread);
    CloseHandle(held->taken);
    CloseHandle(held->release);
}

}  // namespace

TEST_F(CommandAuth, AnotherSessionsOpenRoundDelaysNothingAndTheOwnSessionsIsWaitedForBoundedly) {
    add_rule(L"Everything", L"");
    text_copy(request->path, L"C:\\tool.exe");
    g_broker.answer = true;
    HeldRound other;
    start_held_round(&other, &context->round_locks, 8);
    answer();  // session 7: asked at once
    EXPECT_EQ(g_broker.calls, 1);
    EXPECT_EQ(reply.allowed, 1u);

    // Its own session's round still open past the bound: refused as busy, nobody asked.
    client_session = 8;
    ULONGLONG before = GetTickCount64();
    answer();
    EXPECT_GE(GetTickCount64() - before, command_lock_wait_ms - 100);
    EXPECT_EQ(g_broker.calls, 1);
    EXPECT_EQ(reply.allowed, 0u);
    EXPECT_STREQ(reply.reason, command_busy_reason);
    end_held_round(&other);
    answer();
    EXPECT_EQ(g_broker.calls, 2);
    EXPECT_EQ(reply.allowed, 1u);
}

TEST_F(CommandAuth, AClientThatLeavesEndsItsRoundAndFreesTheLock) {
    add_rule(L"Everything", L"");
    text_copy(request->path, L"C:\\tool.exe");
    HANDLE gone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Gone while waiting for its session's lock: refused at once, without a dialog.
    HeldRound other;
    start_held_round(&other, &context->round_locks, 7);
    SetEvent(gone);
    answer_auth_request(context.get(), request.get(), sizeof(AuthRequest), client_session, &reply, fake_broker,
                        long_path_of, gone);
    end_held_round(&other);
    EXPECT_EQ(g_broker.calls, 0);
    EXPECT_EQ(reply.allowed, 0u);
    EXPECT_STREQ(reply.reason, client_gone_reason);

    // Gone while the dialog is open: even an approval that arrives then is refused, and the
    // session's lock is free again.
    ResetEvent(gone);
    g_broker.answer = true;
    g_broker.during = [gone] { SetEvent(gone); };
    answer_auth_request(context.get(), request.get(), sizeof(AuthRequest), client_session, &reply, fake_broker,
                        long_path_of, gone);
    EXPECT_EQ(g_broker.calls, 1);
    EXPECT_EQ(reply.allowed, 0u);
    EXPECT_STREQ(reply.reason, client_gone_reason);
    EXPECT_FALSE(session_lock_held(&context->round_locks, 7));
    EXPECT_NE(log().find("result=\xE5\xAE\xA2\xE6\x88\xB7\xE7\xAB\xAF\xE5\xB7\xB2\xE9\x80\x80\xE5\x87\xBA"),
              std::string::npos);
    CloseHandle(gone);
}
