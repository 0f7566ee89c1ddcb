// Test tool, never shipped: one write of a data file through the product's own writers, for the
// write faults of the process faults campaign (tools/proc_faults/run_campaign.py). The campaign
// plays the fault around it (a file size limit standing in for a full disk, an unwritable file or
// folder) and checks what the file holds afterwards; this tool says what the writer answered.
//
//   write_fault <kind> <path> <n>
//     settings  save_settings of a record whose values depend on n (SentrelSvc.json)
//     policy    save_policy of n % 40 + 1 rules
//     append    append_rule of rule n to the file's text (the file must hold a rule list)
//     toggle    load_policy, then toggle_rule of its first command rule
//   write_fault measure <kind> <path> <n>: the UTF-8 size the write would have, nothing written.
//   write_fault in-place <kind> <path> <n>: the same text written over the file itself (truncated,
//     then written), as a careless writer would: the campaign's end-to-end test shows the campaign
//     catching it.
//
// Prints "write ok" (exit 0) after a write whose file reads back as what was meant, "write failed"
// (exit 1) when the writer answered false, and "write wrong: <what>" (exit 2) when the writer's
// answer and the file disagree, or a failed toggle left the caller's policy changed.
#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include "common/console.h"
#include "common/policy.h"
#include "common/settings.h"
#include "common/text.h"

