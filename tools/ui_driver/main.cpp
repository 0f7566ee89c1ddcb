// Test tool, never shipped: drives Sentrel's windows from outside, the way a person would, for the
// end-to-end tests and the demo. One command per run, on the visible window of a class (the
// authentication dialog SNAuthDlg unless -w names another: SNConsole, SNAddRule, SNSetup):
//   ui_driver [-w CLASS] wait [ms]      until a visible window exists (default 15000 ms); prints its caption
//   ui_driver [-w CLASS] gone [ms]      until no visible window exists (hidden counts as gone)
//   ui_driver [-w CLASS] exists         exit 0 when a window of the class exists, visible or not
//   ui_driver host [ms]                 until the dialog host's pipe exists (without connecting to it)
//   ui_driver [-w CLASS] type DIGITS    each character to the focused control (WM_CHAR), so the
//                                       digit boxes move the focus themselves
//   ui_driver [-w CLASS] key back|left|right|enter   one key to the focused control
//   ui_driver [-w CLASS] press ID|TEXT  clicks the button with that control id or caption (BM_CLICK)
//                                       and returns when the window has handled it
//   ui_driver [-w CLASS] post ID|TEXT   the same click posted: returns at once (for a button that
//                                       opens a window or a message box)
//   ui_driver [-w CLASS] click ID|TEXT  a left click at the control's top-left corner (e.g. into a digit box)
//   ui_driver [-w CLASS] set ID TEXT    replaces a control's text (WM_SETTEXT; an edit tells its parent)
//   ui_driver [-w CLASS] pick ID N      selects entry N of a combo box and tells its parent, as a choice does
//   ui_driver [-w CLASS] items ID       a combo box's entries: index, selected 0/1, text
//   ui_driver [-w CLASS] rows ID        a list view's rows: index, selected 0/1, the column texts
//   ui_driver [-w CLASS] select ID N    selects row N of a list view (-1: none)
//   ui_driver [-w CLASS] dblclick ID N  selects row N and double-clicks it (posted)
//   ui_driver [-w CLASS] texts          one line per control: id, visible 0/1, class, text (tab-separated);
//                                       first the line "caption", 1, the window class, the caption
//   ui_driver [-w CLASS] text ID        one control's whole text, as it is (line breaks kept)
//   ui_driver [-w CLASS] lines ID       a multi-line edit's line count and its first visible line
//   ui_driver [-w CLASS] focus          the control id of the focused control (0: none)
//   ui_driver [-w CLASS] rect           the window's screen rectangle: x y width height
//   ui_driver [-w CLASS] client         the client area's screen rectangle: x y width height (what a
//                                       screenshot crops to when no window manager draws the frame)
//   ui_driver [-w CLASS] close          posts WM_CLOSE, as the title bar's close button does
//   ui_driver forge                     what any other process of the user could do to the dialog:
//                                       posts, then sends, each of its private messages (WM_USER + 1
//                                       to + 3) with hostile parameters (approval flags, pointers that
//                                       are not the dialog's), then posts WM_CLOSE; prints how many were
//                                       delivered. A dialog that trusted them would approve, free
//                                       foreign memory or crash before the close arrives.
//   ui_driver forge-approve             only the one-line forgery: posts WM_USER + 1 with wParam 1, lParam 0
//   ui_driver forge-quit                posts WM_QUIT to the dialog's thread, ending its message loop early
//   ui_driver request magic|short       sends the host a request with a wrong magic, or a short one,
//                                       and prints "reply" or "no reply" (the host drops both unanswered)
//   ui_driver request push              sends the host a push request without a challenge id (the dialog
//                                       then asks for the push itself), waits for the reply and prints
//                                       "approved=<0|1> message=<text>"
//   ui_driver message [ms] [ok|yes|no|cancel]   waits for a message box, prints its texts like
//                                       "texts" (its text has id 65535), presses the button (OK)
//   ui_driver windows                   every top-level window: class, visible 0/1, process id, caption
//                                       (for a person finding out what is on the screen)
//   ui_driver filedialog PATH [ms]      waits for the file-open dialog, enters PATH and opens it
//   ui_driver tray dblclick|menu N      the console's notification-area icon: a double click, or
//                                       item N (from 1, separators not counted) of its menu
// Exit code 0 on success, 1 when the window is missing (or did not appear or go in time), 2 on usage.
#include <windows.h>
#include <commctrl.h>
#include <stdlib.h>

