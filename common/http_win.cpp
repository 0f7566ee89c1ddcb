// WinHTTP side of the transport. Every exchange opens its own session, connection and request and
// closes them before returning (no reuse), so threads may call at once. The platform's certificate
// checks are never relaxed: a certificate the machine does not trust fails the send.
//
// WinHTTP follows redirects by default and repeats our headers, X-API-Key included, to the new
// location. Both the session's redirect policy and the request's redirect feature are switched
// off (a request on which that fails is not sent), and a 3xx answer fails the exchange, so the
// key only ever goes to the configured server.
//
// Every wait is bounded: the receive timeout bounds each wait for data, the response timeout
// (http_timeout_ms) the wait for the whole header block, and the body has http_timeout_ms for all
// of its reads (see http_body.h). Without the response timeout WinHTTP waits 90 s for headers on
// Windows and, under Wine, as long as the server likes: a server that accepts and never answers
// would hold a round for ever.
#include <windows.h>
#include <winhttp.h>

#include "common/http.h"
#include "common/http_body.h"
#include "common/server_url.h"
#include "common/settings.h"
#include "common/text.h"

void InternetHandleTraits::close(void* h) { WinHttpCloseHandle(static_cast<HINTERNET>(h)); }

namespace {

void set_error(wchar_t* err, size_t cch_err, const wchar_t* format, unsigned long code) {
    if (err && cch_err) text_format(err, cch_err, format, code);
}

bool url_configured(const Settings* s, wchar_t* err, size_t cch_err) {
    if (s && s->server_url[0]) return true;
    if (err && cch_err) text_copy(err, cch_err, L"server_url 未配置");
    return false;
}

// Sends the request (body may be empty) and waits for the answer's headers; then the status and
// the body. False, with the send or receive text, when no answer arrived.
bool exchange(HttpHandles* h, const char* body, DWORD cb_body, unsigned long* status, wchar_t* resp,
              size_t cch_resp, wchar_t* err, size_t cch_err) {
    if (!WinHttpSendRequest(h->request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            cb_body ? const_cast<char*>(body) : WINHTTP_NO_REQUEST_DATA, cb_body, cb_body, 0)) {
        set_error(err, cch_err, L"发送请求失败: %lu", GetLastError());
        return false;
    }
    if (!WinHttpReceiveResponse(h->request.get(), nullptr)) {
        set_error(err, cch_err, L"接收响应失败: %lu", GetLastError());
        return false;
    }
    DWORD code = 0, cb = sizeof code;
    if (!WinHttpQueryHeaders(h->request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &cb, WINHTTP_NO_HEADER_INDEX))
        code = 0;
    if (http_status_is_redirect(code)) {
        wchar_t reason[64] = L"";
        DWORD cb_reason = sizeof reason - sizeof(wchar_t);
        if (!WinHttpQueryHeaders(h->request.get(), WINHTTP_QUERY_STATUS_TEXT, WINHTTP_HEADER_NAME_BY_INDEX, reason,
                                 &cb_reason, WINHTTP_NO_HEADER_INDEX))
            reason[0] = L'\0';
        if (err && cch_err) format_redirect_refusal(code, reason, err, cch_err);
        return false;
    }
    unsigned long body_error = 0;
    if (!read_response_body(h->request.get(), resp, cch_resp, &body_error)) {
        if (resp && cch_resp) resp[0] = L'\0';
        set_error(err, cch_err, L"接收响应失败: %lu", body_error);
        return false;
    }
    if (status) *status = code;
    return true;
}

// Redirects stay with the caller: the session never follows one, nor does the request.
bool refuse_redirects(HINTERNET session, HINTERNET request) {
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    DWORD disable = WINHTTP_DISABLE_REDIRECTS;
    return WinHttpSetOption(session, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy) &&
           WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof disable);
}

void clear_outputs(unsigned long* status, wchar_t* resp, size_t cch_resp, wchar_t* err, size_t cch_err) {
    if (status) *status = 0;
    if (resp && cch_resp) resp[0] = L'\0';
    if (err && cch_err) err[0] = L'\0';
}

}  // namespace

