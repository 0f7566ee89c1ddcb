#include "common/ui_broker.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/policy.h"
#include "common/settings.h"
#include "common/text.h"
#include "tests/support/access_check.h"
#include "tests/support/test_files.h"

namespace {

Rule rule_with(const wchar_t* name, const wchar_t* mode) {
    Rule r = {};
    r.type = rule_type_program;
    r.enabled = 1;
    text_copy(r.display_name, name);
    text_copy(r.auth_mode, mode);
    return r;
}

std::string bytes_of(const void* data, size_t cb) { return std::string(static_cast<const char*>(data), cb); }

void put_text(std::string& image, size_t offset, const wchar_t* text) {
    memcpy(&image[offset], text, wcslen(text) * sizeof(wchar_t));
}

std::wstring own_path() {
    wchar_t path[1024];
    GetModuleFileNameW(nullptr, path, 1024);
    return path;
}

std::wstring log_text(const Settings& s) {
    std::string bytes = read_file_bytes(s.log_file);
    if (bytes.empty()) return L"";
    std::wstring text(bytes.size(), L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                                static_cast<int>(text.size()));
    text.resize(n > 0 ? n : 0);
    return text;
}

}  // namespace

// --- records and texts ---------------------------------------------------------------------------

TEST(UiBrokerRecords, RequestBytesOnTheWire) {
    Rule r = rule_with(L"记事本", L"push");
    UiAuthRequest request;
    memset(&request, 0xCC, sizeof request);
    build_ui_request(&r, L"C:\\Windows\\notepad.exe", L"-x 1", &request);

    ASSERT_EQ(sizeof request, 3912u);
    std::string expected(3912, '\0');
    expected.replace(0, 4, "\x49\x55\x4E\x53");
    expected[4] = 2;
    put_text(expected, 8, L"记事本");
    put_text(expected, 264, L"C:\\Windows\\notepad.exe");
    put_text(expected, 2312, L"-x 1");
    EXPECT_EQ(bytes_of(&request, sizeof request), expected);  // everything else zero

    build_ui_request(nullptr, nullptr, nullptr, &request);
    std::string empty(3912, '\0');
    empty.replace(0, 5, "\x49\x55\x4E\x53\x01");
    EXPECT_EQ(bytes_of(&request, sizeof request), empty);
}

TEST(UiBrokerRecords, ModeCodeIgnoresCase) {
    EXPECT_EQ(ui_mode_code(L"PUSH"), 2u);
    EXPECT_EQ(ui_mode_code(L"Push"), 2u);
    EXPECT_EQ(ui_mode_code(L"sms"), 3u);
    EXPECT_EQ(ui_mode_code(L"SMS"), 3u);
    EXPECT_EQ(ui_mode_code(L"email"), 4u);
    EXPECT_EQ(ui_mode_code(L"E-mail"), 1u);
    EXPECT_EQ(ui_mode_code(L"TOTP"), 1u);
    EXPECT_EQ(ui_mode_code(L""), 1u);
    EXPECT_EQ(ui_mode_code(L"voice"), 1u);
    EXPECT_EQ(ui_mode_code(L"push "), 1u);
    EXPECT_EQ(ui_mode_code(nullptr), 1u);
}

TEST(UiBrokerRecords, TextsAreCutToTheirFields) {
    Rule r = rule_with(L"", L"sms");
    for (wchar_t& c : r.display_name) c = L'n';  // no terminator inside the rule's field
    std::wstring target(2000, L't');
    std::wstring detail(600, L'd');
    UiAuthRequest request;
    build_ui_request(&r, target.c_str(), detail.c_str(), &request);
    EXPECT_EQ(request.mode, 3u);
    EXPECT_EQ(std::wstring(request.title), std::wstring(127, L'n'));
    EXPECT_EQ(std::wstring(request.target), std::wstring(1023, L't'));
    EXPECT_EQ(std::wstring(request.detail), std::wstring(511, L'd'));
}

TEST(UiBrokerRecords, AdminRuleTakesModeFromSettings) {
    Settings s = {};
    Rule r;
    build_admin_rule(&s, L"Uninstall", &r);
    EXPECT_EQ(r.type, rule_type_command);
    EXPECT_EQ(r.cache_window_seconds, 0);
    EXPECT_STREQ(r.display_name, L"Uninstall");
    EXPECT_EQ(ui_mode_code(r.auth_mode), 1u);

    text_copy(s.admin_auth_mode, L"email");
    std::wstring long_label(200, L'L');
    build_admin_rule(&s, long_label.c_str(), &r);
    EXPECT_EQ(ui_mode_code(r.auth_mode), 4u);
    EXPECT_EQ(std::wstring(r.display_name), std::wstring(127, L'L'));

    build_admin_rule(nullptr, L"x", &r);
    EXPECT_STREQ(r.auth_mode, L"totp");
}

TEST(UiBrokerResult, TextOfEachOutcome) {
    wchar_t message[ui_result_cch];
    EXPECT_FALSE(ui_round_result(UiRound::not_connected, nullptr, message, ui_result_cch));
    EXPECT_STREQ(message, L"无法连接认证界面，默认拒绝");
    EXPECT_FALSE(ui_round_result(UiRound::untrusted, nullptr, message, ui_result_cch));
    EXPECT_STREQ(message, L"认证界面不可信，默认拒绝");
    EXPECT_FALSE(ui_round_result(UiRound::send_failed, nullptr, message, ui_result_cch));
    EXPECT_STREQ(message, L"发送认证请求失败");
    EXPECT_FALSE(ui_round_result(UiRound::no_reply, nullptr, message, ui_result_cch));
    EXPECT_STREQ(message, L"等待认证结果超时，默认拒绝");
}

TEST(UiBrokerResult, ReplyIsReadFromItsOffsets) {
    std::string image(648, '\0');
    image.replace(0, 4, "XXXX");  // a wrong magic does not matter
    image[4] = 1;
    UiAuthReply reply;
    ASSERT_EQ(sizeof reply, 648u);
    memcpy(&reply, image.data(), sizeof reply);
    wchar_t message[ui_result_cch];
    // The host's approved bit passes nothing: only the broker's own check does.
    EXPECT_FALSE(ui_round_result(UiRound::replied, &reply, message, ui_result_cch));
    EXPECT_STREQ(message, L"用户取消或认证失败");
    EXPECT_TRUE(ui_round_passed(message, ui_result_cch));
    EXPECT_STREQ(message, L"认证成功");

    image[4] = 0;
    memcpy(&reply, image.data(), sizeof reply);
    EXPECT_FALSE(ui_round_result(UiRound::replied, &reply, message, ui_result_cch));
    EXPECT_STREQ(message, L"用户取消或认证失败");

    put_text(image, 136, L"User cancelled");
    memcpy(&reply, image.data(), sizeof reply);
    EXPECT_FALSE(ui_round_result(UiRound::replied, &reply, message, ui_result_cch));
    EXPECT_STREQ(message, L"User cancelled");

    for (wchar_t& c : reply.message) c = L'm';  // unterminated: bounded by the field
    EXPECT_FALSE(ui_round_result(UiRound::replied, &reply, message, ui_result_cch));
    EXPECT_EQ(std::wstring(message), std::wstring(255, L'm'));
}

