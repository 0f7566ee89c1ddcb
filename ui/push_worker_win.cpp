// Push workers.
//
// A push is requested and then polled on worker threads, so the dialog stays responsive while the
// MFA server takes its time (every call may block up to the transport's timeouts). Each dialog
// window owns one PushJob; the job, not the round's context, holds everything a worker touches: a
// copy of the settings, the challenge id and passcode, a cancel event and the target window.
//
// The job is reference counted (the window, plus the worker while it runs) and freed by whichever
// lets go last. A worker delivers a result only under the job's lock and only while the job still
// names its window; when the dialog goes, push_job_detach clears the window under the same lock and
// sets the cancel event. So a worker that outlives its dialog (blocked in a call, or between two
// polls) can never write into a later round's context nor post into a later dialog: it wakes,
// finds itself detached, frees its text and ends.
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

wchar_t* heap_text(const wchar_t* text) {
    auto* copy = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, push_text_cch * sizeof(wchar_t)));
    if (copy && text) text_copy(copy, push_text_cch, text);
    return copy;
}

// Posts to the job's window if it still has one; otherwise (or if the post fails) frees the text.
void deliver(PushJob* job, UINT message, WPARAM wparam, wchar_t* text) {
    EnterCriticalSection(&job->lock);
    bool posted = job->window && PostMessageW(job->window, message, wparam, reinterpret_cast<LPARAM>(text));
    LeaveCriticalSection(&job->lock);
    if (!posted) free_push_text(reinterpret_cast<LPARAM>(text));
}

DWORD WINAPI request_worker(void* parameter) {
    auto* job = static_cast<PushJob*>(parameter);
    wchar_t id[128] = L"", passcode[32] = L"", error[push_text_cch] = L"";
    if (request_push(&job->settings, id, 128, passcode, 32, error, push_text_cch)) {
        EnterCriticalSection(&job->lock);
        text_copy(job->challenge_id, id);
        text_copy(job->passcode, passcode);
        LeaveCriticalSection(&job->lock);
        deliver(job, msg_push_requested, 1, nullptr);
    } else {
        deliver(job, msg_push_requested, 0, heap_text(error));
    }
    release(job);
    return 0;
}

DWORD WINAPI polling_worker(void* parameter) {
    auto* job = static_cast<PushJob*>(parameter);
    if (!job->challenge_id[0]) {
        deliver(job, msg_push_finished, 0, heap_text(text_for_id(txt_challenge_empty)));
        release(job);
        return 0;
    }
    PushPoll poll = {};
    while (WaitForSingleObject(job->cancel, push_poll_interval_ms) == WAIT_TIMEOUT) {
        wchar_t status[push_status_cch] = L"", error[push_text_cch] = L"";
        bool ok = poll_push_status(&job->settings, job->challenge_id, status, push_status_cch, error, push_text_cch);
        PollStep step = push_poll_step(&poll, ok, status);
        if (step == PollStep::retrying) deliver(job, msg_push_retrying, 0, nullptr);
        if (!push_poll_is_final(step)) continue;
        if (step == PollStep::approved) {
            deliver(job, msg_push_finished, 1, nullptr);
        } else {
            wchar_t text[push_text_cch];
            push_final_text(step, error, text, push_text_cch);
            deliver(job, msg_push_finished, 0, heap_text(text));
        }
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

void push_job_results(PushJob* job, wchar_t* challenge_id, size_t cch_id, wchar_t* passcode, size_t cch_passcode) {
    EnterCriticalSection(&job->lock);
    text_copy(challenge_id, cch_id, job->challenge_id);
    text_copy(passcode, cch_passcode, job->passcode);
    LeaveCriticalSection(&job->lock);
}

void push_job_detach(PushJob* job) {
    if (!job) return;
    EnterCriticalSection(&job->lock);
    HWND window = job->window;
    job->window = nullptr;
    LeaveCriticalSection(&job->lock);
    SetEvent(job->cancel);
    push_job_reap(job);
    MSG queued;
    while (window && PeekMessageW(&queued, window, msg_push_finished, msg_push_requested, PM_REMOVE))
        if (queued.message != msg_push_retrying) free_push_text(queued.lParam);
    release(job);
}

void free_push_text(LPARAM text) {
    if (text) HeapFree(GetProcessHeap(), 0, reinterpret_cast<void*>(text));
}
