#include "service/process_watcher.h"

#include <windows.h>
#include <string.h>

#include "common/canonical_path.h"
#include "common/event_log.h"
#include "common/log.h"
#include "common/text.h"
#include "service/process_list.h"

constexpr uint32_t relaunch_approval_floor_seconds = 5;
constexpr size_t reason_cch = 256;
constexpr const wchar_t* unreadable_identity_reason = L"无法读取程序文件的身份信息，默认拒绝";

// --- the seen-process list ---

namespace {

// The index of the entry for the process, searched from the cursor (the process list names
// processes in nearly the same order each pass, so the search usually hits at once); count when
// there is none.
uint32_t find_entry(const SeenList* list, uint32_t pid, uint64_t created) {
    for (uint32_t n = 0; n < list->count; ++n) {
        uint32_t i = list->cursor + n;
        if (i >= list->count) i -= list->count;
        if (list->entries[i].pid == pid && list->entries[i].created == created) return i;
    }
    return list->count;
}

}  // namespace

void seen_clear(SeenList* list) {
    list->count = 0;
    list->pass = 0;
    list->cursor = 0;
}

void seen_begin_pass(SeenList* list) {
    ++list->pass;
    list->cursor = 0;
}

bool seen_check_and_add(SeenList* list, uint32_t pid, uint64_t created) {
    uint32_t i = find_entry(list, pid, created);
    if (i != list->count) {
        list->entries[i].pass = list->pass;
        list->cursor = i + 1 < list->count ? i + 1 : 0;
        return true;
    }
    if (list->count < seen_capacity) {
        list->entries[list->count] = SeenEntry{pid, list->pass, created};
        ++list->count;
    }
    return false;
}

void seen_end_pass(SeenList* list) {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < list->count; ++i) {
        if (list->entries[i].pass == list->pass) list->entries[kept++] = list->entries[i];
    }
    list->count = kept;
    list->cursor = 0;
}

void seen_forget(SeenList* list, uint32_t pid, uint64_t created) {
    uint32_t i = find_entry(list, pid, created);
    if (i == list->count) return;
    list->entries[i] = list->entries[list->count - 1];
    --list->count;
    list->cursor = 0;
}

// --- one pass over the process list ---

bool pass_over_list(const void* bytes, size_t cb, uint32_t own_pid, const ProgramNameFilter* filter, SeenList* seen,
                    ExamineFn examine, void* state) {
    ProcessWalk walk;
    ProcessRecord process;
    process_walk_start(&walk, bytes, cb);
    seen_begin_pass(seen);
    while (process_walk_next(&walk, &process)) {
        if (process.pid == 0 || process.pid == own_pid || !process_record_ready(&process)) continue;
        if (seen_check_and_add(seen, process.pid, process.created)) continue;
        if (!program_filter_could_match(filter, process.name, process.cch_name)) continue;
        examine(state, &process);
    }
    // A list that cannot be read to its end is no list: nothing is forgotten on its word.
    if (walk.malformed) return false;
    seen_end_pass(seen);
    return true;
}

// --- what a relaunch starts ---

bool is_store_app_path(const wchar_t* image_path) {
    if (!image_path) return false;
    return wcsstr(image_path, L"WindowsApps\\") != nullptr || wcsstr(image_path, L"windowsapps\\") != nullptr;
}

bool folder_of_path(const wchar_t* path, wchar_t* out, size_t cch_out) {
    size_t cch = text_length(path, watcher_path_cch);
    if (cch >= watcher_path_cch) return false;
    size_t last = cch;  // index of the last backslash; cch when there is none
    for (size_t i = 0; i < cch; ++i) {
        if (path[i] == L'\\') last = i;
    }
    size_t keep = 0;
    if (last == cch) {
        keep = 0;  // a bare name has no folder
    } else if (last == 0 || (last == 2 && path[1] == L':')) {
        keep = last + 1;  // "\" and "C:\" stay roots
    } else {
        keep = last;
    }
    if (keep >= cch_out) return false;
    text_copy_n(out, cch_out, path, keep);
    return true;
}

