// Tamper protection: protected DACLs on the service's files, its service object and its registry
// key (common/permissions.h holds them), and a watcher that writes a changed, deleted or renamed
// protected file back from the copy taken at service start.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct Settings;

constexpr int tamper_max_files = 8;
constexpr size_t tamper_path_cch = 1024;
constexpr size_t tamper_sddl_cch = 512;  // a DACL read back as SDDL; longer ones are not compared

// FILE_NOTIFY_CHANGE_FILE_NAME | _DIR_NAME | _ATTRIBUTES | _LAST_WRITE | _SECURITY: a folder
// created under a protected file's name is reported too.
constexpr uint32_t tamper_notify_filter = 0x117;

constexpr const wchar_t* ui_exe_name = L"SentrelUI.exe";
constexpr const wchar_t* runguard_exe_name = L"runguard.exe";

struct ProtectedFile {
    wchar_t path[tamper_path_cch];
    uint8_t* backup;       // the whole file as read when it was added (process heap), or null
    uint32_t backup_size;
    // The file's DACL as read back right after protecting it (empty: unknown, not compared).
    wchar_t protected_dacl[tamper_sddl_cch];
    bool repair_failed;    // the last write-back failed: retried on the next change without a new log line
};

struct ProtectedFileTable {
    volatile long count;
    ProtectedFile slots[tamper_max_files];
};

// --- pure logic ---

// The part after the last backslash or slash.
const wchar_t* file_name_part(const wchar_t* path);
// True when a change record's name (cch_name units, not terminated) names the file of path, any case.
bool change_names_file(const wchar_t* name, size_t cch_name, const wchar_t* path);
// Walks a buffer of FILE_NOTIFY_INFORMATION records (cb_used bytes, offsets checked against it)
// and returns a bit per protected slot (index below count) that one of the records names.
uint32_t changed_slots(const ProtectedFileTable* table, const void* records, size_t cb_used);

// The five protected files of the executables' folder, in protection order: the settings, the
// policy, the service's executable (exe_path), SentrelUI.exe and runguard.exe. False when a path
// does not fit.
constexpr int protected_file_count = 5;
constexpr int protected_json_count = 2;  // the settings and the policy come first
bool protected_files_of(const wchar_t* exe_path, wchar_t (*paths)[tamper_path_cch]);
// The executable of a service's binary path name: the quoted part, or the whole text unquoted.
bool image_of_binary_path(const wchar_t* binary_path, wchar_t* exe, size_t cch_exe);

// What the watcher sees when it looks at a protected file after a change was reported.
struct FileObservation {
    bool exists;
    uint32_t attributes;    // GetFileAttributesW
    bool content_intact;    // same size and bytes as the backup
    bool dacl_known;        // both the current DACL and the one read back at protection are known
    bool dacl_intact;
};
struct RepairDecision {
    bool repair;
    bool log;
    // The content has to be written back: the file is missing, changed, or something else stands
    // under its name. A file with its content and only its attributes or DACL changed is not
    // rewritten: the running service's image cannot be opened for writing on Windows, and a write
    // that must fail would silence the next tampering's log line.
    bool write;
};
// The watcher's own repair is reported by the change feed as well; it leaves the file intact, so
// a change record that finds the file intact is an echo and does nothing. A file found changed
// is repaired; it is logged unless the previous repair of the same file could not write it back
// (then the retry is silent until a repair succeeds).
RepairDecision decide_repair(const FileObservation& seen, bool previous_repair_failed);
// What stands under a protected file's name and has to go before the file can be written back:
// a link (to a file or a folder: writing or changing attributes through it would reach whatever it
// points at), or a folder.
enum class Obstacle { none, folder, link };
Obstacle obstacle_of(const FileObservation& seen);
// Where a folder that cannot be removed (it is not empty) is moved aside: "<path>.tampered.<n>".
bool aside_path_of(const wchar_t* path, unsigned n, wchar_t* out, size_t cch_out);
// What the tamper event says was found and done (a fixed English text): the file was deleted, its
// content, or its attributes or DACL changed; it was written back (restored), or could not be.
const wchar_t* repair_action_text(const FileObservation& seen, bool written_back);

// --- Win32 ---

bool tamper_init(const Settings* settings);
// The first file protected starts the watcher; the call returns once its folder is watched.
bool protect_file(const wchar_t* path);
// Owner Administrators and the protected DACL on the service object and its registry key; the
// result is the service object's.
bool lock_service_entry();
void tamper_stop();

// The service start's sequence: tamper_init, the five files in their order, lock_service_entry.
void start_tamper_protection(const Settings* settings);
// The five protected files beside the running executable.
bool protected_file_paths(wchar_t (*paths)[tamper_path_cch]);
// Gives one file its folder's inherited DACL back; ERROR_SUCCESS or the Windows error.
unsigned long release_file(const wchar_t* path);
// The file's DACL as SDDL (DACL only); false when it cannot be read or does not fit.
bool read_file_dacl(const wchar_t* path, wchar_t* sddl, size_t cch_sddl);
