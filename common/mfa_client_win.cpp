// The platform parts of the MFA client: the account name and the host's IPv4 address.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "common/mfa_client.h"
#include "common/settings.h"
#include "common/text.h"

void mfa_user_name(const Settings* s, wchar_t* out, size_t cch_out) {
    if (s && s->mfa_username[0]) {
        text_copy(out, cch_out, s->mfa_username);
        return;
    }
    wchar_t name[128] = {};
    DWORD cch = ARRAYSIZE(name);
    if (!GetUserNameW(name, &cch)) name[0] = L'\0';
    text_copy(out, cch_out, name);
}

namespace {

// The first IPv4 address of the host name other than 127.0.0.1, or nothing.
void detect_address(wchar_t* out, size_t cch_out) {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return;
    char host[256] = {};
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (gethostname(host, sizeof host) == 0 && getaddrinfo(host, nullptr, &hints, &found) == 0) {
        for (addrinfo* a = found; a; a = a->ai_next) {
            if (a->ai_family != AF_INET || !a->ai_addr) continue;
            char dotted[INET_ADDRSTRLEN] = {};
            const sockaddr_in* v4 = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            if (!inet_ntop(AF_INET, &v4->sin_addr, dotted, sizeof dotted)) continue;
            if (lstrcmpA(dotted, "127.0.0.1") == 0) continue;
            wchar_t wide[INET_ADDRSTRLEN] = {};
            for (size_t i = 0; dotted[i] && i + 1 < ARRAYSIZE(wide); ++i) wide[i] = static_cast<wchar_t>(dotted[i]);
            text_copy(out, cch_out, wide);
            break;
        }
        freeaddrinfo(found);
    }
    WSACleanup();
}

}  // namespace

void client_ip_for(const Settings* s, wchar_t* out, size_t cch_out) {
    if (!out || cch_out == 0) return;
    if (s && s->client_ip[0] && lstrcmpW(s->client_ip, L"127.0.0.1") != 0) {
        text_copy(out, cch_out, s->client_ip);
        return;
    }
    out[0] = L'\0';
    detect_address(out, cch_out);
    if (!out[0]) text_copy(out, cch_out, L"127.0.0.1");
}