TEST(UiBrokerResult, CallerBufferBounds) {
    wchar_t small[8];
    EXPECT_FALSE(ui_round_result(UiRound::not_connected, nullptr, small, 8));
    EXPECT_STREQ(small, L"无法连接认证界");

    wchar_t untouched[4] = L"abc";
    EXPECT_FALSE(ui_round_result(UiRound::not_connected, nullptr, untouched, 0));
    EXPECT_STREQ(untouched, L"abc");
    EXPECT_FALSE(ui_round_result(UiRound::not_connected, nullptr, nullptr, 256));
    EXPECT_FALSE(ui_round_result(UiRound::not_connected, nullptr, untouched, size_t(1) << 31));
    EXPECT_STREQ(untouched, L"");
}

// --- push approvals confirmed by the broker --------------------------------------------------------

TEST(UiBrokerPush, WhatAPollSaw) {
    EXPECT_EQ(ui_push_seen(true, L"approved"), PushSeen::approved);
    EXPECT_EQ(ui_push_seen(true, L"APPROVED"), PushSeen::approved);
    EXPECT_EQ(ui_push_seen(true, L"rejected"), PushSeen::refused);
    EXPECT_EQ(ui_push_seen(true, L"Expired"), PushSeen::refused);
    EXPECT_EQ(ui_push_seen(true, L"pending"), PushSeen::open);
    EXPECT_EQ(ui_push_seen(true, L"approved "), PushSeen::open);
    EXPECT_EQ(ui_push_seen(true, L""), PushSeen::open);
    EXPECT_EQ(ui_push_seen(true, nullptr), PushSeen::open);
    EXPECT_EQ(ui_push_seen(false, L"approved"), PushSeen::unreachable);  // a failed call proves nothing

    // Open or unreachable challenges are asked again, three polls in all; final answers are not.
    EXPECT_TRUE(ui_push_poll_again(PushSeen::open, 1));
    EXPECT_TRUE(ui_push_poll_again(PushSeen::unreachable, 2));
    EXPECT_FALSE(ui_push_poll_again(PushSeen::open, 3));
    EXPECT_FALSE(ui_push_poll_again(PushSeen::unreachable, 3));
    EXPECT_FALSE(ui_push_poll_again(PushSeen::approved, 1));
    EXPECT_FALSE(ui_push_poll_again(PushSeen::refused, 1));
}

// The decision table: the dialog's approval counts only with the broker's own "approved"; every
// other combination refuses, with the dialog's text for its own refusals and the broker's for the rest.
TEST(UiBrokerPush, ApprovalNeedsTheBrokersOwnPoll) {
    UiAuthReply approving = {ui_auth_magic, 1, {}, {}};
    UiAuthReply refusing = {ui_auth_magic, 0, {}, {}};
    text_copy(refusing.message, L"Request rejected on phone");
    wchar_t message[ui_result_cch];

    const struct Case {
        const UiAuthReply* reply;
        PushSeen seen;
        bool approved;
        const wchar_t* text;
    } cases[] = {
        {&approving, PushSeen::approved, true, L"认证成功"},
        {&approving, PushSeen::open, false, L"推送未经服务器确认，默认拒绝"},
        {&approving, PushSeen::refused, false, L"推送未经服务器确认，默认拒绝"},
        {&approving, PushSeen::unreachable, false, L"无法向服务器确认推送结果，默认拒绝"},
        {&refusing, PushSeen::approved, false, L"Request rejected on phone"},  // the person's refusal stands
        {&refusing, PushSeen::refused, false, L"Request rejected on phone"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ui_push_round_result(UiRound::replied, c.reply, c.seen, message, ui_result_cch), c.approved)
            << static_cast<int>(c.seen);
        EXPECT_STREQ(message, c.text);
    }
    // A round that did not end in a reply is refused whatever was seen.
    EXPECT_FALSE(ui_push_round_result(UiRound::no_reply, nullptr, PushSeen::approved, message, ui_result_cch));
    EXPECT_STREQ(message, L"等待认证结果超时，默认拒绝");
    EXPECT_FALSE(ui_push_round_result(UiRound::untrusted, nullptr, PushSeen::approved, message, ui_result_cch));
    EXPECT_STREQ(message, L"认证界面不可信，默认拒绝");

    ui_push_request_failed(L"Push挑战失败, HTTP:503 响应:down", message, ui_result_cch);
    EXPECT_STREQ(message, L"推送请求失败，默认拒绝：Push挑战失败, HTTP:503 响应:down");
    ui_push_request_failed(L"", message, ui_result_cch);
    EXPECT_STREQ(message, L"推送请求失败，默认拒绝");
    wchar_t small[8];
    ui_push_request_failed(L"x", small, 8);
    EXPECT_STREQ(small, L"推送请求失败，");
}

// --- whole rounds against an in-process host -----------------------------------------------------

