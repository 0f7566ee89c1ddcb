// The auth UI broker: the caller's side of the UI pipe. Every MFA a person has to pass is shown by
// the dialog host (SentrelUI.exe --pipe in that person's session); the broker makes sure a host
// listens (starting one when nothing does), sends one UiAuthRequest and then decides the round
// itself: the dialog only collects what the person does, and nothing the host says approves.
//
// Every round is shown in one session, which the caller names: the stopped program's, the
// runguard client's, or the console's own. Each session has its own host and its own pipe
// (\\.\pipe\SentrelUI.<session>); the host's single-instance mutex lives in the session's own
// namespace, so no user of another session can keep that session's host from starting.
//
// The exchange on one connection:
//   broker -> host  UiAuthRequest (mode with the settings' language, see ui_request_mode_word).
//                   SMS/e-mail: the broker has requested the code; challenge id and masked
//                   destination are in the request. Push: the broker's challenge id and passcode.
//   host -> broker  UiAuthReply "answer": approved 1 and the typed digits in code (a code to
//                   check), or approved 0 (the person cancelled or closed the dialog).
//   broker -> host  UiAuthReply "verdict" (magic ui_verdict_magic): passed, retry (a wrong code,
//                   the text says why, the dialog asks again) or refused (the dialog closes).
// The broker checks every code with the MFA server under its own settings, at most
// ui_code_attempts wrong codes per round; a push is decided by the broker's own polls. The host
// runs as the session's user, so any process of that user can drive it: its word is never enough.
//
// Before anything is written, the broker makes sure that the server end of the pipe is our own
// SentrelUI.exe from the executables' folder, running in the round's session as that session's
// user, so a request (with its challenge) reaches no other process. A host is started only in
// that session and only as its user: never as LocalSystem, never in session 0. With nobody logged
// on in the session the round is refused at once.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/process_identity.h"

struct Settings;
struct Rule;

constexpr const wchar_t* ui_pipe_name = L"\\\\.\\pipe\\SentrelUI";  // + "." + the session's number
constexpr const wchar_t* ui_host_file_name = L"SentrelUI.exe";
constexpr const wchar_t* ui_host_mutex_name = L"Local\\SentrelUIPipeSingleton";  // one host per session
constexpr uint32_t ui_no_session = 0xFFFFFFFF;
constexpr size_t ui_pipe_name_cch = 64;
constexpr const wchar_t* admin_auth_target = L"管理操作";
constexpr uint32_t ui_auth_magic = 0x534E5549;  // the bytes 49 55 4E 53 on the wire

enum UiAuthMode : uint32_t { ui_mode_totp = 1, ui_mode_push = 2, ui_mode_sms = 3, ui_mode_email = 4 };

// Texts are UTF-16LE, terminated inside their field, the rest of the field zero.
#pragma pack(push, 1)
struct UiAuthRequest {
    uint32_t magic;
    uint32_t mode;              // UiAuthMode
    wchar_t title[128];         // the rule's display name
    wchar_t target[1024];       // program or command path, or admin_auth_target
    wchar_t detail[512];        // command arguments; empty otherwise
    wchar_t destination[128];   // the broker sends it empty
    wchar_t challenge_id[128];  // the broker's own push (push mode only), else empty
    wchar_t passcode[32];
};

// An answer (host to broker) or a verdict (broker to host, magic ui_verdict_magic).
struct UiAuthReply {
    uint32_t magic;       // answer: set by the host, not examined by the broker
    uint32_t approved;    // answer: 1 a code to check, 0 the person gave up; verdict: UiVerdict
    wchar_t code[64];     // answer: the digits the user entered; empty for push and in a verdict
    wchar_t message[256]; // answer: the dialog's text; verdict: what the dialog shows
};
#pragma pack(pop)

