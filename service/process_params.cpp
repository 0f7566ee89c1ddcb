#include "service/process_params.h"

#include "common/text.h"

bool remote_string_usable(const RemoteUnicodeString* s, size_t cch_out) {
    if (s->cb_length % 2 != 0 || s->cb_length > s->cb_maximum) return false;
    if (s->cb_length != 0 && s->buffer == 0) return false;
    return size_t(s->cb_length / 2) < cch_out;
}

const wchar_t* arguments_after_program(const wchar_t* command_line) {
    const wchar_t* p = command_line;
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p == L'"') ++p;
        return p;
    }
    while (*p && *p != L' ' && *p != L'\t') ++p;
    return p;
}

bool relaunch_command_line(const wchar_t* program, const wchar_t* arguments, wchar_t* out, size_t cch_out) {
    if (!program || program[0] == L'\0') return false;
    if (!arguments) arguments = L"";
    const wchar_t* separator = (arguments[0] == L'\0' || arguments[0] == L' ' || arguments[0] == L'\t') ? L"" : L" ";
    size_t cch = text_length(program, process_command_line_cch) + 2 + text_length(separator, 2) +
                 text_length(arguments, process_command_line_cch);
    if (cch >= process_command_line_cch - 1 || cch >= cch_out) return false;  // 32,767 with the terminator
    return text_format(out, cch_out, L"\"%s\"%s%s", program, separator, arguments) == text_ok;
}

bool folder_for_start(const wchar_t* folder, wchar_t* out, size_t cch_out) {
    size_t cch = text_length(folder, process_folder_cch);
    if (cch == 0 || cch >= process_folder_cch) return false;
    bool drive_root = cch == 3 && folder[1] == L':';
    if (cch > 1 && folder[cch - 1] == L'\\' && !drive_root) --cch;
    if (cch >= cch_out) return false;
    text_copy_n(out, cch_out, folder, cch);
    return true;
}

bool desktop_is_default(const wchar_t* desktop) {
    if (!desktop || desktop[0] == L'\0') return true;
    return text_equal_ascii_nocase(desktop, L"Default") || text_equal_ascii_nocase(desktop, L"WinSta0\\Default");
}
