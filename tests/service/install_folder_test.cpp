// Which folders may hold the LocalSystem service: the walk from the installation folder to the
// root on a fake, and the access a standard user gets, evaluated by AccessCheck as on Windows.
#include "service/install_folder.h"

#include <windows.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/handle.h"

namespace {

struct FakeFolders : FolderAccessPort {
    std::map<std::wstring, uint32_t> user_rights;  // existing folders and what users get there
    std::vector<std::wstring> unreadable;
    std::vector<std::pair<std::wstring, uint32_t>> asked;
    FolderLook user_access(const wchar_t* folder, uint32_t rights, uint32_t* granted) override {
        asked.emplace_back(folder, rights);
        for (const auto& u : unreadable)
            if (u == folder) return FolderLook::unreadable;
        auto it = user_rights.find(folder);
        if (it == user_rights.end()) return FolderLook::missing;
        *granted = it->second & rights;
        return FolderLook::checked;
    }
};

// Windows' defaults, as far as standard users go: the root lets them create folders, Program
// Files lets them do nothing that changes it.
FakeFolders windows_defaults() {
    FakeFolders f;
    f.user_rights[L"C:\\"] = folder_right_add_subfolder;
    f.user_rights[L"C:\\Program Files"] = 0;
    return f;
}

std::wstring refused_text(const FolderRefusal& r) {
    return std::wstring(r.folder) + L" / " + folder_right_name_en(r.right);
}

}  // namespace

TEST(InstallFolder, AnAdministratorsFolderUnderProgramFilesIsTrusted) {
    FakeFolders f = windows_defaults();
    f.user_rights[L"C:\\Program Files\\Sentrel"] = 0;
    FolderRefusal r = {};
    EXPECT_TRUE(install_folder_trusted(L"C:\\Program Files\\Sentrel\\", &f, &r)) << refused_text(r);
    // Every folder up to the root was asked, the installation folder for every right.
    ASSERT_EQ(f.asked.size(), 3u);
    EXPECT_EQ(f.asked[0].first, L"C:\\Program Files\\Sentrel");
    EXPECT_EQ(f.asked[0].second, folder_right_add_file | folder_right_add_subfolder | folder_right_delete_child |
                                     folder_right_delete | folder_right_write_dac | folder_right_write_owner);
    EXPECT_EQ(f.asked[1].first, L"C:\\Program Files");
    EXPECT_EQ(f.asked[1].second & (folder_right_add_file | folder_right_add_subfolder), 0u);
    EXPECT_EQ(f.asked[2].first, L"C:\\");
    EXPECT_EQ(f.asked[2].second & folder_right_delete, 0u) << "a root cannot be deleted";

    // Not there yet (the MSI creates it): the folder above must not let users create it first.
    FakeFolders fresh = windows_defaults();
    EXPECT_TRUE(install_folder_trusted(L"C:\\Program Files\\Sentrel", &fresh, &r)) << refused_text(r);
    EXPECT_TRUE(fresh.asked[1].second & folder_right_add_subfolder);
}

TEST(InstallFolder, EachRightOfUsersOnTheFolderOrAboveIsRefusedByName) {
    struct Case {
        const wchar_t* folder;
        uint32_t right;
    };
    const Case cases[] = {
        {L"C:\\Program Files\\Sentrel", folder_right_add_file},
        {L"C:\\Program Files\\Sentrel", folder_right_add_subfolder},
        {L"C:\\Program Files\\Sentrel", folder_right_delete_child},
        {L"C:\\Program Files\\Sentrel", folder_right_write_dac},
        {L"C:\\Program Files", folder_right_delete_child},  // could rename Sentrel and put another there
        {L"C:\\Program Files", folder_right_write_owner},
        {L"C:\\Program Files", folder_right_delete},
        {L"C:\\", folder_right_delete_child},
    };
    for (const Case& c : cases) {
        FakeFolders f = windows_defaults();
        f.user_rights[L"C:\\Program Files\\Sentrel"] = 0;
        f.user_rights[c.folder] |= c.right;
        FolderRefusal r = {};
        EXPECT_FALSE(install_folder_trusted(L"C:\\Program Files\\Sentrel", &f, &r)) << c.folder << L" " << c.right;
        EXPECT_STREQ(r.folder, c.folder);
        EXPECT_EQ(r.right, c.right) << c.folder;
    }
    // Users creating files in a folder above changes nothing below it.
    FakeFolders f = windows_defaults();
    f.user_rights[L"C:\\Program Files\\Sentrel"] = 0;
    f.user_rights[L"C:\\Program Files"] = folder_right_add_file;
    FolderRefusal r = {};
    EXPECT_TRUE(install_folder_trusted(L"C:\\Program Files\\Sentrel", &f, &r));
}

