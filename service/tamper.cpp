#include "service/tamper.h"

#include <windows.h>
#include <string.h>

#include "common/policy.h"
#include "common/settings.h"
#include "common/text.h"

namespace {

// ASCII case folding: file names differing in the case of other letters are rare enough here,
// and the comparison must not depend on the process locale.
wchar_t fold(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

constexpr uint32_t benign_attributes = FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE |
                                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

const wchar_t* file_name_part(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'\\' || *p == L'/') name = p + 1;
    }
    return name;
}

bool change_names_file(const wchar_t* name, size_t cch_name, const wchar_t* path) {
    const wchar_t* wanted = file_name_part(path);
    size_t cch_wanted = text_length(wanted, tamper_path_cch);
    if (cch_wanted == 0 || cch_wanted != cch_name) return false;
    for (size_t i = 0; i < cch_name; ++i) {
        if (fold(name[i]) != fold(wanted[i])) return false;
    }
    return true;
}

uint32_t changed_slots(const ProtectedFileTable* table, const void* records, size_t cb_used) {
    uint32_t found = 0;
    long count = table->count;
    if (count > tamper_max_files) count = tamper_max_files;
    const size_t header = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    size_t offset = 0;
    while (offset + header <= cb_used) {
        FILE_NOTIFY_INFORMATION record;
        memcpy(&record, static_cast<const uint8_t*>(records) + offset, header);
        size_t cb_name = record.FileNameLength;
        if (offset + header + cb_name > cb_used) break;
        const wchar_t* name = reinterpret_cast<const wchar_t*>(static_cast<const uint8_t*>(records) + offset + header);
        for (long i = 0; i < count; ++i) {
            if (change_names_file(name, cb_name / sizeof(wchar_t), table->slots[i].path)) found |= 1u << i;
        }
        if (record.NextEntryOffset == 0) break;
        offset += record.NextEntryOffset;
    }
    return found;
}

RepairDecision decide_repair(const FileObservation& seen, bool previous_repair_failed) {
    bool intact = seen.exists && seen.content_intact && (seen.attributes & ~benign_attributes) == 0 &&
                  (!seen.dacl_known || seen.dacl_intact);
    if (intact) return {false, false, false};
    bool write = !seen.exists || !seen.content_intact || (seen.attributes & (FILE_ATTRIBUTE_DIRECTORY |
                                                                             FILE_ATTRIBUTE_REPARSE_POINT));
    return {true, !previous_repair_failed, write};
}

bool protected_files_of(const wchar_t* exe_path, wchar_t (*paths)[tamper_path_cch]) {
    const wchar_t* name = file_name_part(exe_path);
    size_t cch_folder = static_cast<size_t>(name - exe_path);
    if (cch_folder == 0) return false;
    const wchar_t* names[protected_file_count] = {settings_file_name, policy_file_name, name, ui_exe_name,
                                                  runguard_exe_name};
    wchar_t joined[protected_file_count][tamper_path_cch];
    for (int i = 0; i < protected_file_count; ++i) {
        if (text_copy_n(joined[i], tamper_path_cch, exe_path, cch_folder) != text_ok ||
            text_append(joined[i], tamper_path_cch, names[i]) != text_ok)
            return false;
    }
    memcpy(paths, joined, sizeof joined);
    return true;
}

bool image_of_binary_path(const wchar_t* binary_path, wchar_t* exe, size_t cch_exe) {
    const wchar_t* start = binary_path;
    size_t cch = text_length(binary_path, text_max_cch);
    if (*start == L'"') {
        ++start;
        const wchar_t* end = wcschr(start, L'"');
        if (!end) return false;
        cch = static_cast<size_t>(end - start);
    }
    if (cch == 0) return false;
    return text_copy_n(exe, cch_exe, start, cch) == text_ok;
}

Obstacle obstacle_of(const FileObservation& seen) {
    if (!seen.exists) return Obstacle::none;
    if (seen.attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Obstacle::link;  // a folder link included
    if (seen.attributes & FILE_ATTRIBUTE_DIRECTORY) return Obstacle::folder;
    return Obstacle::none;
}

bool aside_path_of(const wchar_t* path, unsigned n, wchar_t* out, size_t cch_out) {
    wchar_t joined[tamper_path_cch];
    if (text_format(joined, tamper_path_cch, L"%s.tampered.%u", path, n) != text_ok ||
        text_length(joined, tamper_path_cch) >= cch_out)
        return false;
    return text_copy(out, cch_out, joined) == text_ok;
}

const wchar_t* repair_action_text(const FileObservation& seen, bool written_back) {
    if (obstacle_of(seen) != Obstacle::none)
        return written_back ? L"replaced by a folder or link; restored from the service's copy"
                            : L"replaced by a folder or link; could not be restored";
    if (!seen.exists)
        return written_back ? L"deleted; restored from the service's copy" : L"deleted; could not be restored";
    if (!seen.content_intact)
        return written_back ? L"content changed; restored from the service's copy"
                            : L"content changed; could not be restored";
    return written_back ? L"attributes or permissions changed; restored from the service's copy"
                        : L"attributes or permissions changed; protection applied again";
}
