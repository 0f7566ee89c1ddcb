// Reading a file's identity: the version resource with GetFileVersionInfoW/VerQueryValueW, the
// hash with the platform's BCrypt SHA-256 over 64 KB pieces, and the process-wide cache.
#include "common/file_identity.h"

#include <windows.h>
#include <bcrypt.h>

#include "common/handle.h"
#include "common/text.h"

namespace {

constexpr DWORD hash_piece_cb = 64 * 1024;
constexpr DWORD version_info_max_cb = 1024 * 1024;  // larger version resources are not read

struct AlgorithmTraits {
    using value_type = BCRYPT_ALG_HANDLE;
    static value_type empty() { return nullptr; }
    static bool valid(value_type v) { return v != nullptr; }
    static void close(value_type v) { BCryptCloseAlgorithmProvider(v, 0); }
};
struct HashTraits {
    using value_type = BCRYPT_HASH_HANDLE;
    static value_type empty() { return nullptr; }
    static bool valid(value_type v) { return v != nullptr; }
    static void close(value_type v) { BCryptDestroyHash(v); }
};

// The cache is shared by the watcher and the pipe handlers.
IdentityCache g_cache;
SRWLOCK g_cache_lock = SRWLOCK_INIT;

// The value of "\StringFileInfo\<translation>\OriginalFilename" in a version block.
bool original_name_in(const void* block, const wchar_t* translation, wchar_t* out, size_t cch_out) {
    wchar_t query[64];
    if (text_format(query, 64, L"\\StringFileInfo\\%s\\OriginalFilename", translation) != text_ok) return false;
    wchar_t* value = nullptr;
    UINT cch = 0;
    if (!VerQueryValueW(block, query, reinterpret_cast<void**>(&value), &cch) || !value || cch == 0) return false;
    size_t length = text_length(value, cch);  // cch may count the terminator
    if (length == 0 || length >= cch_out) return false;
    text_copy_n(out, cch_out, value, length);
    return true;
}

bool key_of(HANDLE file, FileVersionKey* out) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return false;
    out->volume_serial = info.dwVolumeSerialNumber;
    out->file_index = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    out->last_write = (uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
    out->size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

}  // namespace

bool file_original_name(const wchar_t* path, wchar_t* out, size_t cch_out) {
    DWORD ignored = 0;
    DWORD cb = GetFileVersionInfoSizeW(path, &ignored);
    if (cb == 0 || cb > version_info_max_cb) return false;
    void* block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cb);
    if (!block) return false;
    bool found = false;
    if (GetFileVersionInfoW(path, 0, cb, block)) {
        struct Translation {
            WORD language, code_page;
        };
        Translation* translations = nullptr;
        UINT cb_translations = 0;
        wchar_t first[16];
        if (VerQueryValueW(block, L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                           &cb_translations) &&
            translations && cb_translations >= sizeof(Translation) &&
            text_format(first, 16, L"%04x%04x", unsigned(translations[0].language),
                        unsigned(translations[0].code_page)) == text_ok) {
            found = original_name_in(block, first, out, cch_out);
        }
        if (!found) found = original_name_in(block, L"040904B0", out, cch_out);
    }
    HeapFree(GetProcessHeap(), 0, block);
    return found;
}

bool file_sha256(void* file, uint8_t* out) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || uint64_t(size.QuadPart) > identity_max_hash_cb) return false;
    Owned<AlgorithmTraits> algorithm;
    if (BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return false;
    Owned<HashTraits> hash;
    if (BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0) != 0) return false;
    uint8_t* piece = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, hash_piece_cb));
    if (!piece) return false;
    LARGE_INTEGER start = {};
    bool ok = SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != FALSE;
    uint64_t total = 0;
    while (ok) {
        DWORD cb = 0;
        if (!ReadFile(file, piece, hash_piece_cb, &cb, nullptr)) ok = false;
        if (!ok || cb == 0) break;
        total += cb;
        if (total > identity_max_hash_cb || BCryptHashData(hash.get(), piece, cb, 0) != 0) ok = false;
    }
    HeapFree(GetProcessHeap(), 0, piece);
    uint8_t digest[sha256_cb];
    if (!ok || BCryptFinishHash(hash.get(), digest, sha256_cb, 0) != 0) return false;
    memcpy(out, digest, sha256_cb);
    return true;
}

bool read_file_identity(const wchar_t* path, bool want_hash, FileIdentity* out) {
    // Readers may share the file; nobody may write it while it is read.
    OwnedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    FileVersionKey key;
    if (!key_of(file.get(), &key)) return false;

    FileIdentity identity;
    AcquireSRWLockExclusive(&g_cache_lock);
    bool cached = identity_cache_find(&g_cache, &key, want_hash, &identity);
    ReleaseSRWLockExclusive(&g_cache_lock);
    if (cached) {
        *out = identity;
        return true;
    }
    // Computed outside the lock: a hash of a large file must not hold up the other readers.
    identity = FileIdentity{};
    identity.have_original_name = file_original_name(path, identity.original_name, original_name_cch);
    identity.have_sha256 = want_hash && file_sha256(file.get(), identity.sha256);
    // Cached only when complete for what was asked: a hash that failed is tried again next time.
    if (!want_hash || identity.have_sha256) {
        AcquireSRWLockExclusive(&g_cache_lock);
        identity_cache_put(&g_cache, &key, &identity);
        ReleaseSRWLockExclusive(&g_cache_lock);
    }
    *out = identity;
    return true;
}
