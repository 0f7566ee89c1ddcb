// Who may do what to the objects Sentrel guards: its five files (the settings file apart), its service object, the service's
// registry key and the log folder. Every security descriptor the product applies is in the table
// of permissions.cpp, in SDDL.
//
// Owner: everything Sentrel protects gets the owner Administrators when it is protected (LocalSystem
// may assign it: Administrators is an owner group of its token). An owner is always allowed to read
// and change the DACL, so an elevated administrator can release what the service protected, with no
// privilege and no take-ownership step; while the service runs, its watcher undoes such a change to
// a file. A standard user is neither owner nor named with a write right anywhere.
#pragma once
#include <stddef.h>

#include <windows.h>

enum class Guarded { file, service, key, log_folder, settings_file };
enum class Guard { protect, release };

struct GuardRow {
    Guarded object;
    Guard state;
    // Owner (when named) and DACL. "D:P": protected, nothing is inherited. "D:" without P on a file or
    // key: the parent's inheritable entries apply again (the explicit ones here come first).
    const wchar_t* sddl;
};

extern const GuardRow guard_table[];
extern const size_t guard_table_rows;

// Which file row a protected file takes: settings_file for SentrelSvc.json (it holds the API key:
// nobody but LocalSystem and administrators reads it, protected or released), file otherwise.
Guarded guard_of_file(const wchar_t* path);

// The SDDL for an object and state; null when the product applies none (a log folder is never
// released: the uninstall leaves the audit trail where it is).
const wchar_t* guard_sddl(Guarded object, Guard state);

constexpr const wchar_t* service_key_subpath = L"SYSTEM\\CurrentControlSet\\Services\\SentrelSvc";
constexpr const wchar_t* service_key_object_name = L"MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SentrelSvc";

// --- Win32 ---

// Applies the row to a file or folder by path, or (Guarded::key) to the service's registry key
// (name ignored). Sets the owner when the SDDL names one. ERROR_SUCCESS or the Windows error.
DWORD apply_guard(Guarded object, Guard state, const wchar_t* name);
// Applies the service row to an open service handle (WRITE_DAC, and WRITE_OWNER to protect).
DWORD apply_service_guard(SC_HANDLE service, Guard state);
// The SID of a security descriptor's owner is LocalSystem, Administrators, TrustedInstaller or the
// user of this process: someone who may already do anything this process may do.
bool owner_is_trusted(PSID owner);
