// Tamper protection. The service start protects five files (settings, policy, the three
// executables) with owner Administrators and a DACL under which only LocalSystem may write, keeps
// each file's whole content in memory, and locks its service object and registry key.
//
// The watcher thread waits on the executables' folder with an overlapped ReadDirectoryChangesW
// and on the module's stop event together, so tamper_stop ends it at once: it cancels the pending
// call and waits for its completion before the buffer goes away. One batch of change records is
// reduced to the set of protected files it names; after a 50 ms pause (a burst of changes settles)
// each of those files is looked at once. The repair is decided by the file's state, not by the
// records: a file whose content equals the backup, with no unusual attribute and the DACL it got
// at protection, is intact. The records our own repair causes (attributes, write, DACL) therefore
// find the file intact and do nothing: no restore loop, one log line per tampering. A file that
// cannot be written back is retried on the next change without another log line. A folder or a
// link put under a protected name is cleared away first (see clear_obstacle).
//
// No lock: protect_file fills a slot before it raises count, the watcher rereads count for every
// batch, and the backups are freed only after the watcher has ended (if it does not end within
// 2000 ms they stay until the process ends).
#include "service/tamper.h"

#include <windows.h>
#include <aclapi.h>
#include <process.h>
#include <sddl.h>
#include <string.h>

#include "common/event_log.h"
#include "common/log.h"
#include "common/permissions.h"
#include "common/settings.h"
#include "common/policy.h"
#include "common/text.h"
#include "service/sc_handle.h"
#include "service/service.h"