namespace {

enum class FakeAnswer { approve_wrong_magic, deny, short_reply, silent, drop_first_then_approve };

// The MFA calls of the broker's own push, answered from a script: the request succeeds (or not),
// and each poll takes the next status of the list (poll_fails: the call fails; the last repeats).
const wchar_t* const poll_fails = L"<the call fails>";

struct FakePush {
    bool request_ok = true;
    const wchar_t* id = L"c0ffee42";
    const wchar_t* passcode = L"428571";
    std::vector<const wchar_t*> statuses = {L"approved"};
    int requests = 0;
    int polls = 0;
    wchar_t request_user[128] = L"";
    wchar_t polled_id[128] = L"";
    HANDLE requested = nullptr;  // set by the request, when given
    HANDLE proceed = nullptr;    // awaited by the request, when given
} fake_push;

bool fake_request(const Settings* s, wchar_t* id, size_t cch_id, wchar_t* passcode, size_t cch_passcode, wchar_t* err,
                  size_t cch_err) {
    ++fake_push.requests;
    text_copy(fake_push.request_user, s->mfa_username);
    if (fake_push.requested) SetEvent(fake_push.requested);
    if (fake_push.proceed) WaitForSingleObject(fake_push.proceed, 10000);
    if (!fake_push.request_ok) {
        text_copy(err, cch_err, L"Push挑战失败, HTTP:503 响应:down");
        return false;
    }
    text_copy(id, cch_id, fake_push.id);
    text_copy(passcode, cch_passcode, fake_push.passcode);
    return true;
}

bool fake_poll(const Settings*, const wchar_t* id, wchar_t* status, size_t cch_status, wchar_t* err, size_t cch_err) {
    size_t i = std::min(static_cast<size_t>(fake_push.polls++), fake_push.statuses.size() - 1);
    text_copy(fake_push.polled_id, id);
    if (fake_push.statuses[i] == poll_fails) {
        text_copy(err, cch_err, L"接收响应失败: 12002");
        return false;
    }
    text_copy(status, cch_status, fake_push.statuses[i]);
    return true;
}

const UiPushCalls fake_push_calls = {fake_request, fake_poll, 0};

// The code calls: "123456" is the right code; a message code is always sent.
UiCodeCheck right_code_check(const Settings*, const wchar_t* code, wchar_t* err, size_t cch_err) {
    if (lstrcmpW(code, L"123456") == 0) return UiCodeCheck::passed;
    text_copy(err, cch_err, L"验证码错误或用户不存在");
    return UiCodeCheck::wrong_code;
}
UiCodeCheck right_message_check(const Settings* s, const wchar_t*, const wchar_t* code, wchar_t* err, size_t cch_err) {
    return right_code_check(s, code, err, cch_err);
}
bool message_sent(const Settings*, const wchar_t*, wchar_t* id, size_t cch_id, wchar_t* dest, size_t cch_dest, wchar_t*,
                  size_t) {
    text_copy(id, cch_id, L"msg-1");
    text_copy(dest, cch_dest, L"+86****0000");
    return true;
}
const UiCodeCalls fake_code_calls = {right_code_check, message_sent, right_message_check};

// The server end of a pipe of its own, answering one client from a thread.
class FakeHost {
public:
    explicit FakeHost(FakeAnswer answer, const wchar_t* message = L"") : answer_(answer) {
        static LONG counter = 0;
        text_format(name, 128, L"\\\\.\\pipe\\SentrelUI_test_%lu_%ld", GetCurrentProcessId(),
                    InterlockedIncrement(&counter));
        text_copy(message_, message);
        pipe_.reset(CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     1, sizeof(UiAuthReply), sizeof(UiAuthRequest), 0, nullptr));
        release_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        thread_.reset(CreateThread(nullptr, 0, run, this, 0, nullptr));
    }
    ~FakeHost() {
        SetEvent(release_.get());
        OwnedHandle wake(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        WaitForSingleObject(thread_.get(), 10000);
    }
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    // Only after the round: the thread has read by then.
    DWORD cb_received() {
        WaitForSingleObject(read_done_.get(), 5000);
        return cb_received_;
    }

    wchar_t name[128];
    UiAuthRequest received = {};

private:
    static DWORD WINAPI run(void* parameter) {
        FakeHost* host = static_cast<FakeHost*>(parameter);
        HANDLE pipe = host->pipe_.get();
        // A client that came and went before the wait counts as connected (ERROR_NO_DATA): its read fails.
        bool connected = ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED ||
                         GetLastError() == ERROR_NO_DATA;
        if (connected && host->answer_ == FakeAnswer::drop_first_then_approve) {
            // A host that drops a client silent for too long: once the broker's push request has
            // begun, the client is dropped and the next instance waits for it to come back.
            WaitForSingleObject(fake_push.requested, 10000);
            DisconnectNamedPipe(pipe);
            host->pipe_.reset();  // one instance: the old one goes first
            host->pipe_.reset(CreateNamedPipeW(host->name, PIPE_ACCESS_DUPLEX,
                                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                               sizeof(UiAuthReply), sizeof(UiAuthRequest), 0, nullptr));
            pipe = host->pipe_.get();
            SetEvent(fake_push.proceed);
            connected = ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        }
        if (!connected || !ReadFile(pipe, &host->received, sizeof host->received, &host->cb_received_, nullptr))
            host->cb_received_ = 0;
        SetEvent(host->read_done_.get());
        if (!connected) return 0;
        UiAuthReply reply = {};
        reply.magic = ui_auth_magic;
        DWORD cb = sizeof reply;
        switch (host->answer_) {
            case FakeAnswer::approve_wrong_magic:
                reply.magic = 0x12345678;
                reply.approved = 1;
                text_copy(reply.code, L"123456");
                break;
            case FakeAnswer::deny:
                text_copy(reply.message, host->message_);
                break;
            case FakeAnswer::drop_first_then_approve:
                reply.approved = 1;
                break;
            case FakeAnswer::short_reply:
                reply.approved = 1;
                cb = 100;
                break;
            case FakeAnswer::silent:  // until the test ends, or 10 s for a broker that does not give up
                WaitForSingleObject(host->release_.get(), 10000);
                DisconnectNamedPipe(pipe);
                return 0;
        }
        DWORD written = 0;
        WriteFile(pipe, &reply, cb, &written, nullptr);
        FlushFileBuffers(pipe);
        DisconnectNamedPipe(pipe);
        return 0;
    }

    FakeAnswer answer_;
    wchar_t message_[256] = L"";
    DWORD cb_received_ = 0;
    OwnedHandle pipe_;
    OwnedHandle release_;
    OwnedHandle read_done_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OwnedHandle thread_;
};

class UiBrokerRound : public ::testing::Test {
protected:
    void SetUp() override {
        text_format(settings.log_file, 1024, L"%s\\logs\\sentrel.log", tmp.path);
        text_copy(self, own_path().c_str());
        fake_push = FakePush{};
    }
    UiBrokerOptions options_for(const FakeHost& host, uint32_t reply_timeout_ms = 10000) {
        return UiBrokerOptions{host.name, self, nullptr, reply_timeout_ms, 0, 0, &fake_push_calls, nullptr,
                               &fake_code_calls};
    }

    TempFolder tmp;
    Settings settings = {};
    wchar_t self[1024];
    wchar_t message[ui_result_cch] = L"";
    uint32_t session = ui_own_session();
};

}  // namespace

