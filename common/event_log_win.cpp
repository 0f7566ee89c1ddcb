// The system's event sink: the source is registered once per process (RegisterEventSourceW) and
// kept until the process ends; a registration that failed is not tried again.
#include "common/event_log.h"

#include <windows.h>

#include "common/impersonation.h"
#include "common/text.h"

namespace {

INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;
HANDLE g_source = nullptr;
DWORD g_register_error = ERROR_SUCCESS;

BOOL CALLBACK register_source(INIT_ONCE*, void*, void**) {
    g_source = RegisterEventSourceW(nullptr, event_source_name);
    if (!g_source) g_register_error = GetLastError();
    return TRUE;
}

struct SystemSink : EventSink {
    bool report(const PreparedEvent& event, uint32_t* error) override {
        InitOnceExecuteOnce(&g_once, register_source, nullptr, nullptr);
        if (!g_source) {
            *error = g_register_error;
            return false;
        }
        const wchar_t* strings[event_max_inserts];
        for (size_t i = 0; i < event_max_inserts; ++i) strings[i] = event.strings[i];
        if (ReportEventW(g_source, static_cast<WORD>(event.type), 0, event.id, nullptr, event.count, 0,
                         event.count ? strings : nullptr, nullptr))
            return true;
        *error = GetLastError();
        return false;
    }
};

SystemSink g_system_sink;

}  // namespace

EventSink* system_event_sink() { return &g_system_sink; }

bool account_of_token(void* token, wchar_t* out, size_t cch_out) {
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD cb = 0;
    if (!GetTokenInformation(static_cast<HANDLE>(token), TokenUser, buffer, sizeof buffer, &cb)) return false;
    wchar_t name[256], domain[256];
    DWORD cch_name = 256, cch_domain = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, name, &cch_name, domain,
                           &cch_domain, &use))
        return false;
    wchar_t account[event_account_cch];
    if (domain[0]) text_format(account, event_account_cch, L"%s\\%s", domain, name);
    else text_copy(account, name);
    if (text_length(account, event_account_cch) >= cch_out) return false;
    text_copy(out, cch_out, account);
    return true;
}

