// Fuzz build only: stands in for <wchar.h> in the portable sources. The C library's wide functions
// work on 32-bit units, these on the 16-bit ones that -fshort-wchar gives (as on Windows), so the
// sources' calls are mapped to them by name; the runtime's own (_wcsicmp, _vsnwprintf) follow the
// Windows runtime's rules.
#pragma once
#include <stdarg.h>
#include <stddef.h>

const wchar_t* fuzz_wcschr(const wchar_t* s, wchar_t c);
const wchar_t* fuzz_wcsrchr(const wchar_t* s, wchar_t c);
inline wchar_t* fuzz_wcschr(wchar_t* s, wchar_t c) {
    return const_cast<wchar_t*>(fuzz_wcschr(static_cast<const wchar_t*>(s), c));
}
inline wchar_t* fuzz_wcsrchr(wchar_t* s, wchar_t c) {
    return const_cast<wchar_t*>(fuzz_wcsrchr(static_cast<const wchar_t*>(s), c));
}
int fuzz_wcsncmp(const wchar_t* a, const wchar_t* b, size_t n);
size_t fuzz_wcslen(const wchar_t* s);

#define wcschr fuzz_wcschr
#define wcsrchr fuzz_wcsrchr
#define wcsncmp fuzz_wcsncmp
#define wcslen fuzz_wcslen

// The Windows runtime's: ASCII letters compared without case (the "C" locale), and the printf
// family where %s takes a wide text; _vsnwprintf writes at most count units and returns -1 when
// the text is longer (no terminator then).
int _wcsicmp(const wchar_t* a, const wchar_t* b);
int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t n);
int _vsnwprintf(wchar_t* out, size_t count, const wchar_t* format, va_list args);