TEST(InstallFolder, MissingFoldersUnderAUserCreatableParentAndBadPathsAreRefused) {
    FakeFolders f = windows_defaults();
    FolderRefusal r = {};
    // C:\Sentrel does not exist; users may create folders in the root: they could make it first.
    EXPECT_FALSE(install_folder_trusted(L"C:\\Sentrel", &f, &r));
    EXPECT_STREQ(r.folder, L"C:\\");
    EXPECT_EQ(r.right, folder_right_add_subfolder);
    EXPECT_FALSE(install_folder_trusted(L"C:\\Tools\\Deep\\Sentrel", &f, &r));
    EXPECT_STREQ(r.folder, L"C:\\");

    f.unreadable.push_back(L"C:\\Program Files");
    EXPECT_FALSE(install_folder_trusted(L"C:\\Program Files\\Sentrel", &f, &r));
    EXPECT_STREQ(r.folder, L"C:\\Program Files");
    EXPECT_EQ(r.right, 0u);
    for (const wchar_t* bad : {L"Sentrel", L"\\\\server\\share\\Sentrel", L"C:\\Program Files\\..\\Users\\x",
                               L"C:\\a\\.\\b", L"C:Sentrel", L""}) {
        FakeFolders any = windows_defaults();
        EXPECT_FALSE(install_folder_trusted(bad, &any, &r)) << bad;
        EXPECT_EQ(r.right, 0u) << bad;
    }
    EXPECT_FALSE(install_folder_trusted(L"Q:\\Sentrel", &f, &r)) << "no such volume";
}

// The real evaluation: descriptors as Windows keeps them on these folders, checked for a
// standard user made from this process's token.
TEST(InstallFolder, AStandardUsersAccessIsWhatAccessCheckGrants) {
    auto granted = [](const wchar_t* sddl, uint32_t asked) {
        OwnedLocal sd;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                  reinterpret_cast<PSECURITY_DESCRIPTOR*>(sd.put()), nullptr))
            return ~0u;
        uint32_t got = 0;
        return standard_user_access(sd.get(), asked, &got) ? got : ~0u;
    };
    const uint32_t all = folder_right_add_file | folder_right_add_subfolder | folder_right_delete_child |
                         folder_right_delete | folder_right_write_dac | folder_right_write_owner;
    // Program Files: administrators, SYSTEM and TrustedInstaller change it; users read and run.
    const wchar_t* program_files = L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464G:SY"
                                   L"D:P(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
                                   L"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;0x1200a9;;;AC)";
    EXPECT_EQ(granted(program_files, all), 0u);
    // Users may add files (a folder made by hand under C:\, inheriting the root's Modify for
    // Authenticated Users): refused.
    EXPECT_EQ(granted(L"O:BAG:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)", all),
              folder_right_add_file | folder_right_add_subfolder | folder_right_delete);
    EXPECT_EQ(granted(L"O:BAG:SYD:(A;;FA;;;BA)(A;;0x40;;;BU)", all), folder_right_delete_child);
    EXPECT_EQ(granted(L"O:BAG:SYD:(A;;FA;;;BA)(A;;WD;;;WD)", all), folder_right_write_dac);
    // An administrators-only entry grants the deny-only group nothing; a deny entry for users wins.
    EXPECT_EQ(granted(L"O:BAG:SYD:(A;;FA;;;BA)", all), 0u);
    EXPECT_EQ(granted(L"O:BAG:SYD:(D;;FA;;;BU)(A;;FA;;;WD)", all), 0u);

    // The installing account's own entries (and its ownership) do not count: it is the same
    // person unelevated. Everyone's write does.
    HANDLE raw = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
    OwnedHandle token(raw);
    alignas(TOKEN_USER) BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD cb = 0;
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &cb));
    OwnedLocal sid_text;
    ASSERT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid,
                                       reinterpret_cast<LPWSTR*>(sid_text.put())));
    std::wstring me = static_cast<const wchar_t*>(sid_text.get());
    std::wstring own = L"O:" + me + L"G:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + me + L")(A;OICI;0x1200a9;;;WD)";
    EXPECT_EQ(granted(own.c_str(), all), 0u) << own;
    std::wstring everyone_writes = L"O:" + me + L"G:SYD:(A;OICI;FA;;;" + me + L")(A;OICI;0x1301ff;;;WD)";
    EXPECT_EQ(granted(everyone_writes.c_str(), all), all & ~static_cast<uint32_t>(folder_right_write_dac | folder_right_write_owner))
        << everyone_writes;
}
