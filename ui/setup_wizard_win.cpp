// The first-run setup wizard (class SNSetup): asks for the MFA server URL, the API key and the MFA
// user name, writes them into SentrelSvc.json (keeping what else the file holds) and, when there
// is no rule file yet, the default rules. Says so when a file could not be written.
#include <windows.h>
#include <dwmapi.h>
#include <string.h>

#include "common/lang.h"
#include "common/policy.h"
#include "common/settings.h"
#include "common/text.h"
#include "ui/console.h"
#include "ui/controls.h"
#include "ui/ui_fonts.h"

namespace {

constexpr const wchar_t* wizard_class = L"SNSetup";
constexpr int client_width = 400;
constexpr int client_height = 396;
constexpr DWORD dwm_window_corner_preference = 33;
constexpr DWORD dwm_corner_round = 2;

enum WizardControl : int {
    id_wizard_url = 401,
    id_wizard_key = 402,
    id_wizard_user = 403,
    id_wizard_save = 404,
    id_wizard_error = 405,
};

// Values are written escaped into fields of these capacities: a value this long always fits.
constexpr int url_limit = 253, key_limit = 253, user_limit = 125;

void place_window(HWND window) {
    RECT r = {0, 0, client_width, client_height};
    AdjustWindowRectEx(&r, WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_DLGMODALFRAME);
    int width = r.right - r.left, height = r.bottom - r.top;
    SetWindowPos(window, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void on_create(HWND window) {
    DWORD corner = dwm_corner_round;
    DwmSetWindowAttribute(window, dwm_window_corner_preference, &corner, sizeof corner);
    const UiFonts& fonts = ui_fonts();
    make_label(window, 0, text_for_id(122), 24, 24, 352, 18, fonts.title);
    make_label(window, 0, text_for_id(123), 24, 46, 352, 36, fonts.body);
    make_label(window, 0, text_for_id(124), 24, 102, 352, 18, fonts.body);
    HWND url = make_rounded_edit(window, id_wizard_url, false, 24, 124, 352, 30);
    make_label(window, 0, text_for_id(125), 24, 174, 352, 18, fonts.body);
    HWND key = make_rounded_edit(window, id_wizard_key, true, 24, 196, 352, 30);
    make_label(window, 0, text_for_id(126), 24, 246, 352, 18, fonts.body);
    HWND user = make_rounded_edit(window, id_wizard_user, false, 24, 268, 352, 30);
    HWND error = make_label(window, id_wizard_error, L"", 24, 318, 352, 18, fonts.body);
    if (error) ShowWindow(error, SW_HIDE);
    make_button(window, id_wizard_save, text_for_id(127), 24, 344, 352, 36);
    if (url) SendMessageW(url, EM_LIMITTEXT, url_limit, 0);
    if (key) SendMessageW(key, EM_LIMITTEXT, key_limit, 0);
    if (user) SendMessageW(user, EM_LIMITTEXT, user_limit, 0);
    place_window(window);
}

void set_error_line(HWND window, bool shown) {
    HWND line = GetDlgItem(window, id_wizard_error);
    if (!line) return;
    SetWindowTextW(line, shown ? text_for_id(128) : L"");
    ShowWindow(line, shown ? SW_SHOW : SW_HIDE);
    RECT r;
    GetWindowRect(line, &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    RedrawWindow(window, &r, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

// Writes the settings and checks that the file holds exactly that text.
bool write_settings(const wchar_t* path, const Settings* s, wchar_t* text) {
    static wchar_t written[settings_write_cch];
    if (!settings_to_text(s, written, settings_write_cch) || !save_settings(path, s)) return false;
    return read_utf8_file(path, text, settings_text_cch) && !wcscmp(text, written);
}

void on_save(HWND window) {
    wchar_t url[256], key[256], user[128];
    GetDlgItemTextW(window, id_wizard_url, url, 256);
    GetDlgItemTextW(window, id_wizard_key, key, 256);
    GetDlgItemTextW(window, id_wizard_user, user, 128);
    if (!url[0] || !key[0] || !user[0]) {
        set_error_line(window, true);
        return;
    }
    set_error_line(window, false);

    wchar_t settings_path[console_path_cch], policy_path[console_path_cch];
    if (!path_beside_exe(settings_file_name, settings_path, console_path_cch) ||
        !path_beside_exe(policy_file_name, policy_path, console_path_cch))
        return;
    // What the file holds now is kept; only the three values asked for are replaced.
    static wchar_t existing[settings_text_cch];
    bool readable = read_utf8_file(settings_path, existing, settings_text_cch);
    static Settings s;
    wizard_settings(readable ? existing : nullptr, url, key, user, &s);
    if (!server_url_savable(&s)) {
        MessageBoxW(window, console_text(ConsoleText::plain_http_refused), text_for_id(txt_error), MB_OK | MB_ICONERROR);
        return;  // the wizard stays open with what was entered
    }
    wchar_t message[1280];
    if (!write_settings(settings_path, &s, existing)) {
        text_format(message, 1280, console_text(ConsoleText::wizard_settings_failed), settings_path);
        MessageBoxW(window, message, text_for_id(txt_error), MB_OK | MB_ICONERROR);
        return;  // the wizard stays open: the person may try again or close it
    }
    bool rules_written = true;
    if (GetFileAttributesW(policy_path) == INVALID_FILE_ATTRIBUTES)
        rules_written = write_utf8_file(policy_path, default_policy_text());
    if (rules_written) {
        MessageBoxW(window, text_for_id(txt_config_saved), text_for_id(txt_product_title), MB_OK | MB_ICONINFORMATION);
    } else {
        text_format(message, 1280, console_text(ConsoleText::wizard_policy_failed), policy_path);
        MessageBoxW(window, message, text_for_id(txt_product_title), MB_OK | MB_ICONWARNING);
    }
    DestroyWindow(window);
}

LRESULT CALLBACK wizard_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE:
            on_create(window);
            return 0;
        case WM_COMMAND:
            if (LOWORD(wparam) == id_wizard_save) on_save(window);
            return 0;
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_ERASEBKGND:
            erase_white(window, reinterpret_cast<HDC>(wparam));
            return 1;
        case WM_DRAWITEM: {
            auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lparam);
            if (item->CtlType != ODT_BUTTON) break;
            paint_button(item, button_primary);
            return TRUE;
        }
        case WM_CTLCOLOREDIT:
            return colour_edit(reinterpret_cast<HDC>(wparam));
        case WM_CTLCOLORSTATIC: {
            bool error = GetDlgCtrlID(reinterpret_cast<HWND>(lparam)) == id_wizard_error;
            return colour_static(reinterpret_cast<HDC>(wparam), error ? palette::bad : palette::text,
                                 static_cast<HBRUSH>(GetStockObject(HOLLOW_BRUSH)));
        }
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

void run_setup_wizard() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = wizard_window_proc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.lpszClassName = wizard_class;
    RegisterClassExW(&window_class);
    HWND window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_DLGMODALFRAME, wizard_class, text_for_id(104),
                                  WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT, CW_USEDEFAULT, 400, 400, nullptr, nullptr,
                                  instance, nullptr);
    if (!window) {
        UnregisterClassW(wizard_class, instance);
        return;
    }
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    run_message_loop();
    UnregisterClassW(wizard_class, instance);
}
