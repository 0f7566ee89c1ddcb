// Applying the guard table. A DACL marked protected replaces what the object had; an unprotected
// one (the release of a file or the key) is set with UNPROTECTED_DACL_SECURITY_INFORMATION, so the
// system merges the parent's inheritable entries back in.
#include "common/permissions.h"

#include <aclapi.h>
#include <sddl.h>

#include "common/handle.h"

namespace {

struct Descriptor {
    OwnedLocal sd;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    bool dacl_protected = false;
};

DWORD convert(const wchar_t* sddl, Descriptor* out) {
    if (!sddl) return ERROR_INVALID_PARAMETER;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                              reinterpret_cast<PSECURITY_DESCRIPTOR*>(out->sd.put()), nullptr))
        return GetLastError();
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorOwner(out->sd.get(), &out->owner, &defaulted) ||
        !GetSecurityDescriptorDacl(out->sd.get(), &present, &out->dacl, &defaulted) ||
        !GetSecurityDescriptorControl(out->sd.get(), &control, &revision))
        return GetLastError();
    out->dacl_protected = (control & SE_DACL_PROTECTED) != 0;
    return ERROR_SUCCESS;
}

}  // namespace

namespace {

DWORD set_named(Guarded object, const wchar_t* name, const Descriptor& d, bool with_owner) {
    SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION | (with_owner ? OWNER_SECURITY_INFORMATION : 0);
    if (object == Guarded::key && d.dacl_protected) {
        // This key alone: SetNamedSecurityInfo would also recompute its subkeys (the service control
        // manager keeps the service's own descriptor in one) from a DACL that passes nothing on.
        OwnedKey key;
        LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, service_key_subpath, 0,
                                       WRITE_DAC | WRITE_OWNER | READ_CONTROL, key.put());
        if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
        SECURITY_DESCRIPTOR copy;
        if (!InitializeSecurityDescriptor(&copy, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorOwner(&copy, with_owner ? d.owner : nullptr, FALSE) ||
            !SetSecurityDescriptorDacl(&copy, TRUE, d.dacl, FALSE) ||
            !SetSecurityDescriptorControl(&copy, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
            return GetLastError();
        return static_cast<DWORD>(RegSetKeySecurity(key.get(), info, &copy));
    }
    info |= d.dacl_protected ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION;
    bool key = object == Guarded::key;
    return SetNamedSecurityInfoW(const_cast<wchar_t*>(key ? service_key_object_name : name),
                                 key ? SE_REGISTRY_KEY : SE_FILE_OBJECT, info, with_owner ? d.owner : nullptr,
                                 nullptr, d.dacl, nullptr);
}

}  // namespace

// An owner that cannot be assigned must not leave the object unprotected: the DACL is set alone
// then, and the owner's error returned.
DWORD apply_guard(Guarded object, Guard state, const wchar_t* name) {
    if (object == Guarded::service) return ERROR_INVALID_PARAMETER;
    Descriptor d;
    DWORD rc = convert(guard_sddl(object, state), &d);
    if (rc != ERROR_SUCCESS) return rc;
    rc = set_named(object, name, d, d.owner != nullptr);
    if (rc == ERROR_INVALID_OWNER) set_named(object, name, d, false);
    return rc;
}

DWORD apply_service_guard(SC_HANDLE service, Guard state) {
    Descriptor d;
    DWORD rc = convert(guard_sddl(Guarded::service, state), &d);
    if (rc != ERROR_SUCCESS) return rc;
    SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION | (d.owner ? OWNER_SECURITY_INFORMATION : 0);
    if (SetServiceObjectSecurity(service, info, d.sd.get())) return ERROR_SUCCESS;
    rc = GetLastError();
    if (rc == ERROR_INVALID_OWNER && d.owner) SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, d.sd.get());
    return rc;
}

bool owner_is_trusted(PSID owner) {
    if (!owner || !IsValidSid(owner)) return false;
    if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
    OwnedLocal installer;
    if (ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                               reinterpret_cast<PSID*>(installer.put())) &&
        EqualSid(owner, installer.get()))
        return true;
    OwnedHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD cb = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &cb)) return false;
    return EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != FALSE;
}
