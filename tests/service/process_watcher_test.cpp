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
#include "tests/service/session_lock_probe.h"
#include "tests/support/fake_event_sink.h"
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
    // Named and with its creation time now: examined once, and judged then.
    EXPECT_EQ(pass({{700, t0, L"app.exe", 1}, {704, t0 + 9, L"app.exe", 1}}), Pids({700, 704}));
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
    std::map<uint32_t, uint8_t> users;  // the starter's user per pid (1 by default; 0: no token)
    std::map<uint32_t, uint32_t> limits;  // StarterLimit bits per pid (none by default)
    std::vector<std::pair<uint8_t, std::wstring>> cached;  // (user, path) with a valid approval
    std::vector<bool> approve = {true};  // per round; the last repeats
    const wchar_t* broker_message = L"";
    bool relaunch_ok = true;
    SessionLocks* locks = nullptr;
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
    // The file each path names (its index; volume 7), changed by a test to swap a file; a path
    // not here cannot be opened.
    std::map<std::wstring, uint64_t> files = {{L"C:\\Tools\\app.exe", 1}, {L"C:\\Tools\\editor.exe", 2}};
    bool open_anything = true;  // a path not in files opens as index 99
    std::set<uintptr_t> live_pins;
    uintptr_t next_pin = 0x9000;
    std::vector<std::wstring> pinned_as;  // "<token>:<path>" of every pin
    // The process's command line and folder as read before the stop; empty: could not be read.
    std::wstring command_line = L"app.exe", current_folder = L"C:\\Tools\\";
    std::vector<std::wstring> relaunch_arguments, relaunch_folders;
    std::vector<bool> relaunch_results;  // per relaunch; when shorter, relaunch_ok
    std::map<std::wstring, std::wstring> original_names;  // identity of files by path; missing: unreadable
};

FakeSystem* fake(void* state) { return static_cast<FakeSystem*>(state); }

// A local account's SID told apart by one byte (S-1-5-n).
AccountSid user_sid(uint8_t n) {
    AccountSid sid = {12, {1, 1, 0, 0, 0, 0, 0, 5, n, 0, 0, 0}};
    return sid;
}

