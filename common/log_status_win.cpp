#include "common/log_status.h"

#include <windows.h>

#include "common/permissions.h"
#include "common/text.h"

bool publish_audit_status(AuditLogProblem problem, const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, service_key_subpath, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return false;
    // The path first: a reader that sees the new problem sees its path too.
    const wchar_t* text = path ? path : L"";
    DWORD cb_text = static_cast<DWORD>((text_length(text, log_path_cch) + 1) * sizeof(wchar_t));
    DWORD value = static_cast<DWORD>(problem);
    bool ok = RegSetValueExW(key, audit_path_value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), cb_text) ==
                  ERROR_SUCCESS &&
              RegSetValueExW(key, audit_problem_value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                             sizeof value) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

bool read_audit_status(AuditLogProblem* problem, wchar_t* path, size_t cch_path) {
    DWORD value = 0, cb = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, service_key_subpath, audit_problem_value, RRF_RT_REG_DWORD, nullptr, &value,
                     &cb) != ERROR_SUCCESS ||
        value > audit_log_problem_last)
        return false;
    wchar_t text[log_path_cch] = {};
    DWORD cb_text = sizeof text;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, service_key_subpath, audit_path_value, RRF_RT_REG_SZ, nullptr, text,
                     &cb_text) != ERROR_SUCCESS)
        text[0] = L'\0';
    *problem = static_cast<AuditLogProblem>(value);
    text_copy(path, cch_path, text);
    return true;
}