bool relaunch_target(const wchar_t* image_path, RelaunchTarget* out) {
    if (!image_path || image_path[0] == L'\0') return false;
    size_t cch = text_length(image_path, watcher_path_cch);
    if (cch >= watcher_path_cch) return false;

    RelaunchTarget target;
    if (is_store_app_path(image_path)) {
        const wchar_t* name = image_path;
        for (const wchar_t* p = image_path; *p; ++p) {
            if (*p == L'\\' || *p == L'/' || *p == L':') name = p + 1;
        }
        if (name[0] == L'\0' || text_length(name, store_app_name_cch) >= store_app_name_cch) return false;
        text_copy(target.program, name);
        target.directory[0] = L'\0';
    } else {
        text_copy(target.program, image_path);
        if (!folder_of_path(image_path, target.directory, watcher_path_cch)) return false;
    }
    *out = target;
    return true;
}

// --- stopping protected programs, and judging them one round at a time ---

uint32_t approval_seconds(const Rule* rule) {
    if (rule->cache_window_seconds <= 0) return relaunch_approval_floor_seconds;
    return static_cast<uint32_t>(rule->cache_window_seconds);
}

namespace {

constexpr const wchar_t* queue_full_reason = L"等待认证的程序过多，默认拒绝";
constexpr const wchar_t* round_busy_reason = L"认证繁忙，默认拒绝";
constexpr const wchar_t* network_reason = L"网络路径上的程序不会由服务重新启动，默认拒绝";
constexpr const wchar_t* unpinned_reason = L"无法锁定程序文件，默认拒绝";
constexpr const wchar_t* unreadable_reason = L"无法读取程序的完整路径，默认拒绝";
constexpr const wchar_t* too_long_reason = L"程序路径过长，默认拒绝";

uint32_t rule_window(const Rule* rule) {
    return rule->cache_window_seconds > 0 ? static_cast<uint32_t>(rule->cache_window_seconds) : 0;
}

// The same program started by the same user in the same session (another user's start is never
// covered by this user's round).
bool same_program(const StoppedProgram& program, const wchar_t* path, const Starter* starter) {
    return program.starter.session == starter->session && text_equal_nocase(program.path, path) &&
           (program.starter.user.cb == starter->user.cb &&
            memcmp(program.starter.user.sid, starter->user.sid, starter->user.cb) == 0);
}

// The starter's account for the audit events, "-" when it is unknown.
struct Account {
    wchar_t name[event_account_cch];
};
Account account_of(const WatcherPorts* ports, const Starter* starter) {
    Account account;
    if (!starter || !ports->account || !ports->account(ports->state, starter, account.name, event_account_cch))
        text_copy(account.name, unknown_account);
    return account;
}

void release(const WatcherPorts* ports, Starter* starter) {
    if (starter->token) ports->release_starter(ports->state, starter);
    starter->token = 0;
}

// Stops the process; false (logged) when it could not be stopped.
bool stop(ServiceContext* context, uint32_t pid, const wchar_t* path, const WatcherPorts* ports) {
    uint32_t error = 0;
    if (ports->stop_process(ports->state, pid, &error)) return true;
    // Gone already, or not ours to stop: no dialog for a program that was not stopped.
    log_event(&context->settings, L"program not stopped: %s error=%lu", path, static_cast<unsigned long>(error));
    return false;
}

uint32_t waiting_in(const StoppedQueue* queue, uint32_t session) {
    uint32_t count = 0;
    for (uint32_t i = 0; i < queue->count; ++i) {
        if (queue->programs[i].starter.session == session) ++count;
    }
    return count;
}

void unpin(const WatcherPorts* ports, FilePin* pin) {
    if (pin->handle) ports->unpin(ports->state, pin);
    pin->handle = 0;
}

// Queues a stopped program, or folds it into the entry for the same program in the same session.
// False when the queue is full. *spare receives a starter the queue did not keep, *spare_pin a
// pin it did not keep.
bool enqueue(StoppedQueue* queue, const wchar_t* path, const Rule* rule, const Starter* starter, const FilePin* pin,
             const ProcessParams* params, Starter* spare, FilePin* spare_pin) {
    *spare = Starter{};
    *spare_pin = *pin;
    bool kept = true, appended = false;
    EnterCriticalSection(&queue->lock);
    uint32_t i = 0;
    while (i < queue->count && !same_program(queue->programs[i], path, starter)) ++i;
    if (i < queue->count) {
        StoppedProgram& program = queue->programs[i];
        if (!program.in_round) {
            *spare = *starter;  // one dialog for the burst; the first start's token relaunches it
        } else {
            if (program.stopped_again) *spare = program.again;
            program.stopped_again = true;
            program.again = *starter;  // the latest start is the one asked for again after a failure
        }
    } else if (queue->count == stopped_capacity || waiting_in(queue, starter->session) >= stopped_per_session) {
        kept = false;
    } else {
        StoppedProgram& program = queue->programs[queue->count++];
        text_copy(program.path, path);
        program.rule = rule;
        program.starter = *starter;
        program.pin = *pin;
        *spare_pin = FilePin{};
        program.in_round = false;
        program.stopped_again = false;
        program.again = Starter{};
        program.params = *params;
        appended = true;
    }
    LeaveCriticalSection(&queue->lock);
    if (appended && queue->wake) SetEvent(queue->wake);
    return kept;
}

// True when the path still names the file pinned before the stop (opened again as the starter).
bool still_pinned(const StoppedProgram* program, const WatcherPorts* ports) {
    uint32_t volume = 0;
    uint64_t index = 0;
    return program->pin.handle &&
           ports->file_identity(ports->state, &program->starter, program->path, &volume, &index) &&
           volume == program->pin.volume && index == program->pin.index;
}

// The arguments of the stopped process's command line; null when it could not be read.
const wchar_t* stopped_arguments(const StoppedProgram* program) {
    return program->params.have_command_line ? arguments_after_program(program->params.command_line) : nullptr;
}

// The relaunch after a pass (the approval is in the cache already): the approved file, with the
// stopped process's arguments, in its current folder. A folder that cannot be used any more (it
// was removed meanwhile) gives way to the program's own folder.
Verdict relaunch(ServiceContext* context, const StoppedProgram* program, const WatcherPorts* ports) {
    const Settings* settings = &context->settings;
    if (!still_pinned(program, ports)) {
        log_event(settings, L"relaunch: file changed during the round: %s", program->path);
        log_event(settings, L"program relaunch failed: %s", program->path);
        return Verdict::relaunch_failed;
    }
    RelaunchTarget target;
    bool started = false;
    if (relaunch_target(program->path, &target)) {
        const wchar_t* arguments = stopped_arguments(program);
        const wchar_t* own_folder = target.directory[0] ? target.directory : nullptr;
        wchar_t folder[process_folder_cch];
        // A store application is started by name without a folder, as before.
        bool have_folder = program->params.have_folder && !is_store_app_path(program->path) &&
                           folder_for_start(program->params.folder, folder, process_folder_cch);
        started = ports->relaunch(ports->state, settings, &program->starter, target.program, arguments,
                                  have_folder ? folder : own_folder);
        if (!started && have_folder) {
            log_event(settings, L"program relaunch: current folder not usable, trying the program's folder: %s",
                      folder);
            started = ports->relaunch(ports->state, settings, &program->starter, target.program, arguments, own_folder);
        }
    }
    if (!started) {
        log_event(settings, L"program relaunch failed: %s", program->path);
        return Verdict::relaunch_failed;
    }
    log_event(settings, L"program relaunch ok: %s", program->path);
    audit_event(settings, AuditEvent::program_relaunched, program->path, account_of(ports, &program->starter).name,
                program->rule->display_name, program->rule->auth_mode);
    return Verdict::relaunched;
}

// One round; the caller holds the session's round lock.
Verdict judge_stopped(ServiceContext* context, const StoppedProgram* program, const WatcherPorts* ports) {
    // An earlier round may have approved this path while the program waited.
    if (ports->cache_lookup(ports->state, &program->starter.user, program->path, rule_window(program->rule))) {
        return relaunch(context, program, ports);
    }
    const Settings* settings = &context->settings;
    Account account = account_of(ports, &program->starter);
    audit_event(settings, AuditEvent::program_stopped, program->path, account.name, program->rule->display_name,
                program->rule->auth_mode);
    // The detail line shows the command line the relaunch will run.
    wchar_t detail[process_command_line_cch];
    RelaunchTarget target;
    if (!stopped_arguments(program) || !relaunch_target(program->path, &target) ||
        !relaunch_command_line(target.program, stopped_arguments(program), detail, process_command_line_cch))
        detail[0] = L'\0';
    wchar_t reason[reason_cch] = L"";
    bool passed = ports->authenticate(ports->state, &program->starter, settings, program->rule, program->path,
                                      detail, reason, reason_cch);
    reason[reason_cch - 1] = L'\0';
    if (!passed) {
        log_event(settings, L"program denied: %s reason=%s", program->path, reason);
        audit_event(settings, AuditEvent::program_denied, program->path, account.name, reason);
        return Verdict::denied;
    }
    // A file replaced meanwhile was never approved: nothing is cached, nothing started.
    if (!still_pinned(program, ports)) return relaunch(context, program, ports);
    // The approval goes in first: the relaunched process must find it on the next pass.
    ports->cache_insert(ports->state, &program->starter.user, program->path, approval_seconds(program->rule));
    return relaunch(context, program, ports);
}

}  // namespace

