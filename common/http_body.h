// The time budget and the completeness judgement of an answer's body. WinHTTP's receive timeout
// bounds each wait for data, not the whole body: a server that sends one byte every few seconds
// would hold a call for hours. The body therefore gets one budget for all of its reads, and an
// answer that stops short (its time ran out, a read failed, or the connection closed before the
// length it announced) is no answer at all: the exchange fails rather than hand half a body on.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Milliseconds left of a budget of budget_ms started at start_ms, at now_ms (GetTickCount64
// values); 0 when it is spent (or the clock reads earlier than the start).
uint32_t http_time_left_ms(uint64_t start_ms, uint64_t now_ms, uint32_t budget_ms);

// How the reading of a body stopped.
struct HttpBodyRead {
    size_t cb_filled;          // bytes read
    size_t cb_cap;             // bytes the caller ever reads (more are left unread by design)
    bool ended;                // the platform reported the end of the body (no more data)
    bool length_known;         // the answer carried a Content-Length
    uint64_t content_length;   // its value (read only when length_known)
};
// True when the body counts as whole: the cap was reached (the rest is never read), or the end
// was reported and no announced length was left short.
bool http_body_whole(const HttpBodyRead* read);