bool fake_long_path(void* state, const wchar_t* path, wchar_t* out, size_t cch_out) {
    fake(state)->calls.push_back("long_path");
    auto found = fake(state)->long_paths.find(path);
    if (found == fake(state)->long_paths.end()) return false;
    text_copy(out, cch_out, found->second.c_str());
    return true;
}
// The starter's account: from its token, none without one.
bool fake_account(void*, const Starter* starter, wchar_t* out, size_t cch_out) {
    if (!starter->token) return false;
    text_format(out, cch_out, L"PC\\user%lu", static_cast<unsigned long>(starter->token - 0x1000));
    return true;
}
bool fake_take_starter(void* state, uint32_t pid, Starter* out) {
    FakeSystem* f = fake(state);
    f->calls.push_back("take_starter");
    out->session = f->sessions.count(pid) ? f->sessions[pid] : 1;
    out->token = f->token_ok ? 0x1000 + pid : 0;
    out->user = f->token_ok ? user_sid(f->users.count(pid) ? f->users[pid] : 1) : AccountSid{};
    out->limits = f->limits.count(pid) ? f->limits[pid] : 0;
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
bool fake_lookup(void* state, const AccountSid* user, const wchar_t* path, uint32_t window) {
    fake(state)->calls.push_back("lookup");
    fake(state)->lookup_window = window;
    for (const auto& entry : fake(state)->cached) {
        AccountSid cached_user = user_sid(entry.first);
        if (same_account(&cached_user, user) && text_equal_nocase(entry.second.c_str(), path)) return true;
    }
    return false;
}
void fake_insert(void* state, const AccountSid* user, const wchar_t* path, uint32_t seconds) {
    fake(state)->calls.push_back("insert");
    fake(state)->insert_seconds = seconds;
    fake(state)->cached.push_back({user->cb == 12 ? user->sid[8] : uint8_t(0), path});
}
bool fake_broker(void* state, const Starter* starter, const Settings*, const Rule* rule, const wchar_t* target,
                 const wchar_t* detail, wchar_t* message, size_t cch_message) {
    FakeSystem* f = fake(state);
    f->calls.push_back("authenticate");
    f->targets.push_back(target);
    f->round_sessions.push_back(starter->session);
    f->detail = detail;
    f->rule_name = rule->display_name;
    f->lock_held_in_broker = session_lock_held(f->locks, starter->session);
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
                   const wchar_t* arguments, const wchar_t* directory) {
    FakeSystem* f = fake(state);
    f->calls.push_back("relaunch");
    f->relaunched_programs.push_back(program);
    f->relaunch_starters.push_back(*starter);
    f->directory = directory ? directory : L"(none)";
    f->relaunch_arguments.push_back(arguments ? arguments : L"(none)");
    f->relaunch_folders.push_back(f->directory);
    size_t n = f->relaunch_folders.size() - 1;
    return n < f->relaunch_results.size() ? f->relaunch_results[n] : f->relaunch_ok;
}
bool fake_read_identity(void* state, const wchar_t* path, bool, FileIdentity* out) {
    FakeSystem* f = fake(state);
    f->calls.push_back("read_identity");
    auto found = f->original_names.find(path);
    if (found == f->original_names.end()) return false;
    *out = FileIdentity{};
    out->have_original_name = true;
    text_copy(out->original_name, found->second.c_str());
    return true;
}
void fake_params(void* state, uint32_t, ProcessParams* out) {
    FakeSystem* f = fake(state);
    out->have_command_line = !f->command_line.empty();
    out->have_folder = !f->current_folder.empty();
    text_copy(out->command_line, process_command_line_cch, f->command_line.c_str());
    text_copy(out->folder, process_folder_cch, f->current_folder.c_str());
}

bool fake_identity(void* state, const Starter* starter, const wchar_t* path, uint32_t* volume, uint64_t* index) {
    FakeSystem* f = fake(state);
    f->calls.push_back("identity");
    if (!starter->token) return false;
    auto found = f->files.find(path);
    if (found == f->files.end() && !f->open_anything) return false;
    *volume = 7;
    *index = found == f->files.end() ? 99 : found->second;
    return true;
}
bool fake_pin(void* state, const Starter* starter, const wchar_t* path, FilePin* out) {
    FakeSystem* f = fake(state);
    uint32_t volume = 0;
    uint64_t index = 0;
    if (!fake_identity(state, starter, path, &volume, &index)) return false;
    f->calls.back() = "pin";
    *out = FilePin{f->next_pin++, volume, index};
    f->live_pins.insert(out->handle);
    f->pinned_as.push_back(std::to_wstring(starter->token) + L":" + path);
    return true;
}
void fake_unpin(void* state, const FilePin* pin) {
    EXPECT_EQ(fake(state)->live_pins.erase(pin->handle), 1u) << "unpinned twice or never pinned";
}

constexpr const wchar_t* app_path = L"C:\\Tools\\app.exe";

class Watcher : public ::testing::Test {
protected:
    TempFolder folder;
    std::unique_ptr<ServiceContext> context{new ServiceContext()};
    std::unique_ptr<StoppedQueue> queue{new StoppedQueue()};
    FakeSystem system;
    WatcherPorts ports = {&system,       fake_long_path,     fake_take_starter, fake_release_starter,
                          fake_stop,     fake_lookup,        fake_insert,       fake_broker,
                          fake_relaunch, fake_account,       fake_pin,          fake_identity,
                          fake_unpin,    fake_read_identity, fake_params};
    FakeEventSink events;

    void SetUp() override {
        session_locks_init(&context->round_locks);
        system.locks = &context->round_locks;
        text_copy(context->settings.log_file, folder.file(L"sentrel.log").c_str());
        stopped_queue_init(queue.get(), nullptr);
    }
    void TearDown() override {
        stopped_queue_destroy(queue.get(), &ports);
        session_locks_destroy(&context->round_locks);
        EXPECT_TRUE(system.live_tokens.empty()) << system.live_tokens.size() << " starters never released";
        EXPECT_TRUE(system.live_pins.empty()) << system.live_pins.size() << " pins never let go";
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
        // The session of the first program waiting: the rounds in the order their programs stopped.
        uint32_t session = 1;
        for (uint32_t i = queue->count; i-- > 0;) {
            if (!queue->programs[i].in_round) session = queue->programs[i].starter.session;
        }
        return run_next_round(context.get(), queue.get(), session, &ports, &verdict) ? verdict : Verdict::not_protected;
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
using Cached = std::vector<std::pair<uint8_t, std::wstring>>;

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
    system.cached = {{1, L"c:\\tools\\APP.exe"}};
    EXPECT_EQ(meet(), Verdict::approved);
    EXPECT_EQ(system.calls, Calls({"take_starter", "lookup"}));
    EXPECT_EQ(system.lookup_window, 120u);
}

TEST_F(Watcher, ApprovalIsCachedBeforeTheRelaunchWithTheStoppedProcessesToken) {
    add_rule(L"Other", L"other.exe", 1);
    add_rule(L"First match", L"app.exe", 120);
    add_rule(L"Second match", L"app.exe", 900);
    system.sessions[4242] = 3;
    EXPECT_EQ(meet(), Verdict::stopped);
    // The token is taken while the process still exists, and the process is stopped at once.
    // The token is taken and the image pinned while the process still exists, and the process is
    // stopped at once.
    EXPECT_EQ(system.calls, Calls({"take_starter", "lookup", "pin", "stop"}));
    EXPECT_EQ(system.pinned_as, std::vector<std::wstring>{std::to_wstring(0x1000 + 4242) + L":" + app_path});
    EXPECT_EQ(round(), Verdict::relaunched);
    // The path still names the pinned file when the approval goes in, and right before the start.
    EXPECT_EQ(system.calls, Calls({"take_starter", "lookup", "pin", "stop", "lookup", "authenticate", "identity",
                                   "insert", "identity", "relaunch"}));
    EXPECT_EQ(system.stopped_pids, std::vector<uint32_t>{4242});
    EXPECT_TRUE(system.lock_held_in_broker);
    EXPECT_EQ(system.rule_name, L"First match");
    EXPECT_EQ(system.targets, std::vector<std::wstring>{app_path});
    EXPECT_EQ(system.detail, L"\"C:\\Tools\\app.exe\"");  // the command line the relaunch runs
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
    EXPECT_FALSE(session_lock_held(&context->round_locks, 3));
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
    EXPECT_EQ(system.calls, Calls({"take_starter", "lookup", "pin", "stop", "lookup", "authenticate"}));
    EXPECT_TRUE(logged("program denied: C:\\Tools\\app.exe reason=\xE7\x94\xA8\xE6\x88\xB7\xE5\x8F\x96\xE6\xB6\x88"
                       "\xE6\x88\x96\xE8\xAE\xA4\xE8\xAF\x81\xE5\xA4\xB1\xE8\xB4\xA5"))
        << log();
}

TEST_F(Watcher, FailedRelaunchKeepsTheApprovalAndSaysSo) {
    add_rule(L"App", L"app.exe", 60);
    system.relaunch_ok = false;
    EXPECT_EQ(judge(), Verdict::relaunch_failed);
    EXPECT_EQ(system.cached, (Cached{{1, app_path}}));
    EXPECT_TRUE(logged("program relaunch failed: C:\\Tools\\app.exe")) << log();
    EXPECT_FALSE(logged("program relaunch ok: C:\\Tools\\app.exe"));
}

TEST_F(Watcher, ProcessThatCannotBeStoppedAsksNoOne) {
    add_rule(L"App", L"app.exe", 60);
    system.stop_ok = false;
    system.stop_error = ERROR_ACCESS_DENIED;
    EXPECT_EQ(meet(), Verdict::not_stopped);
    EXPECT_EQ(system.calls, Calls({"take_starter", "lookup", "pin", "stop"}));
    EXPECT_EQ(queue->count, 0u);
    EXPECT_TRUE(logged("program not stopped: C:\\Tools\\app.exe error=5")) << log();
}

TEST_F(Watcher, AProgramWhoseFileCannotBePinnedAsItsStarterIsStoppedAndRefused) {
    // Without the starter's token the file cannot be opened as the starter, and nothing could be
    // started again anyway: stopped, and nobody is asked.
    add_rule(L"App", L"app.exe", 60);
    system.token_ok = false;
    EXPECT_EQ(judge(), Verdict::denied);
    EXPECT_EQ(system.calls, Calls({"take_starter", "lookup", "stop"}));
    EXPECT_TRUE(logged("program denied: C:\\Tools\\app.exe reason=\xE6\x97\xA0\xE6\xB3\x95\xE9\x94\x81\xE5\xAE"
                       "\x9A\xE7\xA8\x8B\xE5\xBA\x8F\xE6\x96\x87\xE4\xBB\xB6\xEF\xBC\x8C\xE9\xBB\x98\xE8\xAE"
                       "\xA4\xE6\x8B\x92\xE7\xBB\x9D"))
        << log();
    // The starter may not open the file (or it is gone): the same.
    system.token_ok = true;
    system.open_anything = false;
    EXPECT_EQ(judge(L"C:\\Tools\\gone\\app.exe"), Verdict::denied);
    EXPECT_EQ(system.rounds, 0);
}

TEST_F(Watcher, AFileSwappedDuringTheRoundIsNeitherApprovedNorStarted) {
    add_rule(L"App", L"app.exe", 60);
    ASSERT_EQ(meet(), Verdict::stopped);
    system.during_round = [&] { system.files[app_path] = 5; };  // renamed away and replaced meanwhile
    EXPECT_EQ(round(), Verdict::relaunch_failed);
    EXPECT_EQ(system.relaunched_programs, std::vector<std::wstring>());
    EXPECT_EQ(system.cached, Cached());
    EXPECT_TRUE(logged("relaunch: file changed during the round: C:\\Tools\\app.exe")) << log();
    EXPECT_TRUE(logged("program relaunch failed: C:\\Tools\\app.exe")) << log();
    // A path that no longer opens at all is as changed.
    system.files[app_path] = 1;
    ASSERT_EQ(meet(app_path, 4243), Verdict::stopped);
    system.during_round = [&] { system.files.erase(app_path); system.open_anything = false; };
    EXPECT_EQ(round(), Verdict::relaunch_failed);
    EXPECT_EQ(system.relaunched_programs, std::vector<std::wstring>());
}

TEST_F(Watcher, ShortNamesAreJudgedByTheirLongPath) {
    add_rule(L"PowerShell", L"powershell.exe", 60);
    const wchar_t* short_path = L"C:\\WINDOWS\\SYSTEM32\\WINDOW~1\\v1.0\\POWERS~1.EXE";
    const wchar_t* long_path = L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe";
    system.long_paths[short_path] = long_path;
    EXPECT_EQ(judge(short_path), Verdict::relaunched);
    EXPECT_EQ(system.targets, std::vector<std::wstring>{long_path});
    EXPECT_EQ(system.cached, (Cached{{1, long_path}}));
    EXPECT_EQ(system.relaunched_programs, std::vector<std::wstring>{long_path});
    // The approval is keyed by the long path: the next short-name start finds it.
    system.calls.clear();
    EXPECT_EQ(meet(short_path, 4243), Verdict::approved);
    EXPECT_EQ(system.calls, Calls({"long_path", "take_starter", "lookup"}));

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

TEST_F(Watcher, AFullSessionStopsAndRefusesItsOwnStartsOnly) {
    add_rule(L"Every program", L"", 60);
    for (uint32_t i = 0; i < stopped_per_session; ++i) {
        std::wstring path = L"C:\\Tools\\app" + std::to_wstring(i) + L".exe";
        ASSERT_EQ(meet(path.c_str(), 100 + i), Verdict::stopped);
    }
    EXPECT_EQ(meet(L"C:\\Tools\\one-too-many.exe", 99), Verdict::denied);
    EXPECT_EQ(system.stopped_pids.back(), 99u);
    EXPECT_TRUE(logged("program denied: C:\\Tools\\one-too-many.exe reason=\xE7\xAD\x89\xE5\xBE\x85\xE8\xAE\xA4"
                       "\xE8\xAF\x81\xE7\x9A\x84\xE7\xA8\x8B\xE5\xBA\x8F\xE8\xBF\x87\xE5\xA4\x9A\xEF\xBC\x8C\xE9\xBB"
                       "\x98\xE8\xAE\xA4\xE6\x8B\x92\xE7\xBB\x9D"))
        << log();
    EXPECT_EQ(queue->count, stopped_per_session);
    // Another session's start is queued as ever.
    system.sessions[98] = 2;
    EXPECT_EQ(meet(L"C:\\Tools\\one-too-many.exe", 98), Verdict::stopped);
    EXPECT_EQ(round(), Verdict::relaunched);
    EXPECT_EQ(system.targets[0], L"C:\\Tools\\app0.exe");  // in order of stopping
}

TEST_F(Watcher, EachDecisionIsAnAuditEventWithTheStartersAccount) {
    using Strings = std::vector<std::wstring>;
    Rule& rule = add_rule(L"Ledger rule", L"app.exe", 60);
    text_copy(rule.auth_mode, L"push");
    EXPECT_EQ(meet(), Verdict::stopped);
    EXPECT_EQ(events.ids(), std::vector<uint32_t>());  // asked for when its round begins
    EXPECT_EQ(round(), Verdict::relaunched);
    auto seen = events.taken();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].id, 2000u);
    EXPECT_EQ(seen[0].type, EventType::information);
    EXPECT_EQ(seen[0].strings, (Strings{app_path, L"PC\\user4242", L"Ledger rule", L"push"}));
    EXPECT_EQ(seen[1].id, 2001u);
    EXPECT_EQ(seen[1].strings, seen[0].strings);

    // Denied: the broker's reason; approved meanwhile: relaunched without asking.
    system.cached.clear();
    system.approve = {false};
    system.broker_message = L"用户取消";
    EXPECT_EQ(meet(app_path, 77), Verdict::stopped);
    EXPECT_EQ(round(), Verdict::denied);
    seen = events.taken();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[2].id, 2000u);
    EXPECT_EQ(seen[3].id, 2002u);
    EXPECT_EQ(seen[3].type, EventType::warning);
    EXPECT_EQ(seen[3].strings, (Strings{app_path, L"PC\\user77", L"用户取消"}));

    // Without the token the start is refused unasked and the account is unknown; so is a name that
    // no longer resolves.
    system.token_ok = false;
    system.approve = {true};
    EXPECT_EQ(judge(), Verdict::denied);
    seen = events.taken();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[4].id, 2002u);
    EXPECT_EQ(seen[4].strings[1], L"-");
    EXPECT_EQ(meet(L"C:\\PROGRA~1\\app.exe", 78), Verdict::denied);
    seen = events.taken();
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[5].id, 2002u);
    EXPECT_EQ(seen[5].strings[0], L"C:\\PROGRA~1\\app.exe");
    EXPECT_EQ(seen[5].strings[1], L"-");
    EXPECT_NE(seen[5].strings[2], L"");  // the text log's reason
}

