// Test tool, never shipped: a stand-in for the dialog host (SentrelUI.exe --pipe) that answers from
// a script instead of asking a person. The end-to-end tests install it as SentrelUI.exe, so the
// broker starts it and trusts it like the real host.
//
// It serves its session's \\.\pipe\SentrelUI.<session> as the real host does: message mode, one
// request and one reply per connection, served one at a time, oldest first, with an instance
// always listening meanwhile (a broker that comes while a round ends never finds the pipe busy); a
// request that is short or has another magic is dropped without an answer; a second copy started
// in the session while one runs exits at once (Local\SentrelUIPipeSingleton). Without --pipe it
// exits with code 2 and a message on stderr.
//
// Files beside the executable:
//   test_dialog_script.txt    one action per line, read again for every request. The n-th request
//                             takes the n-th action line (blank lines and lines starting with # are
//                             skipped); the last line repeats. No script: deny "test_dialog_host: no script".
//       approve                   approved 1 without a code (what a forged approval looks like)
//       code <digits> [<digits>...]  approved 1 with the first code; while the broker's verdict is
//                                 "retry" the next code is sent (the last one repeats no more:
//                                 after it the connection is held until the client closes it)
//       deny <message>            approved 0 with the message (the rest of the line, may be empty)
//       never                     no reply; the connection is held until the client closes it
//       magic <approve|deny>      a whole reply with a wrong magic number
//       short                     only the first 100 bytes of an approving reply
//       exit                      no reply; the host ends (a clean way for tests to stop it)
//       delay <ms> <action>       waits, then does the action; as the real host closes the dialog of
//                                 a caller that has gone, the wait ends when the client closes its end
//                                 (the connection is then dropped without an answer)
//       hold <file> <action>      waits until a file of that name exists beside the executable
//                                 (at most 120 s; the test creates it to end the round), then
//                                 does the action
//   test_dialog_start_delay.txt  a number of milliseconds the host waits before its pipe exists
//                             (a slow cold start); no file: none.
//   test_dialog_requests.txt  one UTF-8 JSON line appended per accepted request, before its action:
//       {"pid":1234,"env_marker":"...","mode":2,"title":"...","target":"...","detail":"...","extras_zero":true,"padding_zero":true}
//       env_marker: the host's environment variable SENTREL_ENV_MARKER (empty when it has none),
//       so a test can tell whose environment the host was started with.
//       extras_zero: destination, challenge id and passcode were all zero; padding_zero: every
//       unit after the terminators of title, target and detail was zero. A request that carries a
//       challenge id (the broker's own push) adds "challenge_id" and "passcode" before the "}".
#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>

#include "common/console.h"
#include "common/handle.h"
#include "common/settings.h"
#include "common/text.h"
#include "tools/record_file.h"
#include "common/ui_broker.h"

