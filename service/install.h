// Installing, the controlled uninstall and stopping of the service.
#pragma once
#include <stddef.h>

struct Settings;

constexpr size_t image_path_cch = 1028;      // the quoted executable path
constexpr size_t trace_line_cch = 512;       // one install trace line keeps at most 511 units
constexpr size_t uninstall_code_cch = 64;    // the TOTP code line keeps at most 63 units
constexpr size_t uninstall_message_cch = 256;
constexpr const wchar_t* install_trace_folder = L"C:\\Temp";
constexpr const wchar_t* install_trace_path = L"C:\\Temp\\sn_install.txt";
constexpr const wchar_t* service_display_name = L"Sentrel服务";

// --- pure logic ---

// True when an argument after "uninstall" (argv[2] on) is --authorized or /f, any case.
bool uninstall_authorized_by_ui(int argc, wchar_t** argv);
// "\"<exe path>\""; false when it did not fit.
bool quote_image_path(const wchar_t* exe_path, wchar_t* out, size_t cch_out);
// Removes every line feed and carriage return from the end of line.
void trim_line_end(wchar_t* line);
// "via UI" or "via CLI", for "uninstall authorized: %s, proceeding".
const wchar_t* uninstall_origin(bool authorized_by_ui);

// --- Win32 ---

int install_service();                            // 0 success, 1 failure
int uninstall_service(int argc, wchar_t** argv);  // the codes of service/uninstall.h
// Restart 60 s after each failure, the count reset after a day; the installer package sets the same.
bool set_failure_actions(struct SC_HANDLE__* service);
// The TOTP check of the interactive uninstall; on false, message says why.
bool uninstall_code_valid(const Settings* settings, const wchar_t* code, wchar_t* message, size_t cch_message);
