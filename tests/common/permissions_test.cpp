// Every security descriptor the product applies, evaluated by AccessCheck as Windows evaluates it
// (Wine's AccessCheck does the same for owners, allow entries and generic mapping), for an
// administrator's token and for a standard user's token (the same token with Administrators
// disabled). Wine stores no DACL on files and enforces none on services or keys, so this is where
// the rules are pinned.
#include "common/permissions.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "common/handle.h"

namespace {

const GENERIC_MAPPING file_mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
const GENERIC_MAPPING service_mapping = {
    STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
        SERVICE_ENUMERATE_DEPENDENTS,
    STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL,
    SERVICE_ALL_ACCESS};
const GENERIC_MAPPING key_mapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};

const GENERIC_MAPPING& mapping_of(Guarded object) {
    if (object == Guarded::service) return service_mapping;
    if (object == Guarded::key) return key_mapping;
    return file_mapping;
}

// What a released file or key inherits on Windows: the entries "C:\Program Files" passes on to a
// file in a folder below it, and those of ...\Services to a service's key.
const wchar_t* inherited_entries(Guarded object) {
    if (object == Guarded::file) return L"(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)";
    if (object == Guarded::key) return L"(A;ID;KA;;;SY)(A;ID;KA;;;BA)(A;ID;KR;;;BU)";
    return L"";
}

// The owner the object really has: the one its protection names; before that, the system's
// (LocalSystem for the service object and its key; for the files the worst case, LocalSystem).
// A release sets none, so the owner its protection gave stays.
std::wstring owner_of(Guarded object, Guard state) {
    const wchar_t* sddl = guard_sddl(object, state == Guard::release ? Guard::protect : state);
    if (sddl && wcsncmp(sddl, L"O:", 2) == 0) {
        const wchar_t* end = wcschr(sddl, L'D');
        return std::wstring(sddl + 2, end ? end - (sddl + 2) : 0);
    }
    return L"SY";
}

// The descriptor the object ends up with: owner, a group (AccessCheck needs one), the DACL, and
// the parent's inheritable entries when the DACL is not protected.
std::wstring effective_sddl(Guarded object, Guard state) {
    std::wstring sddl = guard_sddl(object, state);
    std::wstring dacl = sddl.substr(sddl.find(L"D:"));
    bool inherits = dacl.compare(0, 3, L"D:P") != 0;
    return L"O:" + owner_of(object, state) + L"G:SY" + dacl + (inherits ? inherited_entries(object) : L"");
}

struct Tokens {
    OwnedHandle admin;
    OwnedHandle user;
    Tokens() {
        OwnedHandle process;
        OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put());
        DuplicateTokenEx(process.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenImpersonation,
                         admin.put());
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD cb = sizeof sid;
        CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &cb);
        SID_AND_ATTRIBUTES disabled = {sid, 0};
        CreateRestrictedToken(admin.get(), 0, 1, &disabled, 0, nullptr, 0, nullptr, user.put());
    }
};

bool is_admin(HANDLE token) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD cb = sizeof sid;
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &cb);
    BOOL member = FALSE;
    return CheckTokenMembership(token, sid, &member) && member;
}

// AccessCheck with one right asked; -1 when the check itself failed.
int granted(const std::wstring& sddl, HANDLE token, DWORD right, const GENERIC_MAPPING& mapping) {
    OwnedLocal sd;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              reinterpret_cast<PSECURITY_DESCRIPTOR*>(sd.put()), nullptr))
        return -1;
    PRIVILEGE_SET privileges;
    DWORD cb_privileges = sizeof privileges;
    DWORD access = 0;
    BOOL status = FALSE;
    GENERIC_MAPPING copy = mapping;
    if (!AccessCheck(sd.get(), token, right, &copy, &privileges, &cb_privileges, &access, &status)) return -1;
    return status ? 1 : 0;
}

constexpr int Y = 1, N = 0;
// Not asked of the owner: Windows gives an owner only READ_CONTROL and WRITE_DAC beyond the DACL;
// Wine's AccessCheck gives it DELETE and WRITE_OWNER as well.
constexpr int owner_differs_under_wine = 2;

struct RightCase {
    const char* name;
    DWORD right;
    int admin;
    int user;
};