TEST_F(UiBrokerRound, ApprovalFromOurHostEvenWithWrongMagic) {
    FakeHost host(FakeAnswer::approve_wrong_magic);
    UiBrokerOptions options = options_for(host);
    Rule r = rule_with(L"记事本", L"PUSH");
    EXPECT_TRUE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\Windows\\notepad.exe", nullptr, message,
                                         ui_result_cch));
    EXPECT_STREQ(message, L"认证成功");

    ASSERT_EQ(host.cb_received(), 3912u);
    UiAuthRequest expected;
    build_ui_request(&r, L"C:\\Windows\\notepad.exe", L"", &expected);
    text_copy(expected.challenge_id, L"c0ffee42");  // the broker's own push
    text_copy(expected.passcode, L"428571");
    EXPECT_EQ(bytes_of(&host.received, sizeof host.received), bytes_of(&expected, sizeof expected));
    EXPECT_EQ(log_text(settings), L"");  // a listening host: nothing started, nothing logged
    EXPECT_EQ(fake_push.requests, 1);
    EXPECT_STREQ(fake_push.polled_id, L"c0ffee42");
}

TEST_F(UiBrokerRound, DenialCarriesTheDialogText) {
    FakeHost host(FakeAnswer::deny, L"用户取消");
    UiBrokerOptions options = options_for(host);
    Rule r = rule_with(L"git", L"totp");
    EXPECT_FALSE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\git\\git.exe", L"push --force", message,
                                          ui_result_cch));
    EXPECT_STREQ(message, L"用户取消");
    ASSERT_EQ(host.cb_received(), 3912u);
    EXPECT_STREQ(host.received.detail, L"push --force");
}

TEST_F(UiBrokerRound, ShortReplyIsNoReply) {
    FakeHost host(FakeAnswer::short_reply);  // its 100 bytes say approved
    UiBrokerOptions options = options_for(host);
    Rule r = rule_with(L"x", L"push");
    EXPECT_FALSE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, message, ui_result_cch));
    EXPECT_STREQ(message, L"等待认证结果超时，默认拒绝");
}

TEST_F(UiBrokerRound, SilentHostIsRefusedAtTheBound) {
    FakeHost host(FakeAnswer::silent);
    UiBrokerOptions options = options_for(host, 400);
    Rule r = rule_with(L"x", L"totp");
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, message, ui_result_cch));
    ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_STREQ(message, L"等待认证结果超时，默认拒绝");
    EXPECT_GE(elapsed, 390u);
    EXPECT_LT(elapsed, 5000u);
    EXPECT_EQ(host.cb_received(), 3912u);
}

TEST_F(UiBrokerRound, UntrustedServerNeverSeesTheRequest) {
    FakeHost host(FakeAnswer::approve_wrong_magic);
    UiBrokerOptions options = options_for(host);
    options.trusted_host_path = L"C:\\Program Files\\Sentrel\\SentrelUI.exe";
    Rule r = rule_with(L"x", L"push");
    EXPECT_FALSE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, message, ui_result_cch));
    EXPECT_STREQ(message, L"认证界面不可信，默认拒绝");
    EXPECT_EQ(host.cb_received(), 0u);
    EXPECT_EQ(fake_push.requests, 0);  // nobody's phone is asked for a host we refuse

    wchar_t expected[1200];
    text_format(expected, 1200, L"] UI pipe server not trusted (image): pid=%lu session=%lu image=%s\r\r\n",
                GetCurrentProcessId(), static_cast<unsigned long>(session), self);
    EXPECT_NE(log_text(settings).find(expected), std::wstring::npos) << log_text(settings);
}

TEST_F(UiBrokerRound, NoHostAfterStartAttemptIsNotConnected) {
    std::wstring missing = tmp.file(L"SentrelUI.exe");
    UiBrokerOptions options = {L"\\\\.\\pipe\\SentrelUI_test_nobody", self, missing.c_str(), 10000, 300, 5000, nullptr};
    Rule r = rule_with(L"x", L"push");
    wchar_t small[8];
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, small, 8));
    ULONGLONG waited = GetTickCount64() - start;
    EXPECT_GE(waited, 290u);   // the start-up wait
    EXPECT_LT(waited, 4000u);  // but no longer: nothing started, so nothing is still starting
    EXPECT_STREQ(small, L"无法连接认证界");

    // The start in the user's session failed and was logged (Wine grants the session token).
    std::wstring log = log_text(settings);
    EXPECT_NE(log.find(L"] UI CreateProcessAsUserW failed: 2 session="), std::wstring::npos) << log;

    options.host_path = nullptr;  // nothing to start: refused at once
    EXPECT_FALSE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, message, ui_result_cch));
    EXPECT_STREQ(message, L"无法连接认证界面，默认拒绝");
}

TEST_F(UiBrokerRound, AdminApprovalLeavesCallerBufferAlone) {
    FakeHost host(FakeAnswer::approve_wrong_magic);
    UiBrokerOptions options = options_for(host);
    text_copy(settings.admin_auth_mode, L"email");
    wchar_t caller[ui_result_cch] = L"unchanged";
    EXPECT_TRUE(authenticate_admin_with(&options, session, &settings, L"Uninstall", caller, ui_result_cch));
    EXPECT_STREQ(caller, L"unchanged");
    ASSERT_EQ(host.cb_received(), 3912u);
    EXPECT_EQ(host.received.mode, 4u);
    EXPECT_STREQ(host.received.challenge_id, L"msg-1");  // the broker had the code sent
    EXPECT_STREQ(host.received.title, L"Uninstall");
    EXPECT_STREQ(host.received.target, L"管理操作");
    EXPECT_STREQ(host.received.detail, L"");
}

TEST_F(UiBrokerRound, AdminRefusalFillsCallerBuffer) {
    FakeHost host(FakeAnswer::deny, L"User cancelled");
    UiBrokerOptions options = options_for(host);
    wchar_t caller[ui_result_cch] = L"unchanged";
    EXPECT_FALSE(authenticate_admin_with(&options, session, &settings, L"Open Console", caller, ui_result_cch));
    EXPECT_STREQ(caller, L"User cancelled");
    ASSERT_EQ(host.cb_received(), 3912u);
    EXPECT_EQ(host.received.mode, 1u);  // admin_auth_mode empty

    options.pipe_name = L"\\\\.\\pipe\\SentrelUI_test_nobody";
    wchar_t none[4] = L"abc";
    EXPECT_FALSE(authenticate_admin_with(&options, session, &settings, L"Open Console", none, 0));
    EXPECT_STREQ(none, L"abc");
}

// --- whose host is trusted: the system's answers faked ---------------------------------------------
//
// Wine runs every process in one session as one user, so the session and user checks are shown
// here with fakes of the three system questions: who is logged on in the session, who serves the
// pipe, and starting a host.