namespace {

ProtectedFileTable g_table;
Settings g_settings;
bool g_have_settings = false;
HANDLE g_stop_event = nullptr;
HANDLE g_armed_event = nullptr;  // set once the watcher's first directory read is pending
HANDLE g_watcher = nullptr;
constexpr DWORD watcher_arm_limit_ms = 2000;
constexpr unsigned aside_attempts = 16;

bool protect(const wchar_t* path) {
    return apply_guard(guard_of_file(path), Guard::protect, path) == ERROR_SUCCESS;
}

bool take_backup(ProtectedFile* slot) {
    OwnedHandle file(CreateFileW(slot->path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD size = GetFileSize(file.get(), nullptr);
    if (size == 0 || size == INVALID_FILE_SIZE) return false;
    if (slot->backup) HeapFree(GetProcessHeap(), 0, slot->backup);
    slot->backup_size = 0;
    slot->backup = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, size));
    if (!slot->backup) return false;
    DWORD read = 0;
    if (!ReadFile(file.get(), slot->backup, size, &read, nullptr) || read != size) {
        HeapFree(GetProcessHeap(), 0, slot->backup);
        slot->backup = nullptr;
        return false;
    }
    slot->backup_size = read;
    return true;
}

bool content_matches_backup(const ProtectedFile* slot) {
    OwnedHandle file(CreateFileW(slot->path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart != slot->backup_size) return false;
    uint8_t chunk[16384];
    uint32_t offset = 0;
    while (offset < slot->backup_size) {
        DWORD want = slot->backup_size - offset < sizeof chunk ? slot->backup_size - offset : sizeof chunk;
        DWORD got = 0;
        if (!ReadFile(file.get(), chunk, want, &got, nullptr) || got != want) return false;
        if (memcmp(chunk, slot->backup + offset, got) != 0) return false;
        offset += got;
    }
    return true;
}

FileObservation observe(const ProtectedFile* slot) {
    FileObservation seen = {};
    DWORD attributes = GetFileAttributesW(slot->path);
    seen.exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!seen.exists) return seen;
    seen.attributes = attributes;
    seen.content_intact = content_matches_backup(slot);
    wchar_t dacl[tamper_sddl_cch];
    if (slot->protected_dacl[0] && read_file_dacl(slot->path, dacl, tamper_sddl_cch)) {
        seen.dacl_known = true;
        seen.dacl_intact = wcscmp(dacl, slot->protected_dacl) == 0;
    }
    return seen;
}

bool write_back(const ProtectedFile* slot) {
    OwnedHandle file(CreateFileW(slot->path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return WriteFile(file.get(), slot->backup, slot->backup_size, &written, nullptr) && written == slot->backup_size;
}

// Clears the name for the write-back: a link is removed itself (never what it points at), an empty
// folder is removed, a folder with content is moved aside whole (nothing in it is deleted).
void clear_obstacle(const ProtectedFile* slot, const FileObservation& seen) {
    switch (obstacle_of(seen)) {
    case Obstacle::none:
        return;
    case Obstacle::link:
        if (seen.attributes & FILE_ATTRIBUTE_DIRECTORY)
            RemoveDirectoryW(slot->path);
        else
            DeleteFileW(slot->path);
        return;
    case Obstacle::folder:
        if (RemoveDirectoryW(slot->path)) return;
        SetFileAttributesW(slot->path, FILE_ATTRIBUTE_NORMAL);  // a read-only folder is not removed
        if (RemoveDirectoryW(slot->path)) return;
        for (unsigned n = 1; n <= aside_attempts; ++n) {
            wchar_t aside[tamper_path_cch];
            if (!aside_path_of(slot->path, n, aside, tamper_path_cch)) return;
            if (MoveFileExW(slot->path, aside, 0)) return;
        }
        return;
    }
}

void check_and_repair(ProtectedFile* slot) {
    if (!slot->backup) return;
    FileObservation seen = observe(slot);
    RepairDecision decision = decide_repair(seen, slot->repair_failed);
    if (!decision.repair) return;
    if (decision.log)
        log_event(g_have_settings ? &g_settings : nullptr, L"Detect unauthorized change/delete on: %s", slot->path);
    clear_obstacle(slot, seen);
    bool normal = SetFileAttributesW(slot->path, FILE_ATTRIBUTE_NORMAL) != FALSE;
    bool written = decision.write ? write_back(slot) : normal;
    slot->repair_failed = !written;
    // A rewritten file may have lost its DACL (a new file inherits the folder's); another one gets
    // it again only when it was changed, so a failed repair causes no change record itself.
    if ((decision.write && written) || !(seen.dacl_known && seen.dacl_intact)) protect(slot->path);
    if (decision.log)
        audit_event(g_have_settings ? &g_settings : nullptr, AuditEvent::file_restored, slot->path,
                    repair_action_text(seen, written));
}

unsigned __stdcall watcher_main(void*) {
    wchar_t folder[tamper_path_cch];
    text_copy(folder, g_table.slots[0].path);
    wchar_t* name = const_cast<wchar_t*>(file_name_part(folder));
    if (name > folder) name[-1] = L'\0';
    OwnedHandle dir(CreateFileW(folder, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    OwnedHandle changed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!dir || !changed) return 0;

    alignas(DWORD) uint8_t records[4096];
    bool armed = false;
    while (WaitForSingleObject(g_stop_event, 10) == WAIT_TIMEOUT) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = changed.get();
        ResetEvent(changed.get());
        if (!ReadDirectoryChangesW(dir.get(), records, sizeof records, FALSE, tamper_notify_filter, nullptr,
                                   &overlapped, nullptr))
            continue;
        if (!armed) {
            // From here on every change is recorded; one look at the files protected so far
            // catches a change made between their backup and this first read. Protection goes on
            // only after that look, so it never meets a change the caller makes next.
            armed = true;
            long count = g_table.count;
            for (long i = 0; i < count; ++i) check_and_repair(&g_table.slots[i]);
            SetEvent(g_armed_event);
        }
        HANDLE waits[2] = {changed.get(), g_stop_event};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            DWORD ignored = 0;
            CancelIo(dir.get());
            GetOverlappedResult(dir.get(), &overlapped, &ignored, TRUE);
            break;
        }
        DWORD cb = 0;
        if (!GetOverlappedResult(dir.get(), &overlapped, &cb, FALSE)) continue;
        long count = g_table.count;
        // cb 0: more changes than the buffer holds were dropped; every file is looked at.
        uint32_t slots = cb == 0 ? (1u << count) - 1 : changed_slots(&g_table, records, cb);
        if (slots == 0) continue;
        if (WaitForSingleObject(g_stop_event, 50) != WAIT_TIMEOUT) break;
        for (long i = 0; i < count; ++i) {
            if (slots & (1u << i)) check_and_repair(&g_table.slots[i]);
        }
    }
    return 0;
}

}  // namespace

bool read_file_dacl(const wchar_t* path, wchar_t* sddl, size_t cch_sddl) {
    OwnedLocal sd;
    PACL dacl = nullptr;
    if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              reinterpret_cast<PSECURITY_DESCRIPTOR*>(sd.put())) != ERROR_SUCCESS)
        return false;
    OwnedLocal text;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              reinterpret_cast<LPWSTR*>(text.put()), nullptr))
        return false;
    return text_copy(sddl, cch_sddl, static_cast<const wchar_t*>(text.get())) == text_ok;
}

