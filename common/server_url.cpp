// The transport rule for the MFA server's URL.
#include "common/server_url.h"

#include "common/settings.h"
#include "common/text.h"

namespace {

// Case-sensitive, as the transport reads the scheme: "HTTPS://" is not taken for TLS there.
bool starts_with(const wchar_t* text, const wchar_t* prefix) {
    for (; *prefix; ++text, ++prefix)
        if (*text != *prefix) return false;
    return true;
}

// One decimal part of a dotted address: 1 to 3 digits, at most 255. Returns past it, or null.
const wchar_t* octet(const wchar_t* p, unsigned* value) {
    unsigned v = 0;
    int digits = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p, ++digits) v = v * 10 + static_cast<unsigned>(*p - L'0');
    if (digits == 0 || digits > 3 || v > 255) return nullptr;
    *value = v;
    return p;
}

bool is_loopback_ipv4(const wchar_t* host) {
    const wchar_t* p = host;
    unsigned first = 0, value = 0;
    for (int part = 0; part < 4; ++part) {
        p = octet(p, part == 0 ? &first : &value);
        if (!p) return false;
        if (part < 3 && *p++ != L'.') return false;
    }
    return *p == L'\0' && first == 127;
}

}  // namespace

bool server_url_host(const wchar_t* server_url, wchar_t* out, size_t cch_out) {
    const wchar_t* p = server_url ? server_url : L"";
    if (starts_with(p, L"https://")) p += 8;
    else if (starts_with(p, L"http://")) p += 7;
    size_t n = 0;
    if (*p == L'[') {
        ++p;
        while (p[n] && p[n] != L']' && p[n] != L'/') ++n;
    } else {
        while (p[n] && p[n] != L'/' && p[n] != L':') ++n;
    }
    if (n >= cch_out) return false;
    return text_copy_n(out, cch_out, p, n) == text_ok;
}

bool host_is_loopback(const wchar_t* host) {
    if (!host) return false;
    return text_equal_ascii_nocase(host, L"localhost") || is_loopback_ipv4(host) || text_equal_ascii_nocase(host, L"::1");
}

bool plain_http_allowed(const wchar_t* allow_plain_http) {
    return allow_plain_http && text_equal_ascii_nocase(allow_plain_http, L"true");
}

UrlTransport judge_server_url(const wchar_t* server_url, const wchar_t* allow_plain_http) {
    if (server_url && starts_with(server_url, L"https://")) return UrlTransport::secure;
    wchar_t host[256];
    if (server_url_host(server_url, host, 256) && host_is_loopback(host)) return UrlTransport::plain_loopback;
    return plain_http_allowed(allow_plain_http) ? UrlTransport::plain_allowed : UrlTransport::plain_refused;
}

bool server_url_permitted(const Settings* s, wchar_t* err, size_t cch_err) {
    if (!s || judge_server_url(s->server_url, s->allow_plain_http) != UrlTransport::plain_refused) return true;
    if (err && cch_err) text_copy(err, cch_err, plain_http_refused_text);
    return false;
}
