// The push variant's background work: one request worker, then one polling worker, each on its
// own thread, handing results to the dialog window only by posting its private messages.
#pragma once
#include <windows.h>

#include "common/settings.h"

// Private messages posted by the workers. Texts in lParam are push_text_cch units from the process
// heap (or null); the window takes them over and frees them with free_push_text.
constexpr UINT msg_push_finished = WM_USER + 1;   // wParam 1 approved, 0 not
constexpr UINT msg_push_retrying = WM_USER + 2;
constexpr UINT msg_push_requested = WM_USER + 3;  // wParam 1 the push was created, 0 it failed

struct PushJob;

// A job for one dialog window, with its own copy of the settings; null when it cannot be had.
PushJob* push_job_create(HWND window, const Settings* s);
// Starts the request worker (request_push) or the polling worker for challenge_id. False when the
// thread could not be started (nothing will be posted for it).
bool push_job_request(PushJob* job);
bool push_job_poll(PushJob* job, const wchar_t* challenge_id);
// After a worker's message: waits up to 100 ms for its thread to end and closes its handle.
void push_job_reap(PushJob* job);
// The challenge id and passcode the request worker obtained (after msg_push_requested with 1).
void push_job_results(PushJob* job, wchar_t* challenge_id, size_t cch_id, wchar_t* passcode, size_t cch_passcode);
// The window is going: nothing more is delivered to it, a running worker is told to stop and left
// to end on its own, and worker messages still queued for the window are taken back and freed.
void push_job_detach(PushJob* job);

void free_push_text(LPARAM text);
