#include "service/process_watcher.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/text.h"
#include "service/process_list.h"
#include "tests/service/fake_process_list.h"
#include "tests/support/test_files.h"

namespace {

std::unique_ptr<SeenList> empty_list() {
    std::unique_ptr<SeenList> list(new SeenList);
    seen_clear(list.get());
    return list;
}

}  // namespace

// --- the seen-process list ---

TEST(SeenList, ProcessIsNewOnceThenSeenInLaterPasses) {
    auto list = empty_list();
    seen_begin_pass(list.get());
    EXPECT_FALSE(seen_check_and_add(list.get(), 100, 5000));
    EXPECT_FALSE(seen_check_and_add(list.get(), 200, 5000));
    EXPECT_TRUE(seen_check_and_add(list.get(), 100, 5000));
    seen_end_pass(list.get());
    for (int pass = 0; pass < 3; ++pass) {
        seen_begin_pass(list.get());
        EXPECT_TRUE(seen_check_and_add(list.get(), 200, 5000));
        EXPECT_TRUE(seen_check_and_add(list.get(), 100, 5000));
        seen_end_pass(list.get());
    }
    EXPECT_EQ(list->count, 2u);
}

TEST(SeenList, ReusedIdWithAnotherCreationTimeIsANewProcess) {
    auto list = empty_list();
    seen_begin_pass(list.get());
    EXPECT_FALSE(seen_check_and_add(list.get(), 300, 1000));
    seen_end_pass(list.get());

    // The old process ended and a new one took its id between two passes.
    seen_begin_pass(list.get());
    EXPECT_FALSE(seen_check_and_add(list.get(), 300, 2000));
    seen_end_pass(list.get());
    EXPECT_EQ(list->count, 1u);  // the old entry went with its process
    seen_begin_pass(list.get());
    EXPECT_TRUE(seen_check_and_add(list.get(), 300, 2000));
    EXPECT_FALSE(seen_check_and_add(list.get(), 300, 1000));

    // One whose creation time could not be read (0) is its own entry too.
    EXPECT_FALSE(seen_check_and_add(list.get(), 300, 0));
    EXPECT_TRUE(seen_check_and_add(list.get(), 300, 0));
}

TEST(SeenList, AProcessMetBeforeItsPathCouldBeReadIsNewAgainOnTheNextPass) {
    auto list = empty_list();
    seen_begin_pass(list.get());
    EXPECT_FALSE(seen_check_and_add(list.get(), 100, 5000));
    EXPECT_FALSE(seen_check_and_add(list.get(), 300, 7000));
    seen_forget(list.get(), 300, 7000);
    seen_forget(list.get(), 300, 1234);  // another process under the id: nothing to forget
    seen_end_pass(list.get());
    seen_begin_pass(list.get());
    EXPECT_TRUE(seen_check_and_add(list.get(), 100, 5000));
    EXPECT_FALSE(seen_check_and_add(list.get(), 300, 7000));
    EXPECT_TRUE(seen_check_and_add(list.get(), 300, 7000));
    seen_end_pass(list.get());
    EXPECT_EQ(list->count, 2u);
}

TEST(SeenList, GoneProcessesAreDroppedOnlyAfterACompletePass) {
    auto list = empty_list();
    seen_begin_pass(list.get());
    for (uint32_t pid = 1; pid <= 10; ++pid) seen_check_and_add(list.get(), pid * 4, pid);
    seen_end_pass(list.get());

    // A pass cut short after two processes forgets nothing it did not reach.
    seen_begin_pass(list.get());
    EXPECT_TRUE(seen_check_and_add(list.get(), 4, 1));
    EXPECT_TRUE(seen_check_and_add(list.get(), 8, 2));
    EXPECT_EQ(list->count, 10u);

    // A complete pass that meets only the even ones keeps only those.
    seen_begin_pass(list.get());
    for (uint32_t pid = 2; pid <= 10; pid += 2) EXPECT_TRUE(seen_check_and_add(list.get(), pid * 4, pid));
    seen_end_pass(list.get());
    EXPECT_EQ(list->count, 5u);
    seen_begin_pass(list.get());
    EXPECT_FALSE(seen_check_and_add(list.get(), 4, 1));
    EXPECT_TRUE(seen_check_and_add(list.get(), 40, 10));
}

