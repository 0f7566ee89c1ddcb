// Shared helpers of the UI driver (test tool): finding windows and controls of another process,
// reading their texts, and sending them messages with a bound.
#pragma once
#include <windows.h>

constexpr DWORD send_timeout_ms = 20000;

// The visible top-level window of the class; null when there is none.
HWND find_visible(const wchar_t* window_class);
// Polls every 50 ms until find_visible's answer is present (or absent); false on time-out.
bool wait_for_window(const wchar_t* window_class, bool present, DWORD timeout_ms);
// WM_GETTEXT with a bound (GetWindowText does not ask another process's edit).
void read_text(HWND window, wchar_t* text, size_t cch);
// SendMessageTimeout; true also when the window went away while handling it.
bool send(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// A descendant control by its id or its text ("212" or "Save").
HWND find_control(HWND window, const wchar_t* wanted);
// "id<TAB>visible<TAB>class<TAB>text" for a control; id -1 prints "caption" instead of the id.
void print_control(HWND window, int id);
// The window and every descendant, one line each.
void print_tree(HWND window);

// list_view.cpp: list views of another process (their item texts live in that process's memory).
int print_rows(HWND list);
int select_row(HWND list, int row);
int double_click_row(HWND list, int row);

// boxes.cpp: message boxes, the file-open dialog and the tray icon's menu.
// Waits for a message box, prints it (print_tree), answers with the button (ok, yes, no, cancel).
int answer_message_box(DWORD timeout_ms, const wchar_t* button);
// Waits for the file-open dialog, types the file name and opens it.
int answer_file_dialog(const wchar_t* path, DWORD timeout_ms);
// Sends the console's tray callback: "dblclick", or "menu N" (the N-th item of the menu, from 1).
int use_tray(const wchar_t* action, int item);
