// The broker's side of a round after the request was written: it reads the host's answers, checks
// every typed code with the MFA server itself, and tells the host its verdict; for a push it polls
// its own challenge while the dialog is shown. Every read is bounded by the round's deadline, and
// a host that disconnects, answers with the wrong size or stays silent ends the round refused.
// The typed code is never logged and never copied into a result text.
#include <windows.h>

#include "common/handle.h"
#include "common/log.h"
#include "common/mfa_client.h"
#include "common/pipe_io.h"
#include "common/settings.h"
#include "common/text.h"
#include "common/ui_broker.h"

namespace {

constexpr size_t error_cch = 512;
constexpr size_t code_cch = sizeof(UiAuthReply::code) / sizeof(wchar_t);

enum class AnswerRead { whole, timed_out, failed };

// One answer, waited for at most timeout_ms. A read still pending at the limit is cancelled (no
// data is lost: either it completed or nothing was taken from the pipe).
AnswerRead read_answer(HANDLE pipe, DWORD timeout_ms, UiAuthReply* answer) {
    OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return AnswerRead::failed;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    UiAuthReply got = {};
    if (!ReadFile(pipe, &got, sizeof got, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING)
        return AnswerRead::failed;
    // The thread's abort (its caller has gone) ends the wait as a failure: nobody is left to answer.
    HANDLE abort = pipe_thread_abort();
    HANDLE events[2] = {event.get(), abort};
    DWORD waited = WaitForMultipleObjects(abort ? 2 : 1, events, FALSE, timeout_ms);
    bool cancelled = waited != WAIT_OBJECT_0;
    if (cancelled) CancelIoEx(pipe, &overlapped);
    DWORD cb = 0;
    bool read = GetOverlappedResult(pipe, &overlapped, &cb, TRUE);
    if (waited == WAIT_OBJECT_0 + 1) return AnswerRead::failed;
    if (!read)
        return cancelled && GetLastError() == ERROR_OPERATION_ABORTED ? AnswerRead::timed_out : AnswerRead::failed;
    if (cb != sizeof got) return AnswerRead::failed;  // short (a longer one fails with ERROR_MORE_DATA)
    *answer = got;
    return AnswerRead::whole;
}

DWORD time_left(unsigned long long deadline) {
    ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

void send_verdict(HANDLE pipe, UiVerdict verdict, const wchar_t* text) {
    UiAuthReply record;
    build_ui_verdict(verdict, text, &record);
    DWORD written = 0;
    pipe_transfer_bounded(pipe, true, &record, sizeof record, ui_verdict_write_ms, &written);
}

UiCodeCheck check_of(MfaCheck check) {
    switch (check) {
        case MfaCheck::passed:
            return UiCodeCheck::passed;
        case MfaCheck::wrong_code:
            return UiCodeCheck::wrong_code;
        case MfaCheck::failed:
            break;
    }
    return UiCodeCheck::failed;
}

UiCodeCheck mfa_check_totp(const Settings* s, const wchar_t* code, wchar_t* err, size_t cch_err) {
    return check_of(check_totp(s, code, err, cch_err));
}

UiCodeCheck mfa_check_message(const Settings* s, const wchar_t* id, const wchar_t* code, wchar_t* err,
                              size_t cch_err) {
    return check_of(check_message_code(s, id, code, err, cch_err));
}

const UiCodeCalls mfa_code_calls = {mfa_check_totp, request_message_code, mfa_check_message};

const UiCodeCalls* code_calls_of(const UiBrokerOptions* options) {
    return options && options->code_calls ? options->code_calls : &mfa_code_calls;
}

bool no_reply(wchar_t* message, size_t cch_message) {
    return ui_round_result(UiRound::no_reply, nullptr, message, cch_message);
}

}  // namespace

bool ui_request_broker_message_code(const UiBrokerOptions* options, const Settings* s, const Settings* round_settings,
                                    UiAuthRequest* request, wchar_t* message, size_t cch_message) {
    const wchar_t* type = ui_request_mode(request->mode) == ui_mode_sms ? L"sms" : L"email";
    wchar_t id[128] = L"", destination[128] = L"", error[error_cch] = L"";
    bool sent = code_calls_of(options)->request_message(round_settings, type, id, ARRAYSIZE(id), destination,
                                                        ARRAYSIZE(destination), error, error_cch);
    if (sent && !id[0]) {
        sent = false;
        text_copy(error, L"服务器未返回 challenge_id");
    }
    if (!sent) {
        log_event(s, L"UI code request failed: %s", error);
        ui_message_request_failed(error, message, cch_message);
        return false;
    }
    text_copy(request->challenge_id, id);
    text_copy(request->destination, destination);
    return true;
}

bool ui_run_code_round(const UiBrokerOptions* options, const Settings* s, const Settings* round_settings, void* pipe,
                       const UiAuthRequest* request, unsigned long long deadline, wchar_t* message,
                       size_t cch_message) {
    const UiCodeCalls* calls = code_calls_of(options);
    const bool totp = ui_request_mode(request->mode) == ui_mode_totp;
    for (int wrong_codes = 0;;) {
        UiAuthReply answer = {};
        if (read_answer(pipe, time_left(deadline), &answer) != AnswerRead::whole) return no_reply(message, cch_message);
        wchar_t code[code_cch] = L"", error[error_cch] = L"";
        bool code_given = answer.approved == 1 && ui_answer_code(&answer, code, code_cch);
        UiCodeCheck check = UiCodeCheck::failed;
        if (code_given) {
            check = totp ? calls->check_totp(round_settings, code, error, error_cch)
                         : calls->check_message(round_settings, request->challenge_id, code, error, error_cch);
        }
        SecureZeroMemory(code, sizeof code);
        SecureZeroMemory(&answer.code, sizeof answer.code);
        wchar_t text[ui_result_cch];
        UiCodeStep step = ui_code_decide(answer.approved, code_given, check, wrong_codes, error, &answer, text,
                                         ui_result_cch);
        switch (step) {
            case UiCodeStep::passed:
                send_verdict(pipe, ui_verdict_passed, text);
                return ui_round_passed(message, cch_message);
            case UiCodeStep::retry:
                ++wrong_codes;
                send_verdict(pipe, ui_verdict_retry, text);
                continue;
            case UiCodeStep::refused:
                if (check == UiCodeCheck::wrong_code) log_event(s, L"UI code refused: too many wrong codes");
                else log_event(s, L"UI code refused: %s", text);
                send_verdict(pipe, ui_verdict_refused, text);
                break;
            case UiCodeStep::gave_up:
                break;
        }
        text_copy(message, cch_message, text);
        return false;
    }
}

bool ui_run_push_round(const UiBrokerOptions* options, const Settings* s, const Settings* push_settings, void* pipe,
                       const UiAuthRequest* request, unsigned long long deadline, wchar_t* message,
                       size_t cch_message) {
    const UiPushCalls* calls = options && options->push_calls ? options->push_calls : nullptr;
    uint32_t interval = calls && calls->round_poll_interval_ms ? calls->round_poll_interval_ms
                                                               : ui_push_poll_interval_ms;
    int failures = 0;
    for (;;) {
        DWORD left = time_left(deadline);
        UiAuthReply answer = {};
        AnswerRead read = read_answer(pipe, left < interval ? left : interval, &answer);
        if (read == AnswerRead::failed) return no_reply(message, cch_message);
        if (read == AnswerRead::whole) {
            PushSeen seen = answer.approved ? ui_confirm_broker_push(options, s, push_settings, request->challenge_id)
                                            : PushSeen::refused;
            return ui_push_round_result(UiRound::replied, &answer, seen, message, cch_message);
        }
        if (time_left(deadline) == 0) return no_reply(message, cch_message);
        wchar_t status[64] = L"", error[error_cch] = L"";
        PushSeen seen = ui_poll_broker_push(options, push_settings, request->challenge_id, status, 64, error, error_cch);
        failures = seen == PushSeen::unreachable ? failures + 1 : 0;
        if (seen == PushSeen::approved) {
            // A person who cancelled while the poll ran has the last word.
            read = read_answer(pipe, 0, &answer);
            if (read == AnswerRead::failed) return no_reply(message, cch_message);
            if (read == AnswerRead::whole && !answer.approved)
                return ui_push_round_result(UiRound::replied, &answer, PushSeen::refused, message, cch_message);
            send_verdict(pipe, ui_verdict_passed, L"");
            return ui_round_passed(message, cch_message);
        }
        if (seen == PushSeen::refused || failures >= ui_push_poll_failures) {
            log_event(s, L"UI push approval not confirmed by the server: %s",
                      seen == PushSeen::unreachable ? error : status);
            wchar_t text[ui_result_cch];
            ui_push_refusal_text(seen, status, error, text, ui_result_cch);
            send_verdict(pipe, ui_verdict_refused, text);
            text_copy(message, cch_message, text);
            return false;
        }
    }
}
