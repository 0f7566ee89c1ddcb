#include "service/tamper.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/settings.h"
#include "common/text.h"
#include "tests/support/test_files.h"

namespace {

std::unique_ptr<ProtectedFileTable> table_of(std::vector<const wchar_t*> paths) {
    std::unique_ptr<ProtectedFileTable> table(new ProtectedFileTable());
    for (const wchar_t* path : paths) text_copy(table->slots[table->count++].path, path);
    return table;
}

// A buffer of FILE_NOTIFY_INFORMATION records as ReadDirectoryChangesW fills it.
std::vector<uint8_t> records_of(std::vector<const wchar_t*> names) {
    std::vector<uint8_t> buffer;
    size_t previous = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        size_t cb_name = wcslen(names[i]) * sizeof(wchar_t);
        size_t cb = (offsetof(FILE_NOTIFY_INFORMATION, FileName) + cb_name + 3) & ~size_t(3);
        size_t at = buffer.size();
        buffer.resize(at + cb);
        auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(buffer.data() + at);
        record->Action = FILE_ACTION_MODIFIED;
        record->FileNameLength = static_cast<DWORD>(cb_name);
        memcpy(record->FileName, names[i], cb_name);
        if (i > 0) reinterpret_cast<FILE_NOTIFY_INFORMATION*>(buffer.data() + previous)->NextEntryOffset =
            static_cast<DWORD>(at - previous);
        previous = at;
    }
    return buffer;
}

struct Dacl {
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL acl = nullptr;
    bool is_protected = false;
    explicit Dacl(const wchar_t* sddl) {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) return;
        BOOL present = FALSE, defaulted = FALSE;
        GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted);
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(sd, &control, &revision);
        is_protected = (control & SE_DACL_PROTECTED) != 0;
    }
    ~Dacl() { LocalFree(sd); }
    // The access mask granted to a well-known account ("SY", "BA", "WD"), 0 when it has no entry.
    DWORD mask_for(const wchar_t* account) const {
        PSID sid = nullptr;
        ConvertStringSidToSidW(account, &sid);
        DWORD mask = 0;
        for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            if (GetAce(acl, i, reinterpret_cast<void**>(&ace)) && EqualSid(&ace->SidStart, sid)) mask |= ace->Mask;
        }
        LocalFree(sid);
        return mask;
    }
};

}  // namespace

// --- change records against protected names ---

TEST(TamperMatching, BatchYieldsTheSlotsItNamesExactlyInAnyCase) {
    auto table = table_of({L"C:\\S\\SentrelSvc.json", L"C:\\S\\SentrelSvc.policy.json", L"C:\\S/runguard.exe"});
    auto records = records_of({L"SENTRELSVC.POLICY.JSON", L"notes.txt", L"sentrelsvc.policy.json", L"RunGuard.exe"});
    EXPECT_EQ(changed_slots(table.get(), records.data(), records.size()), 0b110u);
    auto near_misses = records_of({L"SentrelSvc.json.bak", L"SentrelSvc.jso", L"logs\\SentrelSvc.json"});
    EXPECT_EQ(changed_slots(table.get(), near_misses.data(), near_misses.size()), 0u);

    // Slots at or beyond count, and a record cut off by the end of the delivered bytes, do not count.
    table->count = 1;
    auto both = records_of({L"SentrelSvc.json", L"SentrelSvc.policy.json"});
    EXPECT_EQ(changed_slots(table.get(), both.data(), both.size()), 1u);
    EXPECT_EQ(changed_slots(table.get(), both.data(), 8), 0u);
}

// --- telling the watcher's own repair from tampering ---