#include <initializer_list>

#include "common/console.h"
#include "common/handle.h"
#include "common/text.h"
#include "common/ui_broker.h"
#include "tools/start_mark.h"
#include "tools/ui_driver/driver.h"

namespace {

HWND focused_control(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(window, nullptr);
    if (!GetGUIThreadInfo(thread, &info) || !info.hwndFocus || !IsChild(window, info.hwndFocus)) return nullptr;
    return info.hwndFocus;
}

int type_text(HWND window, const wchar_t* text) {
    for (const wchar_t* p = text; *p; ++p) {
        HWND target = focused_control(window);
        if (!target) return 1;
        send(target, WM_CHAR, *p, 1);
        if (!IsWindow(window)) return p[1] ? 1 : 0;
    }
    return 0;
}

int press_key(HWND window, const wchar_t* name) {
    WPARAM key = !wcscmp(name, L"back")    ? VK_BACK
                 : !wcscmp(name, L"left")  ? VK_LEFT
                 : !wcscmp(name, L"right") ? VK_RIGHT
                 : !wcscmp(name, L"enter") ? VK_RETURN
                                           : 0;
    HWND target = focused_control(window);
    if (!key || !target) return 1;
    send(target, WM_KEYDOWN, key, 1);
    if (key == VK_BACK && IsWindow(target)) send(target, WM_CHAR, L'\b', 1);  // as TranslateMessage would
    return 0;
}

enum class Press { sent, posted, mouse };

int press(HWND window, const wchar_t* wanted, Press how) {
    HWND control = find_control(window, wanted);
    if (!control) return 1;
    switch (how) {
        case Press::mouse:
            send(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
            send(control, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
            return 0;
        case Press::posted:
            return PostMessageW(control, BM_CLICK, 0, 0) ? 0 : 1;
        case Press::sent:
            send(control, BM_CLICK, 0, 0);
            return 0;
    }
    return 1;
}

int set_text(HWND window, const wchar_t* wanted, const wchar_t* text) {
    HWND control = find_control(window, wanted);
    return control && send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) ? 0 : 1;
}

int pick(HWND window, const wchar_t* wanted, int index) {
    HWND combo = find_control(window, wanted);
    if (!combo || !send(combo, CB_SETCURSEL, index, 0)) return 1;
    HWND parent = GetParent(combo);
    int id = GetDlgCtrlID(combo);
    return PostMessageW(parent, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo)) ? 0 : 1;
}

int print_items(HWND window, const wchar_t* wanted) {
    HWND combo = find_control(window, wanted);
    if (!combo) return 1;
    DWORD_PTR count = 0, selected = 0;
    SendMessageTimeoutW(combo, CB_GETCOUNT, 0, 0, SMTO_NORMAL, send_timeout_ms, &count);
    SendMessageTimeoutW(combo, CB_GETCURSEL, 0, 0, SMTO_NORMAL, send_timeout_ms, &selected);
    for (int i = 0; i < static_cast<int>(count); ++i) {
        wchar_t text[512] = L"";
        DWORD_PTR length = 0;
        SendMessageTimeoutW(combo, CB_GETLBTEXTLEN, i, 0, SMTO_NORMAL, send_timeout_ms, &length);
        if (length < 512) SendMessageTimeoutW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                                              send_timeout_ms, &length);
        console_print(L"%d\t%d\t%s\n", i, static_cast<int>(selected) == i ? 1 : 0, text);
    }
    return 0;
}

// The dialog host's pipe of this session.
const wchar_t* host_pipe_name() {
    static wchar_t name[ui_pipe_name_cch] = L"";
    if (!name[0]) ui_pipe_name_for(ui_own_session(), name, ui_pipe_name_cch);
    return name;
}