TEST_F(Watcher, ARoundThatNeverEndsHoldsUpItsOwnSessionOnly) {
    add_rule(L"App", L"app.exe", 60);
    add_rule(L"Editor", L"editor.exe", 60);
    system.sessions = {{1, 1}, {2, 2}, {3, 1}};
    ASSERT_EQ(meet(app_path, 1), Verdict::stopped);
    ASSERT_EQ(meet(L"C:\\Tools\\editor.exe", 2), Verdict::stopped);
    ASSERT_EQ(meet(L"C:\\Tools\\editor.exe", 3), Verdict::stopped);
    Verdict first = Verdict::not_protected, other = Verdict::not_protected;
    bool own_session_held = false, other_session_free = false;
    system.during_round = [&] {
        // Session 1's dialog is open (its lock held); session 2's round runs meanwhile.
        own_session_held = session_lock_held(&context->round_locks, 1);
        other_session_free = !session_lock_held(&context->round_locks, 2);
        run_next_round(context.get(), queue.get(), 2, &ports, &other);
    };
    EXPECT_TRUE(run_next_round(context.get(), queue.get(), 1, &ports, &first));
    EXPECT_EQ(first, Verdict::relaunched);
    EXPECT_TRUE(own_session_held);
    EXPECT_TRUE(other_session_free);
    EXPECT_EQ(other, Verdict::relaunched);
    EXPECT_EQ(system.round_sessions, (std::vector<uint32_t>{1, 2}));
    // Session 1's editor waited for session 1's round, and comes next there.
    EXPECT_EQ(queue->count, 1u);
    EXPECT_FALSE(stopped_waiting_in(queue.get(), 2));
    EXPECT_TRUE(stopped_waiting_in(queue.get(), 1));
    Verdict last = Verdict::not_protected;
    EXPECT_TRUE(run_next_round(context.get(), queue.get(), 1, &ports, &last));
    EXPECT_EQ(last, Verdict::relaunched);  // on the approval its user earned in session 2: no dialog
    EXPECT_EQ(system.round_sessions, (std::vector<uint32_t>{1, 2}));
}