TEST(SeenList, StaysAsLargeAsTheLiveSetUnderChurn) {
    // 300 processes live at any time; each pass 20 end and 20 new ones start, ids reused at once.
    auto list = empty_list();
    std::vector<std::pair<uint32_t, uint64_t>> live;
    uint64_t clock = 1;
    for (uint32_t i = 0; i < 300; ++i) live.push_back({(i + 1) * 4, clock++});
    for (int pass = 0; pass < 500; ++pass) {
        for (int k = 0; k < 20; ++k) live[(pass * 20 + k) % live.size()].second = clock++;
        seen_begin_pass(list.get());
        int fresh = 0;
        for (auto& process : live) fresh += seen_check_and_add(list.get(), process.first, process.second) ? 0 : 1;
        seen_end_pass(list.get());
        EXPECT_EQ(fresh, pass == 0 ? 300 : 20);
        EXPECT_EQ(list->count, 300u);
    }
}

TEST(SeenList, AFullListStillReportsNewProcessesAndRecoversWhenProcessesEnd) {
    auto list = empty_list();
    seen_begin_pass(list.get());
    for (uint32_t i = 0; i < seen_capacity; ++i) EXPECT_FALSE(seen_check_and_add(list.get(), i * 4 + 4, 7));
    // Not remembered, so it is examined again next time rather than slipping through.
    EXPECT_FALSE(seen_check_and_add(list.get(), 999999, 7));
    EXPECT_FALSE(seen_check_and_add(list.get(), 999999, 7));
    EXPECT_TRUE(seen_check_and_add(list.get(), seen_capacity * 4, 7));
    seen_end_pass(list.get());
    EXPECT_EQ(list->count, seen_capacity);

    seen_begin_pass(list.get());  // half of them have ended
    for (uint32_t i = 0; i < seen_capacity; i += 2) EXPECT_TRUE(seen_check_and_add(list.get(), i * 4 + 4, 7));
    EXPECT_FALSE(seen_check_and_add(list.get(), 999999, 7));  // still full until the pass ends
    seen_end_pass(list.get());
    EXPECT_EQ(list->count, seen_capacity / 2);
    seen_begin_pass(list.get());
    EXPECT_FALSE(seen_check_and_add(list.get(), 999999, 7));  // examined once more, now remembered
    seen_end_pass(list.get());
    seen_begin_pass(list.get());
    EXPECT_TRUE(seen_check_and_add(list.get(), 999999, 7));
}

// --- one pass over the process list ---

namespace {

constexpr uint32_t own_pid = 500;
constexpr uint64_t t0 = 133000000000000000ull;

// The examine calls of one pass, and what the fake answers for each pid.
struct PassRecorder {
    std::vector<uint32_t> examined;
    std::map<uint32_t, Examined> answers;  // default: done
};

Examined record_examine(void* state, const ProcessRecord* process) {
    PassRecorder* r = static_cast<PassRecorder*>(state);
    r->examined.push_back(process->pid);
    auto answer = r->answers.find(process->pid);
    return answer == r->answers.end() ? Examined::done : answer->second;
}

class WatcherPass : public ::testing::Test {
protected:
    std::unique_ptr<Policy> policy{new Policy()};
    ProgramNameFilter filter;
    std::unique_ptr<SeenList> seen = empty_list();
    PassRecorder recorder;

    void SetUp() override {
        Rule& rule = policy->rules[policy->count++];
        rule.type = rule_type_program;
        rule.enabled = 1;
        text_copy(rule.match_name, L"app.exe");
        program_filter_build(policy.get(), &filter);
    }
    // One pass; the pids it examined.
    std::vector<uint32_t> pass(const std::vector<FakeProcess>& processes, bool* complete = nullptr) {
        FakeList list(processes);
        recorder.examined.clear();
        bool whole = pass_over_list(list.bytes(), list.cb, own_pid, &filter, seen.get(), record_examine, &recorder);
        if (complete) *complete = whole;
        return recorder.examined;
    }
};

using Pids = std::vector<uint32_t>;

}  // namespace

TEST_F(WatcherPass, OpensOnlyNewProcessesWhoseNameCouldBeProtected) {
    std::vector<FakeProcess> list = {{0, 0, L"", 0},          {4, t0, L"System", 0},     {own_pid, t0, L"app.exe", 0},
                                     {600, t0, L"explorer.exe", 1}, {604, t0 + 1, L"APP.EXE", 1}, {608, t0 + 2, L"APP~1.EXE", 1}};
    bool complete = false;
    EXPECT_EQ(pass(list, &complete), Pids({604, 608}));
    EXPECT_TRUE(complete);
    EXPECT_EQ(pass(list), Pids());  // known now: no open, no look
    EXPECT_EQ(seen->count, 4u);     // all but the idle process and our own, unprotected ones included

    // The id of an ended process comes back for a new one: it is new.
    list[4].created = t0 + 50;
    list.push_back({612, t0 + 51, L"app.exe", 2});
    EXPECT_EQ(pass(list), Pids({604, 612}));
}