static_assert(sizeof(wchar_t) == 2, "texts on the wire are UTF-16");
static_assert(sizeof(UiAuthRequest) == 3912, "UI auth request is 3912 bytes");
static_assert(offsetof(UiAuthRequest, mode) == 4, "layout");
static_assert(offsetof(UiAuthRequest, title) == 8, "layout");
static_assert(offsetof(UiAuthRequest, target) == 264, "layout");
static_assert(offsetof(UiAuthRequest, detail) == 2312, "layout");
static_assert(offsetof(UiAuthRequest, destination) == 3336, "layout");
static_assert(offsetof(UiAuthRequest, challenge_id) == 3592, "layout");
static_assert(offsetof(UiAuthRequest, passcode) == 3848, "layout");
static_assert(sizeof(UiAuthReply) == 648, "UI auth reply is 648 bytes");
static_assert(offsetof(UiAuthReply, approved) == 4, "layout");
static_assert(offsetof(UiAuthReply, code) == 8, "layout");
static_assert(offsetof(UiAuthReply, message) == 136, "layout");

constexpr uint32_t ui_verdict_magic = 0x54445653;  // the bytes 53 56 44 54 on the wire
enum UiVerdict : uint32_t { ui_verdict_refused = 0, ui_verdict_passed = 1, ui_verdict_retry = 2 };

// The request's mode word: the UiAuthMode in the low 16 bits, the dialog's language above them
// (ui_language_english set for "en-US", else Chinese), so the host needs no settings file.
constexpr uint32_t ui_language_english = 0x10000;
uint32_t ui_request_mode_word(uint32_t mode, const wchar_t* language);
uint32_t ui_request_mode(uint32_t mode_word);
const wchar_t* ui_request_language(uint32_t mode_word);  // "en-US" or "zh-CN"

constexpr int ui_code_attempts = 3;                  // wrong codes before a round is refused
constexpr uint32_t ui_push_poll_interval_ms = 2000;  // the broker's polls while a push dialog is shown
constexpr int ui_push_poll_failures = 3;             // failed polls in a row that end a push round
constexpr uint32_t ui_verdict_write_ms = 5000;

constexpr size_t ui_result_cch = 256;            // what every caller passes for the result text
constexpr uint32_t ui_reply_timeout_ms = 300000;  // the user has five minutes
constexpr uint32_t ui_start_wait_ms = 800;        // time given to a freshly started host
constexpr uint32_t ui_start_limit_ms = 15000;     // ... and, while it is still running, at most this

// --- pure functions ---

// "\\.\pipe\SentrelUI.<session>": the pipe of the session's dialog host. False (out untouched)
// when it does not fit.
bool ui_pipe_name_for(uint32_t session, wchar_t* out, size_t cch_out);
// A dialog can be shown in the session at all: not session 0 (services only), not "no session".
bool ui_session_can_show(uint32_t session);
// The descriptor of the host's pipe: LocalSystem full access, administrators and the host's own
// user (user_sid, in SDDL form: it must be allowed to add the pipe's instances) read and write,
// nobody else; network logons denied. False (out untouched) when it does not fit.
bool ui_host_pipe_sddl(const wchar_t* user_sid, wchar_t* out, size_t cch_out);
constexpr size_t ui_host_pipe_sddl_cch = 256;

// The rule's auth_mode, ignoring case: "push" 2, "sms" 3, "email" 4, anything else (empty too) 1.
uint32_t ui_mode_code(const wchar_t* auth_mode);
// The whole request, every byte not set here zero. Title keeps at most 127 characters, target
// 1023, detail 511. A null rule, target or detail counts as empty.
void build_ui_request(const Rule* rule, const wchar_t* target, const wchar_t* detail, UiAuthRequest* out);

// How far one round on the pipe got.
enum class UiRound {
    no_user,        // nobody is logged on in the round's session (or it is session 0): nothing tried
    not_connected,  // the pipe was still not open after the start attempt
    untrusted,      // the pipe's server is not our dialog host
    send_failed,    // the request was not written whole
    no_reply,       // no whole reply in time (a short reply included)
    replied,        // a whole reply arrived: the host's answer, which approves nothing by itself
};
// The refusal of a round that went this far, its text copied (bounded) into message: nothing is
// written with no buffer or capacity 0, an empty text with a capacity of 2^31 or more. For a
// replied round the reply's text (or "用户取消或认证失败") whatever its approved bit: only the
// broker's own check passes a round. reply is read only when the round is replied. Always false.
bool ui_round_result(UiRound round, const UiAuthReply* reply, wchar_t* message, size_t cch_message);
// A round the broker's own check passed: "认证成功" into message, true.
bool ui_round_passed(wchar_t* message, size_t cch_message);