TEST_F(Watcher, PrefixedImagePathsAreJudgedByTheirPlainSpelling) {
    add_rule(L"App", L"", 60);
    text_copy(context->policy.rules[0].match_path, app_path);
    EXPECT_EQ(meet(L"\\\\?\\C:\\Tools\\app.exe"), Verdict::stopped);
    EXPECT_EQ(round(), Verdict::relaunched);
    EXPECT_EQ(system.targets, std::vector<std::wstring>{app_path});
    EXPECT_EQ(system.relaunched_programs, std::vector<std::wstring>{app_path});
    // The plain start of the same program finds the approval the prefixed one earned.
    EXPECT_EQ(meet(app_path, 4243), Verdict::approved);
    // A network path meets its rule too, and is refused: never started from a server as the service.
    text_copy(context->policy.rules[0].match_path, L"\\\\srv\\share\\app.exe");
    EXPECT_EQ(meet(L"\\\\?\\UNC\\srv\\share\\app.exe", 4244), Verdict::denied);
    EXPECT_EQ(system.stopped_pids.back(), 4244u);
    EXPECT_NE(log().find("] program denied: \\\\srv\\share\\app.exe reason=\xE7\xBD\x91\xE7\xBB\x9C"), std::string::npos)
        << log();
}

TEST_F(Watcher, PathsLongerThanARoundCarriesAreRefusedWhenProtected) {
    add_rule(L"App", L"app.exe", 60);
    std::wstring deep = L"C:\\" + std::wstring(1180, L'd') + L"\\app.exe";
    EXPECT_EQ(meet(deep.c_str()), Verdict::denied);
    EXPECT_EQ(system.stopped_pids, std::vector<uint32_t>{4242});
    EXPECT_EQ(system.rounds, 0);
    EXPECT_EQ(queue->count, 0u);
    EXPECT_NE(log().find("] program denied: ...\\app.exe reason=\xE7\xA8\x8B\xE5\xBA\x8F\xE8\xB7\xAF\xE5\xBE\x84\xE8\xBF\x87\xE9\x95\xBF"),
              std::string::npos)
        << log();
    // The longest Win32 path, prefixed, of a program no rule protects: left alone.
    std::wstring longest = L"\\\\?\\C:\\" + std::wstring(32764 - 10, L'd') + L"\\other.exe";
    ASSERT_EQ(longest.size(), 32767u + 4);
    EXPECT_EQ(meet(longest.c_str(), 4243), Verdict::not_protected);
    EXPECT_EQ(system.stopped_pids.size(), 1u);
}

