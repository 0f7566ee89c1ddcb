#include "common/process_identity.h"

#include <string.h>

bool same_account(const AccountSid* a, const AccountSid* b) {
    if (!a || !b || a->cb == 0 || a->cb != b->cb || a->cb > account_sid_max_cb) return false;
    return memcmp(a->sid, b->sid, a->cb) == 0;
}

bool is_service_account(const AccountSid* a) {
    // S-1-5-18, S-1-5-19, S-1-5-20: revision 1, one sub-authority, authority 5 (NT), then 18..20.
    if (!a || a->cb != 12) return false;
    static const uint8_t nt_prefix[8] = {1, 1, 0, 0, 0, 0, 0, 5};
    if (memcmp(a->sid, nt_prefix, 8) != 0) return false;
    uint32_t rid = a->sid[8] | (a->sid[9] << 8) | (a->sid[10] << 16) | (static_cast<uint32_t>(a->sid[11]) << 24);
    return rid == 18 || rid == 19 || rid == 20;
}
