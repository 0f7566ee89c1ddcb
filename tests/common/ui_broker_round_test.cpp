// The broker decides every round itself: the decision table, and whole rounds against a scripted
// host on a pipe of its own with the MFA calls faked.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/policy.h"
#include "common/settings.h"
#include "common/text.h"
#include "common/ui_broker.h"
#include "tests/support/test_files.h"

namespace {

UiAuthReply answer_with(uint32_t approved, const wchar_t* code, const wchar_t* message = L"") {
    UiAuthReply a = {};
    a.magic = ui_auth_magic;
    a.approved = approved;
    text_copy(a.code, code);
    text_copy(a.message, message);
    return a;
}

std::wstring log_text(const Settings& s) {
    std::string bytes = read_file_bytes(s.log_file);
    std::wstring text(bytes.size(), L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                                static_cast<int>(text.size()));
    text.resize(n > 0 ? n : 0);
    return text;
}

size_t count_of(const std::wstring& text, const wchar_t* part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

// --- the decision table ----------------------------------------------------------------------------

TEST(UiBrokerDecision, OnlyTheServersWordPassesACode) {
    wchar_t text[ui_result_cch];
    const UiAuthReply cancel = answer_with(0, L"", L"User cancelled");
    const struct Case {
        uint32_t approved;
        bool code_given;
        UiCodeCheck check;
        int wrong_codes;
        const wchar_t* reason;
        UiCodeStep step;
        const wchar_t* text;
    } cases[] = {
        {1, true, UiCodeCheck::passed, 0, L"", UiCodeStep::passed, L"认证成功"},
        {1, true, UiCodeCheck::passed, 2, L"", UiCodeStep::passed, L"认证成功"},
        // approved alone, or any other value of the bit, passes nothing
        {1, false, UiCodeCheck::passed, 0, L"", UiCodeStep::refused, L"未收到验证码，默认拒绝"},
        {2, true, UiCodeCheck::passed, 0, L"", UiCodeStep::gave_up, L"User cancelled"},
        {0, true, UiCodeCheck::passed, 0, L"", UiCodeStep::gave_up, L"User cancelled"},
        {1, true, UiCodeCheck::wrong_code, 0, L"验证码错误或用户不存在", UiCodeStep::retry, L"验证码错误或用户不存在"},
        {1, true, UiCodeCheck::wrong_code, 1, L"", UiCodeStep::retry, L"验证码校验失败，默认拒绝"},
        {1, true, UiCodeCheck::wrong_code, 2, L"验证码错误或已过期", UiCodeStep::refused,
         L"验证码错误次数过多，默认拒绝：验证码错误或已过期"},
        {1, true, UiCodeCheck::failed, 0, L"发送请求失败: 12029", UiCodeStep::refused, L"发送请求失败: 12029"},
        {1, true, UiCodeCheck::failed, 0, L"", UiCodeStep::refused, L"验证码校验失败，默认拒绝"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ui_code_decide(c.approved, c.code_given, c.check, c.wrong_codes, c.reason, &cancel, text,
                                 ui_result_cch),
                  c.step)
            << c.approved << " " << c.wrong_codes;
        EXPECT_STREQ(text, c.text);
    }
    UiAuthReply silent_cancel = answer_with(0, L"");
    ui_code_decide(0, false, UiCodeCheck::failed, 0, nullptr, &silent_cancel, text, ui_result_cch);
    EXPECT_STREQ(text, L"用户取消或认证失败");
}

TEST(UiBrokerDecision, AnswerCodeIsDigitsInsideTheField) {
    wchar_t code[64] = L"kept";
    UiAuthReply a = answer_with(1, L"");
    EXPECT_FALSE(ui_answer_code(&a, code, 64));
    a = answer_with(1, L"12a456");
    EXPECT_FALSE(ui_answer_code(&a, code, 64));
    for (wchar_t& c : a.code) c = L'1';  // no terminator inside the field
    EXPECT_FALSE(ui_answer_code(&a, code, 64));
    EXPECT_STREQ(code, L"kept");
    a = answer_with(1, L"004211");
    EXPECT_TRUE(ui_answer_code(&a, code, 64));
    EXPECT_STREQ(code, L"004211");
}

TEST(UiBrokerDecision, HostTakesOnlyWholeRequestsWithEveryTextTerminated) {
    auto request = std::unique_ptr<UiAuthRequest>(new UiAuthRequest());
    Rule rule = {};
    text_copy(rule.display_name, L"cmd");
    build_ui_request(&rule, L"C:\\Windows\\System32\\cmd.exe", L"/c dir", request.get());
    EXPECT_TRUE(ui_request_accepted(request.get(), sizeof(UiAuthRequest)));
    EXPECT_FALSE(ui_request_accepted(request.get(), sizeof(UiAuthRequest) - 1));
    EXPECT_FALSE(ui_request_accepted(nullptr, sizeof(UiAuthRequest)));
    UiAuthRequest foreign = *request;
    foreign.magic = ui_verdict_magic;
    EXPECT_FALSE(ui_request_accepted(&foreign, sizeof foreign));
    // A text that fills its field would be read on into the next field (the last one past the record).
    struct Field {
        size_t offset;
        size_t cch;
    };
    const Field fields[] = {{offsetof(UiAuthRequest, title), 128},       {offsetof(UiAuthRequest, target), 1024},
                            {offsetof(UiAuthRequest, detail), 512},      {offsetof(UiAuthRequest, destination), 128},
                            {offsetof(UiAuthRequest, challenge_id), 128}, {offsetof(UiAuthRequest, passcode), 32}};
    for (size_t f = 0; f < 6; ++f) {
        UiAuthRequest copy = *request;
        wchar_t* field = reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(&copy) + fields[f].offset);
        for (size_t i = 0; i < fields[f].cch; ++i) field[i] = L'x';
        EXPECT_FALSE(ui_request_accepted(&copy, sizeof copy)) << f;
        field[fields[f].cch - 1] = L'\0';
        EXPECT_TRUE(ui_request_accepted(&copy, sizeof copy)) << f;
    }
}

TEST(UiBrokerDecision, VerdictRecordAndLanguageWord) {
    UiAuthReply v;
    memset(&v, 0xCC, sizeof v);
    build_ui_verdict(ui_verdict_retry, L"验证码错误", &v);
    EXPECT_EQ(v.magic, 0x54445653u);
    EXPECT_EQ(v.approved, 2u);
    EXPECT_STREQ(v.code, L"");
    EXPECT_EQ(std::wstring(v.code, 64), std::wstring(64, L'\0'));
    EXPECT_STREQ(v.message, L"验证码错误");

    EXPECT_EQ(ui_request_mode_word(ui_mode_sms, L"en-US"), 0x10003u);
    EXPECT_EQ(ui_request_mode_word(ui_mode_sms, L"zh-CN"), 3u);
    EXPECT_EQ(ui_request_mode_word(ui_mode_push, L"en-us"), 2u);  // exactly "en-US", as the table
    EXPECT_EQ(ui_request_mode_word(ui_mode_totp, nullptr), 1u);
    EXPECT_EQ(ui_request_mode(0x10004u), 4u);
    EXPECT_STREQ(ui_request_language(0x10004u), L"en-US");
    EXPECT_STREQ(ui_request_language(4u), L"zh-CN");
}

// --- whole rounds ------------------------------------------------------------------------------------

namespace {

// The MFA calls, faked: "123456" is the right code, anything else wrong; with server_down every
// check fails as an unreachable server does.
struct FakeMfa {
    bool server_down = false;
    bool request_ok = true;
    int checks = 0;
    int requests = 0;
    wchar_t user[128] = L"";
    wchar_t checked_id[128] = L"";
    wchar_t request_type[16] = L"";
    bool host_had_request_when_code_sent = false;
} fake_mfa;

UiCodeCheck fake_check(const Settings* s, const wchar_t* code, wchar_t* err, size_t cch_err) {
    ++fake_mfa.checks;
    text_copy(fake_mfa.user, s->mfa_username);
    if (fake_mfa.server_down) {
        text_copy(err, cch_err, L"发送请求失败: 12029");
        return UiCodeCheck::failed;
    }
    if (lstrcmpW(code, L"123456") == 0) return UiCodeCheck::passed;
    text_copy(err, cch_err, L"验证码错误或用户不存在");
    return UiCodeCheck::wrong_code;
}

UiCodeCheck fake_check_message(const Settings* s, const wchar_t* id, const wchar_t* code, wchar_t* err,
                               size_t cch_err) {
    text_copy(fake_mfa.checked_id, id);
    return fake_check(s, code, err, cch_err);
}

bool fake_request_message(const Settings* s, const wchar_t* type, wchar_t* id, size_t cch_id, wchar_t* dest,
                          size_t cch_dest, wchar_t* err, size_t cch_err) {
    ++fake_mfa.requests;
    text_copy(fake_mfa.user, s->mfa_username);
    text_copy(fake_mfa.request_type, type);
    if (!fake_mfa.request_ok) {
        text_copy(err, cch_err, L"验证码发送失败，HTTP 503");
        return false;
    }
    text_copy(id, cch_id, L"msg-7");
    text_copy(dest, cch_dest, L"+86****1234");
    return true;
}

const UiCodeCalls fake_code_calls = {fake_check, fake_request_message, fake_check_message};

struct Step {
    enum Kind { answer, twice, disconnect, garbage, silent } kind;
    UiAuthReply reply;
};

Step send(uint32_t approved, const wchar_t* code) { return {Step::answer, answer_with(approved, code)}; }

// The server end of a pipe of its own: reads the request, then plays its steps, reading the
// broker's verdict after every answer; it stops at a verdict that is not "retry".
class ScriptHost {
public:
    explicit ScriptHost(std::vector<Step> steps) : steps_(std::move(steps)) {
        static LONG counter = 0;
        text_format(name, 128, L"\\\\.\\pipe\\SentrelUI_round_%lu_%ld", GetCurrentProcessId(),
                    InterlockedIncrement(&counter));
        pipe_.reset(CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     1, sizeof(UiAuthReply), sizeof(UiAuthRequest), 0, nullptr));
        thread_.reset(CreateThread(nullptr, 0, run, this, 0, nullptr));
    }
    ~ScriptHost() {
        {  // a client that comes and goes ends a wait for a connection
            OwnedHandle wake(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        }
        WaitForSingleObject(thread_.get(), 10000);
    }
    ScriptHost(const ScriptHost&) = delete;
    ScriptHost& operator=(const ScriptHost&) = delete;

    // After the round: when the broker connected, the thread has ended by then.
    void finish() {
        if (connected_) WaitForSingleObject(done_.get(), 10000);
    }

    wchar_t name[128];
    UiAuthRequest received = {};
    DWORD cb_received = 0;
    std::vector<UiAuthReply> verdicts;

private:
    static DWORD WINAPI run(void* parameter) {
        auto* host = static_cast<ScriptHost*>(parameter);
        host->play();
        SetEvent(host->done_.get());
        return 0;
    }
    bool write(const void* bytes, DWORD cb) {
        DWORD written = 0;
        return WriteFile(pipe_.get(), bytes, cb, &written, nullptr) && written == cb;
    }
    bool read_verdict() {
        UiAuthReply v = {};
        DWORD cb = 0;
        if (!ReadFile(pipe_.get(), &v, sizeof v, &cb, nullptr) || cb != sizeof v) return false;
        verdicts.push_back(v);
        return v.approved == ui_verdict_retry;
    }
    void play() {
        HANDLE pipe = pipe_.get();
        bool connected = ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        connected_ = connected;
        if (!connected || !ReadFile(pipe, &received, sizeof received, &cb_received, nullptr)) return;
        for (const Step& step : steps_) {
            switch (step.kind) {
                case Step::answer:
                    if (!write(&step.reply, sizeof step.reply) || !read_verdict()) return wait_for_close();
                    break;
                case Step::twice:
                    write(&step.reply, sizeof step.reply);
                    write(&step.reply, sizeof step.reply);
                    while (read_verdict()) {
                    }
                    return wait_for_close();
                case Step::disconnect:
                    DisconnectNamedPipe(pipe);
                    return;
                case Step::garbage:
                    write(&step.reply, 100);
                    return wait_for_close();
                case Step::silent:
                    return wait_for_close();
            }
        }
        wait_for_close();
    }
    // Reads until the broker closes its end (it has what it needs by then).
    void wait_for_close() {
        char rest[sizeof(UiAuthReply)];
        DWORD cb = 0;
        while (ReadFile(pipe_.get(), rest, sizeof rest, &cb, nullptr)) {
        }
    }

    std::vector<Step> steps_;
    volatile bool connected_ = false;
    OwnedHandle pipe_;
    OwnedHandle done_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OwnedHandle thread_;
};

Rule rule_with(const wchar_t* mode) {
    Rule r = {};
    r.type = rule_type_program;
    r.enabled = 1;
    text_copy(r.display_name, L"app");
    text_copy(r.auth_mode, mode);
    return r;
}

class UiBrokerCodeRound : public ::testing::Test {
protected:
    void SetUp() override {
        text_format(settings.log_file, 1024, L"%s\\logs\\sentrel.log", tmp.path);
        GetModuleFileNameW(nullptr, self, 1024);
        fake_mfa = FakeMfa{};
    }
    bool round(ScriptHost& host, const wchar_t* mode, uint32_t timeout_ms = 10000, const AccountSid* starter = nullptr) {
        UiBrokerOptions options = {host.name, self, nullptr, timeout_ms, 0, 0, nullptr, nullptr, &fake_code_calls};
        Rule r = rule_with(mode);
        bool approved = authenticate_via_ui_with_starter(&options, ui_own_session(), starter, &settings, &r,
                                                         L"C:\\app.exe", nullptr, message, ui_result_cch);
        host.finish();
        return approved;
    }

