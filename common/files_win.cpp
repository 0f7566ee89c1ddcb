// Data files beside the executables: UTF-8 on disk, UTF-16 in memory. Writers replace a file
// atomically, so a reader in another process sees the old text or the new one, never a short one.
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <stdio.h>
#include <string.h>

#include "common/handle.h"
#include "common/settings.h"
#include "common/text.h"

namespace {

constexpr size_t path_cch = 1024;

// A buffer from the process heap for one function's transient use.
struct HeapBuffer {
    void* data;
    explicit HeapBuffer(size_t cb) : data(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cb)) {}
    ~HeapBuffer() {
        if (data) HeapFree(GetProcessHeap(), 0, data);
    }
    HeapBuffer(const HeapBuffer&) = delete;
    HeapBuffer& operator=(const HeapBuffer&) = delete;
};

bool write_whole_file(const wchar_t* path, const char* bytes, DWORD cb) {
    OwnedHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    if (cb > 0 && (!WriteFile(file.get(), bytes, cb, &written, nullptr) || written != cb)) return false;
    return FlushFileBuffers(file.get()) != FALSE;
}

}  // namespace

bool path_beside_exe(const wchar_t* file_name, wchar_t* out, size_t cch_out) {
    wchar_t exe[path_cch];
    DWORD cch = GetModuleFileNameW(nullptr, exe, path_cch);
    if (cch == 0 || cch >= path_cch) return false;
    PathRemoveFileSpecW(exe);
    wchar_t joined[path_cch];
    if (text_format(joined, path_cch, L"%s\\%s", exe, file_name) != text_ok) return false;
    if (text_length(joined, path_cch) >= cch_out) return false;
    return text_copy(out, cch_out, joined) == text_ok;
}

bool read_utf8_file(const wchar_t* path, wchar_t* out, size_t cch_out) {
    if (!out || cch_out == 0 || cch_out > text_max_cch) return false;
    FILE* file = _wfopen(path, L"rb");
    if (!file) return false;
    HeapBuffer buffer(file_read_max_cb + 1);
    if (!buffer.data) {
        fclose(file);
        return false;
    }
    char* bytes = static_cast<char*>(buffer.data);
    size_t cb = fread(bytes, 1, file_read_max_cb, file);  // a longer file is cut here
    fclose(file);
    bytes[cb] = '\0';
    const char* text = bytes;
    if (cb > 2 && memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) text += 3;

    // Malformed sequences are replaced, not rejected; a text that does not fit fails whole. The
    // text is converted without its terminator, which is written here: a converter that takes
    // the zero byte into a malformed sequence before it (Wine does, after a lone lead byte) must
    // not leave the output unterminated.
    size_t cb_text = strlen(text);
    if (cb_text == 0) {
        out[0] = L'\0';
        return true;
    }
    int cch_text = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(cb_text), nullptr, 0);
    if (cch_text <= 0 || static_cast<size_t>(cch_text) >= cch_out) return false;
    if (MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(cb_text), out, cch_text) != cch_text) return false;
    out[cch_text] = L'\0';
    return true;
}

void create_parent_folder(const wchar_t* path) {
    wchar_t folder[path_cch];
    text_copy_n(folder, path_cch, path, path_cch - 1);
    if (!PathRemoveFileSpecW(folder) || folder[0] == L'\0') return;
    SHCreateDirectoryExW(nullptr, folder, nullptr);  // an existing folder is fine
}

bool write_utf8_file(const wchar_t* path, const wchar_t* text) {
    if (!path || !text) return false;
    int cb_with_nul = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (cb_with_nul <= 0) return false;
    HeapBuffer buffer(static_cast<size_t>(cb_with_nul));
    if (!buffer.data) return false;
    char* bytes = static_cast<char*>(buffer.data);
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, cb_with_nul, nullptr, nullptr) != cb_with_nul) return false;

    create_parent_folder(path);
    wchar_t temp_path[path_cch + 32];
    if (text_format(temp_path, path_cch + 32, L"%s.%lu.%lu.tmp", path, GetCurrentProcessId(), GetCurrentThreadId()) != text_ok)
        return false;
    if (!write_whole_file(temp_path, bytes, static_cast<DWORD>(cb_with_nul - 1)) ||
        !MoveFileExW(temp_path, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temp_path);
        return false;
    }
    return true;
}