// The host's reading of a request: cb is how many bytes were read. True only for one whole record
// with the request magic whose every text is terminated inside its field.
bool ui_request_accepted(const UiAuthRequest* request, size_t cb);

// --- the broker's decision on a typed code ---

// What the MFA server said of one code (mirrors MfaCheck of the MFA client).
enum class UiCodeCheck { passed, wrong_code, failed };
// What follows an answer of the host in a code mode.
enum class UiCodeStep {
    passed,   // verdict passed, round approved
    retry,    // verdict retry: a wrong code, the next answer is awaited
    refused,  // verdict refused, round refused
    gave_up,  // the person cancelled or closed the dialog: no verdict, round refused
};
// The broker's decision table. approved: the answer's bit. code_given: it carried a usable code
// (ui_answer_code). check and reason: what the server said of it (read only with a code).
// wrong_codes: wrong codes before this one. text receives the round's (or the retry's) text: the
// server's reason, the dialog's text for gave_up, or one of the broker's own.
UiCodeStep ui_code_decide(uint32_t approved, bool code_given, UiCodeCheck check, int wrong_codes,
                          const wchar_t* reason, const UiAuthReply* answer, wchar_t* text, size_t cch_text);
// The code of an answer: digits only, 1 to 63 of them (the field may lack a terminator). False
// (out untouched) for anything else.
bool ui_answer_code(const UiAuthReply* answer, wchar_t* out, size_t cch_out);
// A verdict record: magic, the verdict, the text (bounded), code empty.
void build_ui_verdict(UiVerdict verdict, const wchar_t* text, UiAuthReply* out);
// The refusal when the broker could not have the SMS or e-mail code sent: no dialog is shown.
void ui_message_request_failed(const wchar_t* reason, wchar_t* message, size_t cch_message);

// --- push approvals, decided by the broker ---
//
// For a push the broker requests the push itself, sends its challenge id and passcode in the
// request (the dialog only shows the passcode and waits), and polls the challenge while the dialog
// is shown: approved ends the round approved, rejected or expired refused. An approving answer of
// the host counts only when the broker's own poll of that challenge says approved.

// What one of the broker's polls saw: the call failed (no answer, or not HTTP 200), or the status
// "approved", "rejected"/"expired" (any case), or anything else (the challenge is still open).
enum class PushSeen { approved, open, refused, unreachable };
PushSeen ui_push_seen(bool call_ok, const wchar_t* status);
// After polls_done polls, the last of which saw this: an open or unreachable challenge is asked
// again, up to ui_push_confirm_polls polls in all, ui_push_confirm_interval_ms apart.
constexpr int ui_push_confirm_polls = 3;
constexpr uint32_t ui_push_confirm_interval_ms = 1500;
bool ui_push_poll_again(PushSeen seen, int polls_done);
// The result of a push round whose host answered: an approving answer counts only when the
// broker's own poll saw the challenge approved; otherwise it is refused with the broker's text
// (or, for a refusing answer, the dialog's). seen is read only for an approving reply.
bool ui_push_round_result(UiRound round, const UiAuthReply* reply, PushSeen seen, wchar_t* message,
                          size_t cch_message);
// The refusal of a push the broker's polls saw refused ("rejected", "expired") or could not reach
// (error the last call's text).
void ui_push_refusal_text(PushSeen seen, const wchar_t* status, const wchar_t* error, wchar_t* out, size_t cch_out);
// The refusal when the broker could not create the push: no dialog is shown. reason is the MFA
// client's error text (may be empty).
void ui_push_request_failed(const wchar_t* reason, wchar_t* message, size_t cch_message);

// The process at the server end of the pipe, as the system reports it.
struct UiServerFacts {
    uint32_t pid;
    bool image_ours;    // its image is the trusted host path
    uint32_t session;   // ui_no_session when it could not be read
    AccountSid user;    // cb 0 when its token could not be read
    wchar_t image[1024];  // for the log; empty when unknown
};

enum class UiTrust { trusted, not_our_image, other_session, other_user };
// Only our host image, in the round's session, running as that session's user (never a service
// account) is trusted.
UiTrust ui_judge_server(const UiServerFacts* server, uint32_t session, const AccountSid* session_user);
// "image", "session", "user" (or "" for trusted): the log's word for a refusal.
const wchar_t* ui_trust_word(UiTrust trust);

