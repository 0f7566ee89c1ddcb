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
// The watcher thread passes every second and never waits for a person; it stops a protected
// program and queues it. Each session with programs waiting has a round thread of its own, which
// takes that session's programs in turn, one MFA round at a time under the session's round lock
// (see meet_process and run_next_round): a round that never ends holds up its own session only.
// At stop the watcher thread waits for the round threads; a round can outlast the service's
// bounded wait, so the watcher thread counts itself as a service worker until all are done.
#include "service/process_watcher.h"

#include <windows.h>

#include "common/event_log.h"
#include "common/file_identity.h"
#include "common/handle.h"
#include "common/impersonation.h"
#include "common/process_identity.h"
#include "common/text.h"
#include "common/ui_broker.h"
#include "service/approval_cache.h"
#include "service/process_list.h"
#include "service/process_list_win.h"

namespace {

constexpr DWORD pass_interval_ms = 1000;
constexpr UINT stopped_exit_code = 5;
constexpr size_t max_listed_name_cch = 260;

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
    revert_or_end();  // before anything else this thread does
    return resolved;
}

// The image file is read as its starter too: a file the user could not read is not read for them.
bool identity_as_starter(void* state, const wchar_t* path, bool want_hash, FileIdentity* out) {
    ExaminedProcess* examined = static_cast<ExaminedProcess*>(state);
    OwnedHandle token;
    if (!examined || !OpenProcessToken(examined->handle, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, token.put()))
        return false;
    if (!ImpersonateLoggedOnUser(token.get())) return false;
    bool read = read_file_identity(path, want_hash, out);
    revert_or_end();
    return read;
}

void params_of_examined(void* state, uint32_t pid, ProcessParams* out) {
    ExaminedProcess* examined = static_cast<ExaminedProcess*>(state);
    if (examined) read_process_params(examined->handle, pid, out);
}

bool take_starter(void* state, uint32_t pid, Starter* out) {
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
    if (!token_account(primary, &out->user)) out->user.cb = 0;  // nobody's approval counts for it
    out->limits = starter_limits(examined->handle, pid, primary);
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

bool lookup_cache(void*, const AccountSid* user, const wchar_t* path, uint32_t window) {
    return approval_cache_lookup(user, path, window);
}
void insert_cache(void*, const AccountSid* user, const wchar_t* path, uint32_t seconds) {
    approval_cache_insert(user, path, seconds);
}

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
                 const wchar_t* arguments, const wchar_t* directory) {
    return relaunch_program(settings, starter, program, directory, arguments);
}

bool starter_account(void*, const Starter* starter, wchar_t* out, size_t cch_out) {
    return starter->token && account_of_token(reinterpret_cast<HANDLE>(starter->token), out, cch_out);
}

