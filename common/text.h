// Bounded UTF-16 text: every copy, join and format lands in a fixed-capacity buffer whose
// capacity is counted in characters, terminator included. Too-long texts are cut, never grown.
#pragma once
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

enum TextResult : int {
    text_ok = 0,
    text_truncated = 1,  // the result was cut to fit; it is still terminated
    text_invalid = 2,    // capacity 0 or >= 2^31, or (append) no terminator inside the capacity
};

constexpr size_t text_max_cch = 0x7FFFFFFF;  // capacities above this are invalid

// Copies src (a null src counts as empty). Capacity 0: nothing. Too large: dst emptied.
TextResult text_copy(wchar_t* dst, size_t cch_dst, const wchar_t* src);
// As text_copy, stopping also after cch_max characters of src.
TextResult text_copy_n(wchar_t* dst, size_t cch_dst, const wchar_t* src, size_t cch_max);
// Appends src after dst's terminator. Invalid capacities leave dst unchanged.
TextResult text_append(wchar_t* dst, size_t cch_dst, const wchar_t* src);
// printf-style with the runtime's wide conventions: %s a UTF-16 text, %lu/%u unsigned 32-bit,
// %d signed 32-bit. Too large a capacity empties dst.
TextResult text_format(wchar_t* dst, size_t cch_dst, const wchar_t* format, ...);
TextResult text_vformat(wchar_t* dst, size_t cch_dst, const wchar_t* format, va_list args);

// The UTF-8 form of one code point (at most U+10FFFF; the caller has already refused a lone
// surrogate): writes 1..4 bytes to out and returns how many.
inline size_t utf8_encode(uint32_t c, unsigned char out[4]) {
    if (c < 0x80) {
        out[0] = static_cast<unsigned char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 4;
}

// Length of a text within a capacity: cch_max when no terminator is found there.
size_t text_length(const wchar_t* text, size_t cch_max);
// Ordinal equality ignoring the case of ASCII letters only (the default-locale _wcsicmp).
bool text_equal_ascii_nocase(const wchar_t* a, const wchar_t* b);
// Ordinal equality ignoring case across Unicode (CompareStringOrdinal): the comparison the file
// system uses for names, so "ÄPFEL.EXE" and "äpfel.exe" are one program.
bool text_equal_nocase(const wchar_t* a, const wchar_t* b);
// Case-insensitive substring test (StrStrIW semantics for the texts this system handles).
bool text_contains_nocase(const wchar_t* haystack, const wchar_t* needle);

// Copies a whole fixed buffer's text: the common case of copying into an array.
template <size_t cch>
inline TextResult text_copy(wchar_t (&dst)[cch], const wchar_t* src) { return text_copy(dst, cch, src); }
template <size_t cch>
inline TextResult text_append(wchar_t (&dst)[cch], const wchar_t* src) { return text_append(dst, cch, src); }
