// The console's main window (class SNConsole): the dark sidebar with the five pages, the content
// window beside it, and the notification-area icon. Closing the window hides it while the icon is
// there; "Exit" in the icon's menu ends the console. Commands go to console_commands_win.cpp.
#include <windows.h>
#include <dwmapi.h>
#include <shellapi.h>
#include <string.h>

#include "common/lang.h"
#include "common/text.h"
#include "common/ui_broker.h"
#include "ui/console.h"
#include "ui/controls.h"
#include "ui/ui_fonts.h"

namespace {

constexpr int main_width = 860;
constexpr int main_height = 560;
constexpr int sidebar_width = 200;
constexpr int sidebar_top = 60;
constexpr int sidebar_item_height = 44;
constexpr int tray_menu_open = 1;
constexpr int tray_menu_exit = 2;
constexpr DWORD dwm_window_corner_preference = 33;
constexpr DWORD dwm_corner_round = 2;
constexpr const wchar_t* console_class = L"SNConsole";
constexpr const wchar_t* content_class = L"SNContent";

ConsoleRecord the_record;                 // zero-filled at start; large (the Policy), so not on a stack
ConsoleRecord* current_record = nullptr;  // set while the console window exists
UINT taskbar_created_message = 0;         // the shell restarted: the icon is added again

static_assert(sizeof(NOTIFYICONDATAW) == 976, "the notification-area record of this platform");

ConsoleRecord* record_of(HWND window) {
    return reinterpret_cast<ConsoleRecord*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void load_icons(ConsoleRecord* c) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    c->icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    c->small_icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, 16, 16, 0));
    c->icons_owned = c->icon != nullptr;
    if (!c->icon) c->icon = LoadIconW(nullptr, IDI_APPLICATION);  // shared: never destroyed
    if (!c->small_icon) c->small_icon = c->icons_owned ? nullptr : c->icon;
}

void free_icons(ConsoleRecord* c) {
    if (c->icons_owned) {
        if (c->small_icon) DestroyIcon(c->small_icon);
        if (c->icon) DestroyIcon(c->icon);
    }
    c->icon = c->small_icon = nullptr;
}

bool add_tray_icon(ConsoleRecord* c) {
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = c->main_window;
    data.uID = tray_icon_id;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = tray_callback_message;
    data.hIcon = c->icon;
    text_copy_n(data.szTip, 128, text_for_id(txt_product_title), 127);
    return Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

void delete_tray_icon(ConsoleRecord* c) {
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = c->main_window;
    data.uID = tray_icon_id;
    Shell_NotifyIconW(NIM_DELETE, &data);
}

void place_sidebar(ConsoleRecord* c) {
    for (int i = 0; i < console_page_count; ++i)
        MoveWindow(c->sidebar[i], 0, sidebar_top + sidebar_item_height * i, sidebar_width, sidebar_item_height, TRUE);
}

bool on_create(HWND window, const CREATESTRUCTW* create) {
    auto* c = static_cast<ConsoleRecord*>(create->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(c));
    c->main_window = window;
    DWORD corner = dwm_corner_round;
    DwmSetWindowAttribute(window, dwm_window_corner_preference, &corner, sizeof corner);
    for (int i = 0; i < console_page_count; ++i)
        c->sidebar[i] = make_button(window, id_sidebar_first + i, text_for_id(txt_page_first + i), 0,
                                    sidebar_top + sidebar_item_height * i, sidebar_width, sidebar_item_height);
    RECT client;
    GetClientRect(window, &client);
    c->content = CreateWindowExW(0, content_class, nullptr, WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, sidebar_width, 0,
                                 client.right - sidebar_width, client.bottom, window,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id_content)), GetModuleHandleW(nullptr), c);
    show_page(c, page_dashboard);
    c->tray_added = add_tray_icon(c);
    return true;
}

void on_size(ConsoleRecord* c, int width, int height) {
    if (!c || !c->content) return;
    MoveWindow(c->content, sidebar_width, 0, width - sidebar_width, height, TRUE);
    place_sidebar(c);
    InvalidateRect(c->main_window, nullptr, TRUE);
}

