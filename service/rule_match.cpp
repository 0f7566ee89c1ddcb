#include "service/rule_match.h"

#include <windows.h>
#include <shlwapi.h>

#include "common/log.h"
#include "common/text.h"

bool rule_text_equal(const wchar_t* rule_text, const wchar_t* text) { return text_equal_nocase(rule_text, text); }

namespace {

// The conditions on the path and the argument text.
bool rule_matches(const Rule& rule, const wchar_t* path, const wchar_t* args) {
    if (rule.match_path[0] != L'\0' && !rule_text_equal(rule.match_path, path)) return false;
    if (rule.match_name[0] != L'\0') {
        wchar_t file_name[260];
        text_copy_n(file_name, 260, PathFindFileNameW(path), 259);
        if (!rule_text_equal(rule.match_name, file_name)) return false;
    }
    if (rule.args_contains[0] == L'\0') return true;
    return args != nullptr && text_contains_nocase(args, rule.args_contains);
}

}  // namespace

const Rule* match_rule(const Policy* policy, uint32_t type, const wchar_t* path, const wchar_t* args,
                       IdentityPort* identity) {
    if (!policy || !path) return nullptr;
    uint32_t count = policy->count < policy_max_rules ? policy->count : policy_max_rules;
    // The hash is read only when an enabled rule of the type asks for one.
    bool want_hash = false;
    for (uint32_t i = 0; i < count; ++i) {
        const Rule& rule = policy->rules[i];
        if (static_cast<uint32_t>(rule.type) == type && rule.enabled != 0 && rule.match_sha256[0] != L'\0')
            want_hash = true;
    }
    FileIdentity file = {};
    bool asked = false, read = false;
    for (uint32_t i = 0; i < count; ++i) {
        const Rule& rule = policy->rules[i];
        if (static_cast<uint32_t>(rule.type) != type || rule.enabled == 0) continue;
        if (!rule_matches(rule, path, args)) continue;
        if (!rule_has_identity(&rule)) return &rule;
        if (!identity || !identity->read) continue;
        if (!asked) {
            asked = true;
            read = identity->read(identity->state, path, want_hash, &file);
        }
        switch (identity_matches(&rule, &file, read)) {
        case IdentityMatch::yes:
            return &rule;
        case IdentityMatch::no:
            break;
        case IdentityMatch::unreadable:
            identity->unreadable = true;
            return nullptr;
        }
    }
    return nullptr;
}

bool path_may_hold_short_names(const wchar_t* path) { return path && wcschr(path, L'~') != nullptr; }

bool rule_path_key(const wchar_t* path, LongPathFn long_path, void* state, wchar_t* out, size_t cch_out) {
    if (!path || cch_out == 0) return false;
    if (!path_may_hold_short_names(path)) {
        if (text_length(path, cch_out) >= cch_out) return false;
        text_copy(out, cch_out, path);
        return true;
    }
    wchar_t resolved[1024];
    if (!long_path(state, path, resolved, 1024)) return false;
    resolved[1023] = L'\0';
    if (text_length(resolved, cch_out) >= cch_out) return false;
    text_copy(out, cch_out, resolved);
    return true;
}

bool policy_has_rules(const Policy* policy, uint32_t type) {
    uint32_t count = policy->count < policy_max_rules ? policy->count : policy_max_rules;
    for (uint32_t i = 0; i < count; ++i) {
        if (static_cast<uint32_t>(policy->rules[i].type) == type && policy->rules[i].enabled != 0) return true;
    }
    return false;
}

uint32_t drop_malformed_rules(Policy* policy, const Settings* settings) {
    uint32_t count = policy->count < policy_max_rules ? policy->count : policy_max_rules;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (rule_sha256_well_formed(&policy->rules[i])) {
            if (kept != i) policy->rules[kept] = policy->rules[i];
            ++kept;
            continue;
        }
        log_event(settings, L"rule skipped: match_sha256 is not 64 hexadecimal digits: %s",
                  policy->rules[i].display_name);
    }
    for (uint32_t i = kept; i < count; ++i) policy->rules[i] = Rule{};
    policy->count = kept;
    return count - kept;
}
