// The process watcher: protected programs are stopped as soon as they appear, the user is asked for
// MFA, and on a pass the program is started again in the session and with the token it was started
// with. This header holds the watcher's pure logic (what it remembers between passes, which
// processes it looks at, what it starts again, how it stops a protected program and how the
// programs it stopped are judged one round at a time); the threads, the process list and the
// process calls live in process_watcher_win.cpp.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/policy.h"
#include "service/relaunch.h"
#include "service/rule_match.h"
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
};
// Opens and judges one candidate; the service passes the real calls, tests a fake.
using ExamineFn = Examined (*)(void* state, const ProcessRecord* process);

// Goes through a filled process list: skips id 0, our own process and processes still starting
// (not remembered, so met again next pass), remembers every other, and hands a process to examine
// only when it was not met before and its name passes the filter. Ends the seen list's pass when
// the whole list was read; false for a malformed list.
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

// --- stopping protected programs, and judging them one round at a time ---
//
// The watcher thread never waits for a person. It meets a new process, matches it against the
// program rules by its long path, and a protected one without a valid approval is stopped at once
// and queued; a round thread takes the queued programs in turn and runs one MFA round each under
// the authentication lock. A protected program started while a dialog is open is therefore stopped
// at once too, and judged after the round:
// - Starts of the program the round is about, in the same session, are folded into it: when the
//   round passes they are covered by its one relaunch; when it fails the program is asked for once
//   more (the user started it again while being asked).
// - A program already waiting in the same session is not queued twice (a burst of starts is one
//   dialog, and one relaunch).
// - Any other program is asked for in its turn; when an earlier round has approved its path
//   meanwhile, it is relaunched at once without a dialog.

// What the judgement needs from the system; the service passes the real calls, tests fakes.
struct WatcherPorts {
    void* state;  // handed back to every call
    // Resolves a path that may hold short names (as whoever started the process).
    LongPathFn long_path;
    // Takes the process's own token and session before it is stopped: the relaunch uses exactly
    // these. Sets out->session in any case; false (out->token 0) when the token cannot be had.
    bool (*take_starter)(void* state, uint32_t pid, Starter* out);
    void (*release_starter)(void* state, const Starter* starter);
    // Stops the process with exit code 5. False when it could not be opened for that (it is gone,
    // or access is denied); *error receives the platform's code.
    bool (*stop_process)(void* state, uint32_t pid, uint32_t* error);
    bool (*cache_lookup)(void* state, const wchar_t* path, uint32_t window);
    void (*cache_insert)(void* state, const wchar_t* path, uint32_t seconds);
    // The MFA round (authenticate_via_ui_as in the service), shown in the stopped program's session
    // (starter->session) for the account that started it (starter->token's).
    bool (*authenticate)(void* state, const Starter* starter, const Settings* settings, const Rule* rule,
                         const wchar_t* target, const wchar_t* detail, wchar_t* message, size_t cch_message);
    bool (*relaunch)(void* state, const Settings* settings, const Starter* starter, const wchar_t* program,
                     const wchar_t* directory);
};

enum class Verdict {
    not_protected,    // no enabled program rule matches: left alone
    approved,         // a valid approval is cached: left running
    not_stopped,      // protected, but it could not be stopped: no authentication
    stopped,          // stopped and queued for its round (or folded into one)
    denied,           // stopped; the user did not pass (or it was refused without a round)
    relaunched,       // stopped, passed, started again
    relaunch_failed,  // stopped, passed (the approval stays cached), not started again
};

constexpr size_t stopped_capacity = 32;

// A protected program the watcher stopped, waiting for (or in) its round.
struct StoppedProgram {
    wchar_t path[watcher_path_cch];  // long path: the rule's, the cache's and the dialog's key
    const Rule* rule;                // into the policy, which outlives the watcher
    Starter starter;
    bool in_round;
    bool stopped_again;  // in_round: started and stopped again in the same session meanwhile
    Starter again;       // that start's starter, asked for after a failed round
};

struct StoppedQueue {
    CRITICAL_SECTION lock;  // held only to change the queue, never across a round
    HANDLE wake;            // set when a program is queued; may be null
    StoppedProgram programs[stopped_capacity];  // [0, count) in order of stopping
    uint32_t count;
};

// Seconds an approval is kept after a pass: the rule's window, 5 for a window of 0 (so the
// relaunched process still finds it on the next pass).
uint32_t approval_seconds(const Rule* rule);

void stopped_queue_init(StoppedQueue* queue, HANDLE wake);
// Releases the starters of every program still queued (they stay stopped) and the lock.
void stopped_queue_destroy(StoppedQueue* queue, const WatcherPorts* ports);

// Meets one new process by its image path (the watcher thread): the long path (a short name that
// cannot be resolved is stopped and refused), rule match (program rules, empty argument text),
// cache lookup, the starter, the stop, and the queue. Writes the log lines of the outcomes it
// decides; never waits for a person.
Verdict meet_process(ServiceContext* context, StoppedQueue* queue, uint32_t pid, const wchar_t* image_path,
                     const WatcherPorts* ports);
// Runs the round of the first waiting program (the round thread): under the authentication lock,
// the cache lookup (approved meanwhile: relaunched without a dialog) or the MFA round, and on a
// pass the cache insert before the relaunch. False when nothing waits; *verdict gets the outcome.
bool run_next_round(ServiceContext* context, StoppedQueue* queue, const WatcherPorts* ports, Verdict* verdict);

// --- the watcher thread (Win32) ---

struct ProcessListBuffer;
// One pass over a fresh process list with the service's real calls: every process not met before
// is examined once, and opened only when its name passes the filter; protected ones are stopped
// and queued. False when no list could be had.
bool watcher_pass(ServiceContext* context, StoppedQueue* queue, const ProgramNameFilter* filter,
                  ProcessListBuffer* list, SeenList* seen);
// Starts the watcher thread: a pass each second (1000 ms after the previous one ended) until the
// service's stop event is signalled. The thread counts itself as a service worker, since an MFA
// round can keep it past the service's bounded wait. Returns the thread handle, or null.
HANDLE start_process_watcher(ServiceContext* context);
