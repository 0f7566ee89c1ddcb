// The policy text both ways: the rule reader, the rule-line writer and the first-run policy.
#include "common/policy.h"

#include <windows.h>
#include <shlwapi.h>
#include <string.h>
#include <wchar.h>

#include "common/lang.h"
#include "common/settings.h"
#include "common/text.h"

namespace {

constexpr uint32_t default_cache_window = 300;
constexpr size_t type_cch = 32;
constexpr size_t enabled_cch = 8;

// Escaped copies of a rule's texts. Each holds twice its field's capacity, so a field at full
// capacity made only of characters to escape is never cut.
constexpr size_t display_name_escaped_cch = 2 * ARRAYSIZE(Rule::display_name);
constexpr size_t match_path_escaped_cch = 2 * ARRAYSIZE(Rule::match_path);
constexpr size_t match_name_escaped_cch = 2 * ARRAYSIZE(Rule::match_name);
constexpr size_t args_contains_escaped_cch = 2 * ARRAYSIZE(Rule::args_contains);
constexpr size_t auth_mode_escaped_cch = 2 * ARRAYSIZE(Rule::auth_mode);
constexpr size_t original_name_escaped_cch = 2 * ARRAYSIZE(Rule::match_original_name);
constexpr size_t sha256_escaped_cch = 2 * ARRAYSIZE(Rule::match_sha256);
constexpr size_t identity_keys_cch = original_name_escaped_cch + sha256_escaped_cch + 64;

constexpr const wchar_t* text_opening = L"{\n  \"rules\": [";
constexpr const wchar_t* text_closing = L"\n  ]\n}\n";
constexpr const wchar_t* rule_line_format =
    L"%s\n    { \"type\": \"%s\", \"display_name\": \"%s\", \"match_name\": \"%s\", \"match_path\": \"%s\","
    L" \"args_contains\": \"%s\",%s \"auth_mode\": \"%s\", \"cache_window_seconds\": %lu, \"enabled\": %s }";
// The identity keys follow args_contains, each only when set, so a rule without them is written
// exactly as before they existed.
constexpr const wchar_t* original_name_format = L" \"match_original_name\": \"%s\",";
constexpr const wchar_t* sha256_format = L" \"match_sha256\": \"%s\",";

constexpr const wchar_t* default_policy_en =
    L"{\n  \"rules\": [\n"
    L"    { \"type\": \"program\", \"display_name\": \"Notepad\", \"match_name\": \"notepad.exe\", \"match_path\": \"\","
    L" \"args_contains\": \"\", \"auth_mode\": \"push\", \"cache_window_seconds\": 300, \"enabled\": true },\n"
    L"    { \"type\": \"command\", \"display_name\": \"Command Prompt\", \"match_name\": \"cmd.exe\","
    L" \"match_path\": \"C:\\\\Windows\\\\System32\\\\cmd.exe\", \"args_contains\": \"\", \"auth_mode\": \"push\","
    L" \"cache_window_seconds\": 300, \"enabled\": true }\n"
    L"  ]\n}\n";
constexpr const wchar_t* default_policy_zh =
    L"{\n  \"rules\": [\n"
    L"    { \"type\": \"program\", \"display_name\": \"记事本\", \"match_name\": \"notepad.exe\", \"match_path\": \"\","
    L" \"args_contains\": \"\", \"auth_mode\": \"push\", \"cache_window_seconds\": 300, \"enabled\": true },\n"
    L"    { \"type\": \"command\", \"display_name\": \"命令提示符\", \"match_name\": \"cmd.exe\","
    L" \"match_path\": \"C:\\\\Windows\\\\System32\\\\cmd.exe\", \"args_contains\": \"\", \"auth_mode\": \"push\","
    L" \"cache_window_seconds\": 300, \"enabled\": true }\n"
    L"  ]\n}\n";

bool is_digit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool is_blank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r'; }

// One object of the rule list: from its "{" to the "}" that balances it, counting every brace
// (also those inside quoted texts). An object the text ends inside runs to the end of the text.
struct ObjectSpan {
    const wchar_t* begin;
    size_t length;
    bool closed;
};

ObjectSpan object_at(const wchar_t* open) {
    int depth = 0;
    const wchar_t* p = open;
    for (; *p; ++p) {
        if (*p == L'{') ++depth;
        if (*p == L'}' && --depth == 0) return {open, size_t(p + 1 - open), true};
    }
    return {open, size_t(p - open), false};
}

// A bare run of digits after the key, as an unsigned 32-bit number (larger runs saturate);
// anything else gives the default window.
int32_t read_cache_window(const wchar_t* object) {
    const wchar_t* p = json_value_start(object, L"cache_window_seconds");
    if (!p || !is_digit(*p)) return int32_t(default_cache_window);
    uint64_t value = 0;
    for (; is_digit(*p); ++p) {
        value = value * 10 + uint64_t(*p - L'0');
        if (value > UINT32_MAX) value = UINT32_MAX;
    }
    return int32_t(uint32_t(value));
}

// Reads one object into r (zeroed first). False when the object is too long or its type is
// neither program nor command; the caller then keeps the slot free.
bool rule_from_object(const ObjectSpan& o, Rule* r) {
    *r = Rule{};
    if (o.length >= rule_object_max_cch) return false;
    wchar_t object[rule_object_max_cch];
    text_copy_n(object, rule_object_max_cch, o.begin, o.length);

    wchar_t type[type_cch] = L"";
    scan_json_value(object, L"type", type, type_cch);
    scan_json_value(object, L"display_name", r->display_name, ARRAYSIZE(r->display_name));
    scan_json_value(object, L"match_path", r->match_path, ARRAYSIZE(r->match_path));
    scan_json_value(object, L"match_name", r->match_name, ARRAYSIZE(r->match_name));
    scan_json_value(object, L"args_contains", r->args_contains, ARRAYSIZE(r->args_contains));
    scan_json_value(object, L"match_original_name", r->match_original_name, ARRAYSIZE(r->match_original_name));
    // A hash key whose value is not a text is kept as a malformed hash: its rule is refused, never
    // read as one without the condition.
    if (json_value_start(object, L"match_sha256") &&
        !scan_json_value(object, L"match_sha256", r->match_sha256, ARRAYSIZE(r->match_sha256)))
        text_copy(r->match_sha256, L"?");
    scan_json_value(object, L"auth_mode", r->auth_mode, ARRAYSIZE(r->auth_mode));
    r->cache_window_seconds = read_cache_window(object);
    if (r->auth_mode[0] == L'\0') text_copy(r->auth_mode, L"totp");
    wchar_t enabled[enabled_cch] = L"";
    scan_json_word(object, L"enabled", enabled, enabled_cch);
    r->enabled = text_equal_ascii_nocase(enabled, L"false") ? 0 : 1;

    if (text_equal_ascii_nocase(type, L"program")) {
        r->type = rule_type_program;
    } else if (text_equal_ascii_nocase(type, L"command")) {
        r->type = rule_type_command;
    } else {
        *r = Rule{};
        return false;
    }
    return true;
}

// A backslash or a quotation mark gets a backslash before it; nothing else is escaped. Stops
// before an input character once cch_out - 3 characters are written.
void escape_rule_text(const wchar_t* in, size_t cch_in, wchar_t* out, size_t cch_out) {
    size_t n = 0;
    for (size_t i = 0; i < cch_in && in[i] != L'\0'; ++i) {
        if (n + 3 >= cch_out) break;
        if (in[i] == L'\\' || in[i] == L'"') out[n++] = L'\\';
        out[n++] = in[i];
    }
    out[n] = L'\0';
}

bool same_text(const wchar_t* a, const wchar_t* b, size_t cch) { return wcsncmp(a, b, cch) == 0; }

// Whether the reader takes back from r_back exactly the rule that was written from r.
bool reads_back_as(const Rule* r_back, const Rule* r, bool enabled) {
    int32_t type = r->type == rule_type_program ? rule_type_program : rule_type_command;
    const wchar_t* auth_mode = r->auth_mode[0] ? r->auth_mode : L"totp";
    return r_back->type == type && r_back->enabled == (enabled ? 1 : 0) &&
           r_back->cache_window_seconds == r->cache_window_seconds &&
           same_text(r_back->display_name, r->display_name, ARRAYSIZE(r->display_name)) &&
           same_text(r_back->match_path, r->match_path, ARRAYSIZE(r->match_path)) &&
           same_text(r_back->match_name, r->match_name, ARRAYSIZE(r->match_name)) &&
           same_text(r_back->args_contains, r->args_contains, ARRAYSIZE(r->args_contains)) &&
           same_text(r_back->match_original_name, r->match_original_name, ARRAYSIZE(r->match_original_name)) &&
           same_text(r_back->match_sha256, r->match_sha256, ARRAYSIZE(r->match_sha256)) &&
           same_text(r_back->auth_mode, auth_mode, ARRAYSIZE(r->auth_mode));
}

// Whether after holds the rules of before with r (enabled) inserted at one place: the new rule must
// come back as itself, neither swallowed by another object nor swallowing one, and the others
// unchanged and in their order.
bool inserted_as(const Policy* before, const Policy* after, const Rule* r) {
    if (after->count != before->count + 1) return false;
    uint32_t at = 0;
    while (at < before->count && memcmp(&after->rules[at], &before->rules[at], sizeof(Rule)) == 0) ++at;
    if (!reads_back_as(&after->rules[at], r, true)) return false;
    for (uint32_t i = at; i < before->count; ++i)
        if (memcmp(&after->rules[i + 1], &before->rules[i], sizeof(Rule)) != 0) return false;
    return true;
}

// The identity keys of a rule line (empty when neither is set).
bool identity_keys_text(const Rule* r, wchar_t* out, size_t cch_out) {
    wchar_t escaped[original_name_escaped_cch];
    wchar_t piece[original_name_escaped_cch + 32];
    out[0] = L'\0';
    if (r->match_original_name[0] != L'\0') {
        escape_rule_text(r->match_original_name, ARRAYSIZE(r->match_original_name), escaped, ARRAYSIZE(escaped));
        if (text_format(piece, ARRAYSIZE(piece), original_name_format, escaped) != text_ok) return false;
        if (text_append(out, cch_out, piece) != text_ok) return false;
    }
    if (r->match_sha256[0] != L'\0') {
        escape_rule_text(r->match_sha256, ARRAYSIZE(r->match_sha256), escaped, sha256_escaped_cch);
        if (text_format(piece, ARRAYSIZE(piece), sha256_format, escaped) != text_ok) return false;
        if (text_append(out, cch_out, piece) != text_ok) return false;
    }
    return true;
}

// Formats one rule line into line (rule_line_cch units). False when the line does not fit or
// would not read back as the same rule, e.g. a text with an unbalanced brace or a text equal to
// the name of a key that follows it in the line (the reader takes the first occurrence of a key).
bool format_rule_line(const Rule* r, bool first, bool enabled, wchar_t* line) {
    wchar_t display_name[display_name_escaped_cch], match_name[match_name_escaped_cch];
    wchar_t match_path[match_path_escaped_cch], args_contains[args_contains_escaped_cch];
    wchar_t auth_mode[auth_mode_escaped_cch];
    escape_rule_text(r->display_name, ARRAYSIZE(r->display_name), display_name, ARRAYSIZE(display_name));
    escape_rule_text(r->match_name, ARRAYSIZE(r->match_name), match_name, ARRAYSIZE(match_name));
    escape_rule_text(r->match_path, ARRAYSIZE(r->match_path), match_path, ARRAYSIZE(match_path));
    escape_rule_text(r->args_contains, ARRAYSIZE(r->args_contains), args_contains, ARRAYSIZE(args_contains));
    escape_rule_text(r->auth_mode, ARRAYSIZE(r->auth_mode), auth_mode, ARRAYSIZE(auth_mode));
    wchar_t identity[identity_keys_cch] = L"";
    if (!identity_keys_text(r, identity, identity_keys_cch)) return false;
    TextResult formatted = text_format(line, rule_line_cch, rule_line_format, first ? L"" : L",",
        r->type == rule_type_program ? L"program" : L"command", display_name, match_name, match_path,
        args_contains, identity, auth_mode, (unsigned long)uint32_t(r->cache_window_seconds),
        enabled ? L"true" : L"false");
    if (formatted != text_ok) return false;

    ObjectSpan o = object_at(wcschr(line, L'{'));
    if (!o.closed || o.begin[o.length] != L'\0') return false;
    Rule back;
    return rule_from_object(o, &back) && reads_back_as(&back, r, enabled);
}

// Whether the reader takes the whole text: at most 65,535 UTF-8 bytes and 65,535 units, and no
// lone surrogate (the file's UTF-8 would hold U+FFFD in its place, another text than written).
bool fits_reader(const wchar_t* text, size_t length) {
    if (length == 0) return true;
    if (length >= policy_text_cch) return false;
    int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, int(length), nullptr, 0, nullptr, nullptr);
    return bytes > 0 && size_t(bytes) <= file_read_max_cb;
}