void stopped_queue_init(StoppedQueue* queue, HANDLE wake) {
    InitializeCriticalSection(&queue->lock);
    queue->wake = wake;
    queue->count = 0;
}

void stopped_queue_destroy(StoppedQueue* queue, const WatcherPorts* ports) {
    for (uint32_t i = 0; i < queue->count; ++i) {
        release(ports, &queue->programs[i].starter);
        release(ports, &queue->programs[i].again);
        unpin(ports, &queue->programs[i].pin);
    }
    queue->count = 0;
    DeleteCriticalSection(&queue->lock);
}

Verdict refuse_unreadable(ServiceContext* context, uint32_t pid, const wchar_t* name, uint32_t error,
                          const WatcherPorts* ports) {
    if (!stop(context, pid, name, ports)) return Verdict::not_stopped;
    log_event(&context->settings, L"program denied: %s reason=%s error=%lu", name, unreadable_reason,
              static_cast<unsigned long>(error));
    audit_event(&context->settings, AuditEvent::program_denied, name, unknown_account, unreadable_reason);
    return Verdict::denied;
}

namespace {
Verdict meet_canonical(ServiceContext* context, StoppedQueue* queue, uint32_t pid, const wchar_t* image_path,
                       wchar_t* full, const WatcherPorts* ports);
}  // namespace