struct RowCase {
    Guarded object;
    Guard state;
    std::vector<RightCase> rights;
};

const int X = owner_differs_under_wine;

std::vector<RowCase> expectations() {
    return {
        {Guarded::file, Guard::protect,
         {{"execute", FILE_EXECUTE, Y, Y}, {"read", FILE_GENERIC_READ, Y, Y}, {"write", FILE_WRITE_DATA, N, N},
          {"append", FILE_APPEND_DATA, N, N}, {"attributes", FILE_WRITE_ATTRIBUTES, N, N},
          {"delete", DELETE, X, N}, {"change DACL", WRITE_DAC, Y, N}, {"take owner", WRITE_OWNER, X, N}}},
        {Guarded::file, Guard::release,
         {{"execute", FILE_EXECUTE, Y, Y}, {"read", FILE_GENERIC_READ, Y, Y}, {"write", FILE_GENERIC_WRITE, Y, N},
          {"delete", DELETE, Y, N}, {"change DACL", WRITE_DAC, Y, N}, {"take owner", WRITE_OWNER, Y, N}}},
        {Guarded::service, Guard::protect,
         {{"query status", SERVICE_QUERY_STATUS, Y, Y}, {"query config", SERVICE_QUERY_CONFIG, Y, Y},
          {"interrogate", SERVICE_INTERROGATE, Y, Y}, {"start", SERVICE_START, Y, N}, {"stop", SERVICE_STOP, Y, N},
          {"pause", SERVICE_PAUSE_CONTINUE, Y, N}, {"change config", SERVICE_CHANGE_CONFIG, N, N},
          {"delete", DELETE, X, N}, {"change DACL", WRITE_DAC, Y, N}, {"take owner", WRITE_OWNER, X, N}}},
        {Guarded::service, Guard::release,
         {{"query status", SERVICE_QUERY_STATUS, Y, Y}, {"start", SERVICE_START, Y, N}, {"stop", SERVICE_STOP, Y, N},
          {"change config", SERVICE_CHANGE_CONFIG, Y, N}, {"delete", DELETE, Y, N}, {"change DACL", WRITE_DAC, Y, N},
          {"take owner", WRITE_OWNER, Y, N}}},
        // The settings file holds the API key: a standard user reads nothing, protected or released.
        {Guarded::settings_file, Guard::protect,
         {{"read", FILE_READ_DATA, Y, N}, {"read all", FILE_GENERIC_READ, Y, N}, {"execute", FILE_EXECUTE, N, N},
          {"write", FILE_WRITE_DATA, N, N}, {"delete", DELETE, X, N}, {"change DACL", WRITE_DAC, Y, N},
          {"take owner", WRITE_OWNER, X, N}}},
        {Guarded::settings_file, Guard::release,
         {{"read", FILE_READ_DATA, Y, N}, {"attributes", FILE_READ_ATTRIBUTES, Y, N}, {"write", FILE_GENERIC_WRITE, Y, N},
          {"delete", DELETE, Y, N}, {"change DACL", WRITE_DAC, Y, N}}},
        {Guarded::key, Guard::protect,
         {{"read", KEY_READ, Y, Y}, {"set value", KEY_SET_VALUE, N, N}, {"create subkey", KEY_CREATE_SUB_KEY, N, N},
          {"delete", DELETE, X, N}, {"change DACL", WRITE_DAC, Y, N}, {"take owner", WRITE_OWNER, X, N}}},
        {Guarded::key, Guard::release,
         {{"read", KEY_READ, Y, Y}, {"set value", KEY_SET_VALUE, Y, N}, {"delete", DELETE, Y, N},
          {"change DACL", WRITE_DAC, Y, N}}},
        {Guarded::log_folder, Guard::protect,
         {{"add file", FILE_ADD_FILE, Y, N}, {"list", FILE_LIST_DIRECTORY, Y, N}, {"add folder", FILE_ADD_SUBDIRECTORY, Y, N},
          {"delete child", FILE_DELETE_CHILD, Y, N}, {"change DACL", WRITE_DAC, Y, N}, {"take owner", WRITE_OWNER, X, N}}},
    };
}