int bad_request(const wchar_t* kind) {
    OwnedHandle pipe(CreateFileW(host_pipe_name(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe) return 1;
    static UiAuthRequest request;
    bool push = !wcscmp(kind, L"push");
    request.magic = wcscmp(kind, L"magic") ? ui_auth_magic : 0x0BADF00D;
    request.mode = push ? ui_mode_push : ui_mode_totp;
    text_copy(request.title, push ? L"Direct push" : L"bad request");
    DWORD cb = wcscmp(kind, L"short") ? sizeof request : 100, written = 0;
    if (!WriteFile(pipe.get(), &request, cb, &written, nullptr)) return 1;
    UiAuthReply reply = {};
    DWORD read = 0;
    bool replied = ReadFile(pipe.get(), &reply, sizeof reply, &read, nullptr) && read > 0;
    wchar_t message[257];
    text_copy_n(message, 257, reply.message, 256);
    if (push && replied)
        console_print(L"approved=%lu message=%s\n", static_cast<unsigned long>(reply.approved), message);
    else
        console_print(replied ? L"reply\n" : L"no reply\n");
    return 0;
}

// The private messages are posted first (they reach the dialog in order, before the closing
// WM_CLOSE) and then sent (each one handled when its send returns).
int forge_messages(HWND dialog) {
    const UINT messages[] = {WM_USER + 1, WM_USER + 2, WM_USER + 3};
    const WPARAM wparams[] = {0, 1, 2, ~WPARAM(0)};
    const LPARAM lparams[] = {0, 1, 0x10, static_cast<LPARAM>(0xDEADBEEF), static_cast<LPARAM>(0x00007FF000001000ULL),
                              reinterpret_cast<LPARAM>(GetProcessHeap()), -1};
    int delivered = 0;
    for (bool post : {true, false})
        for (UINT message : messages)
            for (WPARAM wparam : wparams)
                for (LPARAM lparam : lparams) {
                    DWORD_PTR result = 0;
                    bool ok = post ? PostMessageW(dialog, message, wparam, lparam) != 0
                                   : SendMessageTimeoutW(dialog, message, wparam, lparam, SMTO_NORMAL, send_timeout_ms,
                                                         &result) != 0;
                    if (ok) ++delivered;
                }
    bool closed = PostMessageW(dialog, WM_CLOSE, 0, 0) != 0;
    console_print(L"%d\n", delivered);
    return closed ? 0 : 1;
}

DWORD timeout_arg(const wchar_t* arg, DWORD fallback) {
    return arg && arg[0] ? static_cast<DWORD>(wcstoul(arg, nullptr, 10)) : fallback;
}

int print_rect(HWND window, bool client) {
    RECT r;
    GetWindowRect(window, &r);
    if (client) {
        GetClientRect(window, &r);
        MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&r), 2);
    }
    console_print(L"%d %d %d %d\n", static_cast<int>(r.left), static_cast<int>(r.top),
                  static_cast<int>(r.right - r.left), static_cast<int>(r.bottom - r.top));
    return 0;
}

BOOL CALLBACK print_top_level(HWND window, LPARAM) {
    wchar_t class_name[64] = L"", caption[256] = L"";
    GetClassNameW(window, class_name, 64);
    GetWindowTextW(window, caption, 256);  // a top-level caption is read without asking its process
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    console_print(L"%s\t%d\t%lu\t%s\n", class_name, IsWindowVisible(window) ? 1 : 0, pid, caption);
    return TRUE;
}

