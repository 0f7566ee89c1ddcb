// The process watcher's threads. Windows offers no cheap notice of process starts to a plain
// service, so the watcher polls: once a second it reads the process list with one system call
// (NtQuerySystemInformation, SystemProcessInformation, into a buffer kept from pass to pass) and
// examines every process it has not met before. A process is known by its id and its creation
// time (ids come back quickly), both of which the list carries; the seen list forgets processes
// that are gone, so it never fills with the dead. A known process costs no system call at all.
//
// A new process is opened only when its image file name, also in the list, could match an enabled
// program rule (see ProgramNameFilter); every other process is never opened. The one handle of a
// candidate does all the work: it is opened with query and terminate access together (query only
// when terminate is refused), gives the image path, the token (the relaunch's, and the one a short
// path is resolved as), and is the handle that stops the process. Stopping by a second open of the
// id could hit another process that took the id in between.
//
// Two threads: the watcher thread passes every second and never waits for a person; it stops a
// protected program and queues it. The round thread takes the queue in turn, one MFA round at a
// time under the authentication lock (see meet_process and run_next_round). At stop the watcher
// thread waits for the round thread; a round can outlast the service's bounded wait, so the
// watcher thread counts itself as a service worker until both are done.
#include "service/process_watcher.h"

#include <windows.h>

#include "common/handle.h"
#include "common/ui_broker.h"
#include "service/approval_cache.h"
#include "service/process_list.h"
#include "service/process_list_win.h"

namespace {

constexpr DWORD pass_interval_ms = 1000;
constexpr UINT stopped_exit_code = 5;

// The process being examined, shared with the real ports.
struct ExaminedProcess {
    HANDLE handle;        // query access, plus terminate when can_terminate
    bool can_terminate;
    DWORD open_error;     // why terminate access was refused
    uint32_t session;     // as the process list gives it
};

// A short path is resolved as the user who started the program: their drive letters, their
// network access; never the service's reach into a place the user named.
bool long_path_as_starter(void* state, const wchar_t* path, wchar_t* out, size_t cch_out) {
    ExaminedProcess* examined = static_cast<ExaminedProcess*>(state);
    OwnedHandle token;
    if (!examined || !OpenProcessToken(examined->handle, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, token.put()))
        return false;
    if (!ImpersonateLoggedOnUser(token.get())) return false;
    bool resolved = long_path_of(nullptr, path, out, cch_out);
    RevertToSelf();  // before anything else this thread does
    return resolved;
}

bool take_starter(void* state, uint32_t, Starter* out) {
    ExaminedProcess* examined = static_cast<ExaminedProcess*>(state);
    out->token = 0;
    out->session = examined->session;
    OwnedHandle token;
    if (!OpenProcessToken(examined->handle, TOKEN_QUERY | TOKEN_DUPLICATE, token.put())) return false;
    HANDLE primary = nullptr;
    if (!DuplicateTokenEx(token.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &primary))
        return false;
    DWORD session = 0, cb = 0;
    if (GetTokenInformation(primary, TokenSessionId, &session, sizeof session, &cb)) out->session = session;
    out->token = reinterpret_cast<uintptr_t>(primary);
    return true;
}

void release_starter(void*, const Starter* starter) { CloseHandle(reinterpret_cast<HANDLE>(starter->token)); }

bool stop_examined(void* state, uint32_t, uint32_t* error) {
    ExaminedProcess* examined = static_cast<ExaminedProcess*>(state);
    if (!examined->can_terminate) {
        *error = examined->open_error;
        return false;
    }
    TerminateProcess(examined->handle, stopped_exit_code);  // already ending is as good as stopped
    return true;
}

bool lookup_cache(void*, const wchar_t* path, uint32_t window) { return approval_cache_lookup(path, window); }
void insert_cache(void*, const wchar_t* path, uint32_t seconds) { approval_cache_insert(path, seconds); }

// The factor asked for is that of the account that started the program (the stopped process's
// token, taken when it was stopped).
bool ask_user(void*, const Starter* starter, const Settings* settings, const Rule* rule, const wchar_t* target,
              const wchar_t* detail, wchar_t* message, size_t cch_message) {
    AccountSid account = {};
    if (!starter->token || !token_account(reinterpret_cast<HANDLE>(starter->token), &account)) account = AccountSid{};
    return authenticate_via_ui_as(starter->session, account.cb ? &account : nullptr, settings, rule, target, detail,
                                  message, cch_message);
}

bool start_again(void*, const Settings* settings, const Starter* starter, const wchar_t* program,
                 const wchar_t* directory) {
    return relaunch_program(settings, starter, program, directory);
}

WatcherPorts real_ports(ExaminedProcess* examined) {
    return {examined,     long_path_as_starter, take_starter, release_starter, stop_examined,
            lookup_cache, insert_cache,         ask_user,     start_again};
}

// Opens the process for the pass; false when it cannot even be queried (gone, or not ours).
bool open_examined(DWORD pid, OwnedHandle* handle, ExaminedProcess* examined) {
    handle->reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, pid));
    examined->can_terminate = handle->valid();
    examined->open_error = examined->can_terminate ? 0 : GetLastError();
    if (!examined->can_terminate) handle->reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    examined->handle = handle->get();
    return handle->valid();
}

