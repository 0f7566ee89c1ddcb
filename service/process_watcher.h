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
#include "service/process_params.h"
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

// A process still starting is listed without a name or creation time and is not examined until it
// has both; one that is examined is judged then and there (an image path that cannot be read is
// refused, never looked at again later).
enum class Examined {
    done,  // judged (or not ours to judge): remembered as seen
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
// An image path is read whole, whatever its length (the longest Win32 path and its terminator).
constexpr size_t image_path_read_cch = 32768;
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
// and queued; each session's round thread takes that session's queued programs in turn and runs
// one MFA round each under the session's round lock. A protected program started while a dialog is
// open is therefore stopped at once too, and judged after the round:
// - Starts of the program the round is about, by the same user in the same session, are folded
//   into it: when the round passes they are covered by its one relaunch; when it fails the program
//   is asked for once more (the user started it again while being asked).
// - A program already waiting in the same session is not queued twice (a burst of starts is one
//   dialog, and one relaunch).
// - Any other program is asked for in its turn; when an earlier round has approved its path
//   meanwhile, it is relaunched at once without a dialog.

// The image file of a stopped program, held open from before the stop until its relaunch, so what
// runs after the round is the file the round was about: opened as the starter with execute and
// read-attributes access, sharing read only (nobody can write, rename or delete it meanwhile);
// its volume serial number and file index name the file itself.
struct FilePin {
    uintptr_t handle;  // 0: none
    uint32_t volume;
    uint64_t index;
};

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
    // The approval cache, keyed by the starter's user and the path (user->cb 0: never approved).
    bool (*cache_lookup)(void* state, const AccountSid* user, const wchar_t* path, uint32_t window);
    void (*cache_insert)(void* state, const AccountSid* user, const wchar_t* path, uint32_t seconds);
    // The MFA round (authenticate_via_ui_as in the service), shown in the stopped program's session
    // (starter->session) for the account that started it (starter->token's).
    bool (*authenticate)(void* state, const Starter* starter, const Settings* settings, const Rule* rule,
                         const wchar_t* target, const wchar_t* detail, wchar_t* message, size_t cch_message);
    // arguments: the text after the program on its command line; null or empty: none.
    bool (*relaunch)(void* state, const Settings* settings, const Starter* starter, const wchar_t* program,
                     const wchar_t* arguments, const wchar_t* directory);
    // "DOMAIN\user" of the starter, for the audit events; null or false: the account is unknown.
    bool (*account)(void* state, const Starter* starter, wchar_t* out, size_t cch_out);
    // Opens and pins the image as the starter (impersonating its token); false when it cannot.
    bool (*pin_image)(void* state, const Starter* starter, const wchar_t* path, FilePin* out);
    // Opens the path again as the starter and reads the identity of the file it names now.
    bool (*file_identity)(void* state, const Starter* starter, const wchar_t* path, uint32_t* volume, uint64_t* index);
    void (*unpin)(void* state, const FilePin* pin);
    // The identity of the image file, read as the process's starter (see IdentityPort).
    bool (*read_identity)(void* state, const wchar_t* path, bool want_hash, FileIdentity* out);
    // The process's command line and current folder, before it is stopped (see process_params.h).
    void (*read_params)(void* state, uint32_t pid, ProcessParams* out);
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

// At most this many programs wait in one session (further starts of that session are refused;
// other sessions are not affected), and this many in all.
constexpr size_t stopped_per_session = 32;
constexpr size_t stopped_capacity = 256;

// A protected program the watcher stopped, waiting for (or in) its round.
struct StoppedProgram {
    wchar_t path[watcher_path_cch];  // long path: the rule's, the cache's and the dialog's key
    const Rule* rule;                // into the policy, which outlives the watcher
    Starter starter;
    FilePin pin;         // the image, held since before the stop
    bool in_round;
    bool stopped_again;  // in_round: started and stopped again in the same session meanwhile
    Starter again;       // that start's starter, asked for after a failed round
    ProcessParams params;  // the stopped process's command line and folder: the relaunch's arguments and folder
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
// Releases the starters and pins of every program still queued (they stay stopped) and the lock.
void stopped_queue_destroy(StoppedQueue* queue, const WatcherPorts* ports);

// Meets one new process by its image path (the watcher thread): the canonical path (no "\\?\"
// prefix), the long path (a short name that cannot be resolved is stopped and refused), rule match
// (program rules, empty argument text; a file whose identity a rule needs but cannot be read is
// stopped and refused), the starter, cache lookup (the starter's user and the path), the command
// line and folder, the stop, and the queue. A protected program whose path is longer than a round
// can carry (watcher_path_cch - 1 units) is stopped and refused. Writes the log lines of the outcomes it
// decides; never waits for a person.
Verdict meet_process(ServiceContext* context, StoppedQueue* queue, uint32_t pid, const wchar_t* image_path,
                     const WatcherPorts* ports);
// A candidate whose image path cannot be read although the process list shows it whole (its name
// and creation time): which program it is cannot be told, so it is stopped and refused, with a
// log line naming it by its process-list name and the platform's error.
Verdict refuse_unreadable(ServiceContext* context, uint32_t pid, const wchar_t* name, uint32_t error,
                          const WatcherPorts* ports);
// Runs the round of the session's first waiting program (its round thread): under the session's
// round lock,
// the cache lookup (approved meanwhile: relaunched without a dialog) or the MFA round, and on a
// pass the cache insert before the relaunch. False when nothing waits; *verdict gets the outcome.
// Each session's rounds run on a thread of their own under that session's round lock, so a round
// that never ends holds up its own session only.
bool run_next_round(ServiceContext* context, StoppedQueue* queue, uint32_t session, const WatcherPorts* ports,
                    Verdict* verdict);
// True when a program of the session waits for its round. The caller holds the queue's lock.
bool stopped_waiting_in(const StoppedQueue* queue, uint32_t session);

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
