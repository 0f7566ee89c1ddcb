#include "common/file_identity.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "common/handle.h"
#include "common/policy.h"
#include "common/settings.h"
#include "common/text.h"
#include "tests/support/test_files.h"

namespace {

std::wstring hex_of(const uint8_t* sha) {
    wchar_t text[65];
    if (!sha256_to_hex(sha, text, 65)) return L"<refused>";
    return text;
}

// The SHA-256 of a file with these bytes, through the real reader.
std::wstring hash_of_bytes(const TempFolder& folder, const char* name, const std::string& bytes) {
    std::wstring path = folder.file(std::wstring(name, name + strlen(name)).c_str());
    if (!write_file_bytes(path, bytes)) return L"<not written>";
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    uint8_t sha[sha256_cb];
    if (!file || !file_sha256(file.get(), sha)) return L"<unread>";
    return hex_of(sha);
}

Rule identity_rule(const wchar_t* original_name, const wchar_t* sha256) {
    Rule r = {};
    text_copy(r.match_original_name, original_name);
    text_copy(r.match_sha256, sha256);
    return r;
}

FileIdentity identity_of(const wchar_t* original_name, const wchar_t* sha_hex) {
    FileIdentity id = {};
    if (original_name) {
        id.have_original_name = true;
        text_copy(id.original_name, original_name);
    }
    if (sha_hex) id.have_sha256 = sha256_from_hex(sha_hex, id.sha256);
    return id;
}

const wchar_t* const sha_abc = L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

}  // namespace