bool tamper_init(const Settings* settings) {
    g_have_settings = settings != nullptr;
    if (settings) g_settings = *settings;
    g_table.count = 0;
    for (ProtectedFile& slot : g_table.slots) {
        slot.path[0] = L'\0';
        slot.protected_dacl[0] = L'\0';
        slot.repair_failed = false;
    }
    g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_armed_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return true;
}

bool protect_file(const wchar_t* path) {
    long count = g_table.count;
    if (count >= tamper_max_files) return false;
    ProtectedFile* slot = &g_table.slots[count];
    text_copy(slot->path, path);
    if (!take_backup(slot)) {
        slot->path[0] = L'\0';  // the next call reuses the slot
        return false;
    }
    protect(slot->path);
    if (!read_file_dacl(slot->path, slot->protected_dacl, tamper_sddl_cch)) slot->protected_dacl[0] = L'\0';
    slot->repair_failed = false;
    InterlockedIncrement(&g_table.count);
    if (count == 0 && g_stop_event && g_armed_event) {
        g_watcher = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, watcher_main, nullptr, 0, nullptr));
        // Return once changes are watched, so a change right after protection is never missed (the
        // thread ends at once when the folder cannot be watched).
        if (g_watcher) {
            HANDLE waits[2] = {g_armed_event, g_watcher};
            WaitForMultipleObjects(2, waits, FALSE, watcher_arm_limit_ms);
        }
    }
    return true;
}

bool lock_service_entry() {
    bool service_result = false;
    {
        OwnedService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager) return false;
        OwnedService service(OpenServiceW(manager.get(), service_name, WRITE_DAC | WRITE_OWNER | READ_CONTROL));
        if (!service) return false;
        service_result = apply_service_guard(service.get(), Guard::protect) == ERROR_SUCCESS;
    }
    apply_guard(Guarded::key, Guard::protect, nullptr);
    return service_result;
}

void tamper_stop() {
    if (g_stop_event) SetEvent(g_stop_event);
    if (g_watcher) {
        bool ended = WaitForSingleObject(g_watcher, 2000) == WAIT_OBJECT_0;
        CloseHandle(g_watcher);
        g_watcher = nullptr;
        if (!ended) return;  // still reading the table: event and backups stay until the process ends
    }
    if (g_stop_event) CloseHandle(g_stop_event);
    g_stop_event = nullptr;
    if (g_armed_event) CloseHandle(g_armed_event);
    g_armed_event = nullptr;
    for (ProtectedFile& slot : g_table.slots) {
        if (slot.backup) HeapFree(GetProcessHeap(), 0, slot.backup);
        slot.backup = nullptr;
        slot.backup_size = 0;
    }
}

unsigned long release_file(const wchar_t* path) { return apply_guard(guard_of_file(path), Guard::release, path); }

bool protected_file_paths(wchar_t (*paths)[tamper_path_cch]) {
    wchar_t exe[tamper_path_cch];
    DWORD cch = GetModuleFileNameW(nullptr, exe, static_cast<DWORD>(tamper_path_cch));
    if (cch == 0 || cch >= tamper_path_cch) return false;
    return protected_files_of(exe, paths);
}

void start_tamper_protection(const Settings* settings) {
    tamper_init(settings);
    wchar_t paths[protected_file_count][tamper_path_cch];
    if (protected_file_paths(paths)) {
        for (auto& path : paths) protect_file(path);
    }
    lock_service_entry();
}
