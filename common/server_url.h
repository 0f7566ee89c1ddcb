// Whether MFA traffic may go to the configured server: https:// always; plain http:// only to this
// machine (127.0.0.0/8, ::1, localhost), unless the administrator set "allow_plain_http": "true".
// Over plain HTTP to another machine anyone on the path could answer "approved" and read the API
// key, so every MFA call refuses such a URL.
#pragma once
#include <stddef.h>

struct Settings;

enum class UrlTransport {
    secure,            // https://
    plain_loopback,    // http:// (or no scheme) to this machine
    plain_allowed,     // http:// to another machine, allowed by allow_plain_http
    plain_refused,     // http:// to another machine: refused
};

// The host part of a URL: after the scheme, up to "/", without a port; an IPv6 literal without its
// brackets. Empty when the URL has none. False (out untouched) when it does not fit.
bool server_url_host(const wchar_t* server_url, wchar_t* out, size_t cch_out);
// "localhost" (any case), a dotted IPv4 address 127.x.y.z, or "::1".
bool host_is_loopback(const wchar_t* host);
// allow_plain_http is "true" (any case).
bool plain_http_allowed(const wchar_t* allow_plain_http);
UrlTransport judge_server_url(const wchar_t* server_url, const wchar_t* allow_plain_http);

// The refusal every MFA call returns for a refused URL, in both languages.
constexpr const wchar_t* plain_http_refused_text =
    L"已拒绝以明文 http:// 连接其他计算机上的 MFA 服务器，请使用 https:// / "
    L"Plain http:// to an MFA server on another machine is refused; use https://";
// False with plain_http_refused_text in err when the settings' server_url is refused.
bool server_url_permitted(const Settings* s, wchar_t* err, size_t cch_err);