TEST(FileIdentity, Sha256OfKnownVectorsAcrossPieces) {
    TempFolder folder;
    EXPECT_EQ(hash_of_bytes(folder, "empty", ""), L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hash_of_bytes(folder, "abc", "abc"), sha_abc);
    EXPECT_EQ(hash_of_bytes(folder, "two_blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // One million 'a': sixteen 64 KB pieces and a partial one.
    EXPECT_EQ(hash_of_bytes(folder, "million", std::string(1000000, 'a')),
              L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(FileIdentity, HexParsesEitherCaseAndRefusesAnythingElse) {
    uint8_t sha[sha256_cb] = {};
    ASSERT_TRUE(sha256_from_hex(L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", sha));
    EXPECT_EQ(hex_of(sha), sha_abc);
    uint8_t untouched[sha256_cb] = {7};
    std::wstring good = sha_abc;
    for (const std::wstring& bad : {good.substr(0, 63), good + L"0", good.substr(0, 63) + L"g", std::wstring(L""),
                                    L" " + good.substr(1), good.substr(0, 62) + L"-1"}) {
        EXPECT_FALSE(sha256_from_hex(bad.c_str(), untouched)) << bad.size();
        EXPECT_EQ(untouched[0], 7);
    }
    wchar_t small[64];
    EXPECT_FALSE(sha256_to_hex(sha, small, 64));
}

TEST(FileIdentity, MatchingTable) {
    Rule none = identity_rule(L"", L"");
    Rule by_name = identity_rule(L"regedit.exe", L"");
    Rule by_hash = identity_rule(L"", L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    Rule both = identity_rule(L"regedit.exe", sha_abc);
    Rule malformed = identity_rule(L"", L"ba7816bf");
    FileIdentity regedit = identity_of(L"REGEDIT.EXE", sha_abc);
    FileIdentity other_content = identity_of(L"regedit.exe", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    FileIdentity no_version = identity_of(nullptr, sha_abc);
    FileIdentity no_hash = identity_of(L"regedit.exe", nullptr);
    FileIdentity nothing = {};

    EXPECT_EQ(identity_matches(&none, &nothing, false), IdentityMatch::yes);  // no condition: nothing read
    EXPECT_EQ(identity_matches(&by_name, &regedit, true), IdentityMatch::yes);  // case ignored
    EXPECT_EQ(identity_matches(&by_name, &no_version, true), IdentityMatch::no);
    EXPECT_EQ(identity_matches(&by_name, &nothing, false), IdentityMatch::unreadable);
    EXPECT_EQ(identity_matches(&by_hash, &regedit, true), IdentityMatch::yes);  // upper-case rule, lower-case file
    EXPECT_EQ(identity_matches(&by_hash, &other_content, true), IdentityMatch::no);
    EXPECT_EQ(identity_matches(&by_hash, &no_hash, true), IdentityMatch::unreadable);
    EXPECT_EQ(identity_matches(&both, &regedit, true), IdentityMatch::yes);
    EXPECT_EQ(identity_matches(&both, &other_content, true), IdentityMatch::no);  // every condition must hold
    EXPECT_EQ(identity_matches(&both, &no_version, true), IdentityMatch::no);
    EXPECT_EQ(identity_matches(&malformed, &regedit, true), IdentityMatch::no);  // never a wildcard
    Rule by_other_name = identity_rule(L"regedit.exe.mui", L"");
    EXPECT_EQ(identity_matches(&by_other_name, &regedit, true), IdentityMatch::no);
}

TEST(FileIdentity, CacheKeysOnVolumeIndexWriteTimeAndSize) {
    std::unique_ptr<IdentityCache> cache(new IdentityCache());
    identity_cache_clear(cache.get());
    FileVersionKey key = {0x1234, 77, 1000, 4096};
    FileIdentity named = identity_of(L"a.exe", nullptr);
    FileIdentity out = {};
    EXPECT_FALSE(identity_cache_find(cache.get(), &key, false, &out));
    identity_cache_put(cache.get(), &key, &named);
    ASSERT_TRUE(identity_cache_find(cache.get(), &key, false, &out));
    EXPECT_STREQ(out.original_name, L"a.exe");
    // Asked with the hash, an entry without one is no answer; once stored with it, it is.
    EXPECT_FALSE(identity_cache_find(cache.get(), &key, true, &out));
    FileIdentity hashed = identity_of(L"a.exe", sha_abc);
    identity_cache_put(cache.get(), &key, &hashed);
    EXPECT_EQ(cache->count, 1u);
    EXPECT_TRUE(identity_cache_find(cache.get(), &key, true, &out));
    // Any part of the key changed is another file version.
    for (FileVersionKey other : {FileVersionKey{0x1235, 77, 1000, 4096}, FileVersionKey{0x1234, 78, 1000, 4096},
                                 FileVersionKey{0x1234, 77, 1001, 4096}, FileVersionKey{0x1234, 77, 1000, 4097}}) {
        EXPECT_FALSE(identity_cache_find(cache.get(), &other, false, &out));
    }
}

TEST(FileIdentity, CacheIsBoundedAndForgetsTheLeastRecentlyUsed) {
    std::unique_ptr<IdentityCache> cache(new IdentityCache());
    identity_cache_clear(cache.get());
    FileIdentity id = identity_of(L"x.exe", nullptr);
    for (uint64_t i = 0; i < identity_cache_capacity; ++i) {
        FileVersionKey key = {1, i, 1, 1};
        identity_cache_put(cache.get(), &key, &id);
    }
    FileVersionKey first = {1, 0, 1, 1}, second = {1, 1, 1, 1}, extra = {1, 9999, 1, 1};
    FileIdentity out;
    ASSERT_TRUE(identity_cache_find(cache.get(), &first, false, &out));  // used: now the most recent
    identity_cache_put(cache.get(), &extra, &id);
    EXPECT_EQ(cache->count, identity_cache_capacity);
    EXPECT_TRUE(identity_cache_find(cache.get(), &first, false, &out));
    EXPECT_TRUE(identity_cache_find(cache.get(), &extra, false, &out));
    EXPECT_FALSE(identity_cache_find(cache.get(), &second, false, &out));  // the oldest went
}

TEST(FileIdentity, ReadsVersionResourceAndHashOfRealFiles) {
    TempFolder folder;
    wchar_t built[1024];
    ASSERT_TRUE(path_beside_exe(L"protected_app.exe", built, 1024));
    std::wstring renamed = folder.file(L"notes.exe");
    ASSERT_TRUE(CopyFileW(built, renamed.c_str(), FALSE)) << "protected_app.exe belongs beside the tests";

    FileIdentity original = {}, copy = {};
    ASSERT_TRUE(read_file_identity(built, true, &original));
    ASSERT_TRUE(read_file_identity(renamed.c_str(), true, &copy));
    EXPECT_TRUE(copy.have_original_name);
    EXPECT_STREQ(copy.original_name, L"protected_app.exe");  // the copy's name does not matter
    EXPECT_TRUE(copy.have_sha256);
    EXPECT_EQ(hex_of(copy.sha256), hex_of(original.sha256));

    // A file without a version resource has no OriginalFilename; its hash is still read.
    std::wstring plain = folder.file(L"plain.exe");
    ASSERT_TRUE(write_file_bytes(plain, "abc"));
    FileIdentity data = {};
    ASSERT_TRUE(read_file_identity(plain.c_str(), true, &data));
    EXPECT_FALSE(data.have_original_name);
    EXPECT_EQ(hex_of(data.sha256), sha_abc);
    wchar_t name[16] = L"untouched";
    EXPECT_FALSE(file_original_name(plain.c_str(), name, 16));
    EXPECT_STREQ(name, L"untouched");
    // Rewritten in place, the same file is read again, not answered from the cache.
    ASSERT_TRUE(write_file_bytes(plain, ""));
    FILETIME later = {};
    SYSTEMTIME now;
    GetSystemTime(&now);
    now.wYear = static_cast<WORD>(now.wYear + 1);
    SystemTimeToFileTime(&now, &later);
    {
        OwnedHandle file(CreateFileW(plain.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file.valid());
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &later));
    }
    ASSERT_TRUE(read_file_identity(plain.c_str(), true, &data));
    EXPECT_EQ(hex_of(data.sha256), L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    // A missing file, and one held open for writing by another, cannot be read: out untouched.
    FileIdentity untouched = identity_of(L"keep.exe", nullptr);
    EXPECT_FALSE(read_file_identity(folder.file(L"missing.exe").c_str(), true, &untouched));
    OwnedHandle writer(CreateFileW(plain.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer.valid());
    EXPECT_FALSE(read_file_identity(plain.c_str(), true, &untouched));
    EXPECT_STREQ(untouched.original_name, L"keep.exe");
}
