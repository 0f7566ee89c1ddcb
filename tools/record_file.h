// Test tools' records: one UTF-8 line appended to a file beside the executable, shared for
// reading while the tool writes (the tests read it as it grows).
#pragma once
#include <windows.h>

#include "common/handle.h"
#include "common/settings.h"

inline void append_record_beside_exe(const wchar_t* file_name, const wchar_t* line) {
    static char bytes[3 * 16384];
    int cb = WideCharToMultiByte(CP_UTF8, 0, line, -1, bytes, sizeof bytes, nullptr, nullptr);
    wchar_t path[1024];
    if (cb <= 1 || !path_beside_exe(file_name, path, 1024)) return;
    OwnedHandle file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.get(), bytes, static_cast<DWORD>(cb - 1), &written, nullptr);
}