TEST(TamperRepair, IntactFileIsAnEchoAndEveryChangeIsRepairedAndLoggedOnce) {
    FileObservation intact = {true, FILE_ATTRIBUTE_ARCHIVE, true, true, true};
    FileObservation unknown_dacl = {true, FILE_ATTRIBUTE_NORMAL, true, false, false};
    for (const FileObservation& echo : {intact, unknown_dacl}) {
        EXPECT_FALSE(decide_repair(echo, false).repair);
        EXPECT_FALSE(decide_repair(echo, true).repair);
    }
    FileObservation deleted = {};
    FileObservation modified = {true, FILE_ATTRIBUTE_ARCHIVE, false, true, true};
    FileObservation read_only = {true, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, true, true, true};
    FileObservation hidden = {true, FILE_ATTRIBUTE_HIDDEN, true, true, true};
    FileObservation regranted = {true, FILE_ATTRIBUTE_ARCHIVE, true, true, false};
    for (const FileObservation& seen : {deleted, modified, read_only, hidden, regranted}) {
        RepairDecision first = decide_repair(seen, false);
        EXPECT_TRUE(first.repair && first.log);
        // Only a missing or changed content is written back: the running image cannot be opened
        // for writing, and a change of its attributes alone must not end in a failed repair.
        EXPECT_EQ(first.write, !seen.exists || !seen.content_intact);
        // After a write-back that failed, the next change retries without a second log line.
        RepairDecision retry = decide_repair(seen, true);
        EXPECT_TRUE(retry.repair && !retry.log);
    }
    // What the tamper event says was found and done.
    EXPECT_STREQ(repair_action_text(deleted, true), L"deleted; restored from the service's copy");
    EXPECT_STREQ(repair_action_text(deleted, false), L"deleted; could not be restored");
    EXPECT_STREQ(repair_action_text(modified, true), L"content changed; restored from the service's copy");
    EXPECT_STREQ(repair_action_text(modified, false), L"content changed; could not be restored");
    EXPECT_STREQ(repair_action_text(read_only, true), L"attributes or permissions changed; restored from the service's copy");
    EXPECT_STREQ(repair_action_text(regranted, false), L"attributes or permissions changed; protection applied again");
}

TEST(TamperRepair, FolderOrLinkUnderAProtectedNameIsClearedBeforeTheWriteBack) {
    // A folder created under a protected name is reported by the change feed as well.
    EXPECT_EQ(tamper_notify_filter & FILE_NOTIFY_CHANGE_DIR_NAME, static_cast<uint32_t>(FILE_NOTIFY_CHANGE_DIR_NAME));
    FileObservation folder = {true, FILE_ATTRIBUTE_DIRECTORY, false, true, true};
    FileObservation folder_link = {true, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, false, true, true};
    // A link to a file holding the backup's bytes is still not the file: writing through it
    // would reach whatever it points at.
    FileObservation file_link = {true, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT, true, true, true};
    FileObservation plain = {true, FILE_ATTRIBUTE_ARCHIVE, false, true, true};
    EXPECT_EQ(obstacle_of(folder), Obstacle::folder);
    EXPECT_EQ(obstacle_of(folder_link), Obstacle::link);
    EXPECT_EQ(obstacle_of(file_link), Obstacle::link);
    EXPECT_EQ(obstacle_of(plain), Obstacle::none);
    EXPECT_EQ(obstacle_of(FileObservation{}), Obstacle::none);
    for (const FileObservation& seen : {folder, folder_link, file_link}) {
        RepairDecision first = decide_repair(seen, false);
        EXPECT_TRUE(first.repair && first.log && first.write);
    }
    EXPECT_STREQ(repair_action_text(folder, true), L"replaced by a folder or link; restored from the service's copy");
    EXPECT_STREQ(repair_action_text(file_link, false), L"replaced by a folder or link; could not be restored");

    wchar_t aside[tamper_path_cch] = L"untouched";
    ASSERT_TRUE(aside_path_of(L"C:\\S\\SentrelSvc.json", 2, aside, tamper_path_cch));
    EXPECT_STREQ(aside, L"C:\\S\\SentrelSvc.json.tampered.2");
    wchar_t small[8] = L"small";
    EXPECT_FALSE(aside_path_of(L"C:\\S\\SentrelSvc.json", 2, small, 8));
    EXPECT_STREQ(small, L"small");
}