namespace {

AccountSid account(const wchar_t* sid_text) {
    AccountSid out = {};
    PSID sid = nullptr;
    if (ConvertStringSidToSidW(sid_text, &sid)) {
        out.cb = GetLengthSid(sid);
        memcpy(out.sid, sid, out.cb);
        LocalFree(sid);
    }
    return out;
}

struct FakeSystem {
    uint32_t logged_on_session = 3;
    AccountSid session_user = account(L"S-1-5-21-1-2-3-1001");
    bool facts_known = true;
    UiServerFacts facts = {};
    int user_asks = 0;
    int starts = 0;
    uint32_t started_session = 0;
    AccountSid started_user = {};

    static bool session_user_of(void* state, uint32_t session, AccountSid* user) {
        FakeSystem* f = static_cast<FakeSystem*>(state);
        ++f->user_asks;
        if (session != f->logged_on_session) return false;
        *user = f->session_user;
        return true;
    }
    static bool server_facts(void* state, void*, const wchar_t*, UiServerFacts* facts) {
        FakeSystem* f = static_cast<FakeSystem*>(state);
        *facts = f->facts;
        return f->facts_known;
    }
    static void* start_host(void* state, const Settings*, uint32_t session, const AccountSid* user, const wchar_t*) {
        FakeSystem* f = static_cast<FakeSystem*>(state);
        ++f->starts;
        f->started_session = session;
        f->started_user = *user;
        return nullptr;  // nothing really started
    }
    UiSystemPorts ports = {this, session_user_of, server_facts, start_host};

    // The pipe's server as our own host would be: our image, the round's session, its user.
    void serve_as_genuine_host() {
        facts_known = true;
        facts = UiServerFacts{};
        facts.pid = 4711;
        facts.image_ours = true;
        facts.session = logged_on_session;
        facts.user = session_user;
        text_copy(facts.image, L"C:\\Program Files\\Sentrel\\SentrelUI.exe");
    }
};

class UiBrokerTrust : public ::testing::Test {
protected:
    void SetUp() override {
        text_format(settings.log_file, 1024, L"%s\\logs\\sentrel.log", tmp.path);
        system.serve_as_genuine_host();
    }
    UiBrokerOptions options_for(const wchar_t* pipe_name, const wchar_t* host_path = nullptr) {
        return UiBrokerOptions{pipe_name, L"C:\\Program Files\\Sentrel\\SentrelUI.exe", host_path, 10000, 0, 0,
                               nullptr, &system.ports, &fake_code_calls};
    }
    bool round(const UiBrokerOptions& options, uint32_t session) {
        Rule r = rule_with(L"git", L"totp");
        return authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\git\\git.exe", L"push", message,
                                        ui_result_cch);
    }

    TempFolder tmp;
    Settings settings = {};
    FakeSystem system;
    wchar_t message[ui_result_cch] = L"";
};

constexpr const wchar_t* text_no_user = L"目标会话中没有登录的用户，无法显示认证界面，默认拒绝";

}  // namespace

TEST(UiBrokerRecords, EachSessionHasItsOwnPipe) {
    wchar_t name[ui_pipe_name_cch] = L"untouched";
    ASSERT_TRUE(ui_pipe_name_for(1, name, ui_pipe_name_cch));
    EXPECT_STREQ(name, L"\\\\.\\pipe\\SentrelUI.1");
    ASSERT_TRUE(ui_pipe_name_for(4294967294u, name, ui_pipe_name_cch));
    EXPECT_STREQ(name, L"\\\\.\\pipe\\SentrelUI.4294967294");
    wchar_t small[8] = L"kept";
    EXPECT_FALSE(ui_pipe_name_for(1, small, 8));
    EXPECT_STREQ(small, L"kept");
}

// Session 0 holds only services and "no session" nobody: no user is even asked for, nothing is
// started, and the refusal says why.
TEST_F(UiBrokerTrust, NoRoundInSessionZeroOrWithoutASession) {
    UiBrokerOptions options = options_for(L"\\\\.\\pipe\\SentrelUI_test_nobody", L"C:\\x\\SentrelUI.exe");
    for (uint32_t session : {0u, ui_no_session}) {
        EXPECT_FALSE(round(options, session));
        EXPECT_STREQ(message, text_no_user);
    }
    EXPECT_EQ(system.user_asks, 0);
    EXPECT_EQ(system.starts, 0);
    std::wstring log = log_text(settings);
    EXPECT_NE(log.find(L"] UI get user token failed session=0\r"), std::wstring::npos) << log;
    EXPECT_NE(log.find(L"] UI get user token failed session=4294967295\r"), std::wstring::npos) << log;
}

// Nobody logged on in the round's session, or a service account said to be its user: refused at
// once, and no host is started (never as LocalSystem, never as anyone else).
TEST_F(UiBrokerTrust, NobodyToAskIsRefusedAtOnceWithoutAStart) {
    UiBrokerOptions options = options_for(L"\\\\.\\pipe\\SentrelUI_test_nobody", L"C:\\x\\SentrelUI.exe");
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(round(options, 4));  // logged on is session 3 only
    EXPECT_STREQ(message, text_no_user);

    for (const wchar_t* service : {L"S-1-5-18", L"S-1-5-19", L"S-1-5-20"}) {
        system.session_user = account(service);
        EXPECT_FALSE(round(options, 3)) << service;
        EXPECT_STREQ(message, text_no_user);
    }
    EXPECT_LT(GetTickCount64() - start, 2000u);
    EXPECT_EQ(system.starts, 0);
    EXPECT_NE(log_text(settings).find(L"] UI get user token failed session=4\r"), std::wstring::npos);
}

// A host is started only in the round's session and as that session's user.
TEST_F(UiBrokerTrust, TheHostIsStartedInTheRoundsSessionAsItsUser) {
    UiBrokerOptions options = options_for(L"\\\\.\\pipe\\SentrelUI_test_nobody", L"C:\\x\\SentrelUI.exe");
    EXPECT_FALSE(round(options, 3));
    EXPECT_STREQ(message, L"无法连接认证界面，默认拒绝");
    EXPECT_EQ(system.starts, 1);
    EXPECT_EQ(system.started_session, 3u);
    EXPECT_TRUE(same_account(&system.started_user, &system.session_user));
}

