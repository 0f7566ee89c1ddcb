// What the fuzz targets share: the property check, the data files' way from bytes to text (as
// read_utf8_file and write_utf8_file do it on Windows), and exact-size copies of records, so the
// sanitizer sees any read or write past their end.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "common/settings.h"
#include "common/text.h"

// A property every input must keep; its failure is a finding like a crash.
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            fprintf(stderr, "fuzz property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            abort();                                                                            \
        }                                                                                       \
    } while (0)

// A text for the report of a failed property: printable ASCII as it is, every other unit as \uXXXX.
inline void dump_text(const char* label, const wchar_t* text, size_t cch_max = 4096) {
    fprintf(stderr, "%s: \"", label);
    for (size_t i = 0; i < cch_max && text[i]; ++i) {
        uint16_t u = static_cast<uint16_t>(text[i]);
        if (u >= 0x20 && u < 0x7F) fputc(u, stderr);
        else fprintf(stderr, "\\u%04x", u);
    }
    fprintf(stderr, "\"\n");
}

// Units of a text up to its terminator, at most cch (the terminator must lie inside cch).
inline bool terminated_within(const wchar_t* text, size_t cch) {
    for (size_t i = 0; i < cch; ++i)
        if (text[i] == 0) return true;
    return false;
}

inline bool same_text(const wchar_t* a, const wchar_t* b) {
    for (size_t i = 0;; ++i) {
        if (a[i] != b[i]) return false;
        if (a[i] == 0) return true;
    }
}

// read_utf8_file on a file holding these bytes: at most file_read_max_cb of them, the text ends
// at the first zero byte, a byte-order mark is skipped, malformed UTF-8 becomes U+FFFD, and a text
// that does not fit cch_out fails whole.
inline bool text_of_file(const uint8_t* data, size_t size, wchar_t* out, size_t cch_out) {
    size_t cb = size < file_read_max_cb ? size : file_read_max_cb;
    char* bytes = static_cast<char*>(malloc(cb + 1));
    memcpy(bytes, data, cb);
    bytes[cb] = 0;
    const char* text = bytes;
    if (cb > 2 && memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) text += 3;
    int needed = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    bool ok = needed > 0 && size_t(needed) <= cch_out &&
              MultiByteToWideChar(CP_UTF8, 0, text, -1, out, int(cch_out)) == needed;
    free(bytes);
    return ok;
}

// A text written to a file by write_utf8_file and read back by read_utf8_file (cch_out units).
inline bool text_through_file(const wchar_t* text, wchar_t* out, size_t cch_out) {
    int cb = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (cb <= 0) return false;
    char* bytes = static_cast<char*>(malloc(size_t(cb)));
    FUZZ_CHECK(WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, cb, nullptr, nullptr) == cb);
    bool ok = text_of_file(reinterpret_cast<const uint8_t*>(bytes), size_t(cb - 1), out, cch_out);
    free(bytes);
    return ok;
}

// A heap copy of exactly one record, so reading or writing past it is reported.
template <typename T>
T* exact_copy(const uint8_t* data, size_t size) {
    T* record = static_cast<T*>(malloc(sizeof(T)));
    memset(record, 0, sizeof(T));
    memcpy(record, data, size < sizeof(T) ? size : sizeof(T));
    return record;
}