TEST_F(WatcherPass, AProcessStillStartingIsMetAgainUntilItCanBeJudged) {
    // Listed before it has a name or a creation time (Wine): not remembered.
    EXPECT_EQ(pass({{700, t0, L"", 1}, {704, 0x5555555555555555ull, L"app.exe", 1}}), Pids());
    EXPECT_EQ(seen->count, 0u);
    // Named now, but its image path cannot be read yet: forgotten and looked at again.
    recorder.answers[700] = Examined::path_not_yet;
    EXPECT_EQ(pass({{700, t0, L"app.exe", 1}, {704, t0 + 9, L"app.exe", 1}}), Pids({700, 704}));
    recorder.answers.clear();
    EXPECT_EQ(pass({{700, t0, L"app.exe", 1}, {704, t0 + 9, L"app.exe", 1}}), Pids({700}));
    EXPECT_EQ(pass({{700, t0, L"app.exe", 1}, {704, t0 + 9, L"app.exe", 1}}), Pids());
}

TEST_F(WatcherPass, AMalformedListEndsThePassWithoutForgettingAnyone) {
    EXPECT_EQ(pass({{700, t0, L"app.exe", 1}, {704, t0, L"other.exe", 1}}), Pids({700}));
    FakeList broken({{708, t0, L"app.exe", 1}, {712, t0, L"app.exe", 1}});
    broken.entry(0)->next_entry_offset = static_cast<uint32_t>(broken.cb + 8);
    recorder.examined.clear();
    EXPECT_FALSE(pass_over_list(broken.bytes(), broken.cb, own_pid, &filter, seen.get(), record_examine, &recorder));
    EXPECT_EQ(recorder.examined, Pids());
    EXPECT_EQ(seen->count, 2u);
    EXPECT_EQ(pass({{700, t0, L"app.exe", 1}, {704, t0, L"other.exe", 1}}), Pids());
}

// --- what a relaunch starts ---

TEST(StoreAppPath, OnlyTheTwoExactSpellingsFollowedByABackslash) {
    EXPECT_TRUE(is_store_app_path(L"C:\\Program Files\\WindowsApps\\Pkg_1.0\\app.exe"));
    EXPECT_TRUE(is_store_app_path(L"D:\\windowsapps\\app.exe"));
    EXPECT_FALSE(is_store_app_path(L"C:\\Program Files\\WINDOWSAPPS\\Pkg\\app.exe"));
    EXPECT_FALSE(is_store_app_path(L"C:\\Program Files\\Windowsapps\\Pkg\\app.exe"));
    EXPECT_FALSE(is_store_app_path(L"C:\\WindowsAppsX\\app.exe"));
    EXPECT_FALSE(is_store_app_path(L"C:\\Tools\\WindowsApps"));
    EXPECT_FALSE(is_store_app_path(L"C:\\WindowsApps/app.exe"));
    EXPECT_FALSE(is_store_app_path(L""));
    EXPECT_FALSE(is_store_app_path(nullptr));
}

TEST(RelaunchTarget, ProgramStartsByFullPathInItsOwnFolder) {
    RelaunchTarget target;
    ASSERT_TRUE(relaunch_target(L"C:\\Program Files\\Sentrel\\app.exe", &target));
    EXPECT_STREQ(target.program, L"C:\\Program Files\\Sentrel\\app.exe");
    EXPECT_STREQ(target.directory, L"C:\\Program Files\\Sentrel");

    ASSERT_TRUE(relaunch_target(L"C:\\app.exe", &target));
    EXPECT_STREQ(target.directory, L"C:\\");
    ASSERT_TRUE(relaunch_target(L"\\\\server\\share\\app.exe", &target));
    EXPECT_STREQ(target.directory, L"\\\\server\\share");
    // Capitals are not the store folder: full path and folder.
    ASSERT_TRUE(relaunch_target(L"C:\\Program Files\\WINDOWSAPPS\\Pkg\\app.exe", &target));
    EXPECT_STREQ(target.program, L"C:\\Program Files\\WINDOWSAPPS\\Pkg\\app.exe");
    EXPECT_STREQ(target.directory, L"C:\\Program Files\\WINDOWSAPPS\\Pkg");
}