// Commands that need no window of the class.
int run_global(const wchar_t* command, int argc, wchar_t** argv, bool* handled) {
    *handled = true;
    const wchar_t* arg = argc > 0 ? argv[0] : L"";
    if (!wcscmp(command, L"host")) {
        DWORD timeout = timeout_arg(arg, 15000);
        DWORD start = GetTickCount();
        while (!WaitNamedPipeW(host_pipe_name(), 1) && GetLastError() == ERROR_FILE_NOT_FOUND) {
            if (GetTickCount() - start >= timeout) return 1;
            Sleep(20);
        }
        console_print(L"%lu\n", static_cast<unsigned long>(GetTickCount() - start));
        return 0;
    }
    if (!wcscmp(command, L"request")) return bad_request(arg);
    if (!wcscmp(command, L"windows")) return EnumWindows(print_top_level, 0) ? 0 : 1;
    if (!wcscmp(command, L"message")) return answer_message_box(timeout_arg(arg, 15000), argc > 1 ? argv[1] : L"ok");
    if (!wcscmp(command, L"filedialog")) return argc > 0 ? answer_file_dialog(arg, timeout_arg(argc > 1 ? argv[1] : L"", 15000)) : 2;
    if (!wcscmp(command, L"tray")) return argc > 0 ? use_tray(arg, argc > 1 ? _wtoi(argv[1]) : 0) : 2;
    *handled = false;
    return 0;
}

int run(int argc, wchar_t** argv) {
    const wchar_t* window_class = L"SNAuthDlg";
    int next = 1;
    if (argc > 2 && !wcscmp(argv[1], L"-w")) {
        window_class = argv[2];
        next = 3;
    }
    if (argc <= next) return 2;
    const wchar_t* command = argv[next];
    int rest = argc - next - 1;
    wchar_t** args = argv + next + 1;
    const wchar_t* arg = rest > 0 ? args[0] : L"";

    bool handled = false;
    int code = run_global(command, rest, args, &handled);
    if (handled) return code;
    if (!wcscmp(command, L"wait") || !wcscmp(command, L"gone")) {
        bool present = !wcscmp(command, L"wait");
        if (!wait_for_window(window_class, present, timeout_arg(arg, 15000))) return 1;
        if (present) print_control(find_visible(window_class), -1);
        return 0;
    }
    if (!wcscmp(command, L"exists")) return FindWindowW(window_class, nullptr) ? 0 : 1;

    HWND window = find_visible(window_class);
    if (!window) {
        console_eprint(L"ui_driver: no visible %s window\n", window_class);
        return 1;
    }
    if (!wcscmp(command, L"type")) return type_text(window, arg);
    if (!wcscmp(command, L"key")) return press_key(window, arg);
    if (!wcscmp(command, L"press")) return press(window, arg, Press::sent);
    if (!wcscmp(command, L"post")) return press(window, arg, Press::posted);
    if (!wcscmp(command, L"click")) return press(window, arg, Press::mouse);
    if (!wcscmp(command, L"set")) return rest > 1 ? set_text(window, arg, args[1]) : 2;
    if (!wcscmp(command, L"pick")) return rest > 1 ? pick(window, arg, _wtoi(args[1])) : 2;
    if (!wcscmp(command, L"items")) return print_items(window, arg);
    if (!wcscmp(command, L"rows") || !wcscmp(command, L"select") || !wcscmp(command, L"dblclick")) {
        HWND list = find_control(window, arg);
        if (!list) return 1;
        if (!wcscmp(command, L"rows")) return print_rows(list);
        if (rest < 2) return 2;
        int row = _wtoi(args[1]);
        return !wcscmp(command, L"select") ? select_row(list, row) : double_click_row(list, row);
    }
    if (!wcscmp(command, L"texts")) {
        print_tree(window);
        return 0;
    }
    if (!wcscmp(command, L"text")) {
        HWND control = find_control(window, arg);
        if (!control) return 1;
        static wchar_t text[65536];
        read_text(control, text, 65536);
        // Printed in pieces: one print takes at most a few thousand characters.
        for (size_t at = 0, length = wcslen(text); at < length; at += 2000) {
            wchar_t piece[2001];
            text_copy_n(piece, 2001, text + at, 2000);
            console_print(L"%s", piece);
        }
        return 0;
    }
    if (!wcscmp(command, L"lines")) {
        HWND control = find_control(window, arg);
        if (!control) return 1;
        DWORD_PTR count = 0, first = 0;
        SendMessageTimeoutW(control, EM_GETLINECOUNT, 0, 0, SMTO_NORMAL, send_timeout_ms, &count);
        SendMessageTimeoutW(control, EM_GETFIRSTVISIBLELINE, 0, 0, SMTO_NORMAL, send_timeout_ms, &first);
        console_print(L"%lu %lu\n", static_cast<unsigned long>(count), static_cast<unsigned long>(first));
        return 0;
    }
    if (!wcscmp(command, L"focus")) {
        HWND focus = focused_control(window);
        console_print(L"%d\n", focus ? GetDlgCtrlID(focus) : 0);
        return 0;
    }
    if (!wcscmp(command, L"rect") || !wcscmp(command, L"client")) return print_rect(window, !wcscmp(command, L"client"));
    if (!wcscmp(command, L"close")) return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
    if (!wcscmp(command, L"forge")) return forge_messages(window);
    if (!wcscmp(command, L"forge-approve")) return PostMessageW(window, WM_USER + 1, 1, 0) ? 0 : 1;
    if (!wcscmp(command, L"forge-quit"))
        return PostThreadMessageW(GetWindowThreadProcessId(window, nullptr), WM_QUIT, 0, 0) ? 0 : 1;
    return 2;
}

}  // namespace

