// Test tool, never shipped: drives the authentication dialog (class SNAuthDlg) from outside, the
// way a person would, for the end-to-end tests and the demo. One command per run:
//   ui_driver wait [ms]          until a visible dialog exists (default 15000 ms); prints its caption
//   ui_driver gone [ms]          until no dialog exists
//   ui_driver host [ms]          until the dialog host's pipe exists (without connecting to it)
//   ui_driver type DIGITS        each character to the focused control of the dialog (WM_CHAR), so the
//                                digit boxes move the focus themselves
//   ui_driver key back|left|right|enter   one key to the focused control
//   ui_driver press ID|TEXT      clicks the button with that control id or caption (BM_CLICK)
//   ui_driver click ID|TEXT      a left click at the control's top-left corner (e.g. into a digit box)
//   ui_driver texts              one line per control: id, visible 0/1, class, text (tab-separated);
//                                first the line "caption", 1, the window class, the caption
//   ui_driver focus              the control id of the focused control (0: none)
//   ui_driver rect               the window's screen rectangle: x y width height
//   ui_driver client             the client area's screen rectangle: x y width height (what a
//                                screenshot crops to when no window manager draws the frame)
//   ui_driver close              posts WM_CLOSE, as the title bar's close button does
//   ui_driver forge              what any other process of the user could do: posts, then sends, each
//                                of the dialog's private messages (WM_USER + 1 to + 3) with hostile
//                                parameters (approval flags, pointers that are not the dialog's),
//                                then posts WM_CLOSE; prints how many were delivered. A dialog that
//                                trusted them would approve, free foreign memory or crash before
//                                the close arrives.
//   ui_driver forge-approve      only the one-line forgery: posts WM_USER + 1 with wParam 1, lParam 0
//   ui_driver request magic|short  sends the host a request with a wrong magic, or a short one,
//                                and prints "reply" or "no reply" (the host drops both unanswered)
//   ui_driver request push       sends the host a push request without a challenge id (the dialog
//                                then asks for the push itself), waits for the reply and prints
//                                "approved=<0|1> message=<text>"
//   ui_driver message [ms]       waits for a message box, prints its texts like "texts", presses OK
// Exit code 0 on success, 1 when there is no dialog (or it did not appear or go in time), 2 on usage.
#include <windows.h>
#include <stdlib.h>

#include <initializer_list>

#include "common/console.h"
#include "common/handle.h"
#include "common/text.h"
#include "common/ui_broker.h"

namespace {

constexpr DWORD send_timeout_ms = 20000;

HWND find_dialog() {
    HWND window = FindWindowW(L"SNAuthDlg", nullptr);
    return window && IsWindowVisible(window) ? window : nullptr;
}

bool wait_for(bool present, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        if ((find_dialog() != nullptr) == present) return true;
        if (GetTickCount() - start >= timeout_ms) return false;
        Sleep(50);
    }
}

HWND focused_control(HWND dialog) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
    if (!GetGUIThreadInfo(thread, &info) || !info.hwndFocus || !IsChild(dialog, info.hwndFocus)) return nullptr;
    return info.hwndFocus;
}

bool send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, message, wparam, lparam, SMTO_NORMAL, send_timeout_ms, &result) != 0 ||
           !IsWindow(window);
}

int type_text(HWND dialog, const wchar_t* text) {
    for (const wchar_t* p = text; *p; ++p) {
        HWND target = focused_control(dialog);
        if (!target) return 1;
        send(target, WM_CHAR, *p, 1);
        if (!IsWindow(dialog)) return p[1] ? 1 : 0;
    }
    return 0;
}

int press_key(HWND dialog, const wchar_t* name) {
    WPARAM key = !wcscmp(name, L"back")    ? VK_BACK
                 : !wcscmp(name, L"left")  ? VK_LEFT
                 : !wcscmp(name, L"right") ? VK_RIGHT
                 : !wcscmp(name, L"enter") ? VK_RETURN
                                           : 0;
    HWND target = focused_control(dialog);
    if (!key || !target) return 1;
    send(target, WM_KEYDOWN, key, 1);
    if (key == VK_BACK && IsWindow(target)) send(target, WM_CHAR, L'\b', 1);  // as TranslateMessage would
    return 0;
}

// GetWindowText does not ask a window of another process (an edit's own text stays unseen), so
// the text is asked for with WM_GETTEXT.
void read_text(HWND window, wchar_t* text, size_t cch) {
    text[0] = 0;
    DWORD_PTR copied = 0;
    if (SendMessageTimeoutW(window, WM_GETTEXT, cch, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, send_timeout_ms,
                            &copied))
        text[copied < cch ? copied : cch - 1] = 0;
}

struct ButtonSearch {
    const wchar_t* wanted;
    HWND found;
};

BOOL CALLBACK match_button(HWND child, LPARAM param) {
    auto* search = reinterpret_cast<ButtonSearch*>(param);
    wchar_t text[256];
    read_text(child, text, 256);
    wchar_t id[16];
    text_format(id, 16, L"%d", GetDlgCtrlID(child));
    if (!wcscmp(text, search->wanted) || !wcscmp(id, search->wanted)) {
        search->found = child;
        return FALSE;
    }
    return TRUE;
}