TEST(RelaunchTarget, StoreAppStartsByBareFileNameWithoutFolder) {
    RelaunchTarget target;
    ASSERT_TRUE(relaunch_target(L"C:\\Program Files\\WindowsApps\\Microsoft.App_1.2_x64__8wekyb\\App.exe", &target));
    EXPECT_STREQ(target.program, L"App.exe");
    EXPECT_STREQ(target.directory, L"");
}

TEST(RelaunchTarget, UnusablePathsLeaveTheTargetUntouched) {
    RelaunchTarget target;
    text_copy(target.program, L"before");
    text_copy(target.directory, L"before");
    EXPECT_FALSE(relaunch_target(L"", &target));
    EXPECT_FALSE(relaunch_target(nullptr, &target));
    EXPECT_FALSE(relaunch_target(L"C:\\WindowsApps\\", &target));  // a store folder with no file name
    std::wstring too_long = L"C:\\" + std::wstring(watcher_path_cch, L'a') + L"\\app.exe";
    EXPECT_FALSE(relaunch_target(too_long.c_str(), &target));
    EXPECT_STREQ(target.program, L"before");
    EXPECT_STREQ(target.directory, L"before");
}

TEST(FolderOfPath, RemovesTheLastComponentAndKeepsRoots) {
    wchar_t out[64] = L"untouched";
    ASSERT_TRUE(folder_of_path(L"C:\\a\\b\\c.exe", out, 64));
    EXPECT_STREQ(out, L"C:\\a\\b");
    ASSERT_TRUE(folder_of_path(L"\\c.exe", out, 64));
    EXPECT_STREQ(out, L"\\");
    ASSERT_TRUE(folder_of_path(L"c.exe", out, 64));
    EXPECT_STREQ(out, L"");
    text_copy(out, L"untouched");
    EXPECT_FALSE(folder_of_path(L"C:\\abcdef\\c.exe", out, 5));
    EXPECT_STREQ(out, L"untouched");
}

// --- stopping protected programs, and judging them one round at a time ---