struct PassState {
    ServiceContext* context;
    StoppedQueue* queue;
};

Examined examine_candidate(void* parameter, const ProcessRecord* process) {
    PassState* pass = static_cast<PassState*>(parameter);
    ExaminedProcess examined = {};
    examined.session = process->session;
    OwnedHandle handle;
    if (!open_examined(process->pid, &handle, &examined)) return Examined::done;  // gone, or not ours to look at
    // A process that is still starting may not have its image path yet: it is looked at again on
    // the next pass, never let through because it was met too early.
    wchar_t image[watcher_path_cch];
    DWORD cch_image = watcher_path_cch;
    if (!QueryFullProcessImageNameW(handle.get(), 0, image, &cch_image)) return Examined::path_not_yet;
    WatcherPorts ports = real_ports(&examined);
    meet_process(pass->context, pass->queue, process->pid, image, &ports);
    return Examined::done;
}

// What the two threads share; the watcher thread owns it and frees it after the round thread ended.
struct WatcherRun {
    ServiceContext* context;
    HANDLE stop_event;
    StoppedQueue queue;
    SeenList seen;
    ProgramNameFilter filter;
    ProcessListBuffer list;
};

void run_waiting_rounds(WatcherRun* run) {
    WatcherPorts ports = real_ports(nullptr);
    Verdict verdict;
    while (WaitForSingleObject(run->stop_event, 0) == WAIT_TIMEOUT &&
           run_next_round(run->context, &run->queue, &ports, &verdict)) {
    }
}

DWORD WINAPI round_thread(void* parameter) {
    WatcherRun* run = static_cast<WatcherRun*>(parameter);
    HANDLE events[2] = {run->stop_event, run->queue.wake};
    while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) run_waiting_rounds(run);
    return 0;
}

DWORD WINAPI watcher_thread(void* parameter) {
    WatcherRun* run = static_cast<WatcherRun*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(WatcherRun)));
    HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (run && wake) {
        run->context = static_cast<ServiceContext*>(parameter);
        run->stop_event = service_stop_event();
        stopped_queue_init(&run->queue, wake);
        seen_clear(&run->seen);
        program_filter_build(&run->context->policy, &run->filter);  // the policy does not change while we run
        OwnedHandle rounds(CreateThread(nullptr, 0, round_thread, run, 0, nullptr));
        while (WaitForSingleObject(run->stop_event, pass_interval_ms) == WAIT_TIMEOUT) {
            watcher_pass(run->context, &run->queue, &run->filter, &run->list, &run->seen);
            if (!rounds) run_waiting_rounds(run);  // no round thread: the rounds hold up the passes, as they must
        }
        if (rounds) WaitForSingleObject(rounds.get(), INFINITE);
        WatcherPorts ports = real_ports(nullptr);
        stopped_queue_destroy(&run->queue, &ports);  // programs still waiting stay stopped
        process_list_free(&run->list);
    }
    if (wake) CloseHandle(wake);
    if (run) HeapFree(GetProcessHeap(), 0, run);
    service_worker_leave();
    return 0;
}

}  // namespace

bool watcher_pass(ServiceContext* context, StoppedQueue* queue, const ProgramNameFilter* filter,
                  ProcessListBuffer* list, SeenList* seen) {
    if (!process_list_query(list)) return false;
    PassState state = {context, queue};
    return pass_over_list(list->bytes, list->cb_used, GetCurrentProcessId(), filter, seen, examine_candidate, &state);
}

HANDLE start_process_watcher(ServiceContext* context) {
    service_worker_enter();
    HANDLE thread = CreateThread(nullptr, 0, watcher_thread, context, 0, nullptr);
    if (!thread) service_worker_leave();
    return thread;
}
