// Windows the console opens through the system: message boxes, the file-open dialog and the menu
// of its notification-area icon.
#include <windows.h>
#include <wchar.h>

#include "common/console.h"
#include "tools/ui_driver/driver.h"

namespace {

constexpr int message_text_id = 0xFFFF;     // the text of a message box
constexpr int file_name_combo_id = 0x47C;   // cmb13: the file name of the file-open dialog
constexpr int file_name_edit_id = 0x480;    // edt1: the same in older layouts
constexpr UINT tray_callback_message = WM_APP + 10;
constexpr WPARAM tray_icon_id = 250;

struct BoxSearch {
    bool message_box;  // true: a message box; false: the file-open dialog
    HWND found;
};

BOOL CALLBACK match_box(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<BoxSearch*>(param);
    wchar_t class_name[16] = L"";
    GetClassNameW(window, class_name, 16);
    if (wcscmp(class_name, L"#32770") || !IsWindowVisible(window)) return TRUE;
    bool is_message = GetDlgItem(window, message_text_id) != nullptr;
    bool is_file = GetDlgItem(window, file_name_combo_id) || GetDlgItem(window, file_name_edit_id);
    if (search->message_box ? is_message : (is_file && !is_message)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND wait_for_box(bool message_box, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        BoxSearch search = {message_box, nullptr};
        EnumWindows(match_box, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        if (GetTickCount() - start >= timeout_ms) return nullptr;
        Sleep(50);
    }
}

int button_id(const wchar_t* name) {
    if (!name || !name[0] || !wcscmp(name, L"ok")) return IDOK;
    if (!wcscmp(name, L"yes")) return IDYES;
    if (!wcscmp(name, L"no")) return IDNO;
    if (!wcscmp(name, L"cancel")) return IDCANCEL;
    return 0;
}

HWND wait_for_menu(DWORD timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND menu = FindWindowW(L"#32768", nullptr);
        if (menu && IsWindowVisible(menu)) return menu;
        if (GetTickCount() - start >= timeout_ms) return nullptr;
        Sleep(50);
    }
}

}  // namespace

int answer_message_box(DWORD timeout_ms, const wchar_t* button) {
    int id = button_id(button);
    if (!id) return 2;
    HWND box = wait_for_box(true, timeout_ms);
    if (!box) {
        console_eprint(L"ui_driver: no message box within %lu ms\n", timeout_ms);
        return 1;
    }
    print_tree(box);
    HWND control = GetDlgItem(box, id);
    return PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control)) ? 0 : 1;
}

int answer_file_dialog(const wchar_t* path, DWORD timeout_ms) {
    HWND dialog = wait_for_box(false, timeout_ms);
    if (!dialog) {
        console_eprint(L"ui_driver: no file dialog within %lu ms\n", timeout_ms);
        return 1;
    }
    HWND name = GetDlgItem(dialog, file_name_combo_id);
    if (!name) name = GetDlgItem(dialog, file_name_edit_id);
    if (!name || !send(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path))) return 1;
    return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)))
               ? 0
               : 1;
}

int use_tray(const wchar_t* action, int item) {
    HWND console = FindWindowW(L"SNConsole", nullptr);
    if (!console) {
        console_eprint(L"ui_driver: no console window\n");
        return 1;
    }
    if (!wcscmp(action, L"dblclick"))
        return PostMessageW(console, tray_callback_message, tray_icon_id, WM_LBUTTONDBLCLK) ? 0 : 1;
    if (wcscmp(action, L"menu") || item < 1) return 2;
    if (!PostMessageW(console, tray_callback_message, tray_icon_id, WM_RBUTTONUP)) return 1;
    HWND menu = wait_for_menu(10000);
    if (!menu) {
        console_eprint(L"ui_driver: no menu appeared\n");
        return 1;
    }
    // The menu is tracked in the console's thread: keys posted to it move and choose as typed ones
    // do. Separators are skipped by the menu itself.
    for (int i = 0; i < item; ++i) PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    return 0;
}
