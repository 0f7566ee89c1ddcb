#include "common/text.h"

#include <windows.h>
#include <shlwapi.h>
#include <stdio.h>
#include <wchar.h>

namespace {

bool capacity_valid(size_t cch) { return cch != 0 && cch <= text_max_cch; }

TextResult copy_bounded(wchar_t* dst, size_t cch_dst, const wchar_t* src, size_t cch_max) {
    size_t i = 0;
    if (src) {
        while (i < cch_dst - 1 && i < cch_max && src[i] != L'\0') {
            dst[i] = src[i];
            ++i;
        }
    }
    dst[i] = L'\0';
    bool cut = src && i < cch_max && src[i] != L'\0';
    return cut ? text_truncated : text_ok;
}

}  // namespace

TextResult text_copy(wchar_t* dst, size_t cch_dst, const wchar_t* src) {
    return text_copy_n(dst, cch_dst, src, text_max_cch);
}

TextResult text_copy_n(wchar_t* dst, size_t cch_dst, const wchar_t* src, size_t cch_max) {
    if (!dst || cch_dst == 0) return text_invalid;
    if (!capacity_valid(cch_dst)) {
        dst[0] = L'\0';
        return text_invalid;
    }
    return copy_bounded(dst, cch_dst, src, cch_max);
}

TextResult text_append(wchar_t* dst, size_t cch_dst, const wchar_t* src) {
    if (!dst || !capacity_valid(cch_dst)) return text_invalid;
    size_t used = text_length(dst, cch_dst);
    if (used == cch_dst) return text_invalid;
    return copy_bounded(dst + used, cch_dst - used, src, text_max_cch);
}

TextResult text_vformat(wchar_t* dst, size_t cch_dst, const wchar_t* format, va_list args) {
    if (!dst || cch_dst == 0) return text_invalid;
    if (!capacity_valid(cch_dst) || !format) {
        dst[0] = L'\0';
        return text_invalid;
    }
    // The runtime's _vsnwprintf writes at most cch_dst - 1 characters and returns -1 when the
    // text did not fit; the terminator is always ours.
    int written = _vsnwprintf(dst, cch_dst - 1, format, args);
    if (written < 0) {
        dst[cch_dst - 1] = L'\0';
        return text_truncated;
    }
    dst[written] = L'\0';
    return text_ok;
}

TextResult text_format(wchar_t* dst, size_t cch_dst, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    TextResult result = text_vformat(dst, cch_dst, format, args);
    va_end(args);
    return result;
}

size_t text_length(const wchar_t* text, size_t cch_max) {
    size_t n = 0;
    while (n < cch_max && text[n] != L'\0') ++n;
    return n;
}

bool text_equal_ascii_nocase(const wchar_t* a, const wchar_t* b) {
    if (!a || !b) return a == b;
    return _wcsicmp(a, b) == 0;
}

bool text_equal_nocase(const wchar_t* a, const wchar_t* b) {
    if (!a || !b) return a == b;
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

bool text_contains_nocase(const wchar_t* haystack, const wchar_t* needle) {
    if (!haystack || !needle) return false;
    return StrStrIW(haystack, needle) != nullptr;
}
