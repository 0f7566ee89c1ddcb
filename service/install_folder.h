// The folder a LocalSystem service runs from must be an administrator's alone: SentrelSvc.exe
// loads DLLs from its own folder first (USERENV, WINHTTP, WTSAPI32 are not KnownDLLs), so a
// folder where someone else may add a file, or a folder above it where someone may rename or
// replace what lies below, would run their code as LocalSystem. "install" and the MSI refuse such
// a folder, naming it and the right to remove.
//
// What counts is the access a standard user would get (AccessCheck with a copy of the caller's
// token whose Administrators group is deny-only, on the folder's DACL without the installing
// account's own allow entries): every other account, Users, Authenticated Users, Everyone, and an
// untrusted owner. Rights checked:
// - the installation folder: add a file, add a subfolder, delete children, delete, change the
//   DACL, take ownership;
// - each folder above it, up to the volume's root: delete children, delete (not the root), change
//   the DACL, take ownership (a drive's root lets users create folders; that changes nothing below);
// - a folder still to be created: the nearest existing one above it must not let users add a
//   subfolder either (they could create the missing one first and own it).
#pragma once
#include <stddef.h>
#include <stdint.h>

constexpr size_t install_folder_cch = 1024;

// The rights, as the file access mask has them.
constexpr uint32_t folder_right_add_file = 0x0002;       // FILE_ADD_FILE
constexpr uint32_t folder_right_add_subfolder = 0x0004;  // FILE_ADD_SUBDIRECTORY
constexpr uint32_t folder_right_delete_child = 0x0040;   // FILE_DELETE_CHILD
constexpr uint32_t folder_right_delete = 0x00010000;     // DELETE
constexpr uint32_t folder_right_write_dac = 0x00040000;  // WRITE_DAC
constexpr uint32_t folder_right_write_owner = 0x00080000;  // WRITE_OWNER

enum class FolderLook { checked, missing, unreadable };

struct FolderAccessPort {
    virtual ~FolderAccessPort() = default;
    // checked: *granted is what a standard user gets of asked; missing: no such folder;
    // unreadable: its descriptor cannot be read or evaluated (refused).
    virtual FolderLook user_access(const wchar_t* folder, uint32_t asked, uint32_t* granted) = 0;
};

struct FolderRefusal {
    wchar_t folder[install_folder_cch];
    uint32_t right;  // the first refused right, in the order of the list above; 0: not checkable
};

// folder: a full path ("X:\..."). True when it may hold the service; false with *refusal filled
// (also for a path that is not a full one: right 0).
bool install_folder_trusted(const wchar_t* folder, FolderAccessPort* port, FolderRefusal* refusal);
// The right's name, for the installer's English message and the console's Chinese one.
const wchar_t* folder_right_name_en(uint32_t right);
const wchar_t* folder_right_name_zh(uint32_t right);

// --- Win32 ---

// The port on this machine's folders, with a standard user's token made from this process's.
FolderAccessPort* system_folder_access();
// What a standard user made from this process's token gets of asked under the descriptor (self-
// relative or absolute); false when the check cannot be made.
bool standard_user_access(void* security_descriptor, uint32_t asked, uint32_t* granted);
