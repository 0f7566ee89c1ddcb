// Pure parts of the HTTP transport: URL split, object path and header texts, body and answer
// conversion between UTF-16 and UTF-8.
#include "common/http.h"

#include "common/text.h"

namespace {

bool starts_with(const wchar_t* text, const wchar_t* prefix) {
    for (; *prefix; ++text, ++prefix)
        if (*text != *prefix) return false;
    return true;
}

}  // namespace

bool parse_server_url(const wchar_t* server_url, ApiUrl* out) {
    ApiUrl url = {};
    const wchar_t* rest = server_url ? server_url : L"";
    url.port = 8080;
    if (starts_with(rest, L"https://")) {
        rest += 8;
        url.secure = true;
        url.port = 443;
    } else if (starts_with(rest, L"http://")) {
        rest += 7;
    }
    size_t host_len = 0;
    while (rest[host_len] && rest[host_len] != L'/') ++host_len;
    text_copy_n(url.host, 256, rest, host_len);
    if (rest[host_len] == L'/') text_copy(url.base_path, rest + host_len);
    for (wchar_t* c = url.host; *c; ++c) {
        if (*c != L':') continue;
        *c = L'\0';
        uint32_t port = 0;
        for (const wchar_t* d = c + 1; *d >= L'0' && *d <= L'9'; ++d) {
            port = port * 10 + static_cast<uint32_t>(*d - L'0');
            if (port > 65535) return false;  // checked at each digit, so it cannot overflow either
        }
        url.port = static_cast<uint16_t>(port);
        break;
    }
    *out = url;
    return true;
}

void join_object_path(const wchar_t* base_path, const wchar_t* endpoint, wchar_t* out, size_t cch_out) {
    const wchar_t* base = base_path ? base_path : L"";
    const wchar_t* tail = endpoint ? endpoint : L"";
    size_t cch_base = text_length(base, 256);
    if (cch_base > 0 && base[cch_base - 1] == L'/' && tail[0] == L'/') ++tail;
    text_format(out, cch_out, L"%s%s", base, tail);
}

void format_api_headers(const wchar_t* api_key, wchar_t* out, size_t cch_out) {
    text_format(out, cch_out, L"X-API-Key: %s\r\nContent-Type: application/json\r\n", api_key ? api_key : L"");
}

bool body_to_utf8(const wchar_t* body, char* out, size_t cb_out, size_t* cb_body) {
    size_t n = 0;
    bool fits = true;
    for (const wchar_t* p = body ? body : L""; *p; ++p) {
        uint32_t c = static_cast<uint16_t>(*p);
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(p[1]) - 0xDC00);
            ++p;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            *cb_body = 0;  // a lone surrogate has no UTF-8 form
            return false;
        }
        unsigned char bytes[4];
        size_t cb = utf8_encode(c, bytes);
        if (n + cb > cb_out) fits = false;
        for (size_t i = 0; i < cb; ++i, ++n)
            if (fits) out[n] = static_cast<char>(bytes[i]);
    }
    *cb_body = n;
    return fits;
}

size_t utf8_to_text(const char* bytes, size_t cb, wchar_t* out, size_t cch_out) {
    if (!out || cch_out == 0 || cch_out > text_max_cch) return 0;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0, n = 0;
    while (i < cb) {
        uint32_t c = b[i];
        size_t extra = c >= 0xF0 && c <= 0xF4 ? 3 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xC2 && c <= 0xDF ? 1 : 0;
        bool valid = c < 0x80 || extra > 0;
        if (extra > 0) {
            c &= 0x3F >> extra;
            if (i + extra >= cb) break;  // a sequence cut by the end of the bytes read: dropped
            for (size_t k = 1; k <= extra; ++k) {
                if ((b[i + k] & 0xC0) != 0x80) {
                    valid = false;
                    extra = k - 1;  // the bytes read so far form one bad sequence
                    break;
                }
                c = (c << 6) | (b[i + k] & 0x3F);
            }
            if (valid && ((extra == 2 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
                          (extra == 3 && (c < 0x10000 || c > 0x10FFFF))))
                valid = false;
        }
        if (!valid) c = 0xFFFD;
        size_t units = c >= 0x10000 ? 2 : 1;
        if (n + units + 1 > cch_out) break;  // the next character does not fit: cut before it
        if (units == 2) {
            out[n++] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            out[n++] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out[n++] = static_cast<wchar_t>(c);
        }
        i += 1 + extra;
    }
    out[n] = L'\0';
    return n + 1;
}

bool http_status_is_redirect(unsigned long status) { return status >= 300 && status <= 399; }

void format_redirect_refusal(unsigned long status, const wchar_t* reason, wchar_t* out, size_t cch_out) {
    if (reason && reason[0])
        text_format(out, cch_out, L"服务器要求重定向，已拒绝: HTTP %lu %s", status, reason);
    else
        text_format(out, cch_out, L"服务器要求重定向，已拒绝: HTTP %lu", status);
}
