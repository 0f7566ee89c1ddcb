#include "service/process_watcher.h"

#include <windows.h>
#include <string.h>

#include "common/log.h"
#include "common/text.h"
#include "service/process_list.h"

constexpr uint32_t relaunch_approval_floor_seconds = 5;
constexpr size_t reason_cch = 256;

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
        switch (examine(state, &process)) {
        case Examined::done:
            break;
        case Examined::path_not_yet:
            seen_forget(seen, process.pid, process.created);
            break;
        }
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

uint32_t rule_window(const Rule* rule) {
    return rule->cache_window_seconds > 0 ? static_cast<uint32_t>(rule->cache_window_seconds) : 0;
}

bool same_program(const StoppedProgram& program, const wchar_t* path, uint32_t session) {
    return program.starter.session == session && text_equal_nocase(program.path, path);
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

// Queues a stopped program, or folds it into the entry for the same program in the same session.
// False when the queue is full. *spare receives a starter the queue did not keep.
bool enqueue(StoppedQueue* queue, const wchar_t* path, const Rule* rule, const Starter* starter, Starter* spare) {
    *spare = Starter{0, 0};
    bool kept = true, appended = false;
    EnterCriticalSection(&queue->lock);
    uint32_t i = 0;
    while (i < queue->count && !same_program(queue->programs[i], path, starter->session)) ++i;
    if (i < queue->count) {
        StoppedProgram& program = queue->programs[i];
        if (!program.in_round) {
            *spare = *starter;  // one dialog for the burst; the first start's token relaunches it
        } else {
            if (program.stopped_again) *spare = program.again;
            program.stopped_again = true;
            program.again = *starter;  // the latest start is the one asked for again after a failure
        }
    } else if (queue->count == stopped_capacity) {
        kept = false;
    } else {
        StoppedProgram& program = queue->programs[queue->count++];
        text_copy(program.path, path);
        program.rule = rule;
        program.starter = *starter;
        program.in_round = false;
        program.stopped_again = false;
        program.again = Starter{0, 0};
        appended = true;
    }
    LeaveCriticalSection(&queue->lock);
    if (appended && queue->wake) SetEvent(queue->wake);
    return kept;
}

// The relaunch after a pass (the approval is in the cache already).
Verdict relaunch(ServiceContext* context, const StoppedProgram* program, const WatcherPorts* ports) {
    const Settings* settings = &context->settings;
    RelaunchTarget target;
    bool started = relaunch_target(program->path, &target) &&
                   ports->relaunch(ports->state, settings, &program->starter, target.program,
                                   target.directory[0] ? target.directory : nullptr);
    if (!started) {
        log_event(settings, L"program relaunch failed: %s", program->path);
        return Verdict::relaunch_failed;
    }
    log_event(settings, L"program relaunch ok: %s", program->path);
    return Verdict::relaunched;
}

// One round; the caller holds the authentication lock.
Verdict judge_stopped(ServiceContext* context, const StoppedProgram* program, const WatcherPorts* ports) {
    // An earlier round may have approved this path while the program waited.
    if (ports->cache_lookup(ports->state, program->path, rule_window(program->rule))) {
        return relaunch(context, program, ports);
    }
    const Settings* settings = &context->settings;
    wchar_t reason[reason_cch] = L"";
    bool passed = ports->authenticate(ports->state, &program->starter, settings, program->rule, program->path,
                                      L"", reason, reason_cch);
    reason[reason_cch - 1] = L'\0';
    if (!passed) {
        log_event(settings, L"program denied: %s reason=%s", program->path, reason);
        return Verdict::denied;
    }
    // The approval goes in first: the relaunched process must find it on the next pass.
    ports->cache_insert(ports->state, program->path, approval_seconds(program->rule));
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
    }
    queue->count = 0;
    DeleteCriticalSection(&queue->lock);
}

Verdict meet_process(ServiceContext* context, StoppedQueue* queue, uint32_t pid, const wchar_t* image_path,
                     const WatcherPorts* ports) {
    wchar_t path[watcher_path_cch];
    if (!rule_path_key(image_path, ports->long_path, ports->state, path, watcher_path_cch)) {
        // Started by a short name that no longer resolves (renamed or moved since, or out of the
        // starter's reach): which program this is cannot be told, so it does not run.
        if (!stop(context, pid, image_path, ports)) return Verdict::not_stopped;
        log_event(&context->settings, L"program denied: %s reason=%s", image_path, unresolved_path_reason);
        return Verdict::denied;
    }
    const Rule* rule = match_rule(&context->policy, rule_type_program, path, L"");
    if (!rule) return Verdict::not_protected;
    if (ports->cache_lookup(ports->state, path, rule_window(rule))) return Verdict::approved;

    Starter starter = {0, 0};
    ports->take_starter(ports->state, pid, &starter);  // before the stop: the process still exists
    if (!stop(context, pid, path, ports)) {
        release(ports, &starter);
        return Verdict::not_stopped;
    }
    Starter spare;
    bool queued = enqueue(queue, path, rule, &starter, &spare);
    release(ports, &spare);
    if (!queued) {
        release(ports, &starter);
        log_event(&context->settings, L"program denied: %s reason=%s", path, queue_full_reason);
        return Verdict::denied;
    }
    return Verdict::stopped;
}

bool run_next_round(ServiceContext* context, StoppedQueue* queue, const WatcherPorts* ports, Verdict* verdict) {
    StoppedProgram* program = nullptr;
    EnterCriticalSection(&queue->lock);
    for (uint32_t i = 0; i < queue->count && !program; ++i) {
        if (!queue->programs[i].in_round) program = &queue->programs[i];
    }
    if (program) program->in_round = true;
    LeaveCriticalSection(&queue->lock);
    if (!program) return false;

    // The entry stays where it is while its round runs: only this thread removes entries, and the
    // watcher changes no more than its stopped_again and again fields (under the lock).
    // A command authorization may hold the authentication lock; the round waits its turn.
    EnterCriticalSection(&context->auth_lock);
    Verdict outcome = judge_stopped(context, program, ports);
    LeaveCriticalSection(&context->auth_lock);

    Starter done = program->starter, covered = {0, 0};
    EnterCriticalSection(&queue->lock);
    uint32_t i = static_cast<uint32_t>(program - queue->programs);
    if (program->stopped_again && outcome == Verdict::denied) {
        // Started again while being asked, and the round failed: asked for once more, last in turn.
        StoppedProgram again = *program;
        again.starter = program->again;
        again.in_round = false;
        again.stopped_again = false;
        again.again = Starter{0, 0};
        for (; i + 1 < queue->count; ++i) queue->programs[i] = queue->programs[i + 1];
        queue->programs[queue->count - 1] = again;
    } else {
        if (program->stopped_again) covered = program->again;  // covered by this round's relaunch
        for (; i + 1 < queue->count; ++i) queue->programs[i] = queue->programs[i + 1];
        --queue->count;
    }
    LeaveCriticalSection(&queue->lock);
    release(ports, &done);
    release(ports, &covered);
    *verdict = outcome;
    return true;
}
