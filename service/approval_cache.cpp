#include "service/approval_cache.h"

#include <string.h>

#include "common/text.h"

bool approval_table_lookup(const ApprovalTable* table, const wchar_t* path, uint64_t now) {
    for (const ApprovalEntry& entry : table->entries) {
        if (entry.path[0] != L'\0' && text_equal_nocase(entry.path, path) && now < entry.expiry) return true;
    }
    return false;
}

void approval_table_insert(ApprovalTable* table, const wchar_t* path, uint32_t seconds, uint64_t now) {
    ApprovalEntry* slot = nullptr;
    for (ApprovalEntry& entry : table->entries) {
        if (entry.path[0] == L'\0' || text_equal_nocase(entry.path, path)) {
            slot = &entry;
            break;
        }
    }
    if (!slot) {  // full: the smallest expiry gives way, the lowest index among equals
        slot = &table->entries[0];
        for (ApprovalEntry& entry : table->entries) {
            if (entry.expiry < slot->expiry) slot = &entry;
        }
    }
    text_copy_n(slot->path, approval_path_cch, path, approval_path_cch - 1);
    slot->expiry = now + uint64_t(seconds) * 1000;
}

void approval_table_clear(ApprovalTable* table) { memset(table, 0, sizeof *table); }
