#include "service/event_source.h"

#include <windows.h>

#include "common/event_log.h"
#include "common/text.h"
#include "service/tamper.h"

#define SENTREL_WIDEN_(x) L##x
#define SENTREL_WIDEN(x) SENTREL_WIDEN_(x)

namespace {

// The executable of the configured service, when the handle may query its configuration.
bool configured_image(SC_HANDLE service, wchar_t* exe, size_t cch_exe) {
    alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[8192];
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    return service && QueryServiceConfigW(service, config, sizeof buffer, &needed) && config->lpBinaryPathName &&
           image_of_binary_path(config->lpBinaryPathName, exe, cch_exe);
}

}  // namespace

uint32_t register_event_source(SC_HANDLE service, const wchar_t* fallback_exe) {
    wchar_t exe[tamper_path_cch];
    if (!configured_image(service, exe, tamper_path_cch) && text_copy(exe, fallback_exe) != text_ok)
        return ERROR_BAD_PATHNAME;
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, event_source_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                     &key, nullptr);
    if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
    DWORD types = event_types_supported;
    status = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(exe),
                            static_cast<DWORD>((wcslen(exe) + 1) * sizeof(wchar_t)));
    if (status == ERROR_SUCCESS)
        status = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    RegCloseKey(key);
    return static_cast<uint32_t>(status);
}

uint32_t remove_event_source() {
    LSTATUS status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, event_source_key);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<uint32_t>(status);
}

const wchar_t* product_version() { return SENTREL_WIDEN(SENTREL_VERSION_TEXT); }
