// The console's content window (class SNContent): paints the page title and, on the dashboard,
// the cards; colours its children; passes every command of its children to the main window.
#include <windows.h>
#include <commctrl.h>

#include "common/lang.h"
#include "ui/console.h"
#include "ui/controls.h"
#include "ui/service_control.h"
#include "ui/ui_fonts.h"

namespace {

HBRUSH content_brush() {
    static HBRUSH brush = CreateSolidBrush(palette::content_background);  // process-wide, never deleted
    return brush;
}

ConsoleRecord* record_of(HWND window) {
    return reinterpret_cast<ConsoleRecord*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void on_paint(HWND window, const ConsoleRecord* c) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    fill_rect(dc, client, palette::content_background);
    if (c && c->page >= 0 && c->page < console_page_count) {
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, palette::text);
        HGDIOBJ old_font = ui_fonts().title ? SelectObject(dc, ui_fonts().title) : nullptr;
        RECT title = {16, 16, client.right - 16, 44};
        DrawTextW(dc, text_for_id(txt_page_first + static_cast<unsigned>(c->page)), -1, &title,
                  DT_SINGLELINE | DT_VCENTER | DT_LEFT);
        if (old_font) SelectObject(dc, old_font);
        draw_hline(dc, 16, client.right - 16, 48, palette::content_rule);
    }
    if (c && c->page == page_dashboard) {
        uint32_t app = 0, cmd = 0;
        count_rules(&c->policy, &app, &cmd);
        paint_dashboard(dc, service_running(), app, cmd);
    }
    EndPaint(window, &ps);
}

int button_style(UINT id) {
    switch (id) {
        case id_delete_rule: return button_danger;
        case id_start_stop:
        case id_add_rule:
        case id_toggle_rule:
        case id_clear_cache:
        case id_save_settings: return button_primary;
        default: return button_secondary;
    }
}

}  // namespace

LRESULT CALLBACK content_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE:
            SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams));
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT:
            on_paint(window, record_of(window));
            return 0;
        case WM_DRAWITEM: {
            auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lparam);
            if (item->CtlType != ODT_BUTTON) break;
            paint_button(item, button_style(item->CtlID));
            return 1;
        }
        case WM_NOTIFY: {
            auto* header = reinterpret_cast<NMHDR*>(lparam);
            if (header->idFrom == static_cast<UINT_PTR>(id_rule_list) && header->code == static_cast<UINT>(NM_DBLCLK)) {
                SendMessageW(GetParent(window), WM_COMMAND, MAKEWPARAM(id_edit_rule, 0), 0);
                return 0;
            }
            break;
        }
        case WM_COMMAND:
            SendMessageW(GetParent(window), WM_COMMAND, wparam, lparam);
            return 0;
        case WM_CTLCOLOREDIT:
            return colour_edit(reinterpret_cast<HDC>(wparam));
        case WM_CTLCOLORSTATIC: {
            // The empty-list text lies over the white list; the rest on the content background.
            bool on_list = GetDlgCtrlID(reinterpret_cast<HWND>(lparam)) == id_empty_list;
            return colour_static(reinterpret_cast<HDC>(wparam), palette::text,
                                 on_list ? static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)) : content_brush());
        }
    }
    return DefWindowProcW(window, message, wparam, lparam);
}