bool open_api_request(const Settings* s, const wchar_t* method, const wchar_t* endpoint, HttpHandles* h,
                      wchar_t* err, size_t cch_err) {
    h->request.reset();
    h->connection.reset();
    h->session.reset();
    if (!url_configured(s, err, cch_err) || !server_url_permitted(s, err, cch_err)) return false;
    ApiUrl url;
    if (!parse_server_url(s->server_url, &url)) {
        if (err && cch_err) text_copy(err, cch_err, L"server_url 的端口大于 65535");
        return false;
    }
    wchar_t path[http_path_cch];
    join_object_path(url.base_path, endpoint, path, ARRAYSIZE(path));
    wchar_t headers[http_headers_cch];
    format_api_headers(s->api_key, headers, ARRAYSIZE(headers));

    h->session.reset(WinHttpOpen(http_user_agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0));
    if (!h->session) {
        set_error(err, cch_err, L"WinHttpOpen 失败: %lu", GetLastError());
        return false;
    }
    WinHttpSetTimeouts(h->session.get(), http_timeout_ms, http_timeout_ms, http_timeout_ms, http_timeout_ms);
    h->connection.reset(WinHttpConnect(h->session.get(), url.host, url.port, 0));
    if (!h->connection) {
        set_error(err, cch_err, L"WinHttpConnect 失败: %lu", GetLastError());
        return false;
    }
    h->request.reset(WinHttpOpenRequest(h->connection.get(), method, path, nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES, url.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!h->request) {
        set_error(err, cch_err, L"WinHttpOpenRequest 失败: %lu", GetLastError());
        return false;
    }
    // The whole header block within the receive timeout, not only each wait for its bytes.
    DWORD headers_ms = http_timeout_ms;
    if (!WinHttpSetOption(h->request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headers_ms, sizeof headers_ms)) {
        set_error(err, cch_err, L"WinHttpSetOption 失败: %lu", GetLastError());
        return false;
    }
    if (!refuse_redirects(h->session.get(), h->request.get())) {
        set_error(err, cch_err, L"WinHttpSetOption 失败: %lu", GetLastError());
        return false;
    }
    WinHttpAddRequestHeaders(h->request.get(), headers, static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD);
    return true;
}

bool post_json(const Settings* s, const wchar_t* endpoint, const wchar_t* body, unsigned long* status,
               wchar_t* resp, size_t cch_resp, wchar_t* err, size_t cch_err) {
    clear_outputs(status, resp, cch_resp, err, cch_err);
    if (!url_configured(s, err, cch_err)) return false;
    // The body is converted before anything is opened: one that does not fit is refused whole.
    char utf8[http_body_max_cb + 1];
    size_t cb_body = 0;
    if (!body_to_utf8(body, utf8, http_body_max_cb, &cb_body)) {
        set_error(err, cch_err, L"请求内容过长: %lu 字节", static_cast<unsigned long>(cb_body));
        return false;
    }
    HttpHandles h;
    if (!open_api_request(s, L"POST", endpoint, &h, err, cch_err)) return false;
    return exchange(&h, utf8, static_cast<DWORD>(cb_body), status, resp, cch_resp, err, cch_err);
}

bool get_json(const Settings* s, const wchar_t* endpoint, unsigned long* status, wchar_t* resp,
              size_t cch_resp, wchar_t* err, size_t cch_err) {
    clear_outputs(status, resp, cch_resp, err, cch_err);
    if (!url_configured(s, err, cch_err)) return false;
    HttpHandles h;
    if (!open_api_request(s, L"GET", endpoint, &h, err, cch_err)) return false;
    return exchange(&h, nullptr, 0, status, resp, cch_resp, err, cch_err);
}

bool read_response_body(void* request, wchar_t* out, size_t cch_out, unsigned long* error) {
    char bytes[http_response_max_cb + 1] = {};
    HttpBodyRead read = {0, http_response_max_cb, false, false, 0};
    DWORD length = 0, cb_length = sizeof length;
    read.length_known = WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                            WINHTTP_HEADER_NAME_BY_INDEX, &length, &cb_length, WINHTTP_NO_HEADER_INDEX);
    read.content_length = length;
    unsigned long failure = ERROR_WINHTTP_TIMEOUT;
    const ULONGLONG start = GetTickCount64();
    while (read.cb_filled < http_response_max_cb) {
        // Each wait gets what is left of the body's time, so a trickling server cannot stretch it.
        DWORD left = http_time_left_ms(start, GetTickCount64(), http_timeout_ms);
        if (left == 0) break;
        WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &left, sizeof left);
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            failure = GetLastError();
            break;
        }
        if (available == 0) {
            read.ended = true;
            break;
        }
        DWORD room = static_cast<DWORD>(http_response_max_cb - read.cb_filled);
        DWORD want = available < room ? available : room;
        DWORD got = 0;
        if (!WinHttpReadData(request, bytes + read.cb_filled, want, &got)) {
            failure = GetLastError();
            break;
        }
        if (got == 0) {
            read.ended = true;
            break;
        }
        read.cb_filled += got;
        bytes[read.cb_filled] = '\0';
    }
    if (!http_body_whole(&read)) {
        if (error) *error = read.ended ? ERROR_WINHTTP_INVALID_SERVER_RESPONSE : failure;
        return false;
    }
    if (out && cch_out) utf8_to_text(bytes, read.cb_filled, out, cch_out);
    return true;
}
