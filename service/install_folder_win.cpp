#include <windows.h>
#include <aclapi.h>

#include "common/handle.h"
#include "common/permissions.h"
#include "service/install_folder.h"

static_assert(folder_right_add_file == FILE_ADD_FILE && folder_right_add_subfolder == FILE_ADD_SUBDIRECTORY &&
                  folder_right_delete_child == FILE_DELETE_CHILD && folder_right_delete == DELETE &&
                  folder_right_write_dac == WRITE_DAC && folder_right_write_owner == WRITE_OWNER,
              "the rights are the file access mask's");

namespace {

// An identification token for AccessCheck: this process's token with the Administrators group
// deny-only, so administrators' entries grant nothing.
HANDLE without_administrators() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &raw)) return nullptr;
    OwnedHandle process_token(raw);
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD cb_admins = sizeof admins;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &cb_admins)) return nullptr;
    SID_AND_ATTRIBUTES deny_only = {admins, 0};
    HANDLE restricted = nullptr;
    if (!CreateRestrictedToken(process_token.get(), 0, 1, &deny_only, 0, nullptr, 0, nullptr, &restricted)) return nullptr;
    OwnedHandle restricted_owner(restricted);
    HANDLE impersonation = nullptr;
    if (!DuplicateTokenEx(restricted, TOKEN_QUERY | TOKEN_IMPERSONATE, nullptr, SecurityIdentification,
                          TokenImpersonation, &impersonation))
        return nullptr;
    return impersonation;
}

bool own_user_sid(BYTE* buffer, DWORD cb_buffer, PSID* sid) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    OwnedHandle token(raw);
    DWORD cb = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, cb_buffer, &cb)) return false;
    *sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    return true;
}

struct SystemFolders : FolderAccessPort {
    FolderLook user_access(const wchar_t* folder, uint32_t asked, uint32_t* granted) override {
        DWORD attributes = GetFileAttributesW(folder);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FolderLook::missing
                                                                                 : FolderLook::unreadable;
        }
        // A file, or a link that would lead elsewhere, is no folder to vouch for.
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return FolderLook::unreadable;
        OwnedLocal sd;
        if (GetNamedSecurityInfoW(folder, SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, nullptr, nullptr,
                                  reinterpret_cast<PSECURITY_DESCRIPTOR*>(sd.put())) != ERROR_SUCCESS)
            return FolderLook::unreadable;
        return standard_user_access(sd.get(), asked, granted) ? FolderLook::checked : FolderLook::unreadable;
    }
};

}  // namespace

// The installing account's own entries do not count (its unelevated processes are the same
// person). A token with the user SID deny-only would leave them out on Windows, but Wine's
// AccessCheck still grants them: they are dropped from a copy of the DACL instead, which is
// then evaluated for this token without its Administrators group. The copy's owner is LocalSystem;
// an owner that is not trusted could change the DACL, and is counted as such.
bool standard_user_access(void* security_descriptor, uint32_t asked, uint32_t* granted) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    if (!GetSecurityDescriptorDacl(security_descriptor, &present, &dacl, &defaulted) ||
        !GetSecurityDescriptorOwner(security_descriptor, &owner, &defaulted))
        return false;
    uint32_t result = 0;
    if (owner && !owner_is_trusted(owner)) result |= asked & folder_right_write_dac;
    if (present && !dacl) {  // a null DACL grants everyone everything
        *granted = asked;
        return true;
    }
    alignas(TOKEN_USER) BYTE user_buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    PSID me = nullptr;
    if (!own_user_sid(user_buffer, sizeof user_buffer, &me)) return false;

    // The copy: every entry but the allow entries for this account.
    // No bigger than the original, whose size fits in 16 bits.
    alignas(ACL) static thread_local BYTE acl_buffer[65536];
    DWORD cb_acl = dacl && dacl->AclSize >= sizeof(ACL) ? dacl->AclSize : static_cast<DWORD>(sizeof(ACL));
    PACL copy = reinterpret_cast<PACL>(acl_buffer);
    if (!InitializeAcl(copy, cb_acl, ACL_REVISION_DS)) return false;
    for (DWORD i = 0; present && dacl && i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) return false;
        if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, me))
            continue;
        if (!AddAce(copy, ACL_REVISION_DS, MAXDWORD, ace, ace->AceSize)) return false;
    }
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD cb_system = sizeof system;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &cb_system)) return false;
    SECURITY_DESCRIPTOR evaluated;
    if (!InitializeSecurityDescriptor(&evaluated, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&evaluated, system, FALSE) || !SetSecurityDescriptorGroup(&evaluated, system, FALSE) ||
        !SetSecurityDescriptorDacl(&evaluated, TRUE, present ? copy : nullptr, FALSE))
        return false;
    if (!present) {  // no DACL at all: everyone everything
        *granted = asked;
        return true;
    }

    OwnedHandle token(without_administrators());
    if (!token) return false;
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    // Asked one right at a time: AccessCheck grants all of a request or nothing.
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
        if (!(asked & bit)) continue;
        PRIVILEGE_SET privileges = {};
        DWORD cb_privileges = sizeof privileges;
        DWORD got = 0;
        BOOL allowed = FALSE;
        if (!AccessCheck(&evaluated, token.get(), bit, &mapping, &privileges, &cb_privileges, &got, &allowed))
            return false;
        if (allowed) result |= bit;
    }
    *granted = result;
    return true;
}

FolderAccessPort* system_folder_access() {
    static SystemFolders folders;
    return &folders;
}
