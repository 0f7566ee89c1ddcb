#include "service/install.h"

#include "common/text.h"

bool uninstall_authorized_by_ui(int argc, wchar_t** argv) {
    for (int i = 2; i < argc; ++i) {
        if (text_equal_ascii_nocase(argv[i], L"--authorized") || text_equal_ascii_nocase(argv[i], L"/f")) return true;
    }
    return false;
}

bool quote_image_path(const wchar_t* exe_path, wchar_t* out, size_t cch_out) {
    return text_format(out, cch_out, L"\"%s\"", exe_path) == text_ok;
}

void trim_line_end(wchar_t* line) {
    size_t n = text_length(line, text_max_cch);
    while (n > 0 && (line[n - 1] == L'\n' || line[n - 1] == L'\r')) line[--n] = L'\0';
}

const wchar_t* uninstall_origin(bool authorized_by_ui) { return authorized_by_ui ? L"via UI" : L"via CLI"; }
