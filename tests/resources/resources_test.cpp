// Each executable carries its version information, manifest and icons, as Windows reads them.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/settings.h"
#include "common/text.h"

namespace {

// The version the build gave the resources, e.g. 1.0.0.0, as a wide text.
#define SENTREL_TEXT_(x) #x
#define SENTREL_TEXT(x) SENTREL_TEXT_(x)
const wchar_t* const expected_version = L"" SENTREL_TEXT(SENTREL_EXPECTED_VERSION);

struct Shipped {
    const wchar_t* file;
    std::vector<int> icons;
};
const Shipped shipped[] = {{L"SentrelSvc.exe", {1}}, {L"SentrelUI.exe", {1, 200}}, {L"runguard.exe", {1}}};

std::wstring beside_tests(const wchar_t* name) {
    wchar_t path[1024] = L"";
    path_beside_exe(name, path, 1024);
    return path;
}

// The executable mapped as an image resource only: its code is never run.
struct ResourceModule {
    HMODULE module;
    explicit ResourceModule(const std::wstring& path)
        : module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ~ResourceModule() {
        if (module) FreeLibrary(module);
    }
    ResourceModule(const ResourceModule&) = delete;
    ResourceModule& operator=(const ResourceModule&) = delete;
    std::string bytes(const wchar_t* type, int id) const {
        HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
        if (!found) return {};
        HGLOBAL loaded = LoadResource(module, found);
        const char* data = static_cast<const char*>(LockResource(loaded));
        return data ? std::string(data, SizeofResource(module, found)) : std::string();
    }
};

std::wstring version_string(const std::vector<char>& info, const wchar_t* name) {
    wchar_t query[128];
    text_format(query, 128, L"\\StringFileInfo\\040904B0\\%s", name);
    void* value = nullptr;
    UINT cch = 0;
    if (!VerQueryValueW(info.data(), query, &value, &cch) || !value) return L"<missing>";
    return static_cast<const wchar_t*>(value);
}

#pragma pack(push, 2)
struct GroupIconEntry {  // one entry of an RT_GROUP_ICON resource
    BYTE width, height, colors, reserved;
    WORD planes, bit_count;
    DWORD cb_bytes;
    WORD id;
};
#pragma pack(pop)
static_assert(sizeof(GroupIconEntry) == 14, "the group icon entry is 14 bytes on disk");

}  // namespace

TEST(Resources, VersionInformationFromTheProjectVersion) {
    // The installer's custom-action DLL ships inside the MSI, signed: it carries the version too.
    const Shipped actions = {L"SentrelActions.dll", {}};
    std::vector<Shipped> files(std::begin(shipped), std::end(shipped));
    files.push_back(actions);
    for (const Shipped& exe : files) {
        SCOPED_TRACE(testing::Message() << "file " << std::string(exe.file, exe.file + wcslen(exe.file)));
        std::wstring path = exe.icons.empty() ? beside_tests(L"..\\installer\\SentrelActions.dll") : beside_tests(exe.file);
        DWORD handle = 0;
        DWORD cb = GetFileVersionInfoSizeW(path.c_str(), &handle);
        ASSERT_GT(cb, 0u) << "no version resource";
        std::vector<char> info(cb);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, cb, info.data()));

        EXPECT_EQ(version_string(info, L"ProductName"), L"Sentrel");
        EXPECT_EQ(version_string(info, L"FileVersion"), expected_version);
        EXPECT_EQ(version_string(info, L"ProductVersion"), expected_version);
        EXPECT_EQ(version_string(info, L"OriginalFilename"), exe.file);
        EXPECT_NE(version_string(info, L"CompanyName"), L"<missing>");
        EXPECT_EQ(version_string(info, L"FileDescription").rfind(L"Sentrel ", 0), 0u);

        // The numeric version Windows compares (installers, file replacement) says the same.
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT cb_fixed = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &cb_fixed));
        wchar_t numeric[64];
        text_format(numeric, 64, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                    HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
        EXPECT_STREQ(numeric, expected_version);
        EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    }
}

TEST(Resources, ManifestRunsAsInvokerWithCommonControlsAndPerMonitorDpi) {
    for (const Shipped& exe : shipped) {
        SCOPED_TRACE(testing::Message() << "file " << std::string(exe.file, exe.file + wcslen(exe.file)));
        ResourceModule module(beside_tests(exe.file));
        ASSERT_TRUE(module.module);
        std::string manifest = module.bytes(MAKEINTRESOURCEW(24), 1);  // RT_MANIFEST, the process manifest
        ASSERT_FALSE(manifest.empty()) << "no manifest";
        EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
        EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
        EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
        EXPECT_NE(manifest.find(">PerMonitorV2<"), std::string::npos);
        for (const char* os : {"8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                               "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "35138b9a-5d96-4fbd-8e2d-a2440225f93a"})
            EXPECT_NE(manifest.find(os), std::string::npos) << "supportedOS " << os;
    }
}

TEST(Resources, IconsInEverySizeFrom16To256) {
    const int sizes[] = {16, 20, 24, 32, 40, 48, 64, 96, 128, 256};
    for (const Shipped& exe : shipped) {
        ResourceModule module(beside_tests(exe.file));
        ASSERT_TRUE(module.module);
        for (int id : exe.icons) {
            SCOPED_TRACE(testing::Message() << "icon " << id << " of "
                                            << std::string(exe.file, exe.file + wcslen(exe.file)));
            std::string group = module.bytes(MAKEINTRESOURCEW(14), id);  // RT_GROUP_ICON
            ASSERT_GE(group.size(), 6u);
            WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
            ASSERT_EQ(group.size(), 6u + count * sizeof(GroupIconEntry));
            std::vector<int> found;
            for (WORD i = 0; i < count; ++i) {
                const auto* entry = reinterpret_cast<const GroupIconEntry*>(group.data() + 6 + i * sizeof(GroupIconEntry));
                EXPECT_EQ(entry->width, entry->height);
                EXPECT_EQ(entry->bit_count, 32);
                found.push_back(entry->width == 0 ? 256 : entry->width);
                EXPECT_EQ(module.bytes(MAKEINTRESOURCEW(3), entry->id).size(), entry->cb_bytes);  // RT_ICON
            }
            EXPECT_EQ(found, std::vector<int>(std::begin(sizes), std::end(sizes)));
        }
    }
}

TEST(Resources, DialogIconLoadsAtItsOwnSize) {
    // The dialog asks for icon 200 at 40 x 40; it must get the drawn 40-pixel image, not a stretched one.
    ResourceModule module(beside_tests(L"SentrelUI.exe"));
    ASSERT_TRUE(module.module);
    for (int id : {200, 1}) {
        HICON icon = static_cast<HICON>(LoadImageW(module.module, MAKEINTRESOURCEW(id), IMAGE_ICON, 40, 40, 0));
        ASSERT_TRUE(icon) << "icon " << id;
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP color = {};
        GetObjectW(info.hbmColor, sizeof color, &color);
        EXPECT_EQ(color.bmWidth, 40);
        EXPECT_EQ(color.bmHeight, 40);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
}