// Our own image is not enough: the host must serve the round's session, as that session's user.
// Whatever else serves the pipe never sees the request.
TEST_F(UiBrokerTrust, OnlyOurHostInTheRoundsSessionAsItsUserSeesTheRequest) {
    struct Case {
        const wchar_t* what;
        void (*change)(FakeSystem*);
        const wchar_t* log_word;
    };
    const Case cases[] = {
        {L"another image", [](FakeSystem* f) { f->facts.image_ours = false; }, L"(image)"},
        {L"another session", [](FakeSystem* f) { f->facts.session = 2; }, L"(session)"},
        {L"session unknown", [](FakeSystem* f) { f->facts.session = ui_no_session; }, L"(session)"},
        {L"another user", [](FakeSystem* f) { f->facts.user = account(L"S-1-5-21-1-2-3-1002"); }, L"(user)"},
        {L"LocalSystem", [](FakeSystem* f) { f->facts.user = account(L"S-1-5-18"); }, L"(user)"},
        {L"user unknown", [](FakeSystem* f) { f->facts.user = AccountSid{}; }, L"(user)"},
        {L"nothing known", [](FakeSystem* f) { f->facts_known = false; }, L"(image)"},
    };
    for (const Case& c : cases) {
        FakeHost host(FakeAnswer::approve_wrong_magic);
        system.serve_as_genuine_host();
        c.change(&system);
        UiBrokerOptions options = options_for(host.name);
        EXPECT_FALSE(round(options, 3)) << c.what;
        EXPECT_STREQ(message, L"认证界面不可信，默认拒绝") << c.what;
        EXPECT_EQ(host.cb_received(), 0u) << c.what;
        std::wstring expected = std::wstring(L"] UI pipe server not trusted ") + c.log_word;
        EXPECT_NE(log_text(settings).find(expected), std::wstring::npos) << c.what;
    }

    FakeHost host(FakeAnswer::approve_wrong_magic);
    system.serve_as_genuine_host();
    UiBrokerOptions options = options_for(host.name);
    EXPECT_TRUE(round(options, 3));
    EXPECT_EQ(host.cb_received(), 3912u);
    EXPECT_EQ(system.starts, 0);  // a host listened: nothing started
}

// The host's pipe descriptor, evaluated as Windows evaluates it: LocalSystem and administrators
// (the broker in the service and in the console) and the host's own user, who must add the pipe's
// instances; no other user, not even to read.
TEST(UiHostPipeSecurity, OnlyTheHostsUserAndAdministrators) {
    HANDLE raw = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
    OwnedHandle token(raw);
    AccountSid self = {};
    ASSERT_TRUE(token_account(token.get(), &self));
    wchar_t* self_text = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(self.sid, &self_text));
    wchar_t own[ui_host_pipe_sddl_cch];
    wchar_t other[ui_host_pipe_sddl_cch];
    ASSERT_TRUE(ui_host_pipe_sddl(self_text, own, ui_host_pipe_sddl_cch));
    LocalFree(self_text);
    ASSERT_TRUE(ui_host_pipe_sddl(L"S-1-5-21-1-2-3-1001", other, ui_host_pipe_sddl_cch));

    const DWORD read_write = FILE_READ_DATA | FILE_WRITE_DATA;
    // The host's own user, also as a standard user: reads, writes and adds instances.
    EXPECT_EQ(granted_file_access(own, TestUser::standard_user, GENERIC_READ | GENERIC_WRITE) & read_write, read_write);
    EXPECT_NE(granted_file_access(own, TestUser::standard_user, FILE_CREATE_PIPE_INSTANCE), 0u);
    // A host of another user: a standard user gets nothing, an administrator reads and writes.
    for (DWORD asked : {DWORD(GENERIC_READ), DWORD(FILE_READ_DATA), DWORD(GENERIC_WRITE), DWORD(FILE_CREATE_PIPE_INSTANCE)})
        EXPECT_EQ(granted_file_access(other, TestUser::standard_user, asked), 0u) << std::hex << asked;
    EXPECT_EQ(granted_file_access(other, TestUser::administrator, GENERIC_READ | GENERIC_WRITE) & read_write, read_write);

    wchar_t small[16] = L"kept";
    EXPECT_FALSE(ui_host_pipe_sddl(L"S-1-5-21-1-2-3-1001", small, 16));
    EXPECT_STREQ(small, L"kept");
}

// A dialog host made to say yes (or a forged reply) approves a push only when the broker's own
// poll of its own challenge says approved.
TEST_F(UiBrokerRound, PushApprovalCountsOnlyWhenTheBrokersPollSaysApproved) {
    Rule r = rule_with(L"记事本", L"push");
    const struct Case {
        std::vector<const wchar_t*> statuses;
        bool approved;
        int polls;
        const wchar_t* text;
    } cases[] = {
        {{L"pending"}, false, 3, L"推送未经服务器确认，默认拒绝"},
        {{L"rejected"}, false, 1, L"推送未经服务器确认，默认拒绝"},
        {{L"pending", L"expired"}, false, 2, L"推送未经服务器确认，默认拒绝"},
        {{poll_fails}, false, 3, L"无法向服务器确认推送结果，默认拒绝"},
        {{poll_fails, L"pending", L"APPROVED"}, true, 3, L"认证成功"},  // a slow or flaky server
        {{L"approved"}, true, 1, L"认证成功"},
    };
    for (const Case& c : cases) {
        fake_push = FakePush{};
        fake_push.statuses = c.statuses;
        FakeHost host(FakeAnswer::approve_wrong_magic);
        UiBrokerOptions options = options_for(host);
        EXPECT_EQ(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, message, ui_result_cch),
                  c.approved)
            << c.polls;
        EXPECT_STREQ(message, c.text);
        EXPECT_EQ(fake_push.polls, c.polls);
        EXPECT_STREQ(fake_push.polled_id, L"c0ffee42");
        ASSERT_EQ(host.cb_received(), 3912u);
        EXPECT_STREQ(host.received.challenge_id, L"c0ffee42");
        EXPECT_STREQ(host.received.passcode, L"428571");
        EXPECT_STREQ(host.received.destination, L"");
    }
    std::wstring log = log_text(settings);
    EXPECT_NE(log.find(L"] UI push approval not confirmed by the server: pending\r\r\n"), std::wstring::npos) << log;
    EXPECT_NE(log.find(L"] UI push approval not confirmed by the server: 接收响应失败: 12002\r\r\n"),
              std::wstring::npos)
        << log;
}