// Whose factor a round asks for, when mfa_username is empty: the account that started the
// program or command (starter), which must be the session's user; with no starter known, the
// account of the dialog host (the session's user).
enum class UiAccount {
    configured,     // mfa_username is set: it is used, whoever started what
    starter,        // the starter's account, DOMAIN\user
    host,           // no starter known: the host's account, DOMAIN\user
    other_account,  // started as another account than the session's user: refused
};
UiAccount ui_round_account(const wchar_t* mfa_username, const AccountSid* starter, const AccountSid* session_user);
// "以其他账户启动；请设置 mfa_username 或以本人身份启动，默认拒绝"
void ui_other_account_text(wchar_t* message, size_t cch_message);

// The temporary rule of an administrative operation: a command rule named after the operation
// (at most 127 characters), with the settings' admin_auth_mode or "totp", cache window 0.
void build_admin_rule(const Settings* s, const wchar_t* operation, Rule* out);

// --- the broker (Win32) ---

// One MFA round through the dialog host of the session, which is the session of the person who
// must answer: the stopped program's (the process watcher), the client's (the auth pipe, from
// GetNamedPipeClientSessionId), or the caller's own (ui_own_session(), the console). True only
// when the dialog replied approved. message receives one of the result texts (see
// ui_round_result). Blocks for the whole round.
bool authenticate_via_ui(uint32_t session, const Settings* s, const Rule* rule, const wchar_t* target,
                         const wchar_t* detail, wchar_t* message, size_t cch_message);
// The same for a program or command started by the account starter (see UiAccount); null: not
// known.
bool authenticate_via_ui_as(uint32_t session, const AccountSid* starter, const Settings* s, const Rule* rule,
                            const wchar_t* target, const wchar_t* detail, wchar_t* message, size_t cch_message);
// The account of a token (impersonation or primary) and the calling process's own; false when it
// cannot be read.
bool own_process_account(AccountSid* out);
// MFA gate of the console's administrative operations, in the console's own session. On approval
// the caller's buffer is left untouched; on refusal it receives the reason.
bool authenticate_admin(const Settings* s, const wchar_t* operation, wchar_t* message, size_t cch_message);
// The session of the calling process; ui_no_session when it cannot be read.
uint32_t ui_own_session();

// What the broker asks the system about sessions and hosts; the shipped broker uses the real
// calls, tests fakes.
struct UiSystemPorts {
    void* state;  // handed back to every call
    // The account logged on in the session; false when there is none.
    bool (*session_user)(void* state, uint32_t session, AccountSid* user);
    // The process at the server end of the connected pipe; false when it cannot be examined.
    bool (*server_facts)(void* state, void* pipe, const wchar_t* trusted_host_path, UiServerFacts* facts);
    // Starts "host_path --pipe" in the session as its user (user: what session_user gave) with that
    // user's environment; the new process's handle (the caller closes it), or null when nothing
    // was started. Writes the broker's start log lines.
    void* (*start_host)(void* state, const Settings* s, uint32_t session, const AccountSid* user,
                        const wchar_t* host_path);
    // DOMAIN\user of an account; false when it cannot be named. Null: the real lookup.
    bool (*account_name)(void* state, const AccountSid* account, wchar_t* out, size_t cch_out);
};
// The real calls.
const UiSystemPorts* ui_system_ports();

// The MFA calls of the broker's code rounds (the MFA client's unless a test gives others). The
// settings carry the round's MFA user name.
struct UiCodeCalls {
    UiCodeCheck (*check_totp)(const Settings* s, const wchar_t* code, wchar_t* err, size_t cch_err);
    bool (*request_message)(const Settings* s, const wchar_t* auth_type, wchar_t* id, size_t cch_id, wchar_t* dest,
                            size_t cch_dest, wchar_t* err, size_t cch_err);
    UiCodeCheck (*check_message)(const Settings* s, const wchar_t* id, const wchar_t* code, wchar_t* err,
                                 size_t cch_err);
};