// --- which files, from which executable ---

TEST(TamperPaths, FiveFilesBesideTheServiceExecutableFromItsBinaryPath) {
    wchar_t exe[tamper_path_cch];
    ASSERT_TRUE(image_of_binary_path(L"\"C:\\Program Files\\Sentrel\\SentrelSvc.exe\" --ignored", exe, tamper_path_cch));
    EXPECT_STREQ(exe, L"C:\\Program Files\\Sentrel\\SentrelSvc.exe");
    ASSERT_TRUE(image_of_binary_path(L"C:\\S\\svc.exe", exe, tamper_path_cch));
    EXPECT_STREQ(exe, L"C:\\S\\svc.exe");
    for (const wchar_t* bad : {L"", L"\"", L"\"\"", L"\"C:\\unterminated.exe"}) {
        wchar_t untouched[tamper_path_cch] = L"x";
        EXPECT_FALSE(image_of_binary_path(bad, untouched, tamper_path_cch)) << bad;
        EXPECT_STREQ(untouched, L"x");
    }

    wchar_t paths[protected_file_count][tamper_path_cch];
    ASSERT_TRUE(protected_files_of(L"C:\\Program Files\\Sentrel\\SentrelSvc.exe", paths));
    EXPECT_STREQ(paths[0], L"C:\\Program Files\\Sentrel\\SentrelSvc.json");
    EXPECT_STREQ(paths[1], L"C:\\Program Files\\Sentrel\\SentrelSvc.policy.json");
    EXPECT_STREQ(paths[2], L"C:\\Program Files\\Sentrel\\SentrelSvc.exe");
    EXPECT_STREQ(paths[3], L"C:\\Program Files\\Sentrel\\SentrelUI.exe");
    EXPECT_STREQ(paths[4], L"C:\\Program Files\\Sentrel\\runguard.exe");
    EXPECT_FALSE(protected_files_of(L"SentrelSvc.exe", paths));  // no folder
    // A folder that leaves no room for the longest name is refused, not cut.
    std::wstring deep = L"C:\\" + std::wstring(tamper_path_cch - 20, L'd') + L"\\S.exe";
    EXPECT_FALSE(protected_files_of(deep.c_str(), paths));
}

// --- the module on real files ---

TEST(TamperFiles, MissingFileLeavesItsSlotToTheNextAndANinthIsRefused) {
    TempFolder folder;
    ASSERT_TRUE(tamper_init(nullptr));
    EXPECT_FALSE(protect_file(folder.file(L"missing.json").c_str()));
    ASSERT_TRUE(write_file_bytes(folder.file(L"empty.json"), ""));
    EXPECT_FALSE(protect_file(folder.file(L"empty.json").c_str()));
    for (int i = 0; i < tamper_max_files; ++i) {
        std::wstring path = folder.file((L"f" + std::to_wstring(i) + L".bin").c_str());
        ASSERT_TRUE(write_file_bytes(path, "content " + std::to_string(i)));
        EXPECT_TRUE(protect_file(path.c_str())) << i;
    }
    ASSERT_TRUE(write_file_bytes(folder.file(L"ninth.bin"), "nine"));
    EXPECT_FALSE(protect_file(folder.file(L"ninth.bin").c_str()));
    tamper_stop();
}