Verdict meet_process(ServiceContext* context, StoppedQueue* queue, uint32_t pid, const wchar_t* image_path,
                     const WatcherPorts* ports) {
    // A prefix ("\\?\", "\\?\UNC\") names the same file as the plain path and must not escape its rule.
    // The whole path is kept on the heap: threads' stacks stay small.
    wchar_t* full = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, image_path_read_cch * sizeof(wchar_t)));
    if (!full) return refuse_unreadable(context, pid, image_path ? image_path : L"", ERROR_OUTOFMEMORY, ports);
    Verdict verdict = meet_canonical(context, queue, pid, image_path, full, ports);
    HeapFree(GetProcessHeap(), 0, full);
    return verdict;
}

namespace {

Verdict meet_canonical(ServiceContext* context, StoppedQueue* queue, uint32_t pid, const wchar_t* image_path,
                       wchar_t* full, const WatcherPorts* ports) {
    if (!canonical_path(image_path, full, image_path_read_cch)) {
        return refuse_unreadable(context, pid, image_path ? image_path : L"", 0, ports);
    }
    wchar_t path[watcher_path_cch];
    if (!rule_path_key(full, ports->long_path, ports->state, path, watcher_path_cch)) {
        if (!path_may_hold_short_names(full)) {
            // Longer than a round, the dialog and the approval cache can carry: judged by the rules
            // on its whole path, and a protected one is refused (it cannot be asked for by name).
            const Rule* rule = match_rule(&context->policy, rule_type_program, full, L"");
            if (!rule) return Verdict::not_protected;
            if (!stop(context, pid, full, ports)) return Verdict::not_stopped;
            // A log line holds no such path: its file name and length say which one it was.
            const wchar_t* name = full;
            for (const wchar_t* p = full; *p; ++p) {
                if (*p == L'\\') name = p + 1;
            }
            log_event(&context->settings, L"program denied: ...\\%s reason=%s length=%lu", name, too_long_reason,
                      static_cast<unsigned long>(text_length(full, image_path_read_cch)));
            audit_event(&context->settings, AuditEvent::program_denied, full, unknown_account, too_long_reason);
            return Verdict::denied;
        }
        // Started by a short name that no longer resolves (renamed or moved since, or out of the
        // starter's reach): which program this is cannot be told, so it does not run.
        if (!stop(context, pid, full, ports)) return Verdict::not_stopped;
        log_event(&context->settings, L"program denied: %s reason=%s", full, unresolved_path_reason);
        audit_event(&context->settings, AuditEvent::program_denied, full, unknown_account, unresolved_path_reason);
        return Verdict::denied;
    }
    IdentityPort identity = {ports->state, ports->read_identity, false};
    const Rule* rule = match_rule(&context->policy, rule_type_program, path, L"", &identity);
    if (identity.unreadable) {
        // A rule names this program by what the file is, and the file cannot be read to tell.
        if (!stop(context, pid, path, ports)) return Verdict::not_stopped;
        log_event(&context->settings, L"program denied: %s reason=%s", path, unreadable_identity_reason);
        audit_event(&context->settings, AuditEvent::program_denied, path, unknown_account, unreadable_identity_reason);
        return Verdict::denied;
    }
    if (!rule) return Verdict::not_protected;

    // The starter is taken first: the approval that lets the process run is its own user's.
    Starter starter = {};
    ports->take_starter(ports->state, pid, &starter);  // before the stop: the process still exists
    if (ports->cache_lookup(ports->state, &starter.user, path, rule_window(rule))) {
        release(ports, &starter);
        return Verdict::approved;
    }
    // A start the relaunch would free from its job, token limits or sandbox is not asked for: the
    // user starts it again in a way the relaunch can repeat.
    const wchar_t* limited = relaunch_refusal(starter.limits);
    if (limited) {
        Account account = account_of(ports, &starter);
        release(ports, &starter);
        if (!stop(context, pid, path, ports)) return Verdict::not_stopped;
        log_event(&context->settings, L"program relaunch refused: %s reason=%s", path, limited);
        audit_event(&context->settings, AuditEvent::program_denied, path, account.name, limited);
        return Verdict::denied;
    }
    // Neither run from the network as the service, nor judged without its file held: refused.
    const wchar_t* refusal = nullptr;
    FilePin pin = {};
    if (is_network_path(path)) {
        refusal = network_reason;
    } else if (!starter.token || !ports->pin_image(ports->state, &starter, path, &pin)) {
        pin = FilePin{};
        refusal = unpinned_reason;
    }
    // Read before the stop as well; what cannot be read is started without, as it was before.
    ProcessParams params;
    params.have_command_line = params.have_folder = false;
    if (!refusal && ports->read_params) ports->read_params(ports->state, pid, &params);
    if (!stop(context, pid, path, ports)) {
        release(ports, &starter);
        unpin(ports, &pin);
        return Verdict::not_stopped;
    }
    if (refusal) {
        Account account = account_of(ports, &starter);
        release(ports, &starter);
        log_event(&context->settings, L"program denied: %s reason=%s", path, refusal);
        audit_event(&context->settings, AuditEvent::program_denied, path, account.name, refusal);
        return Verdict::denied;
    }
    if (!params.have_command_line)
        log_event(&context->settings, L"program command line not read, relaunch without arguments: %s", path);
    if (!params.have_folder)
        log_event(&context->settings, L"program current folder not read, relaunch in the program's folder: %s", path);
    Starter spare;
    FilePin spare_pin;
    bool queued = enqueue(queue, path, rule, &starter, &pin, &params, &spare, &spare_pin);
    release(ports, &spare);
    unpin(ports, &spare_pin);
    if (!queued) {
        Account account = account_of(ports, &starter);
        release(ports, &starter);
        log_event(&context->settings, L"program denied: %s reason=%s", path, queue_full_reason);
        audit_event(&context->settings, AuditEvent::program_denied, path, account.name, queue_full_reason);
        return Verdict::denied;
    }
    return Verdict::stopped;
}

}  // namespace

