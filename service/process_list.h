// The system's process list as the watcher reads it: one NtQuerySystemInformation
// (SystemProcessInformation) call fills a buffer with one entry per process, carrying its id,
// creation time, session and image file name. This header holds the pure part: walking such a
// buffer, and the name filter that decides which processes are worth opening at all. The system
// call and the buffer it keeps live in process_list_win.cpp.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/policy.h"

// --- one entry of the buffer (the 64-bit layout; only the fields read here) ---

struct ProcessInfoName {      // UNICODE_STRING
    uint16_t cb_length;       // bytes, without a terminator
    uint16_t cb_maximum;
    uint32_t padding;
    uint64_t buffer;          // address of the text, inside the same buffer
};

struct ProcessInfoEntry {     // SYSTEM_PROCESS_INFORMATION, up to the session id
    uint32_t next_entry_offset;  // bytes from this entry to the next; 0 for the last
    uint32_t number_of_threads;
    uint8_t reserved[24];
    int64_t create_time;         // FILETIME units
    int64_t user_time;
    int64_t kernel_time;
    ProcessInfoName image_name;  // file name only, e.g. "notepad.exe"
    int32_t base_priority;
    uint32_t padding;
    uint64_t unique_process_id;
    uint64_t inherited_from_unique_process_id;
    uint32_t handle_count;
    uint32_t session_id;
};

static_assert(sizeof(ProcessInfoName) == 16, "UNICODE_STRING is 16 bytes on x64");
static_assert(offsetof(ProcessInfoEntry, next_entry_offset) == 0x00, "layout");
static_assert(offsetof(ProcessInfoEntry, create_time) == 0x20, "layout");
static_assert(offsetof(ProcessInfoEntry, image_name) == 0x38, "layout");
static_assert(offsetof(ProcessInfoEntry, unique_process_id) == 0x50, "layout");
static_assert(offsetof(ProcessInfoEntry, session_id) == 0x64, "layout");
static_assert(sizeof(ProcessInfoEntry) == 0x68, "layout");

// One process of the list. name points into the buffer and is not terminated.
struct ProcessRecord {
    uint32_t pid;
    uint32_t session;
    uint64_t created;     // FILETIME units
    const wchar_t* name;  // image file name, cch_name units
    size_t cch_name;
};

// A walk over a filled buffer, entry by entry.
struct ProcessWalk {
    const uint8_t* bytes;
    size_t cb;        // bytes the call filled
    size_t offset;    // of the next entry
    bool done;
    bool malformed;   // an entry pointed outside the buffer: the list cannot be trusted
};

void process_walk_start(ProcessWalk* walk, const void* bytes, size_t cb);
// The next process; false at the end of the list or at a malformed entry (walk->malformed).
bool process_walk_next(ProcessWalk* walk, ProcessRecord* out);

// Whether an entry is complete enough to be judged. Under Wine a process that is still starting
// is listed without a name and with an unset creation time; on Windows every process but the idle
// one has both from its creation. Such a process is looked at again on the next pass.
bool process_record_ready(const ProcessRecord* record);

// --- which processes could be protected ---
//
// A process is opened only when its image file name could match an enabled program rule: the
// rule's match_name, or the file-name part of its match_path, compared as the rule match compares
// names. A program rule that names neither matches every program, or (with match_original_name or
// match_sha256) every copy of a file under any name: it cannot be filtered by name, and every new
// process is opened for it. A rule with an argument condition never
// matches a process and is left out.
//
// The list's name is the file name the process was started by. When that is a short (8.3) name
// ("POWERS~1.EXE") it says nothing about the long name the rules use, so a name holding a '~'
// always passes; the full path is made long after the process is opened. (Generated short names
// always hold a '~'; setting another takes the restore privilege, i.e. an administrator.)

struct ProgramNameFilter {
    const wchar_t* names[policy_max_rules];  // into the policy, which outlives the filter
    uint32_t count;
    bool match_all;  // some enabled program rule names no program: every process passes
};

void program_filter_build(const Policy* policy, ProgramNameFilter* out);
bool program_filter_could_match(const ProgramNameFilter* filter, const wchar_t* name, size_t cch_name);
