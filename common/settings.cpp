// The flat JSON key scan, the escaping of the settings writer, and the settings text both ways.
#include "common/settings.h"

#include <windows.h>
#include <shlwapi.h>

#include "common/lang.h"
#include "common/text.h"

namespace {

constexpr size_t key_pattern_cch = 128;

bool is_digit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool is_letter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

int hex_value(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Decodes one escape at p (p[0] is the backslash). Returns the number of source characters it
// takes and stores the character it stands for; 0 when p does not start a known escape, in which
// case the backslash is an ordinary character. \u0000 is not decoded: a value never hides a
// terminator.
size_t decode_escape(const wchar_t* p, wchar_t* decoded) {
    switch (p[1]) {
        case L'\\': *decoded = L'\\'; return 2;
        case L'"': *decoded = L'"'; return 2;
        case L'/': *decoded = L'/'; return 2;
        case L'n': *decoded = L'\n'; return 2;
        case L'r': *decoded = L'\r'; return 2;
        case L't': *decoded = L'\t'; return 2;
        case L'u': {
            unsigned value = 0;
            for (int i = 2; i < 6; ++i) {
                int digit = hex_value(p[i]);  // stops at the terminator too
                if (digit < 0) return 0;
                value = value * 16 + unsigned(digit);
            }
            if (value == 0) return 0;
            *decoded = wchar_t(value);
            return 6;
        }
        default: return 0;
    }
}

// Walks a quoted value that starts after its opening quotation mark. With out, the decoded value
// is stored, cut to cch_out - 1 characters and terminated. Returns the closing quotation mark,
// or null when the text ends first (out is then not written).
const wchar_t* walk_quoted(const wchar_t* p, JsonEscapes escapes, wchar_t* out, size_t cch_out) {
    const wchar_t* end = p;
    while (*end != L'"') {
        if (*end == L'\0') return nullptr;
        wchar_t decoded;
        size_t taken = (escapes == JsonEscapes::file && *end == L'\\') ? decode_escape(end, &decoded) : 0;
        end += taken ? taken : 1;
    }
    if (!out) return end;
    size_t n = 0;
    while (p < end) {
        wchar_t c = *p;
        size_t taken = (escapes == JsonEscapes::file && c == L'\\') ? decode_escape(p, &c) : 0;
        p += taken ? taken : 1;
        if (n < cch_out - 1) out[n++] = c;
    }
    out[n] = L'\0';
    return end;
}

bool scan_value(const wchar_t* text, const wchar_t* key, wchar_t* out, size_t cch_out,
                JsonEscapes escapes, bool bare_words) {
    if (!out || cch_out == 0 || cch_out > text_max_cch) return false;
    const wchar_t* p = json_value_start(text, key);
    if (!p) return false;
    if (*p == L'"') {
        if (!walk_quoted(p + 1, escapes, nullptr, 0)) return false;
        walk_quoted(p + 1, escapes, out, cch_out);
        return true;
    }
    size_t n = 0;
    if (is_digit(*p)) {
        while (is_digit(p[n])) ++n;
    } else if (bare_words && is_letter(*p)) {
        while (is_letter(p[n])) ++n;
    } else {
        return false;
    }
    text_copy_n(out, cch_out, p, n);
    return true;
}

// Whether read is the text that escaped (json_escape's output) stands for.
bool reads_as(const wchar_t* escaped, const wchar_t* read) {
    for (; *escaped; ++escaped, ++read) {
        wchar_t c = *escaped;
        if (c == L'\\') {
            ++escaped;
            c = *escaped == L'n' ? L'\n' : *escaped == L'r' ? L'\r' : *escaped;
        }
        if (*read != c) return false;
    }
    return *read == L'\0';
}

}  // namespace

const wchar_t* json_value_start(const wchar_t* text, const wchar_t* key) {
    if (!text || !key) return nullptr;
    wchar_t pattern[key_pattern_cch];
    text_format(pattern, key_pattern_cch, L"\"%s\"", key);
    const wchar_t* p = StrStrIW(text, pattern);
    if (!p) return nullptr;
    p += text_length(pattern, key_pattern_cch);
    while (*p == L' ' || *p == L':') ++p;
    return p;
}

bool scan_json_value(const wchar_t* text, const wchar_t* key, wchar_t* out, size_t cch_out,
                     JsonEscapes escapes) {
    return scan_value(text, key, out, cch_out, escapes, false);
}

bool scan_json_word(const wchar_t* text, const wchar_t* key, wchar_t* out, size_t cch_out) {
    return scan_value(text, key, out, cch_out, JsonEscapes::file, true);
}

void json_escape(const wchar_t* in, wchar_t* out, size_t cch_out) {
    if (!out || cch_out == 0 || cch_out > text_max_cch) return;
    size_t n = 0;
    for (; in && *in; ++in) {
        if (n + 3 >= cch_out) break;  // n >= cch_out - 3: room for one more pair and the terminator
        wchar_t c = *in;
        wchar_t escaped = c == L'\n' ? L'n' : c == L'\r' ? L'r' : (c == L'"' || c == L'\\') ? c : 0;
        if (escaped) {
            out[n++] = L'\\';
            out[n++] = escaped;
        } else {
            out[n++] = c;
        }
    }
    out[n] = L'\0';
}

void settings_from_text(const wchar_t* text, Settings* s) {
    *s = Settings{};
    text_copy(s->log_file, default_log_path);
    scan_json_value(text, L"server_url", s->server_url, ARRAYSIZE(s->server_url));
    scan_json_value(text, L"api_key", s->api_key, ARRAYSIZE(s->api_key));
    scan_json_value(text, L"mfa_username", s->mfa_username, ARRAYSIZE(s->mfa_username));
    scan_json_value(text, L"address", s->address, ARRAYSIZE(s->address));
    scan_json_value(text, L"country_code", s->country_code, ARRAYSIZE(s->country_code));
    scan_json_value(text, L"client_ip", s->client_ip, ARRAYSIZE(s->client_ip));
    scan_json_value(text, L"admin_auth_mode", s->admin_auth_mode, ARRAYSIZE(s->admin_auth_mode));
    scan_json_value(text, L"log_file", s->log_file, ARRAYSIZE(s->log_file));
    scan_json_value(text, L"language", s->language, ARRAYSIZE(s->language));
    scan_json_word(text, L"allow_plain_http", s->allow_plain_http, ARRAYSIZE(s->allow_plain_http));
    if (s->language[0] == L'\0') text_copy(s->language, default_language());
}

bool settings_to_text(const Settings* s, wchar_t* out, size_t cch_out) {
    // Escaped copies; the capacities are those of the file format, so an over-long value is cut
    // on writing (a 254-character server_url without escapes is written as 253 characters).
    wchar_t server_url[256], api_key[256], mfa_username[128], address[512], country_code[64];
    wchar_t client_ip[64], admin_auth_mode[64], log_file[1024], language[16], allow_plain_http[16];
    json_escape(s->server_url, server_url, ARRAYSIZE(server_url));
    json_escape(s->api_key, api_key, ARRAYSIZE(api_key));
    json_escape(s->mfa_username, mfa_username, ARRAYSIZE(mfa_username));
    json_escape(s->address, address, ARRAYSIZE(address));
    json_escape(s->country_code, country_code, ARRAYSIZE(country_code));
    json_escape(s->client_ip, client_ip, ARRAYSIZE(client_ip));
    json_escape(s->admin_auth_mode, admin_auth_mode, ARRAYSIZE(admin_auth_mode));
    json_escape(s->log_file, log_file, ARRAYSIZE(log_file));
    json_escape(s->language, language, ARRAYSIZE(language));
    json_escape(s->allow_plain_http, allow_plain_http, ARRAYSIZE(allow_plain_http));
    // The optional key is written only when set, so a file without it stays as it was.
    wchar_t optional[64] = L"";
    if (allow_plain_http[0]) text_format(optional, ARRAYSIZE(optional), L",\n  \"allow_plain_http\": \"%s\"", allow_plain_http);

    wchar_t text[settings_write_cch];
    TextResult r = text_format(text, ARRAYSIZE(text),
        L"{\n  \"server_url\": \"%s\",\n  \"api_key\": \"%s\",\n  \"mfa_username\": \"%s\",\n"
        L"  \"address\": \"%s\",\n  \"country_code\": \"%s\",\n  \"client_ip\": \"%s\",\n"
        L"  \"admin_auth_mode\": \"%s\",\n  \"log_file\": \"%s\",\n  \"language\": \"%s\"%s\n}\n",
        server_url, api_key, mfa_username, address, country_code, client_ip, admin_auth_mode,
        log_file, language, optional);
    if (r != text_ok || !out || text_length(text, ARRAYSIZE(text)) >= cch_out) return false;
    // The text must read back as written: a value ending in a later key's quoted name would hide
    // that key from the reader (it takes the first occurrence), and a lone surrogate would come
    // back from the file's UTF-8 as U+FFFD.
    Settings back;
    settings_from_text(text, &back);
    bool same = reads_as(server_url, back.server_url) && reads_as(api_key, back.api_key) &&
                reads_as(mfa_username, back.mfa_username) && reads_as(address, back.address) &&
                reads_as(country_code, back.country_code) && reads_as(client_ip, back.client_ip) &&
                reads_as(admin_auth_mode, back.admin_auth_mode) && reads_as(log_file, back.log_file) &&
                (language[0] == L'\0' || reads_as(language, back.language)) &&
                reads_as(allow_plain_http, back.allow_plain_http);
    if (!same || WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0, nullptr, nullptr) <= 0)
        return false;
    text_copy(out, cch_out, text);
    return true;
}