namespace {

// Every call the watcher made, in order, and the answers the fakes give. Starters are
// 0x1000 + pid, in the session the test gives the pid (1 by default).
struct FakeSystem {
    std::vector<std::string> calls;
    std::map<uint32_t, uint32_t> sessions;
    std::map<std::wstring, std::wstring> long_paths;  // what a may-be-short path resolves to
    bool token_ok = true;
    bool stop_ok = true;
    uint32_t stop_error = 5;
    std::vector<std::wstring> cached;  // paths with a valid approval (inserts add to it)
    std::vector<bool> approve = {true};  // per round; the last repeats
    const wchar_t* broker_message = L"";
    bool relaunch_ok = true;
    CRITICAL_SECTION* lock = nullptr;
    std::function<void()> during_round;  // what happens while the dialog is open
    int rounds = 0;
    bool lock_held_in_broker = false;
    std::vector<std::wstring> targets, relaunched_programs;
    std::wstring rule_name, detail, directory;
    std::vector<Starter> relaunch_starters;
    std::vector<uint32_t> round_sessions;  // where each dialog was asked for
    uint32_t lookup_window = 0, insert_seconds = 0;
    std::vector<uint32_t> stopped_pids;
    std::set<uintptr_t> live_tokens;
};

FakeSystem* fake(void* state) { return static_cast<FakeSystem*>(state); }

bool fake_long_path(void* state, const wchar_t* path, wchar_t* out, size_t cch_out) {
    fake(state)->calls.push_back("long_path");
    auto found = fake(state)->long_paths.find(path);
    if (found == fake(state)->long_paths.end()) return false;
    text_copy(out, cch_out, found->second.c_str());
    return true;
}
bool fake_take_starter(void* state, uint32_t pid, Starter* out) {
    FakeSystem* f = fake(state);
    f->calls.push_back("take_starter");
    out->session = f->sessions.count(pid) ? f->sessions[pid] : 1;
    out->token = f->token_ok ? 0x1000 + pid : 0;
    if (out->token) f->live_tokens.insert(out->token);
    return f->token_ok;
}
void fake_release_starter(void* state, const Starter* starter) {
    EXPECT_EQ(fake(state)->live_tokens.erase(starter->token), 1u) << "released twice or never taken";
}
bool fake_stop(void* state, uint32_t pid, uint32_t* error) {
    fake(state)->calls.push_back("stop");
    fake(state)->stopped_pids.push_back(pid);
    if (!fake(state)->stop_ok) *error = fake(state)->stop_error;
    return fake(state)->stop_ok;
}
bool fake_lookup(void* state, const wchar_t* path, uint32_t window) {
    fake(state)->calls.push_back("lookup");
    fake(state)->lookup_window = window;
    for (const std::wstring& p : fake(state)->cached)
        if (text_equal_nocase(p.c_str(), path)) return true;
    return false;
}
void fake_insert(void* state, const wchar_t* path, uint32_t seconds) {
    fake(state)->calls.push_back("insert");
    fake(state)->insert_seconds = seconds;
    fake(state)->cached.push_back(path);
}
DWORD WINAPI try_lock(void* lock) {
    if (!TryEnterCriticalSection(static_cast<CRITICAL_SECTION*>(lock))) return 1;
    LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(lock));
    return 0;
}
bool fake_broker(void* state, const Starter* starter, const Settings*, const Rule* rule, const wchar_t* target,
                 const wchar_t* detail, wchar_t* message, size_t cch_message) {
    FakeSystem* f = fake(state);
    f->calls.push_back("authenticate");
    f->targets.push_back(target);
    f->round_sessions.push_back(starter->session);
    f->detail = detail;
    f->rule_name = rule->display_name;
    HANDLE thread = CreateThread(nullptr, 0, try_lock, f->lock, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    DWORD busy = 0;
    GetExitCodeThread(thread, &busy);
    CloseHandle(thread);
    f->lock_held_in_broker = busy == 1;
    if (f->during_round) {
        auto during = f->during_round;
        f->during_round = nullptr;
        during();
    }
    text_copy(message, cch_message, f->broker_message);
    bool approve = f->approve[std::min<size_t>(f->rounds, f->approve.size() - 1)];
    ++f->rounds;
    return approve;
}
bool fake_relaunch(void* state, const Settings*, const Starter* starter, const wchar_t* program,
                   const wchar_t* directory) {
    fake(state)->calls.push_back("relaunch");
    fake(state)->relaunched_programs.push_back(program);
    fake(state)->relaunch_starters.push_back(*starter);
    fake(state)->directory = directory ? directory : L"(none)";
    return fake(state)->relaunch_ok;
}

constexpr const wchar_t* app_path = L"C:\\Tools\\app.exe";

class Watcher : public ::testing::Test {
protected:
    TempFolder folder;
    std::unique_ptr<ServiceContext> context{new ServiceContext()};
    std::unique_ptr<StoppedQueue> queue{new StoppedQueue()};
    FakeSystem system;
    WatcherPorts ports = {&system,     fake_long_path, fake_take_starter, fake_release_starter, fake_stop,
                          fake_lookup, fake_insert,    fake_broker,       fake_relaunch};

    void SetUp() override {
        InitializeCriticalSection(&context->auth_lock);
        system.lock = &context->auth_lock;
        text_copy(context->settings.log_file, folder.file(L"sentrel.log").c_str());
        stopped_queue_init(queue.get(), nullptr);
    }
    void TearDown() override {
        stopped_queue_destroy(queue.get(), &ports);
        DeleteCriticalSection(&context->auth_lock);
        EXPECT_TRUE(system.live_tokens.empty()) << system.live_tokens.size() << " starters never released";
    }

    Rule& add_rule(const wchar_t* display_name, const wchar_t* match_name, int32_t window,
                   int32_t type = rule_type_program) {
        Rule& rule = context->policy.rules[context->policy.count++];
        rule.type = type;
        rule.enabled = 1;
        text_copy(rule.display_name, display_name);
        text_copy(rule.match_name, match_name);
        rule.cache_window_seconds = window;
        return rule;
    }
    Verdict meet(const wchar_t* path = app_path, uint32_t pid = 4242) {
        return meet_process(context.get(), queue.get(), pid, path, &ports);
    }
    // Runs the next round; the verdict, or not_protected when nothing waited.
    Verdict round() {
        Verdict verdict = Verdict::not_protected;
        return run_next_round(context.get(), queue.get(), &ports, &verdict) ? verdict : Verdict::not_protected;
    }
    // A stopped program is judged by its round.
    Verdict judge(const wchar_t* path = app_path) {
        Verdict met = meet(path);
        return met == Verdict::stopped ? round() : met;
    }
    std::string log() const { return read_file_bytes(folder.file(L"sentrel.log")); }
    bool logged(const std::string& message) const { return log().find("] " + message + "\r\r\n") != std::string::npos; }
};

using Calls = std::vector<std::string>;

}  // namespace