int press(HWND dialog, const wchar_t* wanted, bool click) {
    ButtonSearch search = {wanted, nullptr};
    EnumChildWindows(dialog, match_button, reinterpret_cast<LPARAM>(&search));
    if (!search.found) return 1;
    if (click) {
        send(search.found, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
        send(search.found, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    } else {
        send(search.found, BM_CLICK, 0, 0);
    }
    return 0;
}

void print_control(HWND window, int id) {
    wchar_t class_name[64] = L"", text[1100] = L"";
    GetClassNameW(window, class_name, 64);
    read_text(window, text, 1100);
    for (wchar_t* p = text; *p; ++p)
        if (*p == L'\t' || *p == L'\r' || *p == L'\n') *p = L' ';
    if (id < 0)
        console_print(L"caption\t%d\t%s\t%s\n", IsWindowVisible(window) ? 1 : 0, class_name, text);
    else
        console_print(L"%d\t%d\t%s\t%s\n", id, IsWindowVisible(window) ? 1 : 0, class_name, text);
}

BOOL CALLBACK print_child(HWND child, LPARAM) {
    print_control(child, GetDlgCtrlID(child));
    return TRUE;
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

int run(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    const wchar_t* command = argv[1];
    const wchar_t* arg = argc > 2 ? argv[2] : L"";
    if (!wcscmp(command, L"wait") || !wcscmp(command, L"gone")) {
        DWORD timeout = arg[0] ? static_cast<DWORD>(wcstoul(arg, nullptr, 10)) : 15000;
        bool present = !wcscmp(command, L"wait");
        if (!wait_for(present, timeout)) return 1;
        if (present) print_control(find_dialog(), -1);
        return 0;
    }
    if (!wcscmp(command, L"host")) {
        DWORD timeout = arg[0] ? static_cast<DWORD>(wcstoul(arg, nullptr, 10)) : 15000;
        DWORD start = GetTickCount();
        while (!WaitNamedPipeW(host_pipe_name(), 1) && GetLastError() == ERROR_FILE_NOT_FOUND) {
            if (GetTickCount() - start >= timeout) return 1;
            Sleep(20);
        }
        console_print(L"%lu\n", static_cast<unsigned long>(GetTickCount() - start));
        return 0;
    }
    if (!wcscmp(command, L"request")) return bad_request(arg);
    if (!wcscmp(command, L"message")) {
        DWORD timeout = arg[0] ? static_cast<DWORD>(wcstoul(arg, nullptr, 10)) : 15000;
        DWORD start = GetTickCount();
        HWND box;
        while (!(box = FindWindowW(L"#32770", nullptr)) || !IsWindowVisible(box)) {
            if (GetTickCount() - start >= timeout) return 1;
            Sleep(50);
        }
        print_control(box, -1);
        EnumChildWindows(box, print_child, 0);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return 0;
    }
    HWND dialog = find_dialog();
    if (!dialog) {
        console_eprint(L"ui_driver: no dialog\n");
        return 1;
    }
    if (!wcscmp(command, L"type")) return type_text(dialog, arg);
    if (!wcscmp(command, L"key")) return press_key(dialog, arg);
    if (!wcscmp(command, L"press")) return press(dialog, arg, false);
    if (!wcscmp(command, L"click")) return press(dialog, arg, true);
    if (!wcscmp(command, L"texts")) {
        print_control(dialog, -1);
        EnumChildWindows(dialog, print_child, 0);
        return 0;
    }
    if (!wcscmp(command, L"focus")) {
        HWND focus = focused_control(dialog);
        console_print(L"%d\n", focus ? GetDlgCtrlID(focus) : 0);
        return 0;
    }
    if (!wcscmp(command, L"rect") || !wcscmp(command, L"client")) {
        RECT r;
        GetWindowRect(dialog, &r);
        if (!wcscmp(command, L"client")) {
            GetClientRect(dialog, &r);
            MapWindowPoints(dialog, nullptr, reinterpret_cast<POINT*>(&r), 2);
        }
        console_print(L"%d %d %d %d\n", static_cast<int>(r.left), static_cast<int>(r.top),
                      static_cast<int>(r.right - r.left), static_cast<int>(r.bottom - r.top));
        return 0;
    }
    if (!wcscmp(command, L"close")) return PostMessageW(dialog, WM_CLOSE, 0, 0) ? 0 : 1;
    if (!wcscmp(command, L"forge")) return forge_messages(dialog);
    if (!wcscmp(command, L"forge-approve")) return PostMessageW(dialog, WM_USER + 1, 1, 0) ? 0 : 1;
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int code = run(argc, argv);
    if (code == 2) console_eprint(L"usage: ui_driver wait|gone|host|type|key|press|click|texts|focus|rect|client|close|forge|forge-approve|message|request [arg]\n");
    return code;
}
