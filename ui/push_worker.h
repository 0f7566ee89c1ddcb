// The push variant's background work: one request worker, then one polling worker, each on its
// own thread. A worker leaves its outcome in the dialog's push job and posts a private message
// that only tells the window to look.
#pragma once
#include <windows.h>

#include "common/settings.h"

// Private messages posted by the workers, always with wParam 0 and lParam 0. Their parameters are
// never read: the window takes the outcome from its own job (push_job_take_*), so a message posted
// by any other process finds nothing.
constexpr UINT msg_push_finished = WM_USER + 1;
constexpr UINT msg_push_retrying = WM_USER + 2;
constexpr UINT msg_push_requested = WM_USER + 3;

struct PushJob;

// A job for one dialog window, with its own copy of the settings; null when it cannot be had.
PushJob* push_job_create(HWND window, const Settings* s);
// Starts the request worker (request_push) or the polling worker for challenge_id. False when the
// thread could not be started (nothing will be posted for it).
bool push_job_request(PushJob* job);
bool push_job_poll(PushJob* job, const wchar_t* challenge_id);
// After a worker's outcome: waits up to 100 ms for its thread to end and closes its handle.
void push_job_reap(PushJob* job);

// What the job's workers left, each taken once under the job's lock. False (outputs untouched)
// when nothing waits, and always for a null job (a dialog that is not a push dialog).
// After the request worker: created, or failed with its text (may be empty); on creation the
// challenge id and passcode the server gave.
bool push_job_take_request(PushJob* job, bool* created, wchar_t* text, size_t cch_text, wchar_t* challenge_id,
                           size_t cch_id, wchar_t* passcode, size_t cch_passcode);
bool push_job_take_retrying(PushJob* job);
// After the polling worker: approved only when a poll of the job's own challenge said so.
bool push_job_take_ending(PushJob* job, bool* approved, wchar_t* text, size_t cch_text);

// The window is going: nothing more is delivered to it, and a running worker is told to stop and
// left to end on its own.
void push_job_detach(PushJob* job);
