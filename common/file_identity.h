// What an executable file is, apart from the name it has: the OriginalFilename of its version
// resource (a renamed copy keeps it) and the SHA-256 of its content (any copy has it, any other
// file has not). Rules may name programs by either (match_original_name, match_sha256).
//
// Reading an identity costs a file open, a version-resource read and, for the hash, a read of the
// whole file; the watcher may ask for it for every new process. So identities are cached by what
// makes a file version: its volume serial number, file index, last-write time and size. A file
// changed in place gets a new last-write time and is read again; a different file under the same
// name has another index. The cache holds a bounded number of files and forgets the least
// recently used.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct Rule;

constexpr size_t original_name_cch = 260;
constexpr size_t sha256_cb = 32;
constexpr size_t identity_cache_capacity = 256;
// A file larger than this is not hashed (its hash is unreadable; see identity_matches).
constexpr uint64_t identity_max_hash_cb = 1ull << 30;

struct FileIdentity {
    bool have_original_name;  // a version resource with a non-empty OriginalFilename that fits
    wchar_t original_name[original_name_cch];
    bool have_sha256;
    uint8_t sha256[sha256_cb];
};

// --- pure functions ---

// 64 hexadecimal digits (either case) into bytes; false (out untouched) for anything else.
bool sha256_from_hex(const wchar_t* hex, uint8_t* out);
// Lower-case hexadecimal; false when cch_out < 65.
bool sha256_to_hex(const uint8_t* sha256, wchar_t* out, size_t cch_out);

enum class IdentityMatch { yes, no, unreadable };
// Whether the identity conditions the rule sets hold for the file: yes when it sets none.
// unreadable when a condition needs a part the identity does not have and the file could not be
// read for (read false): nobody can tell, and callers refuse rather than let it pass. A file read
// fine without a version resource simply does not match an OriginalFilename condition.
IdentityMatch identity_matches(const Rule* rule, const FileIdentity* identity, bool read);

// The version of a file the cache knows it by.
struct FileVersionKey {
    uint32_t volume_serial;
    uint64_t file_index;
    uint64_t last_write;  // FILETIME units
    uint64_t size;
};

struct IdentityCacheEntry {
    FileVersionKey key;
    uint64_t last_used;
    FileIdentity identity;
};

struct IdentityCache {
    IdentityCacheEntry entries[identity_cache_capacity];  // [0, count) in use
    uint32_t count;
    uint64_t clock;
};

void identity_cache_clear(IdentityCache* cache);
// The cached identity of that file version; false when there is none, or want_hash and the
// cached one has no hash yet.
bool identity_cache_find(IdentityCache* cache, const FileVersionKey* key, bool want_hash, FileIdentity* out);
// Stores (or replaces) the identity of that version; a full cache forgets its least recently used.
void identity_cache_put(IdentityCache* cache, const FileVersionKey* key, const FileIdentity* identity);

// --- Win32 (file_identity_win.cpp) ---

// The OriginalFilename of a file's version resource: the first translation listed, else
// 040904B0. False (out untouched) without a version resource, without the value, with an empty
// one, or one that does not fit.
bool file_original_name(const wchar_t* path, wchar_t* out, size_t cch_out);
// SHA-256 of the whole file read from the handle (BCrypt, in pieces). False when a read fails or
// the file is larger than identity_max_hash_cb.
bool file_sha256(void* file, uint8_t* out);
// The identity of the file at path, read as the calling thread (callers impersonate whoever the
// file is read for), through the process-wide cache. The file is opened denying writers, so it
// cannot change while hashed. False (out untouched) when the file cannot be opened or its
// version cannot be told; out->have_sha256 false when want_hash and the hash could not be made.
bool read_file_identity(const wchar_t* path, bool want_hash, FileIdentity* out);
