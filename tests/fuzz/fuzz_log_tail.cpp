// The audit page's log tail. Each input is the last window of a log file (its first byte says
// whether the window starts at the file's start, and picks the view's capacity). Properties: the
// view is terminated inside its buffer and nothing is written past it; it holds at most 50 line
// ends; it is well-formed UTF-16 (malformed UTF-8 shows as U+FFFD, a character is never split);
// and the newest line, when it fits, closes the view.
#include "fuzz_support.h"

#include "ui/log_tail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    bool from_file_start = data[0] & 1;
    size_t cch_out = (data[0] & 2) ? log_view_cch : size_t(data[0] >> 2) * 16 + 1;
    ++data;
    --size;
    size_t cb = size < log_tail_window_cb ? size : log_tail_window_cb;
    char* window = static_cast<char*>(malloc(cb ? cb : 1));
    memcpy(window, data, cb);
    wchar_t* out = static_cast<wchar_t*>(malloc(cch_out * sizeof(wchar_t)));
    collect_log_tail(window, cb, from_file_start, out, cch_out);
    FUZZ_CHECK(terminated_within(out, cch_out));
    size_t n = text_length(out, cch_out), line_ends = 0;
    for (size_t i = 0; i < n; ++i) {
        uint16_t u = static_cast<uint16_t>(out[i]);
        if (u == L'\n' && i > 0 && out[i - 1] == L'\r') ++line_ends;
        if (u >= 0xD800 && u <= 0xDBFF) {
            FUZZ_CHECK(i + 1 < n && out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF);
            ++i;
        } else {
            FUZZ_CHECK(!(u >= 0xDC00 && u <= 0xDFFF));
        }
    }
    FUZZ_CHECK(line_ends <= log_tail_pieces);
    // The newest line: plain ASCII without carriage returns, short enough for one piece and the view.
    size_t start = cb;
    while (start > 0 && window[start - 1] != '\n') --start;
    size_t last = cb - start;
    bool plain = last > 0 && last < log_piece_cch && last + 1 < cch_out && start > 0;
    for (size_t i = start; plain && i < cb; ++i) plain = window[i] > 0 && window[i] != '\r';
    if (plain) {
        FUZZ_CHECK(n >= last);
        for (size_t i = 0; i < last; ++i) FUZZ_CHECK(out[n - last + i] == static_cast<wchar_t>(window[start + i]));
    }
    free(out);
    free(window);
    return 0;
}
