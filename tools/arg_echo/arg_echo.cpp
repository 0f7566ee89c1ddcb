// arg_echo: a test program that shows what it was started with. Standard output (UTF-8 when
// redirected) gets its current directory and then every argument after its own name, one per
// line and in brackets, so an empty argument shows as "[]":
//   cwd: C:\Program Files\Sentrel
//   [first]
//   [second one]
// It exits with the code in the environment variable ARG_ECHO_EXIT_CODE (unsigned decimal up to
// 4294967295; 0 when unset). A value that is not such a number is reported and gives exit code 1.
// With ARG_ECHO_RECORD set (a file name), the same bracketed arguments are also appended as one
// line to that file beside the executable, for starts whose output no one sees (a hidden
// "runas" start by a windowed program).
#include <windows.h>

#include "common/console.h"
#include "common/text.h"
#include "tools/record_file.h"

namespace {

constexpr const wchar_t* exit_code_variable = L"ARG_ECHO_EXIT_CODE";

bool parse_exit_code(const wchar_t* text, DWORD* code) {
    if (text[0] == L'\0') return false;
    unsigned long long value = 0;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        if (*p < L'0' || *p > L'9') return false;
        value = value * 10 + static_cast<unsigned>(*p - L'0');
        if (value > 0xFFFFFFFFull) return false;
    }
    *code = static_cast<DWORD>(value);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    wchar_t cwd[MAX_PATH * 4] = {};
    DWORD cch_cwd = GetCurrentDirectoryW(MAX_PATH * 4, cwd);
    if (cch_cwd == 0 || cch_cwd >= MAX_PATH * 4) cwd[0] = L'\0';
    console_print(L"cwd: %s\n", cwd);
    for (int i = 1; i < argc; ++i) console_print(L"[%s]\n", argv[i]);

    wchar_t record_name[MAX_PATH] = {};
    DWORD cch_record = GetEnvironmentVariableW(L"ARG_ECHO_RECORD", record_name, MAX_PATH);
    if (cch_record > 0 && cch_record < MAX_PATH) {
        static wchar_t line[16384];
        line[0] = L'\0';
        for (int i = 1; i < argc; ++i) {
            text_append(line, L"[");
            text_append(line, argv[i]);
            text_append(line, L"]");
        }
        text_append(line, L"\n");
        append_record_beside_exe(record_name, line);
    }

    wchar_t value[16] = {};
    DWORD cch_value = GetEnvironmentVariableW(exit_code_variable, value, 16);
    if (cch_value == 0) return 0;
    DWORD code = 0;
    if (cch_value >= 16 || !parse_exit_code(value, &code)) {
        console_eprint(L"arg_echo: %s is not an exit code\n", exit_code_variable);
        return 1;
    }
    return static_cast<int>(code);
}
