// Temporary folders and file reading for tests that touch the disk.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>

#include <string>

#include "common/text.h"

// A fresh folder under %TEMP%, removed with everything in it at the end of the test.
struct TempFolder {
    wchar_t path[MAX_PATH];
    TempFolder() {
        static LONG counter = 0;
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        text_format(path, MAX_PATH, L"%ssentrel_test_%lu_%lu_%ld", base, GetCurrentProcessId(), GetTickCount(),
                    InterlockedIncrement(&counter));
        CreateDirectoryW(path, nullptr);
    }
    ~TempFolder() {
        wchar_t from[MAX_PATH + 1] = {};  // double-terminated for SHFileOperationW
        text_copy(from, MAX_PATH, path);
        SHFILEOPSTRUCTW op = {};
        op.wFunc = FO_DELETE;
        op.pFrom = from;
        op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
        SHFileOperationW(&op);
    }
    std::wstring file(const wchar_t* name) const { return std::wstring(path) + L"\\" + name; }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

inline std::string read_file_bytes(const std::wstring& path) {
    std::string bytes;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return bytes;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, n);
    fclose(f);
    return bytes;
}

inline bool write_file_bytes(const std::wstring& path, const std::string& bytes) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    fclose(f);
    return ok;
}