// The MFA calls of the broker's own push (request_push and poll_push_status unless a test gives
// others), and the time between its polls.
struct UiPushCalls {
    bool (*request)(const Settings* s, wchar_t* id, size_t cch_id, wchar_t* passcode, size_t cch_passcode,
                    wchar_t* err, size_t cch_err);
    bool (*poll)(const Settings* s, const wchar_t* id, wchar_t* status, size_t cch_status, wchar_t* err,
                 size_t cch_err);
    uint32_t poll_interval_ms;        // between the confirming polls after an approving answer
    uint32_t round_poll_interval_ms;  // between the polls while the dialog is shown; 0: ui_push_poll_interval_ms
};

// What the shipped broker fixes; tests point it elsewhere to run a host of their own.
struct UiBrokerOptions {
    const wchar_t* pipe_name;          // null: the session's pipe (ui_pipe_name_for)
    const wchar_t* trusted_host_path;  // the only server image whose replies count; null or empty: none
    const wchar_t* host_path;          // started with --pipe when nothing listens; null or empty: no start
    uint32_t reply_timeout_ms;         // ui_reply_timeout_ms
    uint32_t start_wait_ms;            // ui_start_wait_ms
    uint32_t start_limit_ms;           // ui_start_limit_ms; 0: no longer than start_wait_ms
    const UiPushCalls* push_calls;     // null: the MFA client's calls
    const UiSystemPorts* ports;        // null: ui_system_ports()
    const UiCodeCalls* code_calls;     // null: the MFA client's calls
};

// The settings of the round's MFA calls: s with mfa_username, when empty, set to DOMAIN\user of
// account (the starter), or without one of the process at the pipe's server end.
void ui_round_settings(const Settings* s, const UiSystemPorts* ports, const AccountSid* account, void* pipe,
                       Settings* out);

// The broker's own push (ui_broker_push_win.cpp). Requests the push for the person at the pipe's
// server end and puts its challenge id and passcode into the request; push_settings receives the
// settings the push was made with, for the polls. False (no dialog is to be asked) with the
// refusal text in message when no push could be created.
bool ui_request_broker_push(const UiBrokerOptions* options, const Settings* s, const Settings* push_settings,
                            UiAuthRequest* request, wchar_t* message, size_t cch_message);
// One poll of the challenge (status and error receive the call's texts).
PushSeen ui_poll_broker_push(const UiBrokerOptions* options, const Settings* push_settings, const wchar_t* challenge_id,
                             wchar_t* status, size_t cch_status, wchar_t* error, size_t cch_error);
// Polls the challenge after the dialog replied approved; s only for the log line of a refusal.
PushSeen ui_confirm_broker_push(const UiBrokerOptions* options, const Settings* s, const Settings* push_settings,
                                const wchar_t* challenge_id);

// The rounds after the request was written (ui_broker_round_win.cpp): the answers of the host,
// the broker's checks and its verdicts, within the round's deadline (a GetTickCount64 value).
// round_settings: the settings of the round's MFA calls. True only when the round passed.
bool ui_run_code_round(const UiBrokerOptions* options, const Settings* s, const Settings* round_settings,
                       void* pipe, const UiAuthRequest* request, unsigned long long deadline, wchar_t* message,
                       size_t cch_message);
bool ui_run_push_round(const UiBrokerOptions* options, const Settings* s, const Settings* push_settings,
                       void* pipe, const UiAuthRequest* request, unsigned long long deadline, wchar_t* message,
                       size_t cch_message);
// Requests the SMS or e-mail code before the dialog is asked: challenge id and masked destination
// into the request. False with the refusal text in message when no code was sent.
bool ui_request_broker_message_code(const UiBrokerOptions* options, const Settings* s, const Settings* round_settings,
                                    UiAuthRequest* request, wchar_t* message, size_t cch_message);

bool authenticate_via_ui_with(const UiBrokerOptions* options, uint32_t session, const Settings* s, const Rule* rule,
                              const wchar_t* target, const wchar_t* detail, wchar_t* message, size_t cch_message);
bool authenticate_via_ui_with_starter(const UiBrokerOptions* options, uint32_t session, const AccountSid* starter,
                                      const Settings* s, const Rule* rule, const wchar_t* target,
                                      const wchar_t* detail, wchar_t* message, size_t cch_message);
bool authenticate_admin_with(const UiBrokerOptions* options, uint32_t session, const Settings* s,
                             const wchar_t* operation, wchar_t* message, size_t cch_message);
