// Push workers.
//
// A push is requested and then polled on worker threads, so the dialog stays responsive while the
// MFA server takes its time (every call may block up to the transport's timeouts). Each dialog
// window owns one PushJob; the job, not the round's context, holds everything a worker touches: a
// copy of the settings, the challenge id and passcode, a cancel event, the target window, and the
// outcomes the workers leave for the window.
//
// A worker reports by storing its outcome in the job and posting a private message without
// parameters, both under the job's lock. The window takes the outcome from the job under the same
// lock, once. The dialog's private messages can be posted by any process of the user with any
// parameters, so nothing is read from them: a forged message finds no outcome (or only the real
// one our worker left) and is ignored, and no memory ever changes owner with a message.
//
// The job is reference counted (the window, plus the worker while it runs) and freed by whichever
// lets go last. A worker delivers only while the job still names its window; when the dialog goes,
// push_job_detach clears the window under the lock and sets the cancel event. So a worker that
// outlives its dialog (blocked in a call, or between two polls) can never write into a later
// round's context nor post into a later dialog: it wakes, finds itself detached and ends.
#include "ui/push_worker.h"

#include "common/lang.h"
#include "common/mfa_client.h"
#include "common/text.h"
#include "ui/push_poll.h"

struct PushJob {
    CRITICAL_SECTION lock;
    HWND window;      // null once the dialog is gone
    HANDLE cancel;    // manual-reset, set when the dialog goes
    HANDLE thread;    // the running worker; used by the window's thread only
    LONG references;  // the window and a running worker
    Settings settings;
    wchar_t challenge_id[128];
    wchar_t passcode[32];
    PushResults results;  // under the lock
};

namespace {

constexpr DWORD reap_wait_ms = 100;

void release(PushJob* job) {
    if (InterlockedDecrement(&job->references) != 0) return;
    if (job->thread) CloseHandle(job->thread);
    if (job->cancel) CloseHandle(job->cancel);
    DeleteCriticalSection(&job->lock);
    HeapFree(GetProcessHeap(), 0, job);
}

// Leaves an outcome for the window and tells it to look, if the job still has a window.
template <typename Store>
void deliver(PushJob* job, UINT message, Store store) {
    EnterCriticalSection(&job->lock);
    if (job->window) {
        store(&job->results);
        PostMessageW(job->window, message, 0, 0);
    }
    LeaveCriticalSection(&job->lock);
}

DWORD WINAPI request_worker(void* parameter) {
    auto* job = static_cast<PushJob*>(parameter);
    wchar_t id[128] = L"", passcode[32] = L"", error[push_text_cch] = L"";
    bool created = request_push(&job->settings, id, 128, passcode, 32, error, push_text_cch);
    deliver(job, msg_push_requested, [&](PushResults* r) {
        if (created) {
            text_copy(job->challenge_id, id);
            text_copy(job->passcode, passcode);
        }
        push_results_set_request(r, created, error);
    });
    release(job);
    return 0;
}

DWORD WINAPI polling_worker(void* parameter) {
    auto* job = static_cast<PushJob*>(parameter);
    if (!job->challenge_id[0]) {
        deliver(job, msg_push_finished,
                [](PushResults* r) { push_results_set_ending(r, false, text_for_id(txt_challenge_empty)); });
        release(job);
        return 0;
    }
    PushPoll poll = {};
    while (WaitForSingleObject(job->cancel, push_poll_interval_ms) == WAIT_TIMEOUT) {
        wchar_t status[push_status_cch] = L"", error[push_text_cch] = L"";
        bool ok = poll_push_status(&job->settings, job->challenge_id, status, push_status_cch, error, push_text_cch);
        PollStep step = push_poll_step(&poll, ok, status);
        if (step == PollStep::retrying) deliver(job, msg_push_retrying, push_results_set_retrying);
        if (!push_poll_is_final(step)) continue;
        wchar_t text[push_text_cch];
        push_final_text(step, error, text, push_text_cch);
        deliver(job, msg_push_finished,
                [&](PushResults* r) { push_results_set_ending(r, step == PollStep::approved, text); });
        break;
    }
    release(job);
    return 0;
}

bool start_worker(PushJob* job, LPTHREAD_START_ROUTINE routine) {
    if (job->thread) return false;  // one worker at a time
    InterlockedIncrement(&job->references);
    job->thread = CreateThread(nullptr, 0, routine, job, 0, nullptr);
    if (job->thread) return true;
    release(job);
    return false;
}

}  // namespace

PushJob* push_job_create(HWND window, const Settings* s) {
    auto* job = static_cast<PushJob*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(PushJob)));
    if (!job) return nullptr;
    job->cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!job->cancel) {
        HeapFree(GetProcessHeap(), 0, job);
        return nullptr;
    }
    InitializeCriticalSection(&job->lock);
    job->window = window;
    job->references = 1;
    job->settings = *s;
    return job;
}

bool push_job_request(PushJob* job) { return job && start_worker(job, request_worker); }

bool push_job_poll(PushJob* job, const wchar_t* challenge_id) {
    if (!job || job->thread) return false;
    text_copy(job->challenge_id, challenge_id ? challenge_id : L"");
    return start_worker(job, polling_worker);
}

void push_job_reap(PushJob* job) {
    if (!job || !job->thread) return;
    WaitForSingleObject(job->thread, reap_wait_ms);
    CloseHandle(job->thread);
    job->thread = nullptr;
}

bool push_job_take_request(PushJob* job, bool* created, wchar_t* text, size_t cch_text, wchar_t* challenge_id,
                           size_t cch_id, wchar_t* passcode, size_t cch_passcode) {
    if (!job) return false;
    EnterCriticalSection(&job->lock);
    bool taken = push_results_take_request(&job->results, created, text, cch_text);
    if (taken && *created) {
        text_copy(challenge_id, cch_id, job->challenge_id);
        text_copy(passcode, cch_passcode, job->passcode);
    }
    LeaveCriticalSection(&job->lock);
    return taken;
}

bool push_job_take_retrying(PushJob* job) {
    if (!job) return false;
    EnterCriticalSection(&job->lock);
    bool taken = push_results_take_retrying(&job->results);
    LeaveCriticalSection(&job->lock);
    return taken;
}

bool push_job_take_ending(PushJob* job, bool* approved, wchar_t* text, size_t cch_text) {
    if (!job) return false;
    EnterCriticalSection(&job->lock);
    bool taken = push_results_take_ending(&job->results, approved, text, cch_text);
    LeaveCriticalSection(&job->lock);
    return taken;
}

void push_job_detach(PushJob* job) {
    if (!job) return;
    EnterCriticalSection(&job->lock);
    job->window = nullptr;
    LeaveCriticalSection(&job->lock);
    SetEvent(job->cancel);
    push_job_reap(job);
    release(job);
}
