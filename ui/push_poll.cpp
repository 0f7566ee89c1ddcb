#include "ui/push_poll.h"

#include "common/lang.h"
#include "common/text.h"

PollStep push_poll_step(PushPoll* poll, bool call_ok, const wchar_t* status) {
    PollStep step = PollStep::pending;
    if (!call_ok) {
        if (++poll->failures >= push_failure_limit) return PollStep::failed;
        step = PollStep::retrying;
    } else if (text_equal_ascii_nocase(status, L"approved")) {
        return PollStep::approved;
    } else if (text_equal_ascii_nocase(status, L"rejected")) {
        return PollStep::rejected;
    } else if (text_equal_ascii_nocase(status, L"expired")) {
        return PollStep::expired;
    } else {
        poll->failures = 0;
    }
    if (++poll->polls >= push_poll_limit) return PollStep::timed_out;
    return step;
}

bool push_poll_is_final(PollStep step) { return step != PollStep::pending && step != PollStep::retrying; }

void push_final_text(PollStep step, const wchar_t* call_error, wchar_t* out, size_t cch_out) {
    switch (step) {
        case PollStep::rejected: text_copy(out, cch_out, text_for_id(txt_push_rejected)); return;
        case PollStep::expired: text_copy(out, cch_out, text_for_id(txt_push_expired)); return;
        case PollStep::timed_out: text_copy(out, cch_out, text_for_id(txt_polling_timeout)); return;
        case PollStep::failed:
            text_format(out, cch_out, text_for_id(txt_polling_failed), call_error ? call_error : L"");
            return;
        case PollStep::approved:
        case PollStep::pending:
        case PollStep::retrying: break;
    }
    text_copy(out, cch_out, L"");
}

void passcode_digit(const wchar_t* passcode, int position, wchar_t out[2]) {
    out[0] = out[1] = 0;
    if (!passcode || position < 0 || text_length(passcode, push_status_cch) <= static_cast<size_t>(position)) return;
    if (passcode[position] >= L'0' && passcode[position] <= L'9') out[0] = passcode[position];
}

const wchar_t* push_failure_text(const wchar_t* worker_text) {
    return worker_text && worker_text[0] ? worker_text : text_for_id(txt_push_failed);
}

void push_results_set_request(PushResults* r, bool created, const wchar_t* failure_text) {
    r->request = created ? PushRequestOutcome::created : PushRequestOutcome::failed;
    text_copy(r->request_text, created || !failure_text ? L"" : failure_text);
}

void push_results_set_retrying(PushResults* r) { r->retrying = true; }

void push_results_set_ending(PushResults* r, bool approved, const wchar_t* failure_text) {
    r->ending = approved ? PushEnding::approved : PushEnding::refused;
    text_copy(r->ending_text, approved || !failure_text ? L"" : failure_text);
}

bool push_results_take_request(PushResults* r, bool* created, wchar_t* text, size_t cch_text) {
    if (r->request == PushRequestOutcome::none) return false;
    *created = r->request == PushRequestOutcome::created;
    text_copy(text, cch_text, r->request_text);
    r->request = PushRequestOutcome::none;
    r->request_text[0] = L'\0';
    return true;
}

bool push_results_take_retrying(PushResults* r) {
    bool waiting = r->retrying;
    r->retrying = false;
    return waiting;
}

bool push_results_take_ending(PushResults* r, bool* approved, wchar_t* text, size_t cch_text) {
    if (r->ending == PushEnding::none) return false;
    *approved = r->ending == PushEnding::approved;
    text_copy(text, cch_text, r->ending_text);
    r->ending = PushEnding::none;
    r->ending_text[0] = L'\0';
    return true;
}