TEST_F(Watcher, ProgramsWithoutAnEnabledProgramRuleAreLeftAlone) {
    add_rule(L"Command rule", L"app.exe", 60, rule_type_command);
    add_rule(L"Other", L"other.exe", 60);
    add_rule(L"Paused", L"app.exe", 60).enabled = 0;
    // A program rule with an argument condition never matches a process (no argument text).
    text_copy(add_rule(L"With args", L"app.exe", 60).args_contains, L"x");
    EXPECT_EQ(meet(), Verdict::not_protected);
    EXPECT_EQ(system.calls, Calls());
    EXPECT_EQ(queue->count, 0u);
    EXPECT_EQ(log(), "");
}

TEST_F(Watcher, ValidApprovalLeavesTheProcessRunning) {
    add_rule(L"App", L"APP.EXE", 120);
    system.cached = {L"c:\\tools\\APP.exe"};
    EXPECT_EQ(meet(), Verdict::approved);
    EXPECT_EQ(system.calls, Calls({"lookup"}));
    EXPECT_EQ(system.lookup_window, 120u);
}

TEST_F(Watcher, ApprovalIsCachedBeforeTheRelaunchWithTheStoppedProcessesToken) {
    add_rule(L"Other", L"other.exe", 1);
    add_rule(L"First match", L"app.exe", 120);
    add_rule(L"Second match", L"app.exe", 900);
    system.sessions[4242] = 3;
    EXPECT_EQ(meet(), Verdict::stopped);
    // The token is taken while the process still exists, and the process is stopped at once.
    EXPECT_EQ(system.calls, Calls({"lookup", "take_starter", "stop"}));
    EXPECT_EQ(round(), Verdict::relaunched);
    EXPECT_EQ(system.calls, Calls({"lookup", "take_starter", "stop", "lookup", "authenticate", "insert", "relaunch"}));
    EXPECT_EQ(system.stopped_pids, std::vector<uint32_t>{4242});
    EXPECT_TRUE(system.lock_held_in_broker);
    EXPECT_EQ(system.rule_name, L"First match");
    EXPECT_EQ(system.targets, std::vector<std::wstring>{app_path});
    EXPECT_EQ(system.detail, L"");
    EXPECT_EQ(system.insert_seconds, 120u);
    EXPECT_EQ(system.relaunched_programs, std::vector<std::wstring>{app_path});
    EXPECT_EQ(system.directory, L"C:\\Tools");
    ASSERT_EQ(system.relaunch_starters.size(), 1u);
    EXPECT_EQ(system.relaunch_starters[0].token, 0x1000u + 4242);
    EXPECT_EQ(system.relaunch_starters[0].session, 3u);
    EXPECT_EQ(system.round_sessions, std::vector<uint32_t>{3});  // the dialog in the program's session
    EXPECT_TRUE(logged("program relaunch ok: C:\\Tools\\app.exe")) << log();
    EXPECT_EQ(queue->count, 0u);
    EXPECT_EQ(round(), Verdict::not_protected);  // nothing waits
    // The lock is free again.
    EXPECT_TRUE(TryEnterCriticalSection(&context->auth_lock));
    LeaveCriticalSection(&context->auth_lock);
}

TEST_F(Watcher, WindowOfZeroKeepsTheApprovalFiveSeconds) {
    add_rule(L"App", L"app.exe", 0);
    EXPECT_EQ(judge(), Verdict::relaunched);
    EXPECT_EQ(system.insert_seconds, 5u);
    Rule negative = {};
    negative.cache_window_seconds = -3;
    EXPECT_EQ(approval_seconds(&negative), 5u);
}

TEST_F(Watcher, StoreAppIsRelaunchedByFileNameWithNoFolder) {
    add_rule(L"Store app", L"app.exe", 60);
    EXPECT_EQ(judge(L"C:\\Program Files\\WindowsApps\\Pkg\\app.exe"), Verdict::relaunched);
    EXPECT_EQ(system.relaunched_programs, std::vector<std::wstring>{L"app.exe"});
    EXPECT_EQ(system.directory, L"(none)");
}

TEST_F(Watcher, DenialLeavesTheProgramStoppedAndLogsTheBrokersText) {
    add_rule(L"App", L"app.exe", 60);
    system.approve = {false};
    system.broker_message = L"用户取消或认证失败";
    EXPECT_EQ(judge(), Verdict::denied);
    EXPECT_EQ(system.calls, Calls({"lookup", "take_starter", "stop", "lookup", "authenticate"}));
    EXPECT_TRUE(logged("program denied: C:\\Tools\\app.exe reason=\xE7\x94\xA8\xE6\x88\xB7\xE5\x8F\x96\xE6\xB6\x88"
                       "\xE6\x88\x96\xE8\xAE\xA4\xE8\xAF\x81\xE5\xA4\xB1\xE8\xB4\xA5"))
        << log();
}

