#include "service/install_trace.h"

#include <windows.h>
#include <winternl.h>

#include "common/handle.h"
#include "service/install.h"

extern "C" NTSTATUS NTAPI NtCreateFile(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                       ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);

namespace {

constexpr const wchar_t* trace_file_name = L"sn_install.txt";

// C:\Temp as itself: a real folder, reached without a link.
bool folder_is_itself(HANDLE folder) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(folder, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    wchar_t final_path[MAX_PATH];
    DWORD cch = GetFinalPathNameByHandleW(folder, final_path, MAX_PATH, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (cch == 0 || cch >= MAX_PATH) return false;
    const wchar_t* path = final_path;
    if (wcsncmp(path, L"\\\\?\\", 4) == 0) path += 4;
    return CompareStringOrdinal(path, -1, install_trace_folder, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

void* open_install_trace() {
    // No FILE_SHARE_DELETE: while held, the folder cannot be renamed, moved or deleted.
    OwnedHandle folder(CreateFileW(install_trace_folder, FILE_TRAVERSE | FILE_ADD_FILE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder || !folder_is_itself(folder.get())) return INVALID_HANDLE_VALUE;

    UNICODE_STRING name;
    name.Buffer = const_cast<wchar_t*>(trace_file_name);
    name.Length = static_cast<USHORT>(wcslen(trace_file_name) * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, folder.get(), nullptr);
    IO_STATUS_BLOCK io = {};
    HANDLE file = nullptr;
    NTSTATUS status = NtCreateFile(&file, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL | DELETE | SYNCHRONIZE,
                                   &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_IF,
                                   FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                                   nullptr, 0);
    if (status < 0 || !file) return INVALID_HANDLE_VALUE;
    // The file itself must not stand for another one (a link, or a second name of it), and must be
    // where it was meant to be. (On Windows the folder cannot be renamed while held; where another
    // program renames it anyway, as a Unix process can under Wine, the file may have been made
    // through a link put in its place: a file made there is deleted again, unwritten.)
    BY_HANDLE_FILE_INFORMATION info = {};
    wchar_t final_path[MAX_PATH];
    DWORD cch = GetFinalPathNameByHandleW(file, final_path, MAX_PATH, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    const wchar_t* path = wcsncmp(final_path, L"\\\\?\\", 4) == 0 ? final_path + 4 : final_path;
    if (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        info.nNumberOfLinks > 1 || cch == 0 || cch >= MAX_PATH ||
        CompareStringOrdinal(path, -1, install_trace_path, -1, TRUE) != CSTR_EQUAL) {
        if (io.Information == FILE_CREATED) {
            FILE_DISPOSITION_INFO dispose = {TRUE};
            SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose);
        }
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}
