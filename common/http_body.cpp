#include "common/http_body.h"

uint32_t http_time_left_ms(uint64_t start_ms, uint64_t now_ms, uint32_t budget_ms) {
    if (now_ms < start_ms) return 0;
    uint64_t spent = now_ms - start_ms;
    return spent >= budget_ms ? 0 : static_cast<uint32_t>(budget_ms - spent);
}

bool http_body_whole(const HttpBodyRead* read) {
    if (!read) return false;
    if (read->cb_filled >= read->cb_cap) return true;
    if (!read->ended) return false;
    return !read->length_known || read->content_length <= read->cb_filled;
}