TEST(TamperFiles, DeletedFileComesBackLoggedOnceAndStopEndsTheWaitingWatcher) {
    TempFolder folder;
    Settings settings = {};
    text_copy(settings.log_file, folder.file(L"audit.log").c_str());
    std::wstring path = folder.file(L"SentrelSvc.policy.json");
    ASSERT_TRUE(write_file_bytes(path, "{ \"rules\": [] }"));
    ASSERT_TRUE(tamper_init(&settings));
    ASSERT_TRUE(protect_file(path.c_str()));  // returns once the folder is watched

    auto repaired = [&] {
        for (int i = 0; i < 200 && read_file_bytes(path) != "{ \"rules\": [] }"; ++i) Sleep(50);
        return read_file_bytes(path) == "{ \"rules\": [] }";
    };
    // Deleted as a tool would delete it while the watcher may be reading it: a plain DeleteFileW
    // would leave the name (and its old content) visible until the watcher closes its handle, and
    // the wait below would take that for the repair. Renamed first, the name is gone at once.
    auto remove = [&] {
        std::wstring gone = path + L".gone";
        return MoveFileExW(path.c_str(), gone.c_str(), 0) && DeleteFileW(gone.c_str());
    };
    ASSERT_TRUE(remove());
    ASSERT_TRUE(repaired()) << "the deleted file was not written back within 10 s";
    // A second tampering is handled after the echoes of the first repair (one queue, in order), so
    // two lines then show that the repair itself was not taken for tampering.
    ASSERT_TRUE(remove());
    ASSERT_TRUE(repaired()) << "the file deleted again was not written back within 10 s";
    std::string log = read_file_bytes(folder.file(L"audit.log"));
    size_t first = log.find("Detect unauthorized change/delete on: ");
    ASSERT_NE(first, std::string::npos) << log;
    size_t second = log.find("Detect unauthorized change/delete on: ", first + 1);
    EXPECT_NE(second, std::string::npos) << log;
    EXPECT_EQ(log.find("Detect unauthorized", second + 1), std::string::npos) << log;

    // The waiting watcher ends on the stop event, long before the 2000 ms bound of a stuck one.
    DWORD start = GetTickCount();
    tamper_stop();
    EXPECT_LT(GetTickCount() - start, 2000u);
}

TEST(TamperFiles, AttributesOfAFileThatCannotBeWrittenAreRepairedAndEveryChangeLogged) {
    // As the running service's image: open elsewhere without write sharing (on Windows a mapped
    // image refuses writing the same way), so the watcher's write-back cannot happen.
    TempFolder folder;
    Settings settings = {};
    text_copy(settings.log_file, folder.file(L"audit.log").c_str());
    std::wstring path = folder.file(L"SentrelSvc.exe");
    ASSERT_TRUE(write_file_bytes(path, "MZ image"));
    OwnedHandle image(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(image);
    ASSERT_TRUE(tamper_init(&settings));
    ASSERT_TRUE(protect_file(path.c_str()));
    auto lines = [&] {
        std::string log = read_file_bytes(folder.file(L"audit.log"));
        int n = 0;
        for (size_t at = log.find("Detect unauthorized"); at != std::string::npos; at = log.find("Detect unauthorized", at + 1))
            ++n;
        return n;
    };
    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
        bool plain = false;
        for (int i = 0; i < 200 && !plain; ++i) {
            plain = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES &&
                    !(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY);
            if (!plain) Sleep(50);
        }
        ASSERT_TRUE(plain) << "round " << round << ": still read-only after 10 s";
        // The line is written before the attributes are put back: one per change, the second
        // not silenced as the retry of a write-back that failed.
        EXPECT_EQ(lines(), round);
    }
    tamper_stop();
    EXPECT_EQ(read_file_bytes(path), "MZ image");
}

