// Which rule of the policy applies to an executable (and, for commands, its argument line).
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/file_identity.h"
#include "common/policy.h"

// How a rule match learns what the file is, when a rule names it by identity. read fills out
// (want_hash: the SHA-256 too) and returns false when the file cannot be read; the service
// passes a reader that reads as whoever the program is checked for, tests a fake.
struct IdentityPort {
    void* state;
    bool (*read)(void* state, const wchar_t* path, bool want_hash, FileIdentity* out);
    bool unreadable;  // set by match_rule: a rule could only be decided with an identity that could not be read
};

// The first enabled rule of the type that matches, in policy order; null when none does.
// match_path must equal the whole path and match_name the path's file name (case ignored across
// Unicode, as the file system compares names; the caller passes the long form of the path);
// args_contains must occur in args (any case), so it never matches a missing or empty args text.
// match_original_name and match_sha256 must hold for the file at path (see identity_matches); the
// identity is read at most once, and only when a rule whose other conditions hold needs it.
// Without an identity port, a rule with identity keys never matches. When the identity a rule
// needs cannot be read, identity->unreadable is set and the match stops there (null): callers
// refuse the program, since which rule applies cannot be told.
const Rule* match_rule(const Policy* policy, uint32_t type, const wchar_t* path, const wchar_t* args,
                       IdentityPort* identity = nullptr);
// How match_path and match_name are compared with a path and a file name (also the watcher's
// name filter, so the two never disagree).
bool rule_text_equal(const wchar_t* rule_text, const wchar_t* text);

// --- the path a rule is matched against ---
//
// Rules name programs by their long paths. A path as the system or a client reports it may hold
// short (8.3) names, "C:\PROGRA~1\...\POWERS~1.EXE", which name the same file and would escape
// the rule; so may-be-short paths are made long before matching. Generated short names always
// hold a '~' (another takes the restore privilege to set), so a path without one is long already.

// A long-path lookup: the service passes GetLongPathNameW, tests a fake. False when the path
// cannot be resolved (the file is gone, renamed, or out of reach) or does not fit.
using LongPathFn = bool (*)(void* state, const wchar_t* path, wchar_t* out, size_t cch_out);

bool path_may_hold_short_names(const wchar_t* path);
// The path rules and the approval cache see: the path itself, or its long form when it may hold
// short names. False (out untouched) when such a path cannot be resolved: which program it names
// cannot be told, and callers refuse it.
bool rule_path_key(const wchar_t* path, LongPathFn long_path, void* state, wchar_t* out, size_t cch_out);
// GetLongPathNameW as the calling thread (the service, or whoever it impersonates).
bool long_path_of(void* state, const wchar_t* path, wchar_t* out, size_t cch_out);
struct Settings;
// Takes out of the policy every rule whose match_sha256 is set but not 64 hexadecimal digits (it
// would otherwise match more than it says), logging each by its display name; the others stay in
// order. Returns how many were taken out.
uint32_t drop_malformed_rules(Policy* policy, const Settings* settings);
// True when the policy has an enabled rule of the type (something could be protected).
bool policy_has_rules(const Policy* policy, uint32_t type);

// What the log and the caller are told when a may-be-short path cannot be resolved.
constexpr const wchar_t* unresolved_path_reason = L"无法确定程序的完整路径，默认拒绝";
