// Test tool: runs one MFA client call (or one raw transport exchange) with a settings file and
// prints what came back, one "name=value" line each (UTF-8 when redirected).
//   mfa_call <settings.json> totp <code>
//   mfa_call <settings.json> push
//   mfa_call <settings.json> poll <challenge id>
//   mfa_call <settings.json> message <sms|email>
//   mfa_call <settings.json> verify-message <challenge id> <code>
//   mfa_call <settings.json> client-ip
//   mfa_call <settings.json> post <endpoint> <body> | post-fill <endpoint> <body bytes> | get <endpoint>
// Prints "ok=<0|1>" and "err=<text>" last; exits 0 when the call succeeded, 1 when it failed,
// 2 on a usage or settings error.
#include <windows.h>
#include <stdlib.h>

#include "common/console.h"
#include "common/http.h"
#include "common/mfa_client.h"
#include "common/settings.h"
#include "common/text.h"

namespace {

// Long texts go out in pieces that fit the console's line buffer, never splitting a pair.
void print_long(const wchar_t* name, const wchar_t* text) {
    console_print(L"%s_len=%lu\n%s=", name, static_cast<unsigned long>(text_length(text, 1u << 20)), name);
    wchar_t piece[2001];
    while (*text) {
        size_t n = text_length(text, 2000);
        if (n == 2000 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
        text_copy_n(piece, ARRAYSIZE(piece), text, n);
        console_print(L"%s", piece);
        text += n;
    }
    console_print(L"\n");
}

int finish(bool ok, const wchar_t* err) {
    console_print(L"ok=%lu\nerr=%s\n", ok ? 1ul : 0ul, err);
    return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        console_eprint(L"usage: mfa_call <settings.json> <call> [arguments]\n");
        return 2;
    }
    static Settings s;
    if (!load_settings(argv[1], &s)) {
        console_eprint(L"cannot read %s\n", argv[1]);
        return 2;
    }
    const wchar_t* call = argv[2];
    wchar_t err[512] = {};
    if (!lstrcmpW(call, L"totp") && argc == 4) return finish(verify_totp(&s, argv[3], err, 256), err);
    if (!lstrcmpW(call, L"push")) {
        wchar_t id[128] = {}, passcode[32] = {};
        bool ok = request_push(&s, id, ARRAYSIZE(id), passcode, ARRAYSIZE(passcode), err, ARRAYSIZE(err));
        console_print(L"id=%s\npasscode=%s\n", id, passcode);
        return finish(ok, err);
    }
    if (!lstrcmpW(call, L"poll") && argc == 4) {
        wchar_t status[64] = {};
        bool ok = poll_push_status(&s, argv[3], status, ARRAYSIZE(status), err, ARRAYSIZE(err));
        console_print(L"status=%s\n", status);
        return finish(ok, err);
    }
    if (!lstrcmpW(call, L"message") && argc == 4) {
        wchar_t id[128] = {}, dest[128] = {};
        bool ok = request_message_code(&s, argv[3], id, ARRAYSIZE(id), dest, ARRAYSIZE(dest), err, 256);
        console_print(L"id=%s\ndest=%s\n", id, dest);
        return finish(ok, err);
    }
    if (!lstrcmpW(call, L"verify-message") && argc == 5)
        return finish(verify_message_code(&s, argv[3], argv[4], err, 256), err);
    if (!lstrcmpW(call, L"client-ip")) {
        wchar_t ip[64] = {};
        client_ip_for(&s, ip, ARRAYSIZE(ip));
        console_print(L"ip=%s\n", ip);
        return finish(true, L"");
    }
    bool post = !lstrcmpW(call, L"post") && argc == 5;
    bool fill = !lstrcmpW(call, L"post-fill") && argc == 5;
    bool get = !lstrcmpW(call, L"get") && argc == 4;
    if (post || fill || get) {
        static wchar_t resp[8192], body[8192];
        if (fill) {  // {"pad":"xxx..."} of exactly the given number of bytes
            size_t cb = wcstoul(argv[4], nullptr, 10);
            if (cb < 11 || cb >= ARRAYSIZE(body)) return 2;
            text_copy(body, L"{\"pad\":\"");
            for (size_t i = 8; i < cb - 2; ++i) body[i] = L'x';
            text_copy(body + cb - 2, 3, L"\"}");
        }
        unsigned long status = 0;
        bool ok = get ? get_json(&s, argv[3], &status, resp, ARRAYSIZE(resp), err, ARRAYSIZE(err))
                      : post_json(&s, argv[3], fill ? body : argv[4], &status, resp, ARRAYSIZE(resp), err,
                                  ARRAYSIZE(err));
        console_print(L"http=%lu\n", status);
        print_long(L"resp", resp);
        return finish(ok, err);
    }
    console_eprint(L"unknown call or wrong arguments: %s\n", call);
    return 2;
}
