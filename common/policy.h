// Protection rules (SentrelSvc.policy.json): the rule model, the reader and the writers.
#pragma once
#include <stddef.h>
#include <stdint.h>

enum RuleType : int32_t { rule_type_free = 0, rule_type_program = 1, rule_type_command = 2 };

struct Rule {
    int32_t type;      // RuleType
    int32_t enabled;   // 1 in force, 0 paused
    wchar_t display_name[128];
    wchar_t match_path[1024];
    wchar_t match_name[260];
    wchar_t args_contains[512];
    wchar_t match_original_name[260];  // the version resource's OriginalFilename; empty: any
    wchar_t match_sha256[72];          // 64 hex digits; longer texts are kept whole enough to be refused
    wchar_t auth_mode[32];
    int32_t cache_window_seconds;
};

constexpr uint32_t policy_max_rules = 64;

struct Policy {
    Rule rules[policy_max_rules];
    uint32_t count;
};

constexpr const wchar_t* policy_file_name = L"SentrelSvc.policy.json";
constexpr size_t policy_text_cch = 65536;  // reader and writer buffer for a whole policy text
constexpr size_t rule_object_max_cch = 4096;  // the reader skips an object this long or longer
constexpr size_t rule_line_cch = 4096;        // one written rule line: holds the longest escaped rule

enum class Language;

constexpr size_t sha256_hex_cch = 64;

// Whether a rule names the program by what the file is (match_original_name or match_sha256).
bool rule_has_identity(const Rule* r);
// False for a match_sha256 that is set but not exactly 64 hexadecimal digits: such a rule must
// not be used at all (without its hash it would match more than it says).
bool rule_sha256_well_formed(const Rule* r);

// --- pure text functions ---

// Fills p (zeroed first) from a policy text, as load_policy does after a successful read.
void policy_from_text(const wchar_t* text, Policy* p);
// The whole file text of p; false (out untouched) when it would not read back whole: longer than
// the reader takes (65,535 UTF-8 bytes) or than cch_out, or a rule whose line does not read back
// as the same rule (unbalanced braces in a text, a text equal to a later key's name).
bool policy_to_text(const Policy* p, wchar_t* out, size_t cch_out);
// The existing file text with r inserted before its last "]"; false when there is no "]" or the
// result would not read back whole (the new rule would not be read as one more rule, as itself,
// with the others unchanged).
bool policy_text_with_rule(const wchar_t* text, const Rule* r, wchar_t* out, size_t cch_out);
// Flips enabled of the n-th rule of the given type; false when there is no such rule.
bool policy_toggle(Policy* p, int32_t type, uint32_t n);

// The first-run policy text of a language, in the writer's exact layout.
const wchar_t* default_policy_text_for(Language language);

// --- file functions ---

bool load_policy(const wchar_t* path, Policy* p);
// Writes all rules; false when nothing was written (no buffer, too long, or the write failed).
bool save_policy(const wchar_t* path, const Policy* p);
// Flips the n-th rule of the type in p and writes the policy; nothing is written without such a rule.
// False when nothing was written; p is then as it was.
bool toggle_rule(const wchar_t* path, Policy* p, int32_t type, uint32_t n);
// Inserts r, enabled, into the existing file text; nothing is written when the file or its "]" is missing.
bool append_rule(const wchar_t* path, const Rule* r);
// The first-run policy in the current language.
const wchar_t* default_policy_text();