namespace {

constexpr size_t path_cch = 1024;
constexpr size_t script_cch = 16384;
constexpr size_t line_cch = 1024;
constexpr size_t record_cch = 16384;
constexpr DWORD short_reply_cb = 100;
constexpr uint32_t wrong_magic_value = 0x0BADF00D;

enum class ActionKind { reply, codes, wrong_magic, short_reply, never, exit };

struct Action {
    ActionKind kind;
    uint32_t approved;
    DWORD delay_ms;
    wchar_t hold_file[64];
    wchar_t message[256];
};

constexpr DWORD hold_limit_ms = 120000;

const wchar_t* skip_spaces(const wchar_t* p) {
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

// The first word of p into word; returns what follows it, spaces skipped.
const wchar_t* take_word(const wchar_t* p, wchar_t* word, size_t cch_word) {
    p = skip_spaces(p);
    size_t n = 0;
    while (p[n] && p[n] != L' ' && p[n] != L'\t') ++n;
    text_copy_n(word, cch_word, p, n);
    return skip_spaces(p + n);
}

void parse_action(const wchar_t* line, Action* action) {
    wchar_t word[32];
    const wchar_t* rest = take_word(line, word, 32);
    if (!wcscmp(word, L"approve")) {
        action->kind = ActionKind::reply;
        action->approved = 1;
    } else if (!wcscmp(word, L"code")) {
        action->kind = ActionKind::codes;
        action->approved = 1;
        text_copy(action->message, rest);  // the codes, one after another
    } else if (!wcscmp(word, L"deny")) {
        action->kind = ActionKind::reply;
        action->approved = 0;
        text_copy(action->message, rest);
    } else if (!wcscmp(word, L"never")) {
        action->kind = ActionKind::never;
    } else if (!wcscmp(word, L"magic")) {
        action->kind = ActionKind::wrong_magic;
        action->approved = !wcscmp(rest, L"approve") ? 1 : 0;
    } else if (!wcscmp(word, L"short")) {
        action->kind = ActionKind::short_reply;
    } else if (!wcscmp(word, L"exit")) {
        action->kind = ActionKind::exit;
    } else if (!wcscmp(word, L"delay")) {
        wchar_t ms[16];
        rest = take_word(rest, ms, 16);
        action->delay_ms += static_cast<DWORD>(wcstoul(ms, nullptr, 10));
        parse_action(rest, action);
    } else if (!wcscmp(word, L"hold")) {
        rest = take_word(rest, action->hold_file, 64);
        parse_action(rest, action);
    } else {
        action->kind = ActionKind::reply;
        action->approved = 0;
        text_format(action->message, 256, L"test_dialog_host: unknown action: %s", line);
    }
}

// The action for the request with the given index (0 for the first).
void next_action(unsigned long index, Action* action) {
    *action = Action{};
    wchar_t path[path_cch] = L"";
    static wchar_t script[script_cch];
    if (!path_beside_exe(L"test_dialog_script.txt", path, path_cch) || !read_utf8_file(path, script, script_cch)) {
        action->kind = ActionKind::reply;
        text_copy(action->message, L"test_dialog_host: no script");
        return;
    }
    wchar_t chosen[line_cch] = L"";
    unsigned long seen = 0;
    for (const wchar_t* p = script; *p && seen <= index;) {
        size_t n = 0;
        while (p[n] && p[n] != L'\n') ++n;
        size_t end = n;
        while (end > 0 && (p[end - 1] == L'\r' || p[end - 1] == L' ')) --end;
        const wchar_t* start = skip_spaces(p);
        if (start < p + end && *start != L'#') {
            text_copy_n(chosen, line_cch, start, static_cast<size_t>(p + end - start));
            ++seen;
        }
        p += n;
        if (*p == L'\n') ++p;
    }
    if (!chosen[0]) text_copy(chosen, L"deny test_dialog_host: empty script");
    parse_action(chosen, action);
}

void append_json_text(wchar_t* out, size_t cch_out, const wchar_t* key, const wchar_t* text, size_t cch_field) {
    text_append(out, cch_out, L",\"");
    text_append(out, cch_out, key);
    text_append(out, cch_out, L"\":\"");
    for (size_t i = 0; i < cch_field && text[i]; ++i) {
        wchar_t piece[8] = {text[i], 0};
        if (text[i] == L'"' || text[i] == L'\\') {
            piece[0] = L'\\';
            piece[1] = text[i];
            piece[2] = 0;
        } else if (text[i] < 0x20) {
            text_format(piece, 8, L"\\u%04x", static_cast<unsigned>(text[i]));
        }
        text_append(out, cch_out, piece);
    }
    text_append(out, cch_out, L"\"");
}

template <size_t cch>
bool padding_zero(const wchar_t (&field)[cch]) {
    size_t n = text_length(field, cch);
    if (n == cch) return false;
    for (size_t i = n; i < cch; ++i)
        if (field[i]) return false;
    return true;
}

template <size_t cch>
bool all_zero(const wchar_t (&field)[cch]) {
    for (wchar_t c : field)
        if (c) return false;
    return true;
}

void record_request(const UiAuthRequest& request) {
    static wchar_t line[record_cch];
    wchar_t marker[64] = L"";
    DWORD cch_marker = GetEnvironmentVariableW(L"SENTREL_ENV_MARKER", marker, 64);
    if (cch_marker == 0 || cch_marker >= 64) marker[0] = L'\0';
    text_format(line, record_cch, L"{\"pid\":%lu", GetCurrentProcessId());
    append_json_text(line, record_cch, L"env_marker", marker, 64);
    wchar_t mode[32];
    text_format(mode, 32, L",\"mode\":%lu", static_cast<unsigned long>(request.mode));
    text_append(line, record_cch, mode);
    append_json_text(line, record_cch, L"title", request.title, 128);
    append_json_text(line, record_cch, L"target", request.target, 1024);
    append_json_text(line, record_cch, L"detail", request.detail, 512);
    bool extras = all_zero(request.destination) && all_zero(request.challenge_id) && all_zero(request.passcode);
    bool padding = padding_zero(request.title) && padding_zero(request.target) && padding_zero(request.detail);
    wchar_t flags[96];
    text_format(flags, 96, L",\"extras_zero\":%s,\"padding_zero\":%s", extras ? L"true" : L"false",
                padding ? L"true" : L"false");
    text_append(line, record_cch, flags);
    if (request.challenge_id[0]) {
        append_json_text(line, record_cch, L"challenge_id", request.challenge_id, 128);
        append_json_text(line, record_cch, L"passcode", request.passcode, 32);
    }
    text_append(line, record_cch, L"}\n");

    append_record_beside_exe(L"test_dialog_requests.txt", line);
}

// Waits until the named file exists beside the executable (bounded); an empty name: no wait.
void wait_for_file(const wchar_t* name) {
    wchar_t path[path_cch];
    if (!name[0] || !path_beside_exe(name, path, path_cch)) return;
    for (DWORD waited = 0; waited < hold_limit_ms && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES; waited += 20)
        Sleep(20);
}

// Waits up to ms; false as soon as the client has closed its end of the pipe.
bool wait_while_client_stays(HANDLE pipe, DWORD ms) {
    const ULONGLONG until = GetTickCount64() + ms;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && GetLastError() == ERROR_BROKEN_PIPE)
            return false;
        ULONGLONG now = GetTickCount64();
        if (now >= until) return true;
        Sleep(static_cast<DWORD>(until - now < 20 ? until - now : 20));
    }
}

