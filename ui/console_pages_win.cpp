// The console's pages: each builds its controls on the content window from the console record
// (or, for the audit page, from the end of the log file). Pages keep no state of their own.
#include <windows.h>
#include <commctrl.h>
#include <uxtheme.h>

#include "common/handle.h"
#include "common/lang.h"
#include "common/server_url.h"
#include "common/text.h"
#include "ui/audit_line.h"
#include "ui/console.h"
#include "ui/controls.h"
#include "ui/log_tail.h"
#include "ui/service_control.h"
#include "ui/ui_fonts.h"

namespace {

// Settings values are written escaped into fields of these capacities: a value this long always fits.
constexpr int server_url_limit = 253, api_key_limit = 253, username_limit = 125, country_limit = 29;

struct ClientSize {
    int width, height;
};

ClientSize content_size(const ConsoleRecord* c) {
    RECT r = {};
    GetClientRect(c->content, &r);
    return {r.right, r.bottom};
}

HMENU control_id(int id) { return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)); }

void set_font(HWND control, HFONT font) {
    if (control && font) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void add_column(HWND list, int index, unsigned text_id, int width) {
    LVCOLUMNW column = {};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = LVCFMT_LEFT;
    column.cx = width;
    column.pszText = const_cast<wchar_t*>(text_for_id(text_id));
    column.iSubItem = index;
    SendMessageW(list, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&column));
}

void set_cell(HWND list, int row, int column, const wchar_t* text) {
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text);
    SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
}

void add_rule_row(HWND list, int row, const Rule& rule) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    wchar_t name[ARRAYSIZE(rule.display_name) + 16];
    rule_row_name(&rule, text_for_id(137), name, ARRAYSIZE(name));
    item.pszText = name;
    int index = static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    if (index < 0) return;
    wchar_t mode[32], cache[32];
    text_copy_n(mode, 32, rule.auth_mode, 31);
    text_format(cache, 32, text_for_id(71), static_cast<unsigned long>(rule.cache_window_seconds));
    set_cell(list, index, 1, mode);
    set_cell(list, index, 2, cache);
    set_cell(list, index, 3, text_for_id(rule.enabled ? 72 : 73));
}

// The last bytes of the log (at most log_tail_window_cb), read without disturbing its writer.
// False when the file cannot be opened or read.
bool read_log_tail(const wchar_t* path, wchar_t* view, size_t cch_view) {
    OwnedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size)) return false;
    LONGLONG window = size.QuadPart < static_cast<LONGLONG>(log_tail_window_cb) ? size.QuadPart
                                                                                : static_cast<LONGLONG>(log_tail_window_cb);
    LARGE_INTEGER from = {};
    from.QuadPart = size.QuadPart - window;
    if (!SetFilePointerEx(file.get(), from, nullptr, FILE_BEGIN)) return false;
    void* bytes = HeapAlloc(GetProcessHeap(), 0, log_tail_window_cb);
    if (!bytes) return false;
    DWORD read = 0;
    bool ok = ReadFile(file.get(), bytes, static_cast<DWORD>(window), &read, nullptr) != FALSE;
    if (ok) collect_log_tail(static_cast<const char*>(bytes), read, from.QuadPart == 0, view, cch_view);
    HeapFree(GetProcessHeap(), 0, bytes);
    return ok;
}

}  // namespace

void build_dashboard_page(ConsoleRecord* c) {
    HWND content = c->content;
    bool running = service_running();
    make_button(content, id_start_stop, text_for_id(start_stop_caption_id(running)), 24, 312, 140, 36);
    make_button(content, id_clear_cache, text_for_id(55), 180, 312, 140, 36);
    make_button(content, id_uninstall, text_for_id(txt_uninstall), 336, 312, 140, 36);
    AuditLogProblem problem = AuditLogProblem::none;
    wchar_t refused[log_path_cch] = L"";
    bool known = read_audit_status(&problem, refused, log_path_cch);
    wchar_t line[audit_line_cch];
    if (audit_off_line(running, known, problem, refused, line, audit_line_cch)) {
        ClientSize size = content_size(c);
        int w = size.width <= 200 ? 660 : size.width;
        make_label(content, id_audit_line, line, 24, 364, w - 48, 44, ui_fonts().button, SS_LEFT);
    }
}

