#include "common/canonical_path.h"

#include "common/text.h"

namespace {

bool starts_with(const wchar_t* text, const wchar_t* prefix) {
    for (; *prefix; ++text, ++prefix) {
        if (*text != *prefix) return false;
    }
    return true;
}

bool starts_with_unc(const wchar_t* text) {
    // "UNC\" in any case, as the object manager's link is named.
    return (text[0] == L'U' || text[0] == L'u') && (text[1] == L'N' || text[1] == L'n') &&
           (text[2] == L'C' || text[2] == L'c') && text[3] == L'\\';
}

}  // namespace

bool canonical_path(const wchar_t* path, wchar_t* out, size_t cch_out) {
    if (!path || path[0] == L'\0' || cch_out == 0 || cch_out > text_max_cch) return false;
    const wchar_t* rest = path;
    bool unc = false;
    if (starts_with(path, L"\\\\?\\") || starts_with(path, L"\\??\\")) {
        rest = path + 4;
        if (starts_with_unc(rest)) {
            rest += 4;
            unc = true;
        }
    }
    size_t cch_rest = text_length(rest, cch_out);
    size_t cch = cch_rest + (unc ? 2 : 0);
    if (cch_rest >= cch_out || cch >= cch_out || (!unc && rest[0] == L'\0')) return false;
    if (unc) {
        out[0] = L'\\';
        out[1] = L'\\';
        text_copy(out + 2, cch_out - 2, rest);
    } else {
        text_copy(out, cch_out, rest);
    }
    return true;
}

bool is_network_path(const wchar_t* canonical) {
    if (!canonical) return false;
    // "\\.\" names a local device; every other "\\x" is a server.
    return canonical[0] == L'\\' && canonical[1] == L'\\' && canonical[2] != L'\0' &&
           !(canonical[2] == L'.' && canonical[3] == L'\\') && !(canonical[2] == L'?' && canonical[3] == L'\\');
}
