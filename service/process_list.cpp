#include "service/process_list.h"

#include <windows.h>
#include <shlwapi.h>
#include <string.h>

#include "common/text.h"
#include "service/rule_match.h"

namespace {

constexpr size_t name_cch = 260;  // a file name and its terminator
constexpr uint64_t latest_real_time = 2650467743999999999ull;  // 9999-12-31 23:59:59.9999999 in FILETIME units

}  // namespace

void process_walk_start(ProcessWalk* walk, const void* bytes, size_t cb) {
    walk->bytes = static_cast<const uint8_t*>(bytes);
    walk->cb = cb;
    walk->offset = 0;
    walk->done = bytes == nullptr || cb == 0;
    walk->malformed = false;
}

bool process_walk_next(ProcessWalk* walk, ProcessRecord* out) {
    if (walk->done) return false;
    if (walk->cb < sizeof(ProcessInfoEntry) || walk->offset > walk->cb - sizeof(ProcessInfoEntry)) {
        walk->done = walk->malformed = true;
        return false;
    }
    ProcessInfoEntry entry;
    memcpy(&entry, walk->bytes + walk->offset, sizeof entry);

    // The name lies inside the buffer, or the list is not what we think it is.
    const wchar_t* name = nullptr;
    size_t cb_name = entry.image_name.cb_length & ~size_t(1);
    if (cb_name != 0) {
        uint64_t start = reinterpret_cast<uintptr_t>(walk->bytes);
        if (entry.image_name.buffer < start || entry.image_name.buffer - start > walk->cb ||
            cb_name > walk->cb - (entry.image_name.buffer - start) || entry.image_name.buffer % sizeof(wchar_t) != 0) {
            walk->done = walk->malformed = true;
            return false;
        }
        name = reinterpret_cast<const wchar_t*>(static_cast<uintptr_t>(entry.image_name.buffer));
    }

    if (entry.next_entry_offset == 0) {
        walk->done = true;
    } else if (entry.next_entry_offset < sizeof(ProcessInfoEntry) ||
               entry.next_entry_offset > walk->cb - walk->offset) {
        walk->done = walk->malformed = true;
        return false;
    } else {
        walk->offset += entry.next_entry_offset;
    }
    out->pid = static_cast<uint32_t>(entry.unique_process_id);
    out->session = entry.session_id;
    out->created = static_cast<uint64_t>(entry.create_time);
    out->name = name;
    out->cch_name = cb_name / sizeof(wchar_t);
    return true;
}

bool process_record_ready(const ProcessRecord* record) {
    return record->cch_name != 0 && record->created != 0 && record->created <= latest_real_time;
}

void program_filter_build(const Policy* policy, ProgramNameFilter* out) {
    ProgramNameFilter filter = {};
    uint32_t count = policy->count < policy_max_rules ? policy->count : policy_max_rules;
    // cppcheck-suppress knownConditionTrueFalse ; it takes the clamped count for zero
    for (uint32_t i = 0; i < count; ++i) {
        const Rule& rule = policy->rules[i];
        if (rule.type != rule_type_program || rule.enabled == 0 || rule.args_contains[0] != L'\0') continue;
        if (rule.match_name[0] != L'\0') {
            filter.names[filter.count++] = rule.match_name;
        } else if (rule.match_path[0] != L'\0') {
            filter.names[filter.count++] = PathFindFileNameW(rule.match_path);
        } else {
            filter.match_all = true;
        }
    }
    *out = filter;
}

bool program_filter_could_match(const ProgramNameFilter* filter, const wchar_t* name, size_t cch_name) {
    if (filter->match_all) return true;
    if (filter->count == 0) return false;  // no program is protected
    if (cch_name == 0 || cch_name >= name_cch) return true;
    wchar_t copy[name_cch];
    text_copy_n(copy, name_cch, name, cch_name);
    if (wcschr(copy, L'~')) return true;  // perhaps a short name: only the full path can tell
    for (uint32_t i = 0; i < filter->count; ++i) {
        if (rule_text_equal(filter->names[i], copy)) return true;
    }
    return false;
}
