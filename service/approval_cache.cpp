#include "service/approval_cache.h"

#include <string.h>

#include "common/text.h"

namespace {

bool entry_is(const ApprovalEntry& entry, const AccountSid* user, const wchar_t* path) {
    return entry.path[0] != L'\0' && same_account(&entry.user, user) && text_equal_nocase(entry.path, path);
}

}  // namespace

bool approval_table_lookup(const ApprovalTable* table, const AccountSid* user, const wchar_t* path, uint64_t now) {
    if (!user || user->cb == 0) return false;
    for (const ApprovalEntry& entry : table->entries) {
        if (entry_is(entry, user, path) && now < entry.expiry) return true;
    }
    return false;
}

void approval_table_insert(ApprovalTable* table, const AccountSid* user, const wchar_t* path, uint32_t seconds,
                           uint64_t now) {
    if (!user || user->cb == 0 || user->cb > account_sid_max_cb) return;
    ApprovalEntry* slot = nullptr;
    for (ApprovalEntry& entry : table->entries) {
        if (entry.path[0] == L'\0' || entry_is(entry, user, path)) {
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
    slot->user = *user;
    text_copy_n(slot->path, approval_path_cch, path, approval_path_cch - 1);
    slot->expiry = now + uint64_t(seconds) * 1000;
}

void approval_table_clear(ApprovalTable* table) { memset(table, 0, sizeof *table); }