    TempFolder tmp;
    Settings settings = {};
    wchar_t self[1024];
    wchar_t message[ui_result_cch] = L"";
};

}  // namespace

// A host that says approved without a code, or with a wrong one, never passes a round; the right
// code passes once the server says so, after at most two wrong ones in the same dialog.
TEST_F(UiBrokerCodeRound, ApprovedWithoutTheRightCodeIsRefused) {
    for (const wchar_t* mode : {L"totp", L"sms", L"email"}) {
        fake_mfa = FakeMfa{};
        ScriptHost host({send(1, L"")});
        EXPECT_FALSE(round(host, mode)) << mode;
        EXPECT_STREQ(message, L"未收到验证码，默认拒绝");
        EXPECT_EQ(fake_mfa.checks, 0);
        ASSERT_EQ(host.verdicts.size(), 1u);
        EXPECT_EQ(host.verdicts[0].magic, ui_verdict_magic);
        EXPECT_EQ(host.verdicts[0].approved, static_cast<uint32_t>(ui_verdict_refused));
    }
    ScriptHost host({send(1, L"654321"), send(1, L"111111"), send(1, L"222222"), send(1, L"123456")});
    EXPECT_FALSE(round(host, L"totp"));
    EXPECT_STREQ(message, L"验证码错误次数过多，默认拒绝：验证码错误或用户不存在");
    EXPECT_EQ(fake_mfa.checks, 3);
    ASSERT_EQ(host.verdicts.size(), 3u);  // the fourth code is never sent: the round is over
    EXPECT_EQ(host.verdicts[0].approved, static_cast<uint32_t>(ui_verdict_retry));
    EXPECT_STREQ(host.verdicts[0].message, L"验证码错误或用户不存在");
    EXPECT_EQ(host.verdicts[2].approved, static_cast<uint32_t>(ui_verdict_refused));

    // logged once, and no typed code anywhere in the log or the texts
    std::wstring log = log_text(settings);
    EXPECT_EQ(count_of(log, L"] UI code refused: too many wrong codes\r\r\n"), 1u) << log;
    for (const wchar_t* code : {L"654321", L"111111", L"222222"}) {
        EXPECT_EQ(log.find(code), std::wstring::npos);
        for (const UiAuthReply& v : host.verdicts) EXPECT_EQ(std::wstring(v.message).find(code), std::wstring::npos);
    }
}

TEST_F(UiBrokerCodeRound, RightCodeAfterTwoWrongOnesPassesInTheSameDialog) {
    ScriptHost host({send(1, L"000000"), send(1, L"999999"), send(1, L"123456")});
    EXPECT_TRUE(round(host, L"totp"));
    EXPECT_STREQ(message, L"认证成功");
    EXPECT_EQ(fake_mfa.checks, 3);
    ASSERT_EQ(host.verdicts.size(), 3u);
    EXPECT_EQ(host.verdicts[2].approved, static_cast<uint32_t>(ui_verdict_passed));
    EXPECT_EQ(host.cb_received, 3912u);
    EXPECT_EQ(host.received.mode, 1u);
    // the code is checked for the account at the host's end (this process's), not LocalSystem's,
    // named with its domain
    wchar_t account[128];
    DWORD cch = 128;
    ASSERT_TRUE(GetUserNameW(account, &cch));
    std::wstring user = fake_mfa.user;
    size_t slash = user.find(L'\\');
    ASSERT_NE(slash, std::wstring::npos) << user;
    EXPECT_GT(slash, 0u);
    EXPECT_EQ(user.substr(slash + 1), account);
}

TEST_F(UiBrokerCodeRound, MessageCodesAreRequestedByTheBrokerBeforeTheDialog) {
    text_copy(settings.mfa_username, L"CORP\\alice");
    text_copy(settings.language, L"en-US");
    ScriptHost host({send(1, L"123456")});
    EXPECT_TRUE(round(host, L"sms"));
    EXPECT_EQ(fake_mfa.requests, 1);
    EXPECT_STREQ(fake_mfa.request_type, L"sms");
    EXPECT_STREQ(fake_mfa.user, L"CORP\\alice");
    EXPECT_STREQ(fake_mfa.checked_id, L"msg-7");
    EXPECT_EQ(host.received.mode, 0x10003u);  // SMS, in English
    EXPECT_STREQ(host.received.challenge_id, L"msg-7");
    EXPECT_STREQ(host.received.destination, L"+86****1234");
    EXPECT_STREQ(host.received.passcode, L"");

    fake_mfa = FakeMfa{};
    fake_mfa.request_ok = false;
    ScriptHost refused({send(1, L"123456")});
    EXPECT_FALSE(round(refused, L"email"));
    EXPECT_STREQ(message, L"验证码发送失败，默认拒绝：验证码发送失败，HTTP 503");
    EXPECT_EQ(refused.cb_received, 0u);  // no dialog was asked
    EXPECT_EQ(fake_mfa.checks, 0);
}

TEST_F(UiBrokerCodeRound, ServerDownRefusesAtOnceWithItsText) {
    fake_mfa.server_down = true;
    ScriptHost host({send(1, L"123456"), send(1, L"123456")});
    EXPECT_FALSE(round(host, L"totp"));
    EXPECT_STREQ(message, L"发送请求失败: 12029");
    EXPECT_EQ(fake_mfa.checks, 1);
    ASSERT_EQ(host.verdicts.size(), 1u);
    EXPECT_EQ(host.verdicts[0].approved, static_cast<uint32_t>(ui_verdict_refused));
    EXPECT_STREQ(host.verdicts[0].message, L"发送请求失败: 12029");
}

TEST_F(UiBrokerCodeRound, CancelCarriesTheDialogsTextWithoutACheck) {
    ScriptHost host(std::vector<Step>{{Step::answer, answer_with(0, L"123456", L"User cancelled")}});
    EXPECT_FALSE(round(host, L"totp"));
    EXPECT_STREQ(message, L"User cancelled");
    EXPECT_EQ(fake_mfa.checks, 0);
    EXPECT_TRUE(host.verdicts.empty());
}

// Hosts that misbehave end their round refused within its bound, and the next round works.
TEST_F(UiBrokerCodeRound, MisbehavingHostsAreRefusedAndTheNextRoundWorks) {
    {
        ScriptHost host(std::vector<Step>{{Step::disconnect, {}}});
        EXPECT_FALSE(round(host, L"totp"));
        EXPECT_STREQ(message, L"等待认证结果超时，默认拒绝");
    }
    {
        ScriptHost host(std::vector<Step>{{Step::garbage, answer_with(1, L"123456")}});
        EXPECT_FALSE(round(host, L"totp"));
        EXPECT_STREQ(message, L"等待认证结果超时，默认拒绝");
        EXPECT_EQ(fake_mfa.checks, 0);
    }
    {
        ScriptHost host(std::vector<Step>{{Step::silent, {}}});
        ULONGLONG start = GetTickCount64();
        EXPECT_FALSE(round(host, L"totp", 400));
        EXPECT_GE(GetTickCount64() - start, 390u);
        EXPECT_STREQ(message, L"等待认证结果超时，默认拒绝");
    }
    {
        fake_mfa = FakeMfa{};
        ScriptHost host(std::vector<Step>{{Step::twice, answer_with(1, L"123456")}});  // the second answer is never read
        EXPECT_TRUE(round(host, L"totp"));
        EXPECT_EQ(fake_mfa.checks, 1);
    }
    ScriptHost host({send(1, L"123456")});
    EXPECT_TRUE(round(host, L"email"));
    EXPECT_STREQ(message, L"认证成功");
}

// With mfa_username empty the factor is the starter's; a program or command started as another
// account than the session's user is refused before any dialog, unless mfa_username names one.
TEST_F(UiBrokerCodeRound, TheFactorBelongsToTheStarter) {
    AccountSid self_account = {};
    ASSERT_TRUE(own_process_account(&self_account));
    {
        ScriptHost host({send(1, L"123456")});
        EXPECT_TRUE(round(host, L"totp", 10000, &self_account));
        EXPECT_NE(std::wstring(fake_mfa.user).find(L'\\'), std::wstring::npos) << fake_mfa.user;
    }
    AccountSid other = {};
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1002", &sid));
    other.cb = GetLengthSid(sid);
    CopySid(other.cb, other.sid, sid);
    LocalFree(sid);
    fake_mfa = FakeMfa{};
    {
        ScriptHost host({send(1, L"123456")});
        EXPECT_FALSE(round(host, L"sms", 10000, &other));
        EXPECT_STREQ(message, L"以其他账户启动；请设置 mfa_username 或以本人身份启动，默认拒绝");
        EXPECT_EQ(host.cb_received, 0u);  // no dialog, no code sent
        EXPECT_EQ(fake_mfa.requests + fake_mfa.checks, 0);
    }
    text_copy(settings.mfa_username, L"CORP\\alice");
    {
        ScriptHost host({send(1, L"123456")});
        EXPECT_TRUE(round(host, L"totp", 10000, &other));
        EXPECT_STREQ(fake_mfa.user, L"CORP\\alice");
    }
    EXPECT_EQ(count_of(log_text(settings), L"] UI round refused: started as another account than the session's user"), 1u);
}

TEST(UiBrokerDecision, WhoseFactor) {
    AccountSid a = {}, b = {};
    a.cb = b.cb = 12;
    a.sid[0] = b.sid[0] = 1;
    b.sid[11] = 9;
    EXPECT_EQ(ui_round_account(L"alice", &b, &a), UiAccount::configured);
    EXPECT_EQ(ui_round_account(L"", &a, &a), UiAccount::starter);
    EXPECT_EQ(ui_round_account(L"", &b, &a), UiAccount::other_account);
    EXPECT_EQ(ui_round_account(nullptr, nullptr, &a), UiAccount::host);
    AccountSid unknown = {};
    EXPECT_EQ(ui_round_account(L"", &unknown, &a), UiAccount::host);
}
