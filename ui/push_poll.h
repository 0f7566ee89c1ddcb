// The push variant's rules, apart from threads and windows: what one poll of the push status
// means, when polling gives up, and the texts each ending shows.
#pragma once
#include <stddef.h>

constexpr unsigned push_poll_interval_ms = 1500;
constexpr int push_poll_limit = 120;         // about 180 s of polling
constexpr int push_failure_limit = 3;        // consecutive failed calls
constexpr size_t push_text_cch = 512;        // texts handed from a worker to the window
constexpr size_t push_status_cch = 64;

// Language-table ids of the push variant.
enum PushText : unsigned {
    txt_push_sending = 3,
    txt_push_approve = 4,
    txt_push_succeeded = 5,
    txt_push_failed = 6,
    txt_push_sent = 7,
    txt_challenge_empty = 23,
    txt_polling_failed = 24,
    txt_push_rejected = 25,
    txt_push_expired = 26,
    txt_polling_timeout = 27,
    txt_push_retrying = 28,
    txt_push_network = 29,
};

struct PushPoll {
    int polls;
    int failures;
};

enum class PollStep {
    pending,    // still open: poll again
    retrying,   // the call failed, fewer than three times in a row: say so, poll again
    approved,
    rejected,
    expired,
    failed,     // three failed calls in a row
    timed_out,  // the poll limit was reached
};

// One poll: the call's success and, when it succeeded, the status it read ("approved", "rejected"
// and "expired" in any case are final). Counts the poll and the failures.
PollStep push_poll_step(PushPoll* poll, bool call_ok, const wchar_t* status);
bool push_poll_is_final(PollStep step);

// The text a final step hands to the window: nothing for an approval, string 24 with the call's
// error for failed polling, the fixed texts for the others.
void push_final_text(PollStep step, const wchar_t* call_error, wchar_t* out, size_t cch_out);

// The passcode box at position p shows the p-th character of the passcode when it is a digit.
void passcode_digit(const wchar_t* passcode, int position, wchar_t out[2]);

// What the window shows and replies when a push ends without approval: the worker's text, or
// string 6 when it gave none.
const wchar_t* push_failure_text(const wchar_t* worker_text);

// --- what the workers leave for the window ---
//
// A worker's message only tells the window to look: the outcome itself waits here, in the
// dialog's own push job, and the window takes each outcome once. Any process of the user can post
// the dialog's private messages with any parameters; such a message finds nothing to take (or
// only what our own worker left), so it can neither approve nor hand the window memory to free.

enum class PushRequestOutcome { none, created, failed };
enum class PushEnding { none, approved, refused };

struct PushResults {
    PushRequestOutcome request;
    PushEnding ending;
    bool retrying;                          // a failed poll the window has not yet shown
    wchar_t request_text[push_text_cch];    // why the request failed; may be empty
    wchar_t ending_text[push_text_cch];     // why the push was refused; may be empty
};

void push_results_set_request(PushResults* r, bool created, const wchar_t* failure_text);
void push_results_set_retrying(PushResults* r);
void push_results_set_ending(PushResults* r, bool approved, const wchar_t* failure_text);
// Each takes what is waiting and clears it; false (outputs untouched) when nothing waits.
bool push_results_take_request(PushResults* r, bool* created, wchar_t* text, size_t cch_text);
bool push_results_take_retrying(PushResults* r);
bool push_results_take_ending(PushResults* r, bool* approved, wchar_t* text, size_t cch_text);