// Blocks until the client closes its end (or writes something unexpected).
void hold_until_client_leaves(HANDLE pipe) {
    char scratch[64];
    DWORD read = 0;
    while (ReadFile(pipe, scratch, sizeof scratch, &read, nullptr) || GetLastError() == ERROR_MORE_DATA) {
    }
}

// Reads the broker's verdict after an approving answer and records it; true when it says "retry".
bool read_verdict(HANDLE pipe) {
    UiAuthReply verdict = {};
    DWORD read = 0;
    bool whole = ReadFile(pipe, &verdict, sizeof verdict, &read, nullptr) && read == sizeof verdict &&
                 verdict.magic == ui_verdict_magic;
    static wchar_t line[record_cch];
    text_format(line, record_cch, L"{\"verdict\":%ld", whole ? static_cast<long>(verdict.approved) : -1L);
    append_json_text(line, record_cch, L"message", whole ? verdict.message : L"", 256);
    text_append(line, record_cch, L"}\n");
    append_record_beside_exe(L"test_dialog_verdicts.txt", line);
    return whole && verdict.approved == ui_verdict_retry;
}

// Sends the codes one after another while the broker asks again.
void answer_codes(HANDLE pipe, const wchar_t* codes) {
    const wchar_t* rest = codes;
    for (;;) {
        UiAuthReply answer = {};
        answer.magic = ui_auth_magic;
        answer.approved = 1;
        rest = take_word(rest, answer.code, 64);
        DWORD written = 0;
        if (!WriteFile(pipe, &answer, sizeof answer, &written, nullptr) || !read_verdict(pipe) || !*rest) break;
    }
    hold_until_client_leaves(pipe);
}