TEST_F(Watcher, AnUnreadableImagePathIsStoppedAndRefused) {
    add_rule(L"App", L"app.exe", 60);
    EXPECT_EQ(refuse_unreadable(context.get(), 4242, L"app.exe", 122, &ports), Verdict::denied);
    EXPECT_EQ(system.calls, Calls({"stop"}));
    EXPECT_TRUE(logged("program denied: app.exe reason=\xE6\x97\xA0\xE6\xB3\x95\xE8\xAF\xBB\xE5\x8F\x96"
                       "\xE7\xA8\x8B\xE5\xBA\x8F\xE7\x9A\x84\xE5\xAE\x8C\xE6\x95\xB4\xE8\xB7\xAF\xE5\xBE"
                       "\x84\xEF\xBC\x8C\xE9\xBB\x98\xE8\xAE\xA4\xE6\x8B\x92\xE7\xBB\x9D error=122"))
        << log();
    system.stop_ok = false;
    EXPECT_EQ(refuse_unreadable(context.get(), 4243, L"app.exe", 5, &ports), Verdict::not_stopped);
    // An empty path is as unreadable as a failed read.
    system.stop_ok = true;
    EXPECT_EQ(meet(L"", 4244), Verdict::denied);
    EXPECT_EQ(system.stopped_pids, (std::vector<uint32_t>{4242, 4243, 4244}));
}

