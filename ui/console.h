// The management console's windows: the console record they share, and the entry points of the
// main window (console_win.cpp), the content window (content_win.cpp), the pages
// (console_pages_win.cpp), the commands (console_commands_win.cpp), the rule editor
// (rule_editor_win.cpp) and the setup wizard (setup_wizard_win.cpp).
#pragma once
#include <windows.h>

#include "common/policy.h"
#include "common/settings.h"
#include "ui/console_state.h"

constexpr size_t console_path_cch = 1024;
constexpr UINT tray_callback_message = WM_APP + 10;  // 1034
constexpr UINT tray_icon_id = 250;

// One per console process, zero-filled at start; reached from both window classes through their
// user data. Settings and Policy are what the two files held when last read.
struct ConsoleRecord {
    int32_t page;
    HWND main_window;
    HWND sidebar[console_page_count];
    HWND content;
    Settings settings;
    Policy policy;
    HICON icon;
    HICON small_icon;
    bool icons_owned;   // loaded from our resources (destroyed at the end), not the system's
    bool tray_added;    // the notification area took the icon: closing the window only hides it
    bool uninstalling;  // an uninstaller runs; its wait dispatches messages
    int modal_depth;    // editors, gates and message boxes open over the console
    wchar_t settings_path[console_path_cch];
    wchar_t policy_path[console_path_cch];
};

// Runs the console to its end: setup wizard when needed, administrator gate, main window.
// Returns the exit code of the program.
int run_console();
// The record while the console window exists, else null.
const ConsoleRecord* console_record();
// Tears down the current page and builds the named one.
void show_page(ConsoleRecord* c, int32_t page);
// Sets the sidebar captions again (after a language change) and redraws them.
void refresh_sidebar(ConsoleRecord* c);

LRESULT CALLBACK content_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

void build_dashboard_page(ConsoleRecord* c);
void build_rule_list_page(ConsoleRecord* c, int32_t type);
void build_audit_page(ConsoleRecord* c);
void build_settings_page(ConsoleRecord* c);

// A command of the main window or one of its pages (the low word of WM_COMMAND's wparam).
void on_console_command(ConsoleRecord* c, int id);

// The rule editor, modal over owner: true when the person saved; out then holds the rule.
bool run_rule_editor(HWND owner, int32_t type, const Rule* existing, Rule* out);
// The first-run setup; returns when its window is gone.
void run_setup_wizard();
