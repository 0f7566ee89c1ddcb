// The policy reader and its writers. Each input is the bytes of SentrelSvc.policy.json (read as
// load_policy reads it); its leading bytes are also taken as one raw Rule, as the console's rule
// editor hands it to the writers. Properties: the reader keeps at most 64 rules, each a program or
// command rule with every text terminated inside its field and free slots left zero; whatever
// text a writer accepts (policy_to_text for the file's rules plus the raw one, policy_text_with_rule
// for the file plus the raw one) fits the reader and reads back, through the file's UTF-8, to the
// same rules in the same order.
#include "fuzz_support.h"

#include "common/policy.h"

namespace {

bool rule_terminated(const Rule& r) {
    return terminated_within(r.display_name, ARRAYSIZE(r.display_name)) &&
           terminated_within(r.match_path, ARRAYSIZE(r.match_path)) &&
           terminated_within(r.match_name, ARRAYSIZE(r.match_name)) &&
           terminated_within(r.args_contains, ARRAYSIZE(r.args_contains)) &&
           terminated_within(r.match_original_name, ARRAYSIZE(r.match_original_name)) &&
           terminated_within(r.match_sha256, ARRAYSIZE(r.match_sha256)) &&
           terminated_within(r.auth_mode, ARRAYSIZE(r.auth_mode));
}

bool all_zero(const void* p, size_t cb) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < cb; ++i)
        if (b[i]) return false;
    return true;
}

void dump_rule(const char* label, const Rule& r) {
    fprintf(stderr, "%s: type %d enabled %d cache %d\n", label, r.type, r.enabled, r.cache_window_seconds);
    dump_text("  display_name", r.display_name);
    dump_text("  match_path", r.match_path);
    dump_text("  match_name", r.match_name);
    dump_text("  args_contains", r.args_contains);
    dump_text("  match_original_name", r.match_original_name);
    dump_text("  match_sha256", r.match_sha256);
    dump_text("  auth_mode", r.auth_mode);
}

// What a rule given to a writer reads back as: an empty auth_mode is read as "totp".
bool same_rule(const Rule& back, const Rule& r) {
    const wchar_t* auth_mode = r.auth_mode[0] ? r.auth_mode : L"totp";
    bool same = back.type == r.type && back.enabled == r.enabled && back.cache_window_seconds == r.cache_window_seconds &&
           same_text(back.display_name, r.display_name) && same_text(back.match_path, r.match_path) &&
           same_text(back.match_name, r.match_name) && same_text(back.args_contains, r.args_contains) &&
           same_text(back.match_original_name, r.match_original_name) &&
           same_text(back.match_sha256, r.match_sha256) && same_text(back.auth_mode, auth_mode);
    if (!same && getenv("FUZZ_EXPLAIN")) {
        dump_rule("written", r);
        dump_rule("read back", back);
    }
    return same;
}

void check_read(const Policy* p) {
    FUZZ_CHECK(p->count <= policy_max_rules);
    for (uint32_t i = 0; i < policy_max_rules; ++i) {
        const Rule& r = p->rules[i];
        if (i >= p->count) {
            FUZZ_CHECK(all_zero(&r, sizeof r));
            continue;
        }
        FUZZ_CHECK(r.type == rule_type_program || r.type == rule_type_command);
        FUZZ_CHECK(r.enabled == 0 || r.enabled == 1);
        FUZZ_CHECK(rule_terminated(r));
        FUZZ_CHECK(r.auth_mode[0] != 0);
    }
}

// The text a writer accepted, written to the file and read back as load_policy does.
void read_back(const wchar_t* written, Policy* back) {
    static wchar_t reread[policy_text_cch];
    FUZZ_CHECK(terminated_within(written, policy_text_cch));
    FUZZ_CHECK(text_through_file(written, reread, policy_text_cch));
    policy_from_text(reread, back);
    check_read(back);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Static: a policy is large, and fresh pages for every input would cost more than the parsing.
    static wchar_t text[policy_text_cch];
    static wchar_t written[policy_text_cch];
    static Policy p, back, whole;
    if (!text_of_file(data, size, text, policy_text_cch)) text[0] = 0;  // load_policy fails: no rules
    policy_from_text(text, &p);
    check_read(&p);

    // The raw rule, as the editor makes one: a program or command rule, every text terminated.
    Rule* raw = exact_copy<Rule>(data, size);
    raw->type = (raw->type & 1) ? rule_type_program : rule_type_command;
    raw->enabled = raw->enabled & 1;
    raw->display_name[ARRAYSIZE(raw->display_name) - 1] = 0;
    raw->match_path[ARRAYSIZE(raw->match_path) - 1] = 0;
    raw->match_name[ARRAYSIZE(raw->match_name) - 1] = 0;
    raw->args_contains[ARRAYSIZE(raw->args_contains) - 1] = 0;
    raw->match_original_name[ARRAYSIZE(raw->match_original_name) - 1] = 0;
    raw->match_sha256[ARRAYSIZE(raw->match_sha256) - 1] = 0;
    raw->auth_mode[ARRAYSIZE(raw->auth_mode) - 1] = 0;

    // The whole policy (save_policy): the file's rules, then the raw one while there is room.
    whole = p;
    if (whole.count < policy_max_rules) whole.rules[whole.count++] = *raw;
    if (policy_to_text(&whole, written, policy_text_cch)) {
        read_back(written, &back);
        FUZZ_CHECK(back.count == whole.count);
        for (uint32_t i = 0; i < whole.count; ++i) FUZZ_CHECK(same_rule(back.rules[i], whole.rules[i]));
    }

    // One more rule into the file's text (append_rule): it comes back as one more rule, enabled,
    // the others as they were and in their order.
    Rule added = *raw;
    added.enabled = 1;
    if (policy_text_with_rule(text, raw, written, policy_text_cch)) {
        read_back(written, &back);
        FUZZ_CHECK(back.count == p.count + 1);
        uint32_t at = 0;
        while (at < p.count && same_rule(back.rules[at], p.rules[at])) ++at;
        FUZZ_CHECK(same_rule(back.rules[at], added));
        for (uint32_t i = at; i < p.count; ++i) FUZZ_CHECK(same_rule(back.rules[i + 1], p.rules[i]));
    }
    free(raw);
    return 0;
}