TEST_F(Watcher, AnApprovalCoversOnlyTheUserWhoPassed) {
    add_rule(L"App", L"app.exe", 60);
    system.users = {{1, 1}, {2, 2}, {3, 2}, {4, 1}};
    // A's start and B's start of the same program in the same session: two rounds, never folded.
    ASSERT_EQ(meet(app_path, 1), Verdict::stopped);
    ASSERT_EQ(meet(app_path, 2), Verdict::stopped);
    EXPECT_EQ(queue->count, 2u);
    system.approve = {true, false};
    EXPECT_EQ(round(), Verdict::relaunched);  // A passed
    EXPECT_EQ(round(), Verdict::denied);      // B was asked on its own, and failed
    EXPECT_EQ(system.rounds, 2);
    EXPECT_EQ(system.cached, (Cached{{1, app_path}}));
    // B's next start is asked for again; A's runs on A's approval.
    EXPECT_EQ(meet(app_path, 3), Verdict::stopped);
    EXPECT_EQ(meet(app_path, 4), Verdict::approved);
    // A start whose token cannot be read belongs to nobody: no approval covers it.
    system.token_ok = false;
    EXPECT_EQ(meet(app_path, 5), Verdict::denied);
}

TEST(RelaunchRefusal, EveryLimitTheRelaunchWouldDropRefusesIt) {
    EXPECT_EQ(relaunch_refusal(0), nullptr);
    EXPECT_STREQ(relaunch_refusal(starter_restricted), L"started with a restricted token");
    EXPECT_STREQ(relaunch_refusal(starter_app_container), L"started in an AppContainer");
    EXPECT_STREQ(relaunch_refusal(starter_low_integrity), L"started below medium integrity");
    EXPECT_STREQ(relaunch_refusal(starter_low_integrity | starter_app_container), L"started in an AppContainer");
    EXPECT_STREQ(relaunch_refusal(starter_job), L"started in a job that keeps its processes");
    EXPECT_STREQ(relaunch_refusal(starter_desktop), L"started on another desktop");
}