// Answers one connected client; false when the host is to end.
bool serve(HANDLE pipe, unsigned long* served) {
    UiAuthRequest request = {};
    DWORD read = 0;
    if (!ReadFile(pipe, &request, sizeof request, &read, nullptr) || read != sizeof request ||
        request.magic != ui_auth_magic)
        return true;  // dropped without an answer, as the real host does
    record_request(request);
    Action action;
    next_action((*served)++, &action);
    if (action.delay_ms && !wait_while_client_stays(pipe, action.delay_ms)) {
        DisconnectNamedPipe(pipe);
        return true;
    }
    wait_for_file(action.hold_file);

    UiAuthReply reply = {};
    reply.magic = ui_auth_magic;
    reply.approved = action.approved;
    text_copy(reply.message, action.message);
    DWORD cb = sizeof reply;
    switch (action.kind) {
        case ActionKind::exit:
            return false;
        case ActionKind::codes:
            answer_codes(pipe, action.message);
            DisconnectNamedPipe(pipe);
            return true;
        case ActionKind::never:
            hold_until_client_leaves(pipe);
            DisconnectNamedPipe(pipe);
            return true;
        case ActionKind::wrong_magic:
            reply.magic = wrong_magic_value;
            break;
        case ActionKind::short_reply:
            reply.approved = 1;
            cb = short_reply_cb;
            break;
        case ActionKind::reply:
            break;
    }
    DWORD written = 0;
    bool sent = WriteFile(pipe, &reply, cb, &written, nullptr);  // a client gone away is ignored
    if (sent && reply.approved == 1 && cb == sizeof reply) {
        read_verdict(pipe);  // what the broker made of an approval without a code
        hold_until_client_leaves(pipe);
    } else {
        FlushFileBuffers(pipe);
    }
    DisconnectNamedPipe(pipe);
    return true;
}

void wait_start_delay() {
    wchar_t path[path_cch] = L"";
    wchar_t text[32] = L"";
    if (path_beside_exe(L"test_dialog_start_delay.txt", path, path_cch) && read_utf8_file(path, text, 32))
        Sleep(static_cast<DWORD>(wcstoul(text, nullptr, 10)));
}

HANDLE new_instance(const wchar_t* pipe_name) {
    return CreateNamedPipeW(pipe_name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, sizeof(UiAuthReply), sizeof(UiAuthRequest), ui_reply_timeout_ms,
                            nullptr);
}

int run_host() {
    OwnedHandle singleton(CreateMutexW(nullptr, FALSE, ui_host_mutex_name));
    if (GetLastError() == ERROR_ALREADY_EXISTS) return 0;
    wait_start_delay();
    wchar_t pipe_name[ui_pipe_name_cch];
    if (!ui_pipe_name_for(ui_own_session(), pipe_name, ui_pipe_name_cch)) return 1;
    unsigned long served = 0;
    OwnedHandle listening(new_instance(pipe_name));
    for (;;) {
        if (!listening) {
            Sleep(500);
            listening.reset(new_instance(pipe_name));
            continue;
        }
        if (!ConnectNamedPipe(listening.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            listening.reset(new_instance(pipe_name));
            continue;
        }
        OwnedHandle pipe(listening.release());
        listening.reset(new_instance(pipe_name));  // the next client waits in it while this one is served
        if (!serve(pipe.get(), &served)) return 0;
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool pipe_mode = argv && argc >= 2 && !wcscmp(argv[1], L"--pipe");
    if (argv) LocalFree(argv);
    if (!pipe_mode) {
        console_eprint(L"test_dialog_host: only --pipe is supported (a test stand-in for the dialog host)\n");
        return 2;
    }
    return run_host();
}