HWND find_visible(const wchar_t* window_class) {
    HWND window = FindWindowW(window_class, nullptr);
    return window && IsWindowVisible(window) ? window : nullptr;
}

bool wait_for_window(const wchar_t* window_class, bool present, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        if ((find_visible(window_class) != nullptr) == present) return true;
        if (GetTickCount() - start >= timeout_ms) return false;
        Sleep(50);
    }
}

bool send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, message, wparam, lparam, SMTO_NORMAL, send_timeout_ms, &result) != 0 ||
           !IsWindow(window);
}

void read_text(HWND window, wchar_t* text, size_t cch) {
    text[0] = 0;
    DWORD_PTR copied = 0;
    if (SendMessageTimeoutW(window, WM_GETTEXT, cch, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, send_timeout_ms,
                            &copied))
        text[copied < cch ? copied : cch - 1] = 0;
}

namespace {

struct ControlSearch {
    const wchar_t* wanted;
    HWND found;
};

BOOL CALLBACK match_control(HWND child, LPARAM param) {
    auto* search = reinterpret_cast<ControlSearch*>(param);
    wchar_t id[16];
    text_format(id, 16, L"%d", GetDlgCtrlID(child));
    if (!wcscmp(id, search->wanted)) {
        search->found = child;
        return FALSE;
    }
    wchar_t text[256];
    read_text(child, text, 256);
    if (!wcscmp(text, search->wanted)) {
        search->found = child;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK print_child(HWND child, LPARAM) {
    print_control(child, GetDlgCtrlID(child));
    return TRUE;
}

}  // namespace

HWND find_control(HWND window, const wchar_t* wanted) {
    ControlSearch search = {wanted, nullptr};
    EnumChildWindows(window, match_control, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void print_control(HWND window, int id) {
    wchar_t class_name[64] = L"";
    static wchar_t text[16384];
    GetClassNameW(window, class_name, 64);
    read_text(window, text, 16384);
    for (wchar_t* p = text; *p; ++p)
        if (*p == L'\t' || *p == L'\r' || *p == L'\n') *p = L' ';
    if (id < 0)
        console_print(L"caption\t%d\t%s\t%s\n", IsWindowVisible(window) ? 1 : 0, class_name, text);
    else
        console_print(L"%d\t%d\t%s\t%s\n", id, IsWindowVisible(window) ? 1 : 0, class_name, text);
}

void print_tree(HWND window) {
    print_control(window, -1);
    EnumChildWindows(window, print_child, 0);
}

int wmain(int argc, wchar_t** argv) {
    write_start_mark();  // the test runner tells a Wine start failure from our result by it
    int code = run(argc, argv);
    if (code == 2)
        console_eprint(L"usage: ui_driver [-w CLASS] wait|gone|exists|type|key|press|post|click|set|pick|items|rows|"
                       L"select|dblclick|texts|text|lines|focus|rect|client|close|forge|forge-approve|forge-quit [arg...]; ui_driver host|request|windows|message|"
                       L"filedialog|tray [arg...]\n");
    return code;
}