// While the dialog shows the passcode, the broker's own polls decide; the host is never asked.
TEST_F(UiBrokerRound, PushIsDecidedByTheBrokersPollsWhileTheDialogIsShown) {
    const UiPushCalls quick = {fake_request, fake_poll, 0, 10};
    Rule r = rule_with(L"记事本", L"push");
    const struct Case {
        std::vector<const wchar_t*> statuses;
        bool approved;
        int polls;
        const wchar_t* text;
    } cases[] = {
        {{L"pending", L"pending", L"approved"}, true, 3, L"认证成功"},
        {{L"pending", L"rejected"}, false, 2, L"推送未经服务器确认，默认拒绝：rejected"},
        {{poll_fails, poll_fails, L"pending", poll_fails, poll_fails, poll_fails}, false, 6,
         L"无法向服务器确认推送结果，默认拒绝：接收响应失败: 12002"},  // three failures in a row
    };
    for (const Case& c : cases) {
        fake_push = FakePush{};
        fake_push.statuses = c.statuses;
        FakeHost host(FakeAnswer::silent);
        UiBrokerOptions options = options_for(host);
        options.push_calls = &quick;
        EXPECT_EQ(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, message, ui_result_cch),
                  c.approved);
        EXPECT_STREQ(message, c.text);
        EXPECT_EQ(fake_push.polls, c.polls);
    }
}

TEST_F(UiBrokerRound, PushRefusedByTheDialogIsNotPolled) {
    FakeHost host(FakeAnswer::deny, L"Request rejected on phone");
    UiBrokerOptions options = options_for(host);
    Rule r = rule_with(L"x", L"push");
    EXPECT_FALSE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, message, ui_result_cch));
    EXPECT_STREQ(message, L"Request rejected on phone");
    EXPECT_EQ(fake_push.requests, 1);
    EXPECT_EQ(fake_push.polls, 0);
}

TEST_F(UiBrokerRound, FailedPushRequestAsksNoDialog) {
    Rule r = rule_with(L"x", L"push");
    {
        fake_push.request_ok = false;
        FakeHost host(FakeAnswer::approve_wrong_magic);
        UiBrokerOptions options = options_for(host);
        EXPECT_FALSE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, message, ui_result_cch));
        EXPECT_STREQ(message, L"推送请求失败，默认拒绝：Push挑战失败, HTTP:503 响应:down");
        EXPECT_EQ(host.cb_received(), 0u);  // the host never saw a request
    }
    {
        fake_push = FakePush{};
        fake_push.id = L"";  // a 200 answer without a challenge id
        FakeHost host(FakeAnswer::approve_wrong_magic);
        UiBrokerOptions options = options_for(host);
        EXPECT_FALSE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, message, ui_result_cch));
        EXPECT_STREQ(message, L"推送请求失败，默认拒绝：服务器未返回 challenge_id");
        EXPECT_EQ(host.cb_received(), 0u);
    }
    std::wstring log = log_text(settings);
    EXPECT_NE(log.find(L"] UI push request failed: Push挑战失败, HTTP:503 响应:down\r\r\n"), std::wstring::npos) << log;
}

// The push names the person at the dialog: mfa_username, else the account of the host process
// (here our own, as the fake host runs in this process), never just the caller's account.
TEST_F(UiBrokerRound, PushIsForTheConfiguredUserOrTheHostsAccount) {
    Rule r = rule_with(L"x", L"push");
    wchar_t account[128] = L"";
    DWORD cch = 128;
    ASSERT_TRUE(GetUserNameW(account, &cch));
    {
        FakeHost host(FakeAnswer::approve_wrong_magic);
        UiBrokerOptions options = options_for(host);
        EXPECT_TRUE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, message, ui_result_cch));
        std::wstring user = fake_push.request_user;  // DOMAIN\\user
        ASSERT_NE(user.find(L'\\'), std::wstring::npos) << user;
        EXPECT_EQ(user.substr(user.find(L'\\') + 1), account);
    }
    {
        text_copy(settings.mfa_username, L"alice");
        FakeHost host(FakeAnswer::approve_wrong_magic);
        UiBrokerOptions options = options_for(host);
        EXPECT_TRUE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, message, ui_result_cch));
        EXPECT_STREQ(fake_push.request_user, L"alice");
    }
}

TEST_F(UiBrokerRound, CodeModesAreCheckedByTheBrokerWithoutAPush) {
    for (const wchar_t* mode : {L"totp", L"sms", L"email", L""}) {
        FakeHost host(FakeAnswer::approve_wrong_magic);
        UiBrokerOptions options = options_for(host);
        Rule r = rule_with(L"x", mode);
        EXPECT_TRUE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, message, ui_result_cch));
        ASSERT_EQ(host.cb_received(), 3912u);
        bool message_mode = ui_mode_code(mode) == ui_mode_sms || ui_mode_code(mode) == ui_mode_email;
        EXPECT_STREQ(host.received.challenge_id, message_mode ? L"msg-1" : L"");
        EXPECT_STREQ(host.received.destination, message_mode ? L"+86****0000" : L"");
        EXPECT_STREQ(host.received.passcode, L"");
    }
    EXPECT_EQ(fake_push.requests + fake_push.polls, 0);

    // The same approving host with no way to check its code: refused.
    FakeHost host(FakeAnswer::approve_wrong_magic);
    UiBrokerOptions options = options_for(host);
    options.code_calls = nullptr;  // the MFA client's calls, with no server configured
    Rule r = rule_with(L"x", L"totp");
    EXPECT_FALSE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, message, ui_result_cch));
    EXPECT_STREQ(message, L"server_url/api_key 未配置");
}

