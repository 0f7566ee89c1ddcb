// HTTP transport to the MFA server: one synchronous WinHTTP exchange per call, fixed buffers,
// UTF-16 on our side and UTF-8 on the wire. The pure parts (URL split, path join, header text,
// body and answer conversion) are declared first and carry no network dependency.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/handle.h"

struct Settings;

constexpr const wchar_t* http_user_agent = L"Sentrel/2.0";
constexpr unsigned long http_timeout_ms = 8000;  // each of resolve, connect, send, receive
constexpr size_t http_body_max_cb = 4095;        // UTF-8 request body, sent with its exact length
constexpr size_t http_response_max_cb = 8191;    // bytes of an answer that are ever read
constexpr size_t http_path_cch = 512;
constexpr size_t http_headers_cch = 512;

// --- pure text functions ---

struct ApiUrl {
    bool secure;                 // "https://" prefix (case-sensitive)
    wchar_t host[256];
    uint16_t port;               // 443 or 8080 unless given after a colon (no digits: 0)
    wchar_t base_path[256];      // from the first "/" after the host on, or empty
};
// False, *out untouched, when the port after the colon is above 65,535 (it is refused, never
// taken modulo 65,536 as another port).
bool parse_server_url(const wchar_t* server_url, ApiUrl* out);
// base_path followed by endpoint; a trailing "/" of the base and a leading one of the endpoint
// collapse into one.
void join_object_path(const wchar_t* base_path, const wchar_t* endpoint, wchar_t* out, size_t cch_out);
// "X-API-Key: <key>\r\nContent-Type: application/json\r\n"
void format_api_headers(const wchar_t* api_key, wchar_t* out, size_t cch_out);
// The UTF-8 form of body (no terminator) and its length. False, with *cb_body the length it would
// need (0 for invalid UTF-16), when it does not fit cb_out: a body is never cut.
bool body_to_utf8(const wchar_t* body, char* out, size_t cb_out, size_t* cb_body);
// Decodes UTF-8 bytes into out, always terminated. An answer that does not fit is cut at a
// character boundary (a surrogate pair is never split); a sequence cut by the end of the bytes is
// dropped, and invalid sequences become U+FFFD. Returns the units written, terminator included (0 when
// there is no room at all).
size_t utf8_to_text(const char* bytes, size_t cb, wchar_t* out, size_t cch_out);

// Redirects are never followed (the API key would go with the request to wherever the answer
// points): a 3xx answer is a failure. Its text: "服务器要求重定向，已拒绝: HTTP <status> <reason>".
bool http_status_is_redirect(unsigned long status);
void format_redirect_refusal(unsigned long status, const wchar_t* reason, wchar_t* out, size_t cch_out);

// --- WinHTTP exchange ---

// An internet handle (HINTERNET); closed with WinHttpCloseHandle beside the WinHTTP code.
struct InternetHandleTraits {
    using value_type = void*;
    static void* empty() { return nullptr; }
    static bool valid(void* h) { return h != nullptr; }
    static void close(void* h);
};
using OwnedInternet = Owned<InternetHandleTraits>;

// Declared in this order so they close request, connection, session.
struct HttpHandles {
    OwnedInternet session;
    OwnedInternet connection;
    OwnedInternet request;
};

bool open_api_request(const Settings* s, const wchar_t* method, const wchar_t* endpoint, HttpHandles* h,
                      wchar_t* err, size_t cch_err);
// One POST exchange. True when a whole HTTP answer other than a redirect arrived; the caller
// judges *status. A body that stopped short fails the exchange ("接收响应失败: %lu"). A redirect
// (3xx) is false with its status in the error text, and is not followed.
bool post_json(const Settings* s, const wchar_t* endpoint, const wchar_t* body, unsigned long* status,
               wchar_t* resp, size_t cch_resp, wchar_t* err, size_t cch_err);
// One GET exchange without a body; failures carry the same texts as post_json's.
bool get_json(const Settings* s, const wchar_t* endpoint, unsigned long* status, wchar_t* resp,
              size_t cch_resp, wchar_t* err, size_t cch_err);
// Reads at most http_response_max_cb bytes of the answer, within http_timeout_ms for all reads,
// and converts them into out. False, out untouched and *error the platform's code, when the body
// stopped short (see http_body_whole): its time ran out, a read failed, or the connection closed
// before the announced length.
bool read_response_body(void* request, wchar_t* out, size_t cch_out, unsigned long* error);