TEST_F(Watcher, AStartTheRelaunchWouldFreeFromItsLimitsIsStoppedAndNotAskedFor) {
    add_rule(L"App", L"app.exe", 60);
    system.limits = {{1, starter_app_container}, {2, starter_low_integrity | starter_restricted}};
    EXPECT_EQ(meet(app_path, 1), Verdict::denied);
    EXPECT_EQ(meet(app_path, 2), Verdict::denied);
    EXPECT_EQ(system.stopped_pids, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(queue->count, 0u);
    EXPECT_TRUE(system.live_pins.empty());
    EXPECT_TRUE(logged("program relaunch refused: C:\\Tools\\app.exe reason=started in an AppContainer")) << log();
    EXPECT_TRUE(logged("program relaunch refused: C:\\Tools\\app.exe reason=started with a restricted token"))
        << log();
    // An approval of its user already in force leaves such a start running: nothing is relaunched.
    system.cached = {{1, app_path}};
    EXPECT_EQ(meet(app_path, 1), Verdict::approved);
}

TEST_F(Watcher, RelaunchKeepsTheArgumentsAndFolderButNeverTheFirstToken) {
    add_rule(L"App", L"app.exe", 60);
    system.command_line = L"\"C:\\Elsewhere\\other.exe\" \"my report.txt\" -x";
    system.current_folder = L"D:\\Documents\\";
    EXPECT_EQ(judge(), Verdict::relaunched);
    EXPECT_EQ(system.relaunched_programs, std::vector<std::wstring>{app_path});  // the approved file, always
    EXPECT_EQ(system.relaunch_arguments, std::vector<std::wstring>{L" \"my report.txt\" -x"});
    EXPECT_EQ(system.relaunch_folders, std::vector<std::wstring>{L"D:\\Documents"});
    EXPECT_EQ(system.detail, L"\"C:\\Tools\\app.exe\" \"my report.txt\" -x");
    EXPECT_EQ(log().find("not read"), std::string::npos) << log();
}

TEST_F(Watcher, WhatCouldNotBeReadFallsBackToTheOldRelaunchAndIsLogged) {
    add_rule(L"App", L"app.exe", 60);
    system.command_line = L"";
    system.current_folder = L"";
    EXPECT_EQ(judge(), Verdict::relaunched);
    EXPECT_EQ(system.relaunch_arguments, std::vector<std::wstring>{L"(none)"});
    EXPECT_EQ(system.relaunch_folders, std::vector<std::wstring>{L"C:\\Tools"});
    EXPECT_EQ(system.detail, L"");
    EXPECT_TRUE(logged("program command line not read, relaunch without arguments: C:\\Tools\\app.exe")) << log();
    EXPECT_TRUE(logged("program current folder not read, relaunch in the program's folder: C:\\Tools\\app.exe"))
        << log();
}

TEST_F(Watcher, AFolderThatIsGoneGivesWayToTheProgramsOwn) {
    add_rule(L"App", L"app.exe", 60);
    system.command_line = L"app.exe a";
    system.current_folder = L"D:\\Removed\\";
    system.relaunch_results = {false, true};
    EXPECT_EQ(judge(), Verdict::relaunched);
    EXPECT_EQ(system.relaunch_folders, std::vector<std::wstring>({L"D:\\Removed", L"C:\\Tools"}));
    EXPECT_EQ(system.relaunch_arguments, std::vector<std::wstring>({L" a", L" a"}));
    EXPECT_TRUE(logged("program relaunch: current folder not usable, trying the program's folder: D:\\Removed"))
        << log();
}

TEST_F(Watcher, IdentityRulesCatchRenamedCopiesAndRefuseUnreadableFiles) {
    Rule& rule = add_rule(L"By identity", L"", 60);
    text_copy(rule.match_original_name, L"regedit.exe");
    system.original_names[L"C:\\Temp\\notes.exe"] = L"REGEDIT.EXE";
    system.original_names[L"C:\\Temp\\other.exe"] = L"other.exe";
    EXPECT_EQ(meet(L"C:\\Temp\\notes.exe"), Verdict::stopped);
    EXPECT_EQ(meet(L"C:\\Temp\\other.exe", 4343), Verdict::not_protected);
    // A file whose identity cannot be read is not let through: stopped and refused without a round.
    EXPECT_EQ(meet(L"C:\\Temp\\locked.exe", 4444), Verdict::denied);
    EXPECT_EQ(system.stopped_pids, std::vector<uint32_t>({4242, 4444}));
    EXPECT_TRUE(logged("program denied: C:\\Temp\\locked.exe reason=\xE6\x97\xA0\xE6\xB3\x95\xE8\xAF\xBB\xE5\x8F\x96"
                       "\xE7\xA8\x8B\xE5\xBA\x8F\xE6\x96\x87\xE4\xBB\xB6\xE7\x9A\x84\xE8\xBA\xAB\xE4\xBB\xBD\xE4\xBF"
                       "\xA1\xE6\x81\xAF\xEF\xBC\x8C\xE9\xBB\x98\xE8\xAE\xA4\xE6\x8B\x92\xE7\xBB\x9D"))
        << log();
}
