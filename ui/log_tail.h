// The audit page's view of the log: the newest lines, collected from the end of the file, so a
// log of any size opens at once. Only the last window of bytes is read (log_tail_window_cb); the
// view gets its last 50 pieces of at most 255 units each (a longer line gives several pieces,
// only the last carrying the line end), oldest first, newest at the bottom, within 12,800 units.
#pragma once
#include <stddef.h>
#include <stdint.h>

constexpr size_t log_tail_pieces = 50;
constexpr size_t log_piece_cch = 255;
constexpr size_t log_view_cch = 12800;
// 50 pieces of 255 units take at most 50 x 765 bytes of UTF-8 plus line ends.
constexpr size_t log_tail_window_cb = 65536;

// bytes: the last cb bytes of the log; from_file_start: they are the whole file (a byte-order mark
// is skipped). Otherwise the window's first, cut line is left out unless it is the only line.
// Malformed UTF-8 shows as U+FFFD. Lines end with "\r\n" in out whatever they ended with on disk
// (the runtime's text mode writes "\r\r\n"). out is always terminated.
void collect_log_tail(const char* bytes, size_t cb, bool from_file_start, wchar_t* out, size_t cch_out);

// One UTF-8 sequence at p (before end): the code point, U+FFFD for a malformed or cut sequence;
// returns the bytes taken (at least 1).
size_t utf8_next(const unsigned char* p, const unsigned char* end, uint32_t* code_point);