// A host that drops a client silent for too long (the push request can take the transport's
// timeouts) is asked again once it listens: the same host process, so the push is still its user's.
TEST_F(UiBrokerRound, HostThatDroppedTheClientDuringThePushRequestIsAskedAgain) {
    OwnedHandle requested(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OwnedHandle proceed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    fake_push.requested = requested.get();
    fake_push.proceed = proceed.get();
    FakeHost host(FakeAnswer::drop_first_then_approve);
    UiBrokerOptions options = options_for(host);
    Rule r = rule_with(L"x", L"push");
    EXPECT_TRUE(authenticate_via_ui_with(&options, session, &settings, &r, L"C:\\x.exe", nullptr, message, ui_result_cch));
    EXPECT_STREQ(message, L"认证成功");
    ASSERT_EQ(host.cb_received(), 3912u);
    EXPECT_STREQ(host.received.challenge_id, L"c0ffee42");
    EXPECT_EQ(fake_push.requests, 1);  // one push, not a second one for the second connection
}

// --- the shipped start path, with the test dialog host installed as SentrelUI.exe -----------------

namespace {

class UiBrokerHostMachineWide : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t built[1024] = L"";
        ASSERT_TRUE(path_beside_exe(L"test_dialog_host.exe", built, 1024));
        host = tmp.file(L"SentrelUI.exe");
        ASSERT_TRUE(CopyFileW(built, host.c_str(), FALSE)) << "test_dialog_host.exe belongs beside the tests";
        text_format(settings.log_file, 1024, L"%s\\logs\\sentrel.log", tmp.path);
    }
    // The broker started the host and does not track it: it is found by its unique image path and
    // ended by its process id. A host still starting may not show its image yet, so the search goes
    // on until the host's single-instance mutex is gone (a host left behind would also hold the
    // test's output open and stall the test runner).
    void TearDown() override {
        for (int attempt = 0; attempt < 50; ++attempt) {
            end_hosts();
            OwnedHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, ui_host_mutex_name));
            if (!mutex) return;
            Sleep(100);
        }
        ADD_FAILURE() << "a dialog host outlived the test";
    }
    void end_hosts() {
        OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
            OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                            entry.th32ProcessID));
            wchar_t image[1024];
            DWORD cch = 1024;
            if (!process || !QueryFullProcessImageNameW(process.get(), 0, image, &cch) || _wcsicmp(image, host.c_str()))
                continue;
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 5000);
        }
    }
    DWORD run_host(const wchar_t* arguments) {
        wchar_t command_line[1100];
        text_format(command_line, 1100, L"\"%s\"%s", host.c_str(), arguments);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(nullptr, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            return 0xFFFFFFFF;
        OwnedHandle thread(info.hThread);
        OwnedHandle process(info.hProcess);
        DWORD code = 0xFFFFFFFE;  // still running after the wait
        if (WaitForSingleObject(process.get(), 10000) == WAIT_OBJECT_0) GetExitCodeProcess(process.get(), &code);
        return code;
    }
    std::wstring records() {
        std::string bytes = read_file_bytes(tmp.file(L"test_dialog_requests.txt"));
        std::wstring text(bytes.size(), L'\0');
        int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                                    static_cast<int>(text.size()));
        text.resize(n > 0 ? n : 0);
        return text;
    }

    TempFolder tmp;
    std::wstring host;
    uint32_t session = ui_own_session();
    Settings settings = {};
    wchar_t message[ui_result_cch] = L"";
};

// The host closes its instance after each reply and creates the next one: between the two the
// name does not exist and WaitNamedPipe fails at once, so it is asked again until it waits.
bool wait_until_listening(const wchar_t* pipe_name, DWORD limit_ms) {
    ULONGLONG start = GetTickCount64();
    while (!WaitNamedPipeW(pipe_name, 100)) {
        if (GetTickCount64() - start >= limit_ms) return false;
        Sleep(20);
    }
    return true;
}

}  // namespace

// One test: the host's pipe name and single-instance mutex are machine-wide.
TEST_F(UiBrokerHostMachineWide, StartsTheHostOnceWaitsForItsSlowStartAndIsServedInTurn) {
    ASSERT_TRUE(write_file_bytes(tmp.file(L"test_dialog_script.txt"), "approve\n# comment\ndeny 用户取消\nexit\n"));
    // A cold start slower than the start-up wait: the broker waits on while the host it started runs.
    ASSERT_TRUE(write_file_bytes(tmp.file(L"test_dialog_start_delay.txt"), "2500"));
    fake_push = FakePush{};
    UiBrokerOptions options = {nullptr, host.c_str(), host.c_str(), 20000, ui_start_wait_ms, 20000, &fake_push_calls, nullptr,
                               &fake_code_calls};
    wchar_t pipe_name[ui_pipe_name_cch];
    ASSERT_TRUE(ui_pipe_name_for(session, pipe_name, ui_pipe_name_cch));

    Rule program = rule_with(L"记事本", L"push");
    ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(authenticate_via_ui_with(&options, session, &settings, &program, L"C:\\Program Files\\App\\app.exe", nullptr,
                                         message, ui_result_cch));
    EXPECT_GE(GetTickCount64() - start, 2500u);
    EXPECT_STREQ(message, L"认证成功");
    std::wstring log = log_text(settings);
    EXPECT_NE(log.find(L"] UI launch via user token ok, session="), std::wstring::npos) << log;

    // The host serves one connection at a time; wait until it listens again, so this round finds
    // it instead of racing its next pipe instance.
    ASSERT_TRUE(wait_until_listening(pipe_name, 10000)) << "the host did not listen again within 10 s";
    Rule command = rule_with(L"git", L"SMS");
    EXPECT_FALSE(authenticate_via_ui_with(&options, session, &settings, &command, L"C:\\git\\git.exe", L"push \"a\"\tb", message,
                                          ui_result_cch));
    EXPECT_STREQ(message, L"用户取消");
    EXPECT_EQ(log_text(settings), log);  // the host was listening: nothing started, nothing logged

    EXPECT_EQ(run_host(L" --pipe"), 0u);  // a second host ends at once
    EXPECT_EQ(run_host(L""), 2u);         // and without --pipe it refuses to run

    ASSERT_TRUE(wait_until_listening(pipe_name, 10000)) << "the host did not listen again within 10 s";
    EXPECT_FALSE(authenticate_via_ui_with(&options, session, &settings, &command, L"C:\\git\\git.exe", nullptr, message,
                                          ui_result_cch));
    EXPECT_STREQ(message, L"等待认证结果超时，默认拒绝");  // the host ended without a reply

    std::wstring lines = records();
    EXPECT_NE(lines.find(L"\"mode\":2,\"title\":\"记事本\",\"target\":\"C:\\\\Program Files\\\\App\\\\app.exe\","
                         L"\"detail\":\"\",\"extras_zero\":false,\"padding_zero\":true,"
                         L"\"challenge_id\":\"c0ffee42\",\"passcode\":\"428571\"}\n"),
              std::wstring::npos)
        << lines;
    // The broker had the SMS code sent before it asked the dialog.
    EXPECT_NE(lines.find(L"\"mode\":3,\"title\":\"git\",\"target\":\"C:\\\\git\\\\git.exe\","
                         L"\"detail\":\"push \\\"a\\\"\\u0009b\",\"extras_zero\":false,\"padding_zero\":true,"
                         L"\"challenge_id\":\"msg-1\",\"passcode\":\"\"}\n"),
              std::wstring::npos)
        << lines;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L'\n'), 3);

    // Without the longer limit the same slow start gets the start-up wait only.
    options.start_limit_ms = 0;
    EXPECT_FALSE(authenticate_via_ui_with(&options, session, &settings, &program, L"C:\\app.exe", nullptr, message,
                                          ui_result_cch));
    EXPECT_STREQ(message, L"无法连接认证界面，默认拒绝");
}
