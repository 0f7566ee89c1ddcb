// The process watcher: protected programs are stopped as soon as they appear, the user is asked for
// MFA, and on a pass the program is started again in the user's session. This header holds the
// watcher's pure logic (what it remembers between passes, what it starts again, and how it judges
// one protected candidate); the thread, the snapshot and the process calls live in
// process_watcher_win.cpp.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/policy.h"
#include "service/service_context.h"

// --- the seen-process list ---
//
// A process is examined once. It is remembered by its id *and* its creation time, because Windows
// hands out a freed id again within moments: a new process under an old id must be examined like
// any other. The process list carries both, so telling a known process from a new one costs no
// system call. The list holds only processes met in the latest complete pass (the others no longer
// exist), so it stays as small as the process list itself.

constexpr size_t seen_capacity = 4096;

struct SeenEntry {
    uint32_t pid;
    uint32_t pass;     // the pass that last met this process
    uint64_t created;  // creation time (FILETIME units)
};

struct SeenList {
    SeenEntry entries[seen_capacity];  // entries [0, count) are in use
    uint32_t count;
    uint32_t pass;    // the current pass
    uint32_t cursor;  // where the next search starts (the list keeps its order from pass to pass)
};

void seen_clear(SeenList* list);
// Starts a pass: entries not met again before seen_end_pass are dropped there.
void seen_begin_pass(SeenList* list);
// True when the process was met before (it is marked as met in this pass). False for a new one,
// which is recorded, unless the list is full: then it is not remembered and comes up as new again
// on the next pass.
bool seen_check_and_add(SeenList* list, uint32_t pid, uint64_t created);
// Ends a complete pass: drops every entry not met in it. A pass cut short does not call this, so
// nothing is forgotten because the pass did not reach it.
void seen_end_pass(SeenList* list);
// Forgets a process just recorded, so the next pass examines it again.
void seen_forget(SeenList* list, uint32_t pid, uint64_t created);

// --- one pass over the process list ---

struct ProcessRecord;
struct ProgramNameFilter;

enum class Examined {
    done,          // judged (or not ours to judge): remembered as seen
    path_not_yet,  // its image path could not be read yet: forgotten, looked at again next pass
    end_pass,      // judged, and the pass must end here (an MFA round made the list stale)
};
// Opens and judges one candidate; the service passes the real calls, tests a fake.
using ExamineFn = Examined (*)(void* state, const ProcessRecord* process);

// Goes through a filled process list: skips id 0, our own process and processes still starting
// (not remembered, so met again next pass), remembers every other, and hands a process to examine
// only when it was not met before and its name passes the filter. Ends the seen list's pass when
// the whole list was read; false when it was not (cut short, or a malformed list).
bool pass_over_list(const void* bytes, size_t cb, uint32_t own_pid, const ProgramNameFilter* filter, SeenList* seen,
                    ExamineFn examine, void* state);

// --- what a relaunch starts ---

constexpr size_t watcher_path_cch = 1024;
constexpr size_t store_app_name_cch = 260;

// Store applications cannot be started by their package path; they are started by file name.
// True when the path contains "WindowsApps\" or "windowsapps\" (exactly these two spellings).
bool is_store_app_path(const wchar_t* image_path);

struct RelaunchTarget {
    wchar_t program[watcher_path_cch];    // full image path, or the bare file name of a store app
    wchar_t directory[watcher_path_cch];  // the program's own folder; empty: none given
};

// The image path with its last component removed: "C:\a\b.exe" -> "C:\a", "C:\b.exe" -> "C:\",
// "\\srv\share\b.exe" -> "\\srv\share", "b.exe" -> "". False (out untouched) when it does not fit.
bool folder_of_path(const wchar_t* path, wchar_t* out, size_t cch_out);
// The program and working directory for starting the image again. False (out untouched) for an
// empty path or one that does not fit the buffers.
bool relaunch_target(const wchar_t* image_path, RelaunchTarget* out);

// --- judging one protected candidate ---

// What the judgement needs from the system; the service passes the real calls, tests fakes.
struct WatcherPorts {
    void* state;  // handed back to every call
    // Stops the process with exit code 5. False when it could not be opened for that (it is gone,
    // or access is denied); *error receives the platform's code.
    bool (*stop_process)(void* state, uint32_t pid, uint32_t* error);
    bool (*cache_lookup)(void* state, const wchar_t* path, uint32_t window);
    void (*cache_insert)(void* state, const wchar_t* path, uint32_t seconds);
    // The MFA round (authenticate_via_ui in the service).
    bool (*authenticate)(void* state, const Settings* settings, const Rule* rule, const wchar_t* target,
                         const wchar_t* detail, wchar_t* message, size_t cch_message);
    bool (*relaunch)(void* state, const Settings* settings, const wchar_t* program, const wchar_t* directory);
};

enum class Verdict {
    not_protected,  // no enabled program rule matches: left alone
    approved,       // a valid approval is cached: left running
    not_stopped,    // protected, but it could not be stopped: no authentication
    denied,         // stopped; the user did not pass
    relaunched,     // stopped, passed, started again
    relaunch_failed,  // stopped, passed (the approval stays cached), not started again
};

// Seconds an approval is kept after a pass: the rule's window, 5 for a window of 0 (so the
// relaunched process still finds it on the next pass).
uint32_t approval_seconds(const Rule* rule);

// Judges one new process by its image path: rule match (program rules, empty argument text),
// cache lookup, stop, then under the authentication lock the MFA round, and on a pass the cache
// insert before the relaunch. Writes the log lines of each outcome.
Verdict judge_process(ServiceContext* context, uint32_t pid, const wchar_t* image_path, const WatcherPorts* ports);

// True for the verdicts that took an MFA round (the pass ends after one; see the watcher).
inline bool verdict_took_round(Verdict v) {
    return v == Verdict::denied || v == Verdict::relaunched || v == Verdict::relaunch_failed;
}

// --- the watcher thread (Win32) ---

struct ProcessListBuffer;
struct ProgramNameFilter;
// One pass over a fresh process list with the service's real calls: every process not met before
// is examined once, and opened only when its name passes the filter. False when no list could be
// had or the pass ended early after an MFA round (the rest of that list may be minutes old; the
// next pass reads a new one).
bool watcher_pass(ServiceContext* context, const ProgramNameFilter* filter, ProcessListBuffer* list, SeenList* seen);
// Starts the watcher thread: a pass each second (1000 ms after the previous one ended) until the
// service's stop event is signalled. The thread counts itself as a service worker, since an MFA
// round can keep it past the service's bounded wait. Returns the thread handle, or null.
HANDLE start_process_watcher(ServiceContext* context);
