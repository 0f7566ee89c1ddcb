// The one-digit boxes of the auth dialog: an edit subclass that takes one digit, moves the focus
// along the row, and sends Verify from the last box.
#include <windows.h>
#include <commctrl.h>

#include "ui/auth_dialog_state.h"
#include "ui/controls.h"
#include "ui/dialog_host.h"

namespace {

HWND box_at(HWND box, int position) { return GetDlgItem(GetParent(box), id_first_box + position); }

bool verify_usable(HWND box) {
    HWND verify = GetDlgItem(GetParent(box), id_verify);
    return verify && IsWindowEnabled(verify);
}

void send_verify(HWND box) {
    HWND parent = GetParent(box);
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id_verify, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(parent, id_verify)));
}

bool all_boxes_filled(HWND box) {
    for (int i = 0; i < digit_box_count; ++i) {
        HWND other = box_at(box, i);
        if (!other || GetWindowTextLengthW(other) == 0) return false;
    }
    return true;
}

void on_digit(HWND box, int position, wchar_t digit) {
    wchar_t text[2] = {digit, 0};
    SetWindowTextW(box, text);
    SendMessageW(box, EM_SETSEL, 0, -1);
    DigitStep step = after_digit(position, all_boxes_filled(box), verify_usable(box));
    if (step.focus >= 0) SetFocus(box_at(box, step.focus));
    if (step.submit) send_verify(box);  // the dialog may be gone afterwards
}

// True when the key was handled here.
bool on_key(HWND box, int position, WPARAM key) {
    switch (key) {
        case VK_BACK: {
            SetWindowTextW(box, L"");
            int target = after_backspace(position);
            if (target != position) SetFocus(box_at(box, target));
            return true;
        }
        case VK_LEFT:
        case VK_RIGHT: {
            int target = arrow_target(position, key == VK_LEFT ? -1 : 1);
            if (target < 0) return false;
            SetFocus(box_at(box, target));
            return true;
        }
        case VK_RETURN:
            if (verify_usable(box)) send_verify(box);
            return true;
        default:
            return false;
    }
}

void redraw_frame(HWND box) { RedrawWindow(box, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE); }

LRESULT CALLBACK digit_box_proc(HWND box, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR id,
                                DWORD_PTR position) {
    int p = static_cast<int>(position);
    switch (message) {
        case WM_CHAR:
            switch (classify_digit_char(static_cast<wchar_t>(wparam))) {
                case DigitChar::digit:
                    on_digit(box, p, static_cast<wchar_t>(wparam));
                    return 0;
                case DigitChar::discard:
                    return 0;
                case DigitChar::edit_default:
                    break;
            }
            break;
        case WM_KEYDOWN:
            if (on_key(box, p, wparam)) return 0;
            break;
        case WM_SETFOCUS:
            redraw_frame(box);
            SendMessageW(box, EM_SETSEL, 0, -1);
            break;
        case WM_KILLFOCUS:
            redraw_frame(box);
            break;
        case WM_NCPAINT:
            paint_edit_frame(box, 8);
            return 0;
        case WM_PAINT: {
            // An edit may keep its border inside the client area (and have no frame to paint):
            // the rounded frame then goes over what the edit drew.
            LRESULT result = DefSubclassProc(box, message, wparam, lparam);
            paint_edit_frame(box, 8);
            return result;
        }
        case WM_NCDESTROY:
            RemoveWindowSubclass(box, digit_box_proc, id);
            break;
    }
    return DefSubclassProc(box, message, wparam, lparam);
}

}  // namespace

void attach_digit_box(HWND box, int position) {
    SetWindowSubclass(box, digit_box_proc, static_cast<UINT_PTR>(id_first_box + position),
                      static_cast<DWORD_PTR>(position));
}
