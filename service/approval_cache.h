// The approval cache: for a limited time after an MFA pass, a program's path may start again
// without a new authentication, for the user who passed (another user's start of the same path is
// asked for on its own). Memory only; it starts empty with each service process.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/process_identity.h"

constexpr size_t approval_cache_entries = 128;
constexpr size_t approval_path_cch = 1024;

struct ApprovalEntry {
    AccountSid user;                  // whose approval this is
    wchar_t path[approval_path_cch];  // canonical long path; empty (first unit 0) = free
    uint64_t expiry;                  // GetTickCount64 time; valid while now < expiry
};

struct ApprovalTable {
    ApprovalEntry entries[approval_cache_entries];  // occupied entries form one run from index 0
};

// The table logic, on a tick the caller read. An entry is one (user, path) pair; a user that is
// not known (cb 0) never finds an entry and inserts none.
bool approval_table_lookup(const ApprovalTable* table, const AccountSid* user, const wchar_t* path, uint64_t now);
void approval_table_insert(ApprovalTable* table, const AccountSid* user, const wchar_t* path, uint32_t seconds,
                           uint64_t now);
// Empties the table: every user's approvals.
void approval_table_clear(ApprovalTable* table);

// The service's one cache (its own lock; initialized once, on first use). window is not used.
bool approval_cache_lookup(const AccountSid* user, const wchar_t* path, uint32_t window);
void approval_cache_insert(const AccountSid* user, const wchar_t* path, uint32_t seconds);
void approval_cache_clear();