void on_erase_background(HWND window, HDC dc) {
    RECT client;
    GetClientRect(window, &client);
    fill_rect(dc, RECT{0, 0, sidebar_width, client.bottom}, palette::sidebar);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, palette::white);
    HGDIOBJ old_font = ui_fonts().title ? SelectObject(dc, ui_fonts().title) : nullptr;
    RECT title = {16, 0, 192, 56};
    DrawTextW(dc, text_for_id(txt_product_title), -1, &title, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    if (old_font) SelectObject(dc, old_font);
    draw_hline(dc, 0, sidebar_width, 56, palette::sidebar_rule);
    fill_rect(dc, RECT{sidebar_width, 0, client.right, client.bottom}, palette::content_background);
}

void show_console(HWND window) {
    ShowWindow(window, SW_SHOW);
    ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
}

void on_tray_menu(ConsoleRecord* c) {
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    AppendMenuW(menu, MF_STRING, tray_menu_open, text_for_id(txt_open_console));
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, tray_menu_exit, console_text(ConsoleText::tray_exit));
    SetForegroundWindow(c->main_window);
    POINT at;
    GetCursorPos(&at);
    int chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, c->main_window, nullptr);
    DestroyMenu(menu);
    if (chosen == tray_menu_open) {
        show_console(c->main_window);
    } else if (chosen == tray_menu_exit) {
        // While an editor, a gate or a message box is open over the console, only show it: ending
        // the console under them would leave them without their owner.
        if (c->modal_depth > 0 || c->uninstalling) show_console(c->main_window);
        else DestroyWindow(c->main_window);
    }
}

void on_tray(ConsoleRecord* c, LPARAM event) {
    if (event == WM_LBUTTONDBLCLK) show_console(c->main_window);
    else if (event == WM_RBUTTONUP) on_tray_menu(c);
}

bool on_draw_item(const ConsoleRecord* c, const DRAWITEMSTRUCT* item) {
    if (!c || item->CtlType != ODT_BUTTON) return false;
    int index = static_cast<int>(item->CtlID) - id_sidebar_first;
    if (index < 0 || index >= console_page_count) return false;
    paint_nav_button(item, index, c->page);
    return true;
}

// Without an icon in the notification area a hidden console could not be reached again: the
// window then ends the console instead (unless something is still open over it).
void on_close(HWND window, const ConsoleRecord* c) {
    if (c && c->tray_added) ShowWindow(window, SW_HIDE);
    else if (c && c->modal_depth == 0 && !c->uninstalling) DestroyWindow(window);
}

LRESULT CALLBACK console_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    ConsoleRecord* c = record_of(window);
    switch (message) {
        case WM_CREATE:
            return on_create(window, reinterpret_cast<CREATESTRUCTW*>(lparam)) ? 0 : -1;
        case WM_SIZE:
            on_size(c, LOWORD(lparam), HIWORD(lparam));
            break;
        case WM_ERASEBKGND:
            on_erase_background(window, reinterpret_cast<HDC>(wparam));
            return 1;
        case WM_DRAWITEM:
            if (on_draw_item(c, reinterpret_cast<DRAWITEMSTRUCT*>(lparam))) return 1;
            break;
        case WM_CLOSE:
            on_close(window, c);
            return 0;
        case WM_DESTROY:
            if (c && c->tray_added) delete_tray_icon(c);
            PostQuitMessage(0);
            return 0;
        case WM_COMMAND:
            if (!c) break;
            on_console_command(c, LOWORD(wparam));
            return 0;
        case tray_callback_message:
            if (c && wparam == tray_icon_id) on_tray(c, lparam);
            return 0;
        default:
            if (c && taskbar_created_message && message == taskbar_created_message) c->tray_added = add_tray_icon(c);
            break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

bool register_classes(const ConsoleRecord* c) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW main_class = {};
    main_class.cbSize = sizeof main_class;
    main_class.style = CS_HREDRAW | CS_VREDRAW;
    main_class.lpfnWndProc = console_window_proc;
    main_class.hInstance = instance;
    main_class.hIcon = c->icon;
    main_class.hIconSm = c->small_icon;
    main_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    main_class.lpszClassName = console_class;
    WNDCLASSEXW content = {};
    content.cbSize = sizeof content;
    content.style = CS_HREDRAW | CS_VREDRAW;
    content.lpfnWndProc = content_window_proc;
    content.hInstance = instance;
    content.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    content.lpszClassName = content_class;
    if (!RegisterClassExW(&main_class)) return false;
    if (!RegisterClassExW(&content)) {
        UnregisterClassW(console_class, instance);
        return false;
    }
    return true;
}

