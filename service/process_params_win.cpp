// Reading another process's command line and current folder (see process_params.h).
#include "service/process_params.h"

#include <windows.h>
#include <winternl.h>

#include "common/handle.h"
#include "common/text.h"

namespace {

constexpr PROCESSINFOCLASS process_command_line_information = static_cast<PROCESSINFOCLASS>(60);  // Windows 8.1+

LONG query(HANDLE process, PROCESSINFOCLASS what, void* out, ULONG cb, ULONG* cb_needed) {
    return NtQueryInformationProcess(process, what, out, cb, cb_needed);
}

bool read_remote(HANDLE process, uint64_t address, void* out, size_t cb) {
    SIZE_T cb_read = 0;
    return ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), out, cb,
                             &cb_read) &&
           cb_read == cb;
}

// A string of the other process into out (cch_out units, terminated).
bool read_remote_string(HANDLE process, const RemoteUnicodeString* s, wchar_t* out, size_t cch_out) {
    if (!remote_string_usable(s, cch_out)) return false;
    size_t cch = s->cb_length / 2;
    if (cch != 0 && !read_remote(process, s->buffer, out, s->cb_length)) return false;
    out[cch] = L'\0';
    return true;
}

// ProcessCommandLineInformation: a UNICODE_STRING followed by its text, in our buffer.
bool command_line_by_query(HANDLE process, wchar_t* out, size_t cch_out) {
    ULONG cb = 0;
    query(process, process_command_line_information, nullptr, 0, &cb);
    if (cb < sizeof(UNICODE_STRING) || cb > sizeof(UNICODE_STRING) + process_command_line_cch * 2 + 16) return false;
    void* buffer = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cb);
    if (!buffer) return false;
    bool ok = false;
    if (query(process, process_command_line_information, buffer, cb, &cb) >= 0) {
        const UNICODE_STRING* s = static_cast<const UNICODE_STRING*>(buffer);
        const uint8_t* begin = static_cast<const uint8_t*>(buffer);
        const uint8_t* text = reinterpret_cast<const uint8_t*>(s->Buffer);
        size_t cch = s->Length / 2;
        ok = s->Length % 2 == 0 && cch < cch_out && (cch == 0 || (text >= begin && text + s->Length <= begin + cb));
        if (ok) {
            if (cch) memcpy(out, s->Buffer, s->Length);
            out[cch] = L'\0';
        }
    }
    HeapFree(GetProcessHeap(), 0, buffer);
    return ok;
}

uint64_t creation_time(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// The address of the process parameters block; 0 when it cannot be read.
uint64_t parameters_address(HANDLE process) {
    PROCESS_BASIC_INFORMATION basic = {};
    ULONG cb = 0;
    if (query(process, ProcessBasicInformation, &basic, sizeof basic, &cb) < 0 || !basic.PebBaseAddress) return 0;
    uint64_t parameters = 0;
    if (!read_remote(process, reinterpret_cast<uintptr_t>(basic.PebBaseAddress) + peb_process_parameters_offset,
                     &parameters, sizeof parameters))
        return 0;
    return parameters;
}

// The process parameters from the PEB: the command line (when still missing) and the folder.
void params_from_peb(HANDLE process, ProcessParams* out) {
    uint64_t parameters = parameters_address(process);
    if (parameters == 0) return;
    RemoteUnicodeString folder, command_line;
    if (read_remote(process, parameters + parameters_current_folder_offset, &folder, sizeof folder))
        out->have_folder = read_remote_string(process, &folder, out->folder, process_folder_cch);
    if (!out->have_command_line &&
        read_remote(process, parameters + parameters_command_line_offset, &command_line, sizeof command_line))
        out->have_command_line =
            read_remote_string(process, &command_line, out->command_line, process_command_line_cch);
}

// A second handle to the process, able to read its memory; null unless it is the same process as
// the query handle (the id may have been given to another one since that handle was opened).
HANDLE open_reader(HANDLE query_handle, uint32_t pid) {
    OwnedHandle reader(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    uint64_t created = creation_time(query_handle);
    if (!reader || created == 0 || creation_time(reader.get()) != created) return nullptr;
    return reader.release();
}

}  // namespace

void read_process_params(void* query_handle, uint32_t pid, ProcessParams* out) {
    out->have_command_line = false;
    out->have_folder = false;
    out->command_line[0] = L'\0';
    out->folder[0] = L'\0';
    out->have_command_line =
        command_line_by_query(static_cast<HANDLE>(query_handle), out->command_line, process_command_line_cch);
    OwnedHandle reader(open_reader(static_cast<HANDLE>(query_handle), pid));
    if (!reader) return;
    params_from_peb(reader.get(), out);
    if (!out->have_command_line) out->command_line[0] = L'\0';
    if (!out->have_folder) out->folder[0] = L'\0';
}

bool read_process_desktop(void* query_handle, uint32_t pid, wchar_t* out, size_t cch_out) {
    OwnedHandle reader(open_reader(static_cast<HANDLE>(query_handle), pid));
    if (!reader) return false;
    uint64_t parameters = parameters_address(reader.get());
    RemoteUnicodeString desktop;
    if (parameters == 0 || !read_remote(reader.get(), parameters + parameters_desktop_offset, &desktop, sizeof desktop))
        return false;
    wchar_t text[process_desktop_cch];
    return read_remote_string(reader.get(), &desktop, text, process_desktop_cch) &&
           text_copy(out, cch_out, text) == text_ok;
}