bool deliver(const wchar_t* text, wchar_t* out, size_t cch_out) {
    size_t length = text_length(text, policy_text_cch);
    if (!out || length >= cch_out || !fits_reader(text, length)) return false;
    text_copy(out, cch_out, text);
    return true;
}

// A large transient buffer from the process heap, released when it goes out of scope.
template <typename T>
struct HeapBuffer {
    T* p;
    explicit HeapBuffer(size_t count) : p(static_cast<T*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, count * sizeof(T)))) {}
    ~HeapBuffer() { if (p) HeapFree(GetProcessHeap(), 0, p); }
    HeapBuffer(const HeapBuffer&) = delete;
    HeapBuffer& operator=(const HeapBuffer&) = delete;
};

}  // namespace

void policy_from_text(const wchar_t* text, Policy* p) {
    *p = Policy{};
    if (!text) return;
    const wchar_t* rules = StrStrIW(text, L"\"rules\"");
    const wchar_t* pos = rules ? wcschr(rules, L'[') : nullptr;
    if (!pos) return;
    ++pos;
    while (*pos != L'\0' && p->count < policy_max_rules) {
        const wchar_t* open = wcschr(pos, L'{');
        if (!open) break;
        ObjectSpan o = object_at(open);
        if (rule_from_object(o, &p->rules[p->count])) ++p->count;
        pos = o.begin + o.length;
        if (!o.closed) break;
    }
}

