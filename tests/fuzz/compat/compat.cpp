// Fuzz build only: the Win32 and Windows-runtime functions of windows.h, shlwapi.h and wchar.h
// here, on 16-bit wchar_t. Each follows the documented Windows behaviour for what the portable
// sources ask of it; a request outside that (a format conversion they never use, another code
// page) aborts, which the fuzzer reports, rather than being answered by a guess.
#include "windows.h"
#include "shlwapi.h"

#include "common/text.h"

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wctype.h>

namespace {

// Simple (one unit to one unit) upper-case mapping across Unicode, as the ordinal comparisons
// without case use; surrogate units map to themselves. The process runs in C.UTF-8 for this.
wchar_t upper(wchar_t c) {
    static bool ready = setlocale(LC_CTYPE, "C.UTF-8") != nullptr || (abort(), false);
    (void)ready;
    uint16_t u = static_cast<uint16_t>(c);
    if (u < 0x80) return (u >= 'a' && u <= 'z') ? wchar_t(u - 32) : c;
    if (u >= 0xD800 && u <= 0xDFFF) return c;
    wint_t mapped = towupper(static_cast<wint_t>(u));
    return mapped <= 0xFFFF ? wchar_t(mapped) : c;
}

wchar_t ascii_lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c + 32) : c; }

int units(const wchar_t* s, int cch) {
    if (cch >= 0) return cch;
    int n = 0;
    while (s[n]) ++n;
    return n;
}

}  // namespace

const wchar_t* fuzz_wcschr(const wchar_t* s, wchar_t c) {
    for (;; ++s) {
        if (*s == c) return s;
        if (*s == 0) return nullptr;
    }
}

const wchar_t* fuzz_wcsrchr(const wchar_t* s, wchar_t c) {
    const wchar_t* found = nullptr;
    for (;; ++s) {
        if (*s == c) found = s;
        if (*s == 0) return found;
    }
}

int fuzz_wcsncmp(const wchar_t* a, const wchar_t* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint16_t x = static_cast<uint16_t>(a[i]), y = static_cast<uint16_t>(b[i]);
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
    return 0;
}

size_t fuzz_wcslen(const wchar_t* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint16_t x = static_cast<uint16_t>(ascii_lower(a[i])), y = static_cast<uint16_t>(ascii_lower(b[i]));
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
    return 0;
}

int _wcsicmp(const wchar_t* a, const wchar_t* b) { return _wcsnicmp(a, b, static_cast<size_t>(-1)); }

int _vsnwprintf(wchar_t* out, size_t count, const wchar_t* format, va_list args) {
    size_t n = 0;
    bool cut = false;
    auto put = [&](wchar_t c) {
        if (n < count) out[n++] = c;
        else cut = true;
    };
    for (const wchar_t* f = format; *f; ++f) {
        if (*f != L'%') {
            put(*f);
            continue;
        }
        ++f;
        if (*f == L'%') {
            put(L'%');
        } else if (*f == L's') {
            const wchar_t* s = va_arg(args, const wchar_t*);
            for (const wchar_t* p = s ? s : L"(null)"; *p; ++p) put(*p);
        } else if (f[0] == L'l' && f[1] == L'u') {
            ++f;
            char digits[32];
            snprintf(digits, sizeof digits, "%lu", va_arg(args, unsigned long));
            for (const char* p = digits; *p; ++p) put(wchar_t(*p));
        } else {
            abort();  // a conversion the portable sources do not use
        }
    }
    if (cut) return -1;
    if (n < count) out[n] = 0;
    return static_cast<int>(n);
}