bool stopped_waiting_in(const StoppedQueue* queue, uint32_t session) {
    for (uint32_t i = 0; i < queue->count; ++i) {
        if (!queue->programs[i].in_round && queue->programs[i].starter.session == session) return true;
    }
    return false;
}

namespace {

// The session's entry in its round (one at a time: one round thread per session), or count. The
// caller holds the queue's lock.
uint32_t in_round_entry(const StoppedQueue* queue, uint32_t session) {
    for (uint32_t i = 0; i < queue->count; ++i) {
        if (queue->programs[i].in_round && queue->programs[i].starter.session == session) return i;
    }
    return queue->count;
}

}  // namespace

bool run_next_round(ServiceContext* context, StoppedQueue* queue, uint32_t session, const WatcherPorts* ports,
                    Verdict* verdict) {
    // The round works on a copy: entries move while it runs (other sessions' threads remove
    // theirs), and the watcher changes no more than the entry's stopped_again and again fields.
    StoppedProgram current;
    bool found = false;
    EnterCriticalSection(&queue->lock);
    for (uint32_t i = 0; i < queue->count && !found; ++i) {
        if (queue->programs[i].in_round || queue->programs[i].starter.session != session) continue;
        queue->programs[i].in_round = true;
        current = queue->programs[i];
        found = true;
    }
    LeaveCriticalSection(&queue->lock);
    if (!found) return false;

    // A command of the same session may hold the session's round lock; the round waits its turn.
    Verdict outcome = Verdict::denied;
    if (session_lock_enter(&context->round_locks, session, INFINITE, nullptr) == LockWait::taken) {
        outcome = judge_stopped(context, &current, ports);
        session_lock_leave(&context->round_locks, session);
    } else {
        // No lock could be had for the session (every slot taken): never a round without it.
        log_event(&context->settings, L"program denied: %s reason=%s", current.path, round_busy_reason);
    }

    EnterCriticalSection(&queue->lock);
    uint32_t i = in_round_entry(queue, session);
    if (i == queue->count) {  // cannot happen: only this thread ends the session's round
        LeaveCriticalSection(&queue->lock);
        *verdict = outcome;
        return true;
    }
    StoppedProgram* program = &queue->programs[i];
    Starter done = program->starter, covered = {};
    FilePin pin = {};
    if (program->stopped_again && outcome == Verdict::denied) {
        // Started again while being asked, and the round failed: asked for once more, last in turn.
        StoppedProgram again = *program;
        again.starter = program->again;
        again.in_round = false;
        again.stopped_again = false;
        again.again = Starter{};
        for (; i + 1 < queue->count; ++i) queue->programs[i] = queue->programs[i + 1];
        queue->programs[queue->count - 1] = again;
    } else {
        if (program->stopped_again) covered = program->again;  // covered by this round's relaunch
        pin = program->pin;  // the relaunch has happened (or never will): the file is let go
        for (; i + 1 < queue->count; ++i) queue->programs[i] = queue->programs[i + 1];
        --queue->count;
    }
    LeaveCriticalSection(&queue->lock);
    release(ports, &done);
    release(ports, &covered);
    unpin(ports, &pin);
    *verdict = outcome;
    return true;
}
