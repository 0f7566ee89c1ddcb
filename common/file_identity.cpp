#include "common/file_identity.h"

#include <string.h>

#include "common/policy.h"
#include "common/text.h"

namespace {

int hex_value(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

bool same_key(const FileVersionKey& a, const FileVersionKey& b) {
    return a.volume_serial == b.volume_serial && a.file_index == b.file_index && a.last_write == b.last_write &&
           a.size == b.size;
}

}  // namespace

bool sha256_from_hex(const wchar_t* hex, uint8_t* out) {
    if (!hex) return false;
    uint8_t bytes[sha256_cb];
    for (size_t i = 0; i < sha256_cb; ++i) {
        int high = hex_value(hex[2 * i]);
        int low = high < 0 ? -1 : hex_value(hex[2 * i + 1]);
        if (low < 0) return false;
        bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
    if (hex[2 * sha256_cb] != L'\0') return false;
    memcpy(out, bytes, sha256_cb);
    return true;
}

bool sha256_to_hex(const uint8_t* sha256, wchar_t* out, size_t cch_out) {
    if (cch_out < 2 * sha256_cb + 1) return false;
    const wchar_t* digits = L"0123456789abcdef";
    for (size_t i = 0; i < sha256_cb; ++i) {
        out[2 * i] = digits[sha256[i] >> 4];
        out[2 * i + 1] = digits[sha256[i] & 15];
    }
    out[2 * sha256_cb] = L'\0';
    return true;
}

IdentityMatch identity_matches(const Rule* rule, const FileIdentity* identity, bool read) {
    bool wants_name = rule->match_original_name[0] != L'\0';
    bool wants_hash = rule->match_sha256[0] != L'\0';
    if (!wants_name && !wants_hash) return IdentityMatch::yes;
    if (!read) return IdentityMatch::unreadable;
    if (wants_name) {
        if (!identity->have_original_name) return IdentityMatch::no;
        if (!text_equal_nocase(rule->match_original_name, identity->original_name)) return IdentityMatch::no;
    }
    if (wants_hash) {
        uint8_t expected[sha256_cb];
        if (!sha256_from_hex(rule->match_sha256, expected)) return IdentityMatch::no;  // never a wildcard
        if (!identity->have_sha256) return IdentityMatch::unreadable;
        if (memcmp(expected, identity->sha256, sha256_cb) != 0) return IdentityMatch::no;
    }
    return IdentityMatch::yes;
}

void identity_cache_clear(IdentityCache* cache) {
    cache->count = 0;
    cache->clock = 0;
}

bool identity_cache_find(IdentityCache* cache, const FileVersionKey* key, bool want_hash, FileIdentity* out) {
    for (uint32_t i = 0; i < cache->count; ++i) {
        IdentityCacheEntry& entry = cache->entries[i];
        if (!same_key(entry.key, *key)) continue;
        if (want_hash && !entry.identity.have_sha256) return false;
        entry.last_used = ++cache->clock;
        *out = entry.identity;
        return true;
    }
    return false;
}

void identity_cache_put(IdentityCache* cache, const FileVersionKey* key, const FileIdentity* identity) {
    uint32_t slot = cache->count;
    for (uint32_t i = 0; i < cache->count; ++i) {
        if (same_key(cache->entries[i].key, *key)) {
            slot = i;
            break;
        }
    }
    if (slot == cache->count) {
        if (cache->count < identity_cache_capacity) {
            ++cache->count;
        } else {
            slot = 0;
            for (uint32_t i = 1; i < cache->count; ++i) {
                if (cache->entries[i].last_used < cache->entries[slot].last_used) slot = i;
            }
        }
    }
    cache->entries[slot].key = *key;
    cache->entries[slot].identity = *identity;
    cache->entries[slot].last_used = ++cache->clock;
}