int CompareStringOrdinal(const wchar_t* a, int cch_a, const wchar_t* b, int cch_b, BOOL ignore_case) {
    int na = units(a, cch_a), nb = units(b, cch_b);
    for (int i = 0; i < na && i < nb; ++i) {
        uint16_t x = static_cast<uint16_t>(ignore_case ? upper(a[i]) : a[i]);
        uint16_t y = static_cast<uint16_t>(ignore_case ? upper(b[i]) : b[i]);
        if (x != y) return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    return na == nb ? CSTR_EQUAL : na < nb ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

// UTF-16 to UTF-8: a lone surrogate becomes U+FFFD, or (WC_ERR_INVALID_CHARS) fails the call.
// cch_text -1: the terminator is converted and counted too. 0 when out is too small.
int WideCharToMultiByte(UINT code_page, DWORD flags, const wchar_t* text, int cch_text, char* out, int cb_out,
                        const char* default_char, BOOL* used_default) {
    if (code_page != CP_UTF8 || (flags & ~WC_ERR_INVALID_CHARS) != 0 || default_char || used_default) abort();
    int count = cch_text < 0 ? units(text, -1) + 1 : cch_text;
    int n = 0;
    for (int i = 0; i < count; ++i) {
        uint32_t c = static_cast<uint16_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && static_cast<uint16_t>(text[i + 1]) >= 0xDC00 &&
            static_cast<uint16_t>(text[i + 1]) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            if (flags & WC_ERR_INVALID_CHARS) return 0;  // ERROR_NO_UNICODE_TRANSLATION
            c = 0xFFFD;
        }
        unsigned char bytes[4];
        int cb = static_cast<int>(utf8_encode(c, bytes));
        if (cb_out > 0) {
            if (n + cb > cb_out) return 0;  // ERROR_INSUFFICIENT_BUFFER
            for (int k = 0; k < cb; ++k) out[n + k] = static_cast<char>(bytes[k]);
        }
        n += cb;
    }
    return n;
}

// UTF-8 to UTF-16 as Windows does without MB_ERR_INVALID_CHARS: each malformed sequence (an
// encoded surrogate, an overlong form, a stray or missing continuation byte) becomes one U+FFFD.
// cb_bytes -1: up to and including the first zero byte. 0 when out is too small.
int MultiByteToWideChar(UINT code_page, DWORD flags, const char* bytes, int cb_bytes, wchar_t* out, int cch_out) {
    if (code_page != CP_UTF8 || flags != 0) abort();
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
    size_t cb = 0;
    if (cb_bytes < 0) {
        while (b[cb]) ++cb;
        ++cb;
    } else {
        cb = static_cast<size_t>(cb_bytes);
    }
    int n = 0;
    for (size_t i = 0; i < cb;) {
        uint32_t c = b[i];
        size_t length = c < 0x80                  ? 1
                        : (c >= 0xC2 && c <= 0xDF) ? 2
                        : (c >= 0xE0 && c <= 0xEF) ? 3
                        : (c >= 0xF0 && c <= 0xF4) ? 4
                                                   : 0;
        size_t taken = 1;
        if (length == 0) {
            c = 0xFFFD;
        } else if (length > 1) {
            uint32_t value = c & (0x7F >> length);
            size_t k = 1;
            for (; k < length && i + k < cb; ++k) {
                unsigned char next = b[i + k];
                // The second byte's range excludes overlong forms, surrogates and values past U+10FFFF.
                unsigned char low = 0x80, high = 0xBF;
                if (k == 1 && c == 0xE0) low = 0xA0;
                if (k == 1 && c == 0xED) high = 0x9F;
                if (k == 1 && c == 0xF0) low = 0x90;
                if (k == 1 && c == 0xF4) high = 0x8F;
                if (next < low || next > high) break;
                value = (value << 6) | (next & 0x3F);
            }
            taken = k;
            c = k == length ? value : 0xFFFD;
        }
        i += taken;
        int units = c >= 0x10000 ? 2 : 1;
        if (cch_out > 0) {
            if (n + units > cch_out) return 0;  // ERROR_INSUFFICIENT_BUFFER
            if (units == 2) {
                out[n] = wchar_t(0xD800 + ((c - 0x10000) >> 10));
                out[n + 1] = wchar_t(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                out[n] = wchar_t(c);
            }
        }
        n += units;
    }
    return n;
}

// The process heap. Large blocks (the policy writers take several 64 KB texts and policies per
// call) are kept for the next request of the same size: the sanitizer's allocator maps and unmaps
// every large block, which cost the fuzzer most of its time. A kept block is handed out only at
// exactly its size, so reads and writes past its end are still caught.
namespace {

constexpr size_t kept_min_cb = 65536;
struct Kept {
    void* p;
    size_t cb;
    bool in_use;
};
Kept kept[8];

}  // namespace

HANDLE GetProcessHeap() { return reinterpret_cast<HANDLE>(1); }

void* HeapAlloc(HANDLE, DWORD flags, SIZE_T cb) {
    if (cb >= kept_min_cb) {
        for (Kept& k : kept) {
            if (k.p && !k.in_use && k.cb == cb) {
                k.in_use = true;
                if (flags & HEAP_ZERO_MEMORY) memset(k.p, 0, cb);
                return k.p;
            }
        }
        for (Kept& k : kept) {
            if (!k.p) {
                k = {(flags & HEAP_ZERO_MEMORY) ? calloc(1, cb) : malloc(cb), cb, true};
                return k.p;
            }
        }
    }
    return (flags & HEAP_ZERO_MEMORY) ? calloc(1, cb) : malloc(cb);
}

BOOL HeapFree(HANDLE, DWORD, void* p) {
    for (Kept& k : kept) {
        if (k.p && k.p == p) {
            k.in_use = false;
            return TRUE;
        }
    }
    free(p);
    return TRUE;
}

// A fixed answer: the fuzz runs never depend on the machine's language.
LANGID GetUserDefaultUILanguage() { return 0x0409; }

// Case-insensitive substring search. StrStrIW compares linguistically in the user's locale; here
// each unit is compared by its simple upper-case form, which agrees with it for the ASCII key
// names the readers look for.
const wchar_t* StrStrIW(const wchar_t* haystack, const wchar_t* needle) {
    if (!haystack || !needle) return nullptr;
    if (!needle[0]) return nullptr;  // StrStrIW finds no empty text
    for (const wchar_t* h = haystack; *h; ++h) {
        size_t i = 0;
        while (needle[i] && h[i] && upper(h[i]) == upper(needle[i])) ++i;
        if (!needle[i]) return h;
    }
    return nullptr;
}

// The part after the last backslash, slash or colon of a path (PathFindFileNameW).
const wchar_t* PathFindFileNameW(const wchar_t* path) {
    if (!path) return nullptr;
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p) {
        if ((*p == L'\\' || *p == L'/' || *p == L':') && p[1] && p[1] != L'\\' && p[1] != L'/') name = p + 1;
    }
    return name;
}
