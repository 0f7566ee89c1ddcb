#include "common/process_identity.h"

#include <windows.h>

#include "common/handle.h"
#include "common/text.h"

namespace {

constexpr size_t path_cch = 1024;

// The long form of a path, or the path itself when it cannot be had (the file is gone, ...).
void long_path(const wchar_t* path, wchar_t* out, size_t cch_out) {
    DWORD cch = GetLongPathNameW(path, out, static_cast<DWORD>(cch_out));
    if (cch == 0 || cch >= cch_out) text_copy(out, cch_out, path);
}

}  // namespace

bool process_image_path(uint32_t pid, wchar_t* out, size_t cch_out) {
    OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return false;
    wchar_t image[path_cch];
    DWORD cch = path_cch;
    if (!QueryFullProcessImageNameW(process.get(), 0, image, &cch)) return false;
    return text_copy(out, cch_out, image) == text_ok;
}

bool same_file_path(const wchar_t* a, const wchar_t* b) {
    if (!a || !b || !a[0] || !b[0]) return false;
    wchar_t long_a[path_cch];
    wchar_t long_b[path_cch];
    long_path(a, long_a, path_cch);
    long_path(b, long_b, path_cch);
    return CompareStringOrdinal(long_a, -1, long_b, -1, TRUE) == CSTR_EQUAL;
}

bool token_account(void* token, AccountSid* out) {
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD cb = 0;
    if (!GetTokenInformation(token, TokenUser, &info, sizeof info, &cb)) return false;
    DWORD cb_sid = GetLengthSid(info.user.User.Sid);
    if (cb_sid == 0 || cb_sid > account_sid_max_cb || !CopySid(cb_sid, out->sid, info.user.User.Sid)) return false;
    out->cb = cb_sid;
    return true;
}

bool process_account(uint32_t pid, AccountSid* out) {
    OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    HANDLE raw = nullptr;
    if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY, &raw)) return false;
    OwnedHandle token(raw);
    return token_account(token.get(), out);
}
