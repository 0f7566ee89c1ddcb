// Test tool, never shipped: a program for the process watcher to stop and start again. It shows
// no window and stays alive until it is ended from outside (or, with the argument --exit-after
// <ms>, until that time has passed; exit code 0).
//
// At start it appends one UTF-8 JSON line to protected_app_starts.txt beside the executable, so
// tests can see every start, relaunches included, whatever name the copy runs under, and which
// of the environment variables named SENTREL_TEST_* it was given:
//   {"pid":1234,"image":"C:\\...\\protected_app.exe","cwd":"C:\\...","args":["a","b"],
//    "env":{"SENTREL_TEST_USER":"x"}}
#include <windows.h>
#include <shellapi.h>

#include "common/handle.h"
#include "common/settings.h"
#include "common/text.h"
#include "tools/record_file.h"

namespace {

constexpr size_t path_cch = 1024;
constexpr size_t record_cch = 8192;

void append_json_text(wchar_t* out, size_t cch_out, const wchar_t* text) {
    text_append(out, cch_out, L"\"");
    for (const wchar_t* p = text; *p; ++p) {
        wchar_t piece[8] = {*p, 0};
        if (*p == L'"' || *p == L'\\') {
            piece[0] = L'\\';
            piece[1] = *p;
            piece[2] = 0;
        } else if (*p < 0x20) {
            text_format(piece, 8, L"\\u%04x", static_cast<unsigned>(*p));
        }
        text_append(out, cch_out, piece);
    }
    text_append(out, cch_out, L"\"");
}

// "NAME":"value" pairs of the environment's SENTREL_TEST_* variables.
void append_test_variables(wchar_t* out, size_t cch_out) {
    wchar_t* block = GetEnvironmentStringsW();
    bool first = true;
    for (const wchar_t* entry = block; entry && *entry; entry += wcslen(entry) + 1) {
        const wchar_t* equals = wcschr(entry + 1, L'=');
        if (wcsncmp(entry, L"SENTREL_TEST_", 13) != 0 || !equals) continue;
        wchar_t name[128];
        text_copy_n(name, 128, entry, static_cast<size_t>(equals - entry));
        if (!first) text_append(out, cch_out, L",");
        first = false;
        append_json_text(out, cch_out, name);
        text_append(out, cch_out, L":");
        append_json_text(out, cch_out, equals + 1);
    }
    if (block) FreeEnvironmentStringsW(block);
}

void record_start(int argc, wchar_t** argv) {
    static wchar_t line[record_cch];
    wchar_t image[path_cch] = L"";
    DWORD cch_image = GetModuleFileNameW(nullptr, image, path_cch);
    if (cch_image == 0 || cch_image >= path_cch) image[0] = L'\0';
    wchar_t cwd[path_cch] = L"";
    DWORD cch_cwd = GetCurrentDirectoryW(path_cch, cwd);
    if (cch_cwd == 0 || cch_cwd >= path_cch) cwd[0] = L'\0';

    text_format(line, record_cch, L"{\"pid\":%lu,\"image\":", static_cast<unsigned long>(GetCurrentProcessId()));
    append_json_text(line, record_cch, image);
    text_append(line, record_cch, L",\"cwd\":");
    append_json_text(line, record_cch, cwd);
    text_append(line, record_cch, L",\"args\":[");
    for (int i = 1; i < argc; ++i) {
        if (i > 1) text_append(line, record_cch, L",");
        append_json_text(line, record_cch, argv[i]);
    }
    text_append(line, record_cch, L"],\"env\":{");
    append_test_variables(line, record_cch);
    text_append(line, record_cch, L"}}\n");

    append_record_beside_exe(L"protected_app_starts.txt", line);
}

DWORD exit_after_ms(int argc, wchar_t** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (wcscmp(argv[i], L"--exit-after") != 0) continue;
        DWORD ms = 0;
        for (const wchar_t* p = argv[i + 1]; *p >= L'0' && *p <= L'9'; ++p) ms = ms * 10 + static_cast<DWORD>(*p - L'0');
        return ms;
    }
    return INFINITE;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return 1;
    record_start(argc, argv);
    Sleep(exit_after_ms(argc, argv));
    LocalFree(argv);
    return 0;
}