bool policy_to_text(const Policy* p, wchar_t* out, size_t cch_out) {
    HeapBuffer<wchar_t> text(policy_text_cch);
    if (!text.p) return false;
    text_copy(text.p, policy_text_cch, text_opening);
    wchar_t line[rule_line_cch];
    uint32_t count = p->count < policy_max_rules ? p->count : policy_max_rules;
    for (uint32_t i = 0; i < count; ++i) {
        const Rule* r = &p->rules[i];
        if (!format_rule_line(r, i == 0, r->enabled != 0, line)) return false;
        if (text_append(text.p, policy_text_cch, line) != text_ok) return false;
    }
    if (text_append(text.p, policy_text_cch, text_closing) != text_ok) return false;
    return deliver(text.p, out, cch_out);
}

bool policy_text_with_rule(const wchar_t* text, const Rule* r, wchar_t* out, size_t cch_out) {
    if (!text) return false;
    const wchar_t* bracket = wcsrchr(text, L']');
    if (!bracket) return false;
    const wchar_t* last = bracket > text ? bracket - 1 : nullptr;
    while (last && last > text && is_blank(*last)) --last;
    bool list_empty = last && *last == L'[';

    wchar_t line[rule_line_cch];
    if (!format_rule_line(r, list_empty, true, line)) return false;
    HeapBuffer<wchar_t> joined(policy_text_cch);
    if (!joined.p) return false;
    size_t before = size_t(bracket - text);
    if (before >= policy_text_cch) return false;
    text_copy_n(joined.p, policy_text_cch, text, before);
    if (text_append(joined.p, policy_text_cch, line) != text_ok) return false;
    if (text_append(joined.p, policy_text_cch, bracket) != text_ok) return false;

    // The new rule must come back as one more rule, as itself: not past the 64th, not swallowed
    // by an object it was put into (whose keys would then come first).
    HeapBuffer<Policy> check(2);
    if (!check.p) return false;
    policy_from_text(text, &check.p[0]);
    policy_from_text(joined.p, &check.p[1]);
    if (!inserted_as(&check.p[0], &check.p[1], r)) return false;
    return deliver(joined.p, out, cch_out);
}

bool policy_toggle(Policy* p, int32_t type, uint32_t n) {
    uint32_t count = p->count < policy_max_rules ? p->count : policy_max_rules;
    uint32_t seen = 0;
    for (uint32_t i = 0; i < count; ++i) {
        Rule* r = &p->rules[i];
        if (r->type != type) continue;
        if (seen++ == n) {
            r->enabled = r->enabled == 0 ? 1 : 0;
            return true;
        }
    }
    return false;
}

bool rule_has_identity(const Rule* r) { return r->match_original_name[0] != L'\0' || r->match_sha256[0] != L'\0'; }

bool rule_sha256_well_formed(const Rule* r) {
    if (r->match_sha256[0] == L'\0') return true;
    size_t n = 0;
    for (; n < ARRAYSIZE(r->match_sha256) && r->match_sha256[n] != L'\0'; ++n) {
        wchar_t c = r->match_sha256[n];
        bool hex = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
        if (!hex) return false;
    }
    return n == sha256_hex_cch;
}

const wchar_t* default_policy_text_for(Language language) {
    return language == Language::en_us ? default_policy_en : default_policy_zh;
}
