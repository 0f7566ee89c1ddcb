#include "service/process_watcher.h"

#include <windows.h>
#include <string.h>

#include "common/log.h"
#include "common/text.h"
#include "service/process_list.h"
#include "service/rule_match.h"

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
        case Examined::end_pass:
            return false;
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

// --- judging one protected candidate ---

uint32_t approval_seconds(const Rule* rule) {
    if (rule->cache_window_seconds <= 0) return relaunch_approval_floor_seconds;
    return static_cast<uint32_t>(rule->cache_window_seconds);
}

namespace {

uint32_t rule_window(const Rule* rule) {
    return rule->cache_window_seconds > 0 ? static_cast<uint32_t>(rule->cache_window_seconds) : 0;
}

// The MFA round and its outcome; the caller holds the authentication lock.
Verdict authenticate_and_relaunch(ServiceContext* context, const Rule* rule, const wchar_t* image_path,
                                  const WatcherPorts* ports) {
    const Settings* settings = &context->settings;
    wchar_t reason[reason_cch] = L"";
    bool passed = ports->authenticate(ports->state, settings, rule, image_path, L"", reason, reason_cch);
    reason[reason_cch - 1] = L'\0';
    if (!passed) {
        log_event(settings, L"program denied: %s reason=%s", image_path, reason);
        return Verdict::denied;
    }
    // The approval goes in first: the relaunched process must find it on the next pass.
    ports->cache_insert(ports->state, image_path, approval_seconds(rule));
    RelaunchTarget target;
    bool started = relaunch_target(image_path, &target) &&
                   ports->relaunch(ports->state, settings, target.program,
                                   target.directory[0] ? target.directory : nullptr);
    if (!started) {
        log_event(settings, L"program relaunch failed: %s", image_path);
        return Verdict::relaunch_failed;
    }
    log_event(settings, L"program relaunch ok: %s", image_path);
    return Verdict::relaunched;
}

}  // namespace

Verdict judge_process(ServiceContext* context, uint32_t pid, const wchar_t* image_path, const WatcherPorts* ports) {
    const Rule* rule = match_rule(&context->policy, rule_type_program, image_path, L"");
    if (!rule) return Verdict::not_protected;
    if (ports->cache_lookup(ports->state, image_path, rule_window(rule))) return Verdict::approved;

    uint32_t error = 0;
    if (!ports->stop_process(ports->state, pid, &error)) {
        // Gone already, or not ours to stop: no dialog for a program that was not stopped.
        log_event(&context->settings, L"program not stopped: %s error=%lu", image_path,
                  static_cast<unsigned long>(error));
        return Verdict::not_stopped;
    }

    // A command authorization may hold the lock; the watcher waits its turn.
    EnterCriticalSection(&context->auth_lock);
    Verdict verdict = authenticate_and_relaunch(context, rule, image_path, ports);
    LeaveCriticalSection(&context->auth_lock);
    return verdict;
}
