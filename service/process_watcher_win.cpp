// The process watcher thread. Windows offers no cheap notice of process starts to a plain service,
// so the watcher polls: once a second it reads the process list with one system call
// (NtQuerySystemInformation, SystemProcessInformation, into a buffer kept from pass to pass) and
// examines every process it has not met before. A process is known by its id and its creation
// time (ids come back quickly), both of which the list carries; the seen list forgets processes
// that are gone, so it never fills with the dead. A known process costs no system call at all.
//
// A new process is opened only when its image file name, also in the list, could match an enabled
// program rule (see ProgramNameFilter); every other process is never opened. The one handle of a
// candidate does all the work: it is opened with query and terminate access together (query only
// when terminate is refused), gives the image path, and is the handle that stops the process.
// Stopping by a second open of the id could hit another process that took the id in between.
//
// A protected process is stopped, and the MFA round runs under the authentication lock; the pass
// then ends, since the rest of its list may be minutes old. Processes that appeared meanwhile
// are judged on the next pass, where an approval just given lets them run. The round can outlast
// the service's bounded wait at stop, so the thread counts itself as a service worker.
#include "service/process_watcher.h"

#include <windows.h>

#include "common/handle.h"
#include "common/ui_broker.h"
#include "service/approval_cache.h"
#include "service/process_list.h"
#include "service/process_list_win.h"
#include "service/relaunch.h"

namespace {

constexpr DWORD pass_interval_ms = 1000;
constexpr UINT stopped_exit_code = 5;

// The process being examined, shared with the real ports.
struct ExaminedProcess {
    HANDLE handle;        // query access, plus terminate when can_terminate
    bool can_terminate;
    DWORD open_error;     // why terminate access was refused
};

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

bool ask_user(void*, const Settings* settings, const Rule* rule, const wchar_t* target, const wchar_t* detail,
              wchar_t* message, size_t cch_message) {
    return authenticate_via_ui(settings, rule, target, detail, message, cch_message);
}

bool start_again(void*, const Settings* settings, const wchar_t* program, const wchar_t* directory) {
    return relaunch_program(settings, program, directory);
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
};

Examined examine_candidate(void* parameter, const ProcessRecord* process) {
    PassState* pass = static_cast<PassState*>(parameter);
    ExaminedProcess examined = {};
    OwnedHandle handle;
    if (!open_examined(process->pid, &handle, &examined)) return Examined::done;  // gone, or not ours to look at
    // A process that is still starting may not have its image path yet: it is looked at again on
    // the next pass, never let through because it was met too early.
    wchar_t image[watcher_path_cch];
    DWORD cch_image = watcher_path_cch;
    if (!QueryFullProcessImageNameW(handle.get(), 0, image, &cch_image)) return Examined::path_not_yet;
    WatcherPorts ports = {&examined, stop_examined, lookup_cache, insert_cache, ask_user, start_again};
    return verdict_took_round(judge_process(pass->context, process->pid, image, &ports)) ? Examined::end_pass
                                                                                         : Examined::done;
}

DWORD WINAPI watcher_thread(void* parameter) {
    ServiceContext* context = static_cast<ServiceContext*>(parameter);
    HANDLE stop_event = service_stop_event();
    SeenList* seen = static_cast<SeenList*>(HeapAlloc(GetProcessHeap(), 0, sizeof(SeenList)));
    if (seen) {
        ProgramNameFilter filter;
        program_filter_build(&context->policy, &filter);  // the policy does not change while we run
        ProcessListBuffer list = {};
        seen_clear(seen);
        while (WaitForSingleObject(stop_event, pass_interval_ms) == WAIT_TIMEOUT)
            watcher_pass(context, &filter, &list, seen);
        process_list_free(&list);
        HeapFree(GetProcessHeap(), 0, seen);
    }
    service_worker_leave();
    return 0;
}

}  // namespace

bool watcher_pass(ServiceContext* context, const ProgramNameFilter* filter, ProcessListBuffer* list, SeenList* seen) {
    if (!process_list_query(list)) return false;
    PassState state = {context};
    return pass_over_list(list->bytes, list->cb_used, GetCurrentProcessId(), filter, seen, examine_candidate, &state);
}

HANDLE start_process_watcher(ServiceContext* context) {
    service_worker_enter();
    HANDLE thread = CreateThread(nullptr, 0, watcher_thread, context, 0, nullptr);
    if (!thread) service_worker_leave();
    return thread;
}
