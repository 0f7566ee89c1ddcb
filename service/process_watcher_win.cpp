// The process watcher thread. Windows offers no cheap notice of process starts to a plain service,
// so the watcher polls: once a second it walks a Toolhelp snapshot and examines every process it
// has not met before. A process is known by its id and its creation time (ids come back quickly);
// the seen list forgets processes that are gone, so it never fills with the dead. Each process met
// is pinned by a SYNCHRONIZE handle held while it stays in the list: its id cannot be reused then,
// so later passes recognise it by id alone and a pass costs no system call per known process.
//
// One handle per process does all the work for a pass: it is opened with query and terminate
// access together (query only when terminate is refused), gives the creation time and the image
// path, and is the handle that stops the process. Stopping by a second open of the id could hit
// another process that took the id in between.
//
// A protected process is stopped, and the MFA round runs under the authentication lock; the pass
// then ends, since the rest of its snapshot may be minutes old. Processes that appeared meanwhile
// are judged on the next pass, where an approval just given lets them run. The round can outlast
// the service's bounded wait at stop, so the thread counts itself as a service worker.
#include "service/process_watcher.h"

#include <windows.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include "common/handle.h"
#include "common/ui_broker.h"
#include "service/approval_cache.h"
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
    // The active console session until the watcher passes the stopped program's own session.
    return authenticate_via_ui(WTSGetActiveConsoleSessionId(), settings, rule, target, detail, message, cch_message);
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

void close_pin(uintptr_t pin) { CloseHandle(reinterpret_cast<HANDLE>(pin)); }

// A handle of our own to the process, which keeps its id from being reused; 0 when none.
uintptr_t pin_of(HANDLE process) {
    HANDLE pin = nullptr;
    if (!process || !DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &pin, SYNCHRONIZE, FALSE, 0))
        return 0;
    return reinterpret_cast<uintptr_t>(pin);
}

uint64_t creation_time(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!process || !GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

DWORD WINAPI watcher_thread(void* parameter) {
    ServiceContext* context = static_cast<ServiceContext*>(parameter);
    HANDLE stop_event = service_stop_event();
    SeenList* seen = static_cast<SeenList*>(HeapAlloc(GetProcessHeap(), 0, sizeof(SeenList)));
    if (seen) {
        seen_clear(seen, close_pin);
        while (WaitForSingleObject(stop_event, pass_interval_ms) == WAIT_TIMEOUT) watcher_pass(context, seen);
        seen_release_all(seen);
        HeapFree(GetProcessHeap(), 0, seen);
    }
    service_worker_leave();
    return 0;
}

}  // namespace

bool watcher_pass(ServiceContext* context, SeenList* seen) {
    OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;

    ExaminedProcess examined = {};
    WatcherPorts ports = {&examined, stop_examined, lookup_cache, insert_cache, ask_user, start_again};
    const DWORD own_pid = GetCurrentProcessId();
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    seen_begin_pass(seen);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        const DWORD pid = entry.th32ProcessID;
        if (pid == 0 || pid == own_pid || seen_met_pinned(seen, pid)) continue;
        OwnedHandle process;
        bool opened = open_examined(pid, &process, &examined);
        // A process we cannot query is remembered with creation time 0 and no pin: skipped while
        // it lives, and a later process under its id is new again.
        uint64_t created = creation_time(process.get());
        if (seen_check_and_add(seen, pid, created, pin_of(process.get()))) continue;
        if (!opened) continue;

        // A process that is still starting may not have its image path yet: it is looked at
        // again on the next pass, never let through because it was met too early.
        wchar_t image[watcher_path_cch];
        DWORD cch_image = watcher_path_cch;
        if (!QueryFullProcessImageNameW(process.get(), 0, image, &cch_image)) {
            seen_forget(seen, pid, created);
            continue;
        }
        if (verdict_took_round(judge_process(context, pid, image, &ports))) return false;
    }
    seen_end_pass(seen);
    return true;
}

HANDLE start_process_watcher(ServiceContext* context) {
    service_worker_enter();
    HANDLE thread = CreateThread(nullptr, 0, watcher_thread, context, 0, nullptr);
    if (!thread) service_worker_leave();
    return thread;
}
