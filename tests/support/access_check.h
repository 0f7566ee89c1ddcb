// What a security descriptor grants, evaluated by AccessCheck as Windows does (Wine enforces no
// DACL on the objects themselves, but evaluates a descriptor against a token faithfully): for this
// process's token, an administrator's under Wine, and for a restricted copy whose administrators
// group is deny-only, i.e. the same person as a standard user.
#pragma once
#include <windows.h>
#include <sddl.h>

#include <string>

enum class TestUser { administrator, standard_user };

// An impersonation token of the user, for AccessCheck; null on failure. The caller closes it.
inline HANDLE test_user_token(TestUser who) {
    HANDLE process_token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &process_token))
        return nullptr;
    HANDLE base = process_token;
    HANDLE restricted = nullptr;
    if (who == TestUser::standard_user) {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID admins = nullptr;
        AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins);
        SID_AND_ATTRIBUTES deny_only = {admins, 0};
        if (!admins || !CreateRestrictedToken(process_token, 0, 1, &deny_only, 0, nullptr, 0, nullptr, &restricted))
            restricted = nullptr;
        if (admins) FreeSid(admins);
        base = restricted;
    }
    HANDLE impersonation = nullptr;
    if (base && !DuplicateTokenEx(base, TOKEN_QUERY | TOKEN_IMPERSONATE, nullptr, SecurityIdentification,
                                  TokenImpersonation, &impersonation))
        impersonation = nullptr;
    if (restricted) CloseHandle(restricted);
    CloseHandle(process_token);
    return impersonation;
}

// True when the token counts as a member of the administrators group (the test's premise).
inline bool test_user_is_admin(HANDLE token) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins))
        return false;
    BOOL member = FALSE;
    bool ok = CheckTokenMembership(token, admins, &member) && member;
    FreeSid(admins);
    return ok;
}

// The access a pipe or file descriptor (SDDL; owner and group LocalSystem when the text names
// none, as for an object the service creates) grants the user for desired, generic rights mapped
// as for files; 0 when the check denies it. ~0u when the check itself could not be made.
inline DWORD granted_file_access(const wchar_t* sddl, TestUser who, DWORD desired) {
    std::wstring text = sddl;
    if (text.find(L"O:") == std::wstring::npos) text = L"O:SYG:SY" + text;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return ~0u;
    HANDLE token = test_user_token(who);
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    MapGenericMask(&desired, &mapping);
    PRIVILEGE_SET privileges = {};
    DWORD cb_privileges = sizeof privileges;
    DWORD granted = 0;
    BOOL allowed = FALSE;
    bool checked = token && AccessCheck(descriptor, token, desired, &mapping, &privileges, &cb_privileges, &granted,
                                        &allowed);
    if (token) CloseHandle(token);
    LocalFree(descriptor);
    if (!checked) return ~0u;
    return allowed ? granted : 0;
}
