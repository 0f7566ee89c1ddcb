// Who a process is, for the checks that trust a pipe's other end only when it is one of ours:
// the image it runs, the session it runs in and the account it runs as.
#pragma once
#include <stddef.h>
#include <stdint.h>

constexpr size_t account_sid_max_cb = 68;  // SECURITY_MAX_SID_SIZE

// An account's SID as bytes; cb 0: none (not known).
struct AccountSid {
    uint32_t cb;
    uint8_t sid[account_sid_max_cb];
};

// True when both are present and the same SID.
bool same_account(const AccountSid* a, const AccountSid* b);
// True for the service accounts (LocalSystem, LocalService, NetworkService): never a person's.
bool is_service_account(const AccountSid* a);

// --- Win32 ---

// The full image path of a running process; false when it cannot be opened or read.
bool process_image_path(uint32_t pid, wchar_t* out, size_t cch_out);
// True when both paths name the same file: compared in their long forms, ignoring case across
// Unicode. False when either is empty.
bool same_file_path(const wchar_t* a, const wchar_t* b);
// The account of a process's primary token; false when it cannot be read.
bool process_account(uint32_t pid, AccountSid* out);
// The account a token runs as (TokenUser); false when it cannot be read.
bool token_account(void* token, AccountSid* out);