// Opens the file as the starter: the service never reaches a file with its own rights on the
// user's behalf. Execute access (the starter ran it) takes part in sharing, where attribute
// access alone would not: with read sharing only, nobody may write, rename or delete the file
// while the handle is open.
HANDLE open_as_starter(const Starter* starter, const wchar_t* path) {
    if (!starter->token || !ImpersonateLoggedOnUser(reinterpret_cast<HANDLE>(starter->token))) return nullptr;
    OwnedHandle file(CreateFileW(path, FILE_EXECUTE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    revert_or_end();  // before anything else this thread does
    return file ? file.release() : nullptr;
}

bool identity_of(HANDLE file, uint32_t* volume, uint64_t* index) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return false;
    *volume = info.dwVolumeSerialNumber;
    *index = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool pin_image(void*, const Starter* starter, const wchar_t* path, FilePin* out) {
    HANDLE file = open_as_starter(starter, path);
    FilePin pin = {reinterpret_cast<uintptr_t>(file), 0, 0};
    if (!file || !identity_of(file, &pin.volume, &pin.index)) {
        if (file) CloseHandle(file);
        return false;
    }
    *out = pin;
    return true;
}

// The path opened again as the starter, with the same sharing: it succeeds beside the pin, and
// names the pinned file unless the path was changed to name another.
bool file_identity(void*, const Starter* starter, const wchar_t* path, uint32_t* volume, uint64_t* index) {
    OwnedHandle file(open_as_starter(starter, path));
    return file && identity_of(file.get(), volume, index);
}

void unpin(void*, const FilePin* pin) { CloseHandle(reinterpret_cast<HANDLE>(pin->handle)); }

WatcherPorts real_ports(ExaminedProcess* examined) {
    return {examined,      long_path_as_starter, take_starter,        release_starter, stop_examined,
            lookup_cache,  insert_cache,         ask_user,            start_again,     starter_account,
            pin_image,     file_identity,        unpin,               identity_as_starter,
            params_of_examined};
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
    wchar_t* image;  // image_path_read_cch units, for the candidate being examined
};

Examined examine_candidate(void* parameter, const ProcessRecord* process) {
    PassState* pass = static_cast<PassState*>(parameter);
    ExaminedProcess examined = {};
    examined.session = process->session;
    OwnedHandle handle;
    if (!open_examined(process->pid, &handle, &examined)) return Examined::done;  // gone, or not ours to look at
    WatcherPorts ports = real_ports(&examined);
    // The list shows this process whole (name and creation time), so its image path is there to be
    // read, at any length: a read that fails now is refused, never let through or tried for ever.
    wchar_t* image = pass->image;
    DWORD cch_image = image_path_read_cch;
    if (!QueryFullProcessImageNameW(handle.get(), 0, image, &cch_image)) {
        DWORD error = GetLastError();
        wchar_t name[max_listed_name_cch];
        text_copy_n(name, max_listed_name_cch, process->name, process->cch_name);
        refuse_unreadable(pass->context, process->pid, name, error, &ports);
        return Examined::done;
    }
    meet_process(pass->context, pass->queue, process->pid, image, &ports);
    return Examined::done;
}

struct WatcherRun;

// The round thread of one session; running is changed under the queue's lock only.
struct SessionRounds {
    WatcherRun* run;
    uint32_t session;
    bool running;
    HANDLE thread;  // null when none was started in this slot
};

// What the threads share; the watcher thread owns it and frees it after every round thread ended.
struct WatcherRun {
    ServiceContext* context;
    HANDLE stop_event;
    StoppedQueue queue;
    SeenList seen;
    ProgramNameFilter filter;
    ProcessListBuffer list;
    SessionRounds rounds[session_lock_slots];
};

// One session's rounds, one after another, until none of that session waits (or the service stops).
DWORD WINAPI session_round_thread(void* parameter) {
    SessionRounds* slot = static_cast<SessionRounds*>(parameter);
    WatcherRun* run = slot->run;
    WatcherPorts ports = real_ports(nullptr);
    Verdict verdict;
    while (WaitForSingleObject(run->stop_event, 0) == WAIT_TIMEOUT) {
        if (run_next_round(run->context, &run->queue, slot->session, &ports, &verdict)) continue;
        // Nothing of the session waits: the thread ends, and says so under the lock the watcher
        // checks when it queues the session's next program. It touches the queue no more.
        EnterCriticalSection(&run->queue.lock);
        bool more = stopped_waiting_in(&run->queue, slot->session);
        if (!more) slot->running = false;
        LeaveCriticalSection(&run->queue.lock);
        if (!more) return 0;
    }
    return 0;  // stopping: the watcher thread waits for every round thread
}

// The slot of the session's running thread, or a slot for a new one; null when every slot runs.
// The caller holds the queue's lock.
SessionRounds* rounds_slot(WatcherRun* run, uint32_t session, bool* running) {
    SessionRounds* free_slot = nullptr;
    for (SessionRounds& slot : run->rounds) {
        if (slot.running && slot.session == session) {
            *running = true;
            return &slot;
        }
        if (!slot.running && !free_slot) free_slot = &slot;
    }
    *running = false;
    return free_slot;
}

// Starts a round thread for every session with a program waiting and no thread of its own.
void start_round_threads(WatcherRun* run) {
    EnterCriticalSection(&run->queue.lock);
    for (uint32_t i = 0; i < run->queue.count; ++i) {
        const StoppedProgram& program = run->queue.programs[i];
        if (program.in_round) continue;
        bool running = false;
        SessionRounds* slot = rounds_slot(run, program.starter.session, &running);
        if (running || !slot) continue;  // no slot: it waits until a session's thread ends
        if (slot->thread) {
            // That thread has set running to false: it ends without touching the queue again.
            WaitForSingleObject(slot->thread, INFINITE);
            CloseHandle(slot->thread);
        }
        slot->run = run;
        slot->session = program.starter.session;
        slot->running = true;
        slot->thread = CreateThread(nullptr, 0, session_round_thread, slot, 0, nullptr);
        if (!slot->thread) slot->running = false;  // tried again after the next pass
    }
    LeaveCriticalSection(&run->queue.lock);
}

DWORD WINAPI watcher_thread(void* parameter) {
    WatcherRun* run = static_cast<WatcherRun*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(WatcherRun)));
    if (run) {
        run->context = static_cast<ServiceContext*>(parameter);
        run->stop_event = service_stop_event();
        stopped_queue_init(&run->queue, nullptr);
        seen_clear(&run->seen);
        program_filter_build(&run->context->policy, &run->filter);  // the policy does not change while we run
        while (WaitForSingleObject(run->stop_event, pass_interval_ms) == WAIT_TIMEOUT) {
            watcher_pass(run->context, &run->queue, &run->filter, &run->list, &run->seen);
            start_round_threads(run);
        }
        for (const SessionRounds& slot : run->rounds) {
            if (!slot.thread) continue;
            WaitForSingleObject(slot.thread, INFINITE);
            CloseHandle(slot.thread);
        }
        WatcherPorts ports = real_ports(nullptr);
        stopped_queue_destroy(&run->queue, &ports);  // programs still waiting stay stopped
        process_list_free(&run->list);
    }
    if (run) HeapFree(GetProcessHeap(), 0, run);
    service_worker_leave();
    return 0;
}

}  // namespace

bool watcher_pass(ServiceContext* context, StoppedQueue* queue, const ProgramNameFilter* filter,
                  ProcessListBuffer* list, SeenList* seen) {
    if (!process_list_query(list)) return false;
    wchar_t* image = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, image_path_read_cch * sizeof(wchar_t)));
    if (!image) return false;
    PassState state = {context, queue, image};
    bool whole = pass_over_list(list->bytes, list->cb_used, GetCurrentProcessId(), filter, seen, examine_candidate, &state);
    HeapFree(GetProcessHeap(), 0, image);
    return whole;
}

HANDLE start_process_watcher(ServiceContext* context) {
    service_worker_enter();
    HANDLE thread = CreateThread(nullptr, 0, watcher_thread, context, 0, nullptr);
    if (!thread) service_worker_leave();
    return thread;
}