TEST(TamperFiles, FolderPutInAProtectedFilesPlaceGivesWayToTheFileOnce) {
    TempFolder folder;
    Settings settings = {};
    text_copy(settings.log_file, folder.file(L"audit.log").c_str());
    std::wstring path = folder.file(L"SentrelSvc.json");
    ASSERT_TRUE(write_file_bytes(path, "{ \"api_key\": \"k\" }"));
    ASSERT_TRUE(tamper_init(&settings));
    ASSERT_TRUE(protect_file(path.c_str()));
    auto repaired = [&] {
        for (int i = 0; i < 200; ++i) {
            DWORD attributes = GetFileAttributesW(path.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                read_file_bytes(path) == "{ \"api_key\": \"k\" }")
                return true;
            Sleep(50);
        }
        return false;
    };
    // The file renamed away, then the folder put under its name. When the watcher has written the
    // file back in between, the folder finds the name taken and the two steps are done again:
    // every rename away is one tampering, logged once, whatever the watcher found.
    int renamed = 0;
    auto put_folder = [&](const std::function<bool()>& make) {
        for (int attempt = 0; attempt < 50; ++attempt) {
            if (!repaired()) return false;
            std::wstring gone = path + L".gone" + std::to_wstring(renamed);
            if (!MoveFileExW(path.c_str(), gone.c_str(), 0)) return false;
            ++renamed;
            if (make()) return true;
        }
        return false;
    };
    // An empty folder is removed; one with content is moved aside whole, its content kept.
    ASSERT_TRUE(put_folder([&] { return CreateDirectoryW(path.c_str(), nullptr) != FALSE; }));
    ASSERT_TRUE(repaired()) << "the empty folder still stands in the file's place after 10 s";
    std::wstring filled = folder.file(L"filled");
    ASSERT_TRUE(CreateDirectoryW(filled.c_str(), nullptr));
    ASSERT_TRUE(write_file_bytes(filled + L"\\kept.txt", "kept"));
    ASSERT_TRUE(put_folder([&] { return MoveFileExW(filled.c_str(), path.c_str(), 0) != FALSE; }));
    ASSERT_TRUE(repaired()) << "the folder with content still stands in the file's place after 10 s";
    EXPECT_EQ(read_file_bytes(path + L".tampered.1\\kept.txt"), "kept");
    // Every repair's own changes (the folder removed or moved aside, the file written) were echoes.
    tamper_stop();
    std::string log = read_file_bytes(folder.file(L"audit.log"));
    int lines = 0;
    for (size_t at = log.find("Detect unauthorized"); at != std::string::npos; at = log.find("Detect unauthorized", at + 1))
        ++lines;
    EXPECT_EQ(lines, renamed) << log;
}

// Windows stores the DACL as given; Wine 8 maps it onto the file's Unix mode and reads back a
// DACL made from that (Everyone's entry follows the "other" bits). On both, a protected file may
// be read and run by everyone and written by no one but LocalSystem, and a released one has what
// its folder gives a file that was never protected (here and in Program Files: no write for
// Everyone).
TEST(TamperFiles, ProtectedFileRunsForEveryoneAndReleasedFileHasItsFoldersDacl) {
    TempFolder folder;
    std::wstring path = folder.file(L"runguard.exe");
    std::wstring sibling = folder.file(L"never_protected.exe");
    ASSERT_TRUE(write_file_bytes(path, "MZ"));
    ASSERT_TRUE(write_file_bytes(sibling, "MZ"));
    ASSERT_TRUE(tamper_init(nullptr));
    ASSERT_TRUE(protect_file(path.c_str()));
    tamper_stop();
    const DWORD writing = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC;
    wchar_t sddl[tamper_sddl_cch] = {};
    ASSERT_TRUE(read_file_dacl(path.c_str(), sddl, tamper_sddl_cch));
    EXPECT_EQ(Dacl(sddl).mask_for(L"WD") & writing, 0u) << sddl;
    EXPECT_EQ(Dacl(sddl).mask_for(L"WD") & (FILE_READ_DATA | FILE_EXECUTE), static_cast<DWORD>(FILE_READ_DATA | FILE_EXECUTE))
        << sddl;

    EXPECT_EQ(release_file(path.c_str()), static_cast<DWORD>(ERROR_SUCCESS));
    wchar_t as_never_protected[tamper_sddl_cch] = {};
    ASSERT_TRUE(read_file_dacl(path.c_str(), sddl, tamper_sddl_cch));
    ASSERT_TRUE(read_file_dacl(sibling.c_str(), as_never_protected, tamper_sddl_cch));
    EXPECT_STREQ(sddl, as_never_protected);
    EXPECT_EQ(Dacl(sddl).mask_for(L"WD") & writing, 0u) << sddl;
    EXPECT_EQ(release_file(folder.file(L"missing.json").c_str()), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}
