#include <windows.h>

#include "service/rule_match.h"

bool long_path_of(void*, const wchar_t* path, wchar_t* out, size_t cch_out) {
    if (cch_out == 0 || cch_out > 0x7FFFFFFF) return false;
    DWORD cch = GetLongPathNameW(path, out, static_cast<DWORD>(cch_out));
    return cch != 0 && cch < cch_out;
}