void unregister_classes() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    UnregisterClassW(console_class, instance);
    UnregisterClassW(content_class, instance);
}

// Loads both files into the record and takes the language of the settings.
void load_files(ConsoleRecord* c) {
    load_settings(c->settings_path, &c->settings);
    set_language(c->settings.language);
    load_policy(c->policy_path, &c->policy);
}

}  // namespace

const ConsoleRecord* console_record() { return current_record; }

void show_page(ConsoleRecord* c, int32_t page) {
    c->page = page;
    for (HWND child = GetWindow(c->content, GW_CHILD); child;) {
        HWND next = GetWindow(child, GW_HWNDNEXT);
        DestroyWindow(child);
        child = next;
    }
    InvalidateRect(c->content, nullptr, TRUE);
    for (HWND item : c->sidebar) InvalidateRect(item, nullptr, TRUE);
    switch (page) {
        case page_dashboard: build_dashboard_page(c); break;
        case page_app_rules: build_rule_list_page(c, rule_type_program); break;
        case page_cmd_rules: build_rule_list_page(c, rule_type_command); break;
        case page_audit: build_audit_page(c); break;
        case page_settings: build_settings_page(c); break;
        default: break;
    }
}

void refresh_sidebar(ConsoleRecord* c) {
    for (int i = 0; i < console_page_count; ++i) {
        SetWindowTextW(c->sidebar[i], text_for_id(txt_page_first + i));
        InvalidateRect(c->sidebar[i], nullptr, TRUE);
    }
}

int run_console() {
    ConsoleRecord* c = &the_record;
    memset(c, 0, sizeof *c);
    load_icons(c);
    if (!path_beside_exe(settings_file_name, c->settings_path, console_path_cch) ||
        !path_beside_exe(policy_file_name, c->policy_path, console_path_cch)) {
        free_icons(c);
        return 1;
    }
    load_files(c);

    if (needs_setup(&c->settings)) {
        run_setup_wizard();
        Settings scratch;
        load_settings(c->settings_path, &scratch);
        if (!scratch.server_url[0]) {
            free_icons(c);
            return 0;
        }
        load_files(c);  // the wizard may have written the default rules too
    }

    wchar_t message[ui_result_cch] = L"";
    if (!authenticate_admin(&c->settings, text_for_id(txt_open_console), message, ui_result_cch)) {
        if (message[0]) MessageBoxW(nullptr, message, text_for_id(txt_auth_failed), MB_OK | MB_ICONERROR);
        free_icons(c);
        return 0;
    }

    current_record = c;
    taskbar_created_message = RegisterWindowMessageW(L"TaskbarCreated");
    if (register_classes(c)) {
        int x = (GetSystemMetrics(SM_CXSCREEN) - main_width) / 2;
        int y = (GetSystemMetrics(SM_CYSCREEN) - main_height) / 2;
        HWND window = CreateWindowExW(WS_EX_APPWINDOW, console_class, text_for_id(txt_product_title),
                                      WS_OVERLAPPEDWINDOW, x, y, main_width, main_height, nullptr, nullptr,
                                      GetModuleHandleW(nullptr), c);
        if (window) {
            ShowWindow(window, SW_SHOW);
            UpdateWindow(window);
            run_message_loop();  // no dialog-message processing: Tab does not move between controls
        }
        unregister_classes();
    }
    current_record = nullptr;
    free_icons(c);
    return 0;
}