TEST_F(Watcher, FailedRelaunchKeepsTheApprovalAndSaysSo) {
    add_rule(L"App", L"app.exe", 60);
    system.relaunch_ok = false;
    EXPECT_EQ(judge(), Verdict::relaunch_failed);
    EXPECT_EQ(system.cached, std::vector<std::wstring>{app_path});
    EXPECT_TRUE(logged("program relaunch failed: C:\\Tools\\app.exe")) << log();
    EXPECT_FALSE(logged("program relaunch ok: C:\\Tools\\app.exe"));
}

TEST_F(Watcher, ProcessThatCannotBeStoppedAsksNoOne) {
    add_rule(L"App", L"app.exe", 60);
    system.stop_ok = false;
    system.stop_error = ERROR_ACCESS_DENIED;
    EXPECT_EQ(meet(), Verdict::not_stopped);
    EXPECT_EQ(system.calls, Calls({"lookup", "take_starter", "stop"}));
    EXPECT_EQ(queue->count, 0u);
    EXPECT_TRUE(logged("program not stopped: C:\\Tools\\app.exe error=5")) << log();
}

TEST_F(Watcher, AProcessWhoseTokenCannotBeTakenIsStillStoppedAndAskedFor) {
    // Protection first: the relaunch will refuse to start it without the token (see Relaunch).
    add_rule(L"App", L"app.exe", 60);
    system.token_ok = false;
    system.sessions[4242] = 2;
    EXPECT_EQ(judge(), Verdict::relaunched);
    ASSERT_EQ(system.relaunch_starters.size(), 1u);
    EXPECT_EQ(system.relaunch_starters[0].token, 0u);
    EXPECT_EQ(system.relaunch_starters[0].session, 2u);
}

TEST_F(Watcher, ShortNamesAreJudgedByTheirLongPath) {
    add_rule(L"PowerShell", L"powershell.exe", 60);
    const wchar_t* short_path = L"C:\\WINDOWS\\SYSTEM32\\WINDOW~1\\v1.0\\POWERS~1.EXE";
    const wchar_t* long_path = L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe";
    system.long_paths[short_path] = long_path;
    EXPECT_EQ(judge(short_path), Verdict::relaunched);
    EXPECT_EQ(system.targets, std::vector<std::wstring>{long_path});
    EXPECT_EQ(system.cached, std::vector<std::wstring>{long_path});
    EXPECT_EQ(system.relaunched_programs, std::vector<std::wstring>{long_path});
    // The approval is keyed by the long path: the next short-name start finds it.
    system.calls.clear();
    EXPECT_EQ(meet(short_path, 4243), Verdict::approved);
    EXPECT_EQ(system.calls, Calls({"long_path", "lookup"}));

    // A short name that no longer resolves cannot be told from a protected program: it is stopped
    // and refused, without a dialog.
    system.calls.clear();
    EXPECT_EQ(meet(L"C:\\Users\\u\\AppData\\Local\\Temp\\RENAME~1\\POWERS~1.EXE", 4244), Verdict::denied);
    EXPECT_EQ(system.calls, Calls({"long_path", "stop"}));
    EXPECT_EQ(queue->count, 0u);
    EXPECT_TRUE(logged("program denied: C:\\Users\\u\\AppData\\Local\\Temp\\RENAME~1\\POWERS~1.EXE "
                       "reason=\xE6\x97\xA0\xE6\xB3\x95\xE7\xA1\xAE\xE5\xAE\x9A\xE7\xA8\x8B\xE5\xBA\x8F\xE7\x9A\x84"
                       "\xE5\xAE\x8C\xE6\x95\xB4\xE8\xB7\xAF\xE5\xBE\x84\xEF\xBC\x8C\xE9\xBB\x98\xE8\xAE\xA4\xE6\x8B"
                       "\x92\xE7\xBB\x9D"))
        << log();
    // A long path with a '~' of its own resolves to itself.
    system.long_paths[L"C:\\~tools\\other.exe"] = L"C:\\~tools\\other.exe";
    EXPECT_EQ(meet(L"C:\\~tools\\other.exe", 4245), Verdict::not_protected);
}