void build_rule_list_page(ConsoleRecord* c, int32_t type) {
    HWND content = c->content;
    ClientSize size = content_size(c);
    int w = size.width <= 200 ? 660 : size.width;
    int h = size.height <= 120 ? 480 : size.height;

    HWND list = CreateWindowExW(0, WC_LISTVIEWW, L"",
                                // Clipped by its siblings, so the empty-list text over it stays in view.
                                WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL |
                                    LVS_SHOWSELALWAYS | LVS_NOSORTHEADER,
                                16, 64, w - 32, h - 124, content, control_id(id_rule_list), GetModuleHandleW(nullptr),
                                nullptr);
    if (list) {
        set_font(list, ui_fonts().button);
        SetWindowTheme(list, L"Explorer", nullptr);
        SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
        add_column(list, 0, 82, 240);
        add_column(list, 1, 84, 100);
        add_column(list, 2, 85, 80);
        add_column(list, 3, 86, 70);
    }
    int rows = 0;
    for (uint32_t slot = 0; slot < c->policy.count && slot < policy_max_rules; ++slot) {
        if (c->policy.rules[slot].type != type) continue;
        if (list) add_rule_row(list, rows, c->policy.rules[slot]);
        ++rows;
    }
    if (rows == 0) {
        HWND empty = make_label(content, id_empty_list, text_for_id(69), 16, 104, w - 32, 24, ui_fonts().button, SS_CENTER);
        if (empty) SetWindowPos(empty, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    }

    int y = h - 52;
    make_button(content, id_add_rule, text_for_id(79), 16, y, 90, 36);
    make_button(content, id_toggle_rule, text_for_id(74), 114, y, 100, 36);
    make_button(content, id_edit_rule, text_for_id(txt_edit), 222, y, 72, 36);
    make_button(content, id_delete_rule, text_for_id(80), 302, y, 72, 36);
    int hint_width = w - 398 > 160 ? w - 398 : 160;
    make_label(content, id_restart_hint, text_for_id(68), w - hint_width - 16, h - 42, hint_width, 18, ui_fonts().body,
               SS_RIGHT);
}

void build_audit_page(ConsoleRecord* c) {
    HWND content = c->content;
    ClientSize size = content_size(c);
    // Where else the events go, for administrators who collect them from there.
    make_label(content, id_event_log_hint, text_for_id(txt_event_log_hint), 16, 64, size.width - 32, 20,
               ui_fonts().body);
    HWND view = CreateWindowExW(0, L"EDIT", L"",
                                WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_BORDER | ES_MULTILINE | ES_AUTOVSCROLL |
                                    ES_READONLY,
                                16, 90, size.width - 32, size.height - 106, content, control_id(id_log_view),
                                GetModuleHandleW(nullptr), nullptr);
    if (!view) return;
    set_font(view, ui_fonts().body);
    attach_rounded_frame(view);
    if (!c->settings.log_file[0]) {
        SetWindowTextW(view, text_for_id(76));
        return;
    }
    wchar_t* text = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, log_view_cch * sizeof(wchar_t)));
    if (!text) return;
    if (read_log_tail(c->settings.log_file, text, log_view_cch)) {
        SetWindowTextW(view, text);
        // Newest at the bottom. (EM_SCROLL with SB_BOTTOM does not move a Wine edit; this works on both.)
        SendMessageW(view, WM_VSCROLL, MAKEWPARAM(SB_BOTTOM, 0), 0);
    } else {
        SetWindowTextW(view, text_for_id(75));
    }
    HeapFree(GetProcessHeap(), 0, text);
}

void build_settings_page(ConsoleRecord* c) {
    HWND content = c->content;
    ClientSize size = content_size(c);
    int w = size.width - 32 < 560 ? size.width - 32 : 560;
    int w2 = (w - 16) / 2;
    const UiFonts& fonts = ui_fonts();
    const Settings& s = c->settings;

    make_label(content, 0, text_for_id(40), 16, 64, 300, 18, fonts.body);
    HWND url = make_rounded_edit(content, id_server_url, false, 16, 86, w, 30);
    make_label(content, 0, text_for_id(41), 16, 136, 300, 18, fonts.body);
    HWND key = make_rounded_edit(content, id_api_key, true, 16, 158, w, 30);
    make_label(content, 0, text_for_id(43), 16, 208, 400, 18, fonts.body);
    HWND user = make_rounded_edit(content, id_mfa_username, false, 16, 230, w, 30);
    make_label(content, 0, text_for_id(42), 16, 280, w2, 18, fonts.body);
    make_label(content, 0, text_for_id(44), w2 + 32, 280, w2, 18, fonts.body);
    HWND country = make_rounded_edit(content, id_country_code, false, 16, 302, w2, 30);
    const struct {
        HWND edit;
        const wchar_t* value;
        int limit;
    } fields[] = {{url, s.server_url, server_url_limit}, {key, s.api_key, api_key_limit},
                  {user, s.mfa_username, username_limit}, {country, s.country_code, country_limit}};
    for (const auto& field : fields) {
        if (!field.edit) continue;
        SendMessageW(field.edit, EM_LIMITTEXT, field.limit, 0);
        SetWindowTextW(field.edit, field.value);
    }

    HWND language = CreateWindowExW(0, WC_COMBOBOXW, L"", WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST,
                                    w2 + 32, 302, w2, 200, content, control_id(id_language),
                                    GetModuleHandleW(nullptr), nullptr);
    if (language) {
        set_font(language, fonts.button);
        SendMessageW(language, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"简体中文 (zh-CN)"));
        SendMessageW(language, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"English (en-US)"));
        SendMessageW(language, CB_SETCURSEL, language_index_of(s.language), 0);
    }
    make_button(content, id_save_settings, text_for_id(45), 16, 360, 120, 36);
    // The optional key has no field (it is set in the file only), but the page says when it is on.
    if (plain_http_allowed(s.allow_plain_http))
        make_label(content, id_plain_http_note, console_text(ConsoleText::plain_http_allowed), 16, 408, w, 18,
                   fonts.body);
}
