#include "service/process_list_win.h"

#include <windows.h>
#include <winternl.h>

#include "service/process_list.h"

// The walk reads the system's own record through our layout: they must agree.
static_assert(sizeof(void*) == 8, "the process list layout is the 64-bit one");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, NextEntryOffset) == offsetof(ProcessInfoEntry, next_entry_offset),
              "layout");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, CreateTime) == offsetof(ProcessInfoEntry, create_time), "layout");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, ImageName) == offsetof(ProcessInfoEntry, image_name), "layout");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, UniqueProcessId) == offsetof(ProcessInfoEntry, unique_process_id),
              "layout");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, SessionId) == offsetof(ProcessInfoEntry, session_id), "layout");
static_assert(offsetof(UNICODE_STRING, Buffer) == offsetof(ProcessInfoName, buffer), "layout");

namespace {

constexpr NTSTATUS status_info_length_mismatch = static_cast<NTSTATUS>(0xC0000004);
constexpr size_t first_cb = 256 * 1024;        // a few hundred processes
constexpr size_t largest_cb = 64 * 1024 * 1024;
constexpr size_t grow_step = 64 * 1024;
constexpr int attempts = 4;

bool resize(ProcessListBuffer* buffer, size_t cb) {
    HANDLE heap = GetProcessHeap();
    void* bytes = HeapAlloc(heap, 0, cb);
    if (!bytes) return false;
    if (buffer->bytes) HeapFree(heap, 0, buffer->bytes);
    buffer->bytes = static_cast<uint8_t*>(bytes);
    buffer->cb = cb;
    return true;
}

}  // namespace

bool process_list_query(ProcessListBuffer* buffer) {
    buffer->cb_used = 0;
    if (!buffer->bytes && !resize(buffer, first_cb)) return false;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        ULONG cb_needed = 0;
        NTSTATUS status = NtQuerySystemInformation(SystemProcessInformation, buffer->bytes,
                                                   static_cast<ULONG>(buffer->cb), &cb_needed);
        if (status >= 0) {
            buffer->cb_used = cb_needed != 0 && cb_needed <= buffer->cb ? cb_needed : buffer->cb;
            return true;
        }
        if (status != status_info_length_mismatch) return false;
        // Processes start between the calls: leave room beyond what was asked for.
        size_t cb = cb_needed > buffer->cb ? cb_needed : buffer->cb * 2;
        cb = (cb + cb / 8 + grow_step - 1) / grow_step * grow_step;
        if (cb > largest_cb || !resize(buffer, cb)) return false;
    }
    return false;
}

void process_list_free(ProcessListBuffer* buffer) {
    if (buffer->bytes) HeapFree(GetProcessHeap(), 0, buffer->bytes);
    buffer->bytes = nullptr;
    buffer->cb = buffer->cb_used = 0;
}