TEST_F(Watcher, AProtectedProgramStartedDuringARoundIsStoppedAtOnceAndJudgedAfterIt) {
    add_rule(L"App", L"app.exe", 60);
    add_rule(L"Editor", L"editor.exe", 60);
    system.sessions = {{1, 1}, {2, 1}, {3, 1}, {4, 2}, {5, 1}};
    ASSERT_EQ(meet(app_path, 1), Verdict::stopped);
    std::vector<Verdict> during;
    system.during_round = [&] {
        // The dialog for the first start is open; the watcher goes on meeting processes.
        during.push_back(meet(app_path, 2));                     // the same program, same session
        during.push_back(meet(app_path, 3));                     // ... again
        during.push_back(meet(app_path, 4));                     // the same program in another session
        during.push_back(meet(L"C:\\Tools\\editor.exe", 5));    // another program
    };
    EXPECT_EQ(round(), Verdict::relaunched);
    EXPECT_EQ(during, std::vector<Verdict>(4, Verdict::stopped));
    // Each was stopped while the first round's dialog was still open.
    EXPECT_EQ(system.stopped_pids, (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(system.relaunched_programs, std::vector<std::wstring>{app_path});  // one relaunch covers 2 and 3

    // The other session's start finds the round's approval: relaunched with its own token, no dialog.
    EXPECT_EQ(round(), Verdict::relaunched);
    EXPECT_EQ(system.relaunch_starters.back().token, 0x1000u + 4);
    EXPECT_EQ(system.relaunch_starters.back().session, 2u);
    EXPECT_EQ(system.rounds, 1);
    // The other program is asked for.
    EXPECT_EQ(round(), Verdict::relaunched);
    EXPECT_EQ(system.targets, (std::vector<std::wstring>{app_path, L"C:\\Tools\\editor.exe"}));
    EXPECT_EQ(round(), Verdict::not_protected);
    EXPECT_EQ(system.relaunched_programs.size(), 3u);
}

TEST_F(Watcher, AProgramStartedAgainDuringAFailedRoundIsAskedForOnceMore) {
    add_rule(L"App", L"app.exe", 60);
    system.approve = {false, true};
    ASSERT_EQ(meet(app_path, 1), Verdict::stopped);
    system.during_round = [&] {
        EXPECT_EQ(meet(app_path, 2), Verdict::stopped);
        EXPECT_EQ(meet(app_path, 3), Verdict::stopped);
    };
    EXPECT_EQ(round(), Verdict::denied);
    EXPECT_EQ(queue->count, 1u);
    EXPECT_EQ(round(), Verdict::relaunched);  // one more dialog for the burst
    ASSERT_EQ(system.relaunch_starters.size(), 1u);
    EXPECT_EQ(system.relaunch_starters[0].token, 0x1000u + 3);  // the latest start's token
    EXPECT_EQ(system.rounds, 2);
    EXPECT_EQ(round(), Verdict::not_protected);
}

TEST_F(Watcher, ABurstOfStartsWaitingForTheirRoundIsOneDialog) {
    add_rule(L"App", L"app.exe", 60);
    for (uint32_t pid = 10; pid < 15; ++pid) EXPECT_EQ(meet(app_path, pid), Verdict::stopped);
    EXPECT_EQ(queue->count, 1u);
    EXPECT_EQ(round(), Verdict::relaunched);
    EXPECT_EQ(system.relaunch_starters[0].token, 0x1000u + 10);
    EXPECT_EQ(round(), Verdict::not_protected);
    EXPECT_EQ(system.rounds, 1);
}

TEST_F(Watcher, AFullQueueStopsAndRefusesWithoutForgettingTheWaiting) {
    add_rule(L"Every program", L"", 60);
    for (uint32_t i = 0; i < stopped_capacity; ++i) {
        std::wstring path = L"C:\\Tools\\app" + std::to_wstring(i) + L".exe";
        ASSERT_EQ(meet(path.c_str(), 100 + i), Verdict::stopped);
    }
    EXPECT_EQ(meet(L"C:\\Tools\\one-too-many.exe", 99), Verdict::denied);
    EXPECT_EQ(system.stopped_pids.back(), 99u);
    EXPECT_TRUE(logged("program denied: C:\\Tools\\one-too-many.exe reason=\xE7\xAD\x89\xE5\xBE\x85\xE8\xAE\xA4"
                       "\xE8\xAF\x81\xE7\x9A\x84\xE7\xA8\x8B\xE5\xBA\x8F\xE8\xBF\x87\xE5\xA4\x9A\xEF\xBC\x8C\xE9\xBB"
                       "\x98\xE8\xAE\xA4\xE6\x8B\x92\xE7\xBB\x9D"))
        << log();
    EXPECT_EQ(queue->count, stopped_capacity);
    EXPECT_EQ(round(), Verdict::relaunched);
    EXPECT_EQ(system.targets[0], L"C:\\Tools\\app0.exe");  // in order of stopping
}
