#include "ui/log_tail.h"

namespace {

using byte = unsigned char;

struct Line {
    const byte* begin;  // content, without the line end
    const byte* end;
    bool has_end;       // ended by a line feed
    const byte* next;   // where the next line starts
};

size_t units_of(const Line& line) {
    size_t units = 0;
    for (const byte* p = line.begin; p < line.end;) {
        uint32_t cp;
        p += utf8_next(p, line.end, &cp);
        units += cp >= 0x10000 ? 2 : 1;
    }
    return units;
}

size_t pieces_of(size_t units, bool has_end) {
    if (units == 0) return has_end ? 1 : 0;
    return (units + log_piece_cch - 1) / log_piece_cch;
}

// The line that ends just before limit (limit is a line start or the window's end).
Line line_before(const byte* start, const byte* limit) {
    Line line = {start, limit, false, limit};
    const byte* p = limit;
    if (p > start && p[-1] == '\n') {
        line.has_end = true;
        --p;
    }
    const byte* content_end = p;
    while (p > start && p[-1] != '\n') --p;
    line.begin = p;
    while (content_end > line.begin && content_end[-1] == '\r') --content_end;
    line.end = content_end;
    return line;
}

// The line that starts at p.
Line line_from(const byte* p, const byte* window_end) {
    Line line = {p, p, false, window_end};
    const byte* feed = p;
    while (feed < window_end && *feed != '\n') ++feed;
    line.has_end = feed < window_end;
    line.next = line.has_end ? feed + 1 : window_end;
    const byte* content_end = feed;
    while (content_end > p && content_end[-1] == '\r') --content_end;
    line.end = content_end;
    return line;
}

void put(wchar_t* out, size_t cch_out, size_t* used, wchar_t unit) {
    if (*used + 1 < cch_out) out[(*used)++] = unit;
}

}  // namespace

size_t utf8_next(const byte* p, const byte* end, uint32_t* code_point) {
    *code_point = 0xFFFD;
    byte lead = *p;
    if (lead < 0x80) {
        *code_point = lead;
        return 1;
    }
    size_t length;
    uint32_t value, minimum;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2, value = lead & 0x1F, minimum = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, value = lead & 0x0F, minimum = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, value = lead & 0x07, minimum = 0x10000;
    else return 1;
    if (static_cast<size_t>(end - p) < length) return 1;
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 1;
        value = (value << 6) | (p[i] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 1;
    *code_point = value;
    return length;
}

void collect_log_tail(const char* raw, size_t cb, bool from_file_start, wchar_t* out, size_t cch_out) {
    if (!out || cch_out == 0) return;
    out[0] = 0;
    if (!raw) return;
    const byte* start = reinterpret_cast<const byte*>(raw);
    const byte* end = start + cb;
    if (from_file_start && cb >= 3 && start[0] == 0xEF && start[1] == 0xBB && start[2] == 0xBF) start += 3;
    if (!from_file_start) {
        // The window's first line is cut at its front: leave it out when a whole line follows it,
        // else (one line longer than the window) start at the first whole character.
        const byte* feed = start;
        while (feed < end && *feed != '\n') ++feed;
        if (feed + 1 < end) start = feed + 1;
        else while (start < end && (*start & 0xC0) == 0x80) ++start;
    }

    // From the newest line backwards: how many pieces fit the count and the view's capacity.
    size_t budget = cch_out - 1, used_units = 0, pieces = 0;
    const byte* first_line_start = end;  // the oldest line taken
    size_t skip_units = 0;                // units of that line left out at its front
    for (const byte* limit = end; limit > start && pieces < log_tail_pieces;) {
        Line line = line_before(start, limit);
        size_t units = units_of(line);
        size_t count = pieces_of(units, line.has_end);
        size_t taken = 0, taken_units = 0;
        // Pieces from the line's back: the last one holds the remainder and the line end.
        for (size_t k = 0; k < count && pieces < log_tail_pieces; ++k) {
            size_t piece = (k == 0) ? units - (count - 1) * log_piece_cch : log_piece_cch;
            if (k == 0 && line.has_end) piece += 2;
            if (used_units + piece > budget) break;
            used_units += piece;
            taken_units += (k == 0 && line.has_end) ? piece - 2 : piece;
            ++taken;
            ++pieces;
        }
        if (taken > 0) {
            first_line_start = line.begin;
            skip_units = units - taken_units;
        }
        if (taken < count) break;
        limit = line.begin;
    }

    // Forwards from the oldest piece taken.
    size_t used = 0;
    for (const byte* p = first_line_start; p < end;) {
        Line line = line_from(p, end);
        size_t unit_index = 0;
        for (const byte* q = line.begin; q < line.end;) {
            uint32_t cp;
            q += utf8_next(q, line.end, &cp);
            if (cp == 0) cp = 0xFFFD;  // a zero byte (a log cut by a crash) must not end the view
            wchar_t units[2] = {static_cast<wchar_t>(cp), 0};
            size_t n = 1;
            if (cp >= 0x10000) {
                units[0] = static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
                units[1] = static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
                n = 2;
            }
            // A pair whose first half is left out at the front is left out whole.
            for (size_t i = 0; i < n; ++i, ++unit_index) {
                bool half_left_out = i == 1 && unit_index == skip_units;
                if (unit_index >= skip_units && !half_left_out) put(out, cch_out, &used, units[i]);
            }
        }
        if (line.has_end) {
            put(out, cch_out, &used, L'\r');
            put(out, cch_out, &used, L'\n');
        }
        skip_units = 0;
        p = line.next;
    }
    out[used] = 0;
}