namespace {

enum class Kind { settings, policy, append, toggle, unknown };

Kind kind_of(const wchar_t* name) {
    if (text_equal_ascii_nocase(name, L"settings")) return Kind::settings;
    if (text_equal_ascii_nocase(name, L"policy")) return Kind::policy;
    if (text_equal_ascii_nocase(name, L"append")) return Kind::append;
    if (text_equal_ascii_nocase(name, L"toggle")) return Kind::toggle;
    return Kind::unknown;
}

// Large records live here, not on the stack.
Policy g_policy;
Policy g_before;
wchar_t g_text[policy_text_cch];
wchar_t g_joined[policy_text_cch];

void settings_for(unsigned long n, Settings* s) {
    *s = Settings{};
    text_format(s->server_url, 256, L"https://mfa-%lu.example.test", n);
    text_format(s->api_key, 256, L"key-%lu-%s", n, n % 2 ? L"长一些的值" : L"k");
    text_format(s->mfa_username, 128, L"user%lu", n % 97);
    text_format(s->address, 512, L"Room %lu, Building %lu", n % 500, n % 13);
    text_copy(s->country_code, 32, L"86");
    text_copy(s->admin_auth_mode, 32, n % 3 ? L"totp" : L"push");
    text_copy(s->log_file, 1024, default_log_path);
    text_copy(s->language, 16, n % 2 ? L"en-US" : L"zh-CN");
}

void rule_for(unsigned long n, unsigned long i, Rule* r) {
    *r = Rule{};
    r->type = i % 2 ? rule_type_program : rule_type_command;
    r->enabled = 1;
    text_format(r->display_name, 128, L"Rule %lu of round %lu", i, n);
    text_format(r->match_name, 260, L"tool%lu.exe", i);
    text_format(r->match_path, 1024, L"C:\\Tools\\%lu\\tool%lu.exe", n % 7, i);
    text_copy(r->auth_mode, 32, L"totp");
    r->cache_window_seconds = static_cast<int32_t>(i * 10);
}

void policy_for(unsigned long n, Policy* p) {
    *p = Policy{};
    p->count = static_cast<uint32_t>(n % 40 + 1);
    for (uint32_t i = 0; i < p->count; ++i) rule_for(n, i, &p->rules[i]);
}

bool same_policy(const Policy* a, const Policy* b) {
    return a->count == b->count && memcmp(a->rules, b->rules, a->count * sizeof(Rule)) == 0;
}

int first_command_rule(const Policy* p) {
    for (uint32_t i = 0; i < p->count; ++i) {
        if (p->rules[i].type == rule_type_command) return static_cast<int>(i);
    }
    return -1;
}

// The careless writer: the file truncated and written in place.
bool write_in_place(const wchar_t* path) {
    static char bytes[policy_text_cch * 3];
    int cb = WideCharToMultiByte(CP_UTF8, 0, g_text, -1, bytes, static_cast<int>(sizeof bytes), nullptr, nullptr);
    if (cb <= 0) return false;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    DWORD cb_text = static_cast<DWORD>(cb - 1);
    bool whole = WriteFile(file, bytes, cb_text, &written, nullptr) && written == cb_text;
    CloseHandle(file);
    return whole;
}

long utf8_size(const wchar_t* text) {
    int cb = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    return cb > 0 ? cb - 1 : -1;
}

// The text the write would put in the file; false when there is none.
bool intended_text(Kind kind, const wchar_t* path, unsigned long n) {
    switch (kind) {
        case Kind::settings: {
            static Settings s;
            settings_for(n, &s);
            return settings_to_text(&s, g_text, policy_text_cch);
        }
        case Kind::policy:
            policy_for(n, &g_policy);
            return policy_to_text(&g_policy, g_text, policy_text_cch);
        case Kind::append: {
            static Rule r;
            rule_for(n, n % 64, &r);
            return read_utf8_file(path, g_joined, policy_text_cch) &&
                   policy_text_with_rule(g_joined, &r, g_text, policy_text_cch);
        }
        case Kind::toggle:
            if (!load_policy(path, &g_policy) || first_command_rule(&g_policy) < 0) return false;
            policy_toggle(&g_policy, rule_type_command, 0);
            return policy_to_text(&g_policy, g_text, policy_text_cch);
        case Kind::unknown: break;
    }
    return false;
}

// The write itself through the product's writer; wrong is set when the caller's record changed
// though nothing was written.
bool write_kind(Kind kind, const wchar_t* path, unsigned long n, const wchar_t** wrong) {
    switch (kind) {
        case Kind::settings: {
            static Settings s;
            settings_for(n, &s);
            return save_settings(path, &s);
        }
        case Kind::policy:
            policy_for(n, &g_policy);
            return save_policy(path, &g_policy);
        case Kind::append: {
            static Rule r;
            rule_for(n, n % 64, &r);
            return append_rule(path, &r);
        }
        case Kind::toggle: {
            if (!load_policy(path, &g_policy)) return false;
            g_before = g_policy;
            bool written = toggle_rule(path, &g_policy, rule_type_command, 0);
            if (!written && !same_policy(&g_policy, &g_before)) *wrong = L"a failed toggle changed the caller's policy";
            return written;
        }
        case Kind::unknown: break;
    }
    return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool measure = argc == 5 && text_equal_ascii_nocase(argv[1], L"measure");
    bool in_place = argc == 5 && text_equal_ascii_nocase(argv[1], L"in-place");
    int first = measure || in_place ? 2 : 1;
    if (argc != first + 3 || kind_of(argv[first]) == Kind::unknown) {
        console_eprint(L"usage: write_fault [measure|in-place] settings|policy|append|toggle <path> <n>\n");
        return 64;
    }
    Kind kind = kind_of(argv[first]);
    const wchar_t* path = argv[first + 1];
    unsigned long n = wcstoul(argv[first + 2], nullptr, 10);

    if (!intended_text(kind, path, n)) {
        console_eprint(L"write_fault: no text to write for this kind and file\n");
        return 65;
    }
    if (measure) {
        console_print(L"size=%ld\n", utf8_size(g_text));
        return 0;
    }
    const wchar_t* wrong = nullptr;
    bool written = in_place ? write_in_place(path) : write_kind(kind, path, n, &wrong);
    if (!wrong && written) {
        // What the file holds now must be the intended text, whole.
        if (!read_utf8_file(path, g_joined, policy_text_cch) || wcscmp(g_joined, g_text) != 0)
            wrong = L"the writer answered true but the file does not hold the new text";
    }
    if (wrong) {
        console_print(L"write wrong: %s\n", wrong);
        return 2;
    }
    console_print(written ? L"write ok\n" : L"write failed\n");
    return written ? 0 : 1;
}