// Rights that let a holder change an object or who may reach it.
DWORD changing_rights(Guarded object) {
    const DWORD standard = DELETE | WRITE_DAC | WRITE_OWNER;
    if (object == Guarded::service) return standard | SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_STOP;
    if (object == Guarded::key) return standard | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
    return standard | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD;
}

const char* name_of(Guarded object) {
    switch (object) {
        case Guarded::file: return "file";
        case Guarded::service: return "service";
        case Guarded::key: return "key";
        case Guarded::log_folder: return "log folder";
        case Guarded::settings_file: return "settings file";
    }
    return "?";
}

}  // namespace

TEST(Permissions, EveryAppliedDescriptorGivesEachTokenExactlyItsRights) {
    Tokens tokens;
    ASSERT_TRUE(is_admin(tokens.admin.get()));
    ASSERT_FALSE(is_admin(tokens.user.get()));
    std::vector<RowCase> cases = expectations();
    ASSERT_EQ(cases.size(), guard_table_rows);  // every row the product applies has its case
    for (const RowCase& row : cases) {
        const wchar_t* sddl = guard_sddl(row.object, row.state);
        ASSERT_NE(sddl, nullptr) << name_of(row.object);
        std::wstring effective = effective_sddl(row.object, row.state);
        const GENERIC_MAPPING& mapping = mapping_of(row.object);
        const char* state = row.state == Guard::protect ? "protected" : "released";
        for (const RightCase& right : row.rights) {
            if (right.admin != X) {
                EXPECT_EQ(granted(effective, tokens.admin.get(), right.right, mapping), right.admin)
                    << name_of(row.object) << " " << state << ": administrator, " << right.name;
            }
            EXPECT_EQ(granted(effective, tokens.user.get(), right.right, mapping), right.user)
                << name_of(row.object) << " " << state << ": standard user, " << right.name;
        }
        // Whatever the right, a standard user changes nothing Sentrel protects or released.
        for (DWORD bit = 1; bit; bit <<= 1) {
            if (changing_rights(row.object) & bit) {
                EXPECT_EQ(granted(effective, tokens.user.get(), bit, mapping), 0)
                    << name_of(row.object) << " " << state << ": standard user, right 0x" << std::hex << bit;
            }
        }
    }
}

TEST(Permissions, OnlyTheSettingsFileTakesTheSecretRow) {
    EXPECT_EQ(guard_of_file(L"C:\\Program Files\\Sentrel\\SentrelSvc.json"), Guarded::settings_file);
    EXPECT_EQ(guard_of_file(L"C:\\Program Files\\Sentrel\\sentrelsvc.JSON"), Guarded::settings_file);
    EXPECT_EQ(guard_of_file(L"C:\\Program Files\\Sentrel\\SentrelPolicy.json"), Guarded::file);
    EXPECT_EQ(guard_of_file(L"C:\\Program Files\\Sentrel\\SentrelUI.exe"), Guarded::file);
    EXPECT_EQ(guard_of_file(L"C:\\x\\SentrelSvc.json.bak"), Guarded::file);
    EXPECT_EQ(guard_of_file(nullptr), Guarded::file);
    // Protected, then released: no token without Administrators ever reads it.
    Tokens tokens;
    for (Guard state : {Guard::protect, Guard::release}) {
        std::wstring sddl = effective_sddl(Guarded::settings_file, state);
        EXPECT_EQ(sddl.find(L"BU"), std::wstring::npos);
        EXPECT_EQ(granted(sddl, tokens.user.get(), FILE_READ_DATA, file_mapping), 0);
    }
}

// Without the owner its protection names, the service object keeps the service control manager's
// owner (LocalSystem), and no administrator could ever release or delete it.
TEST(Permissions, ProtectionNamesAdministratorsOwnerSoUninstallCanReleaseIt) {
    Tokens tokens;
    for (Guarded object : {Guarded::file, Guarded::service, Guarded::key}) {
        EXPECT_EQ(owner_of(object, Guard::protect), L"BA") << name_of(object);
        std::wstring sddl = guard_sddl(object, Guard::protect);
        std::wstring system_owned = L"O:SYG:SY" + sddl.substr(sddl.find(L"D:"));
        EXPECT_EQ(granted(system_owned, tokens.admin.get(), WRITE_DAC, mapping_of(object)), 0) << name_of(object);
    }
}
