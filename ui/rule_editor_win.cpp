// The rule editor window (class SNAddRule): a modal window over the console for adding or
// changing one rule. The window procedure unpacks messages; the fill-in rules, validation and the
// rule it makes live in rule_editor.cpp.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <dwmapi.h>
#include <string.h>

#include "common/lang.h"
#include "common/text.h"
#include "ui/console.h"
#include "ui/controls.h"
#include "ui/rule_editor.h"
#include "ui/ui_fonts.h"

namespace {

constexpr const wchar_t* editor_class = L"SNAddRule";
constexpr int client_width = 460;
constexpr DWORD dwm_window_corner_preference = 33;
constexpr DWORD dwm_corner_round = 2;

struct EditorState {
    int32_t type;
    Rule result;
    int32_t saved;
    int32_t editing;
    Rule previous;
    HWND owner;
};

EditorState* state_of(HWND window) { return reinterpret_cast<EditorState*>(GetWindowLongPtrW(window, GWLP_USERDATA)); }

Language preset_language() {
    const ConsoleRecord* c = console_record();
    return c && is_english_code(c->settings.language) ? Language::en_us : Language::zh_cn;
}

HWND make_combo(HWND window, int id, int x, int y, int width, int height) {
    HWND combo = CreateWindowExW(0, WC_COMBOBOXW, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWNLIST, x, y, width,
                                 height, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 GetModuleHandleW(nullptr), nullptr);
    if (combo) SendMessageW(combo, WM_SETFONT, reinterpret_cast<WPARAM>(ui_fonts().button), TRUE);
    return combo;
}

void label(HWND window, unsigned text_id, int y, DWORD extra_style = 0) {
    make_label(window, 0, text_for_id(text_id), 20, y, 420, 18, ui_fonts().body, extra_style);
}

void read(HWND window, int id, wchar_t* out, size_t cch) {
    out[0] = 0;
    if (GetDlgItem(window, id)) GetDlgItemTextW(window, id, out, static_cast<int>(cch));
}

// The file name goes in before the path, so the path's change notice finds it filled.
void apply_fill(HWND window, const RuleFieldFill& fill) {
    if (fill.set_file) SetDlgItemTextW(window, id_file_name, fill.file_name);
    if (fill.set_path) SetDlgItemTextW(window, id_path, fill.path);
    if (fill.set_args && GetDlgItem(window, id_args)) SetDlgItemTextW(window, id_args, fill.args);
    if (fill.set_display) SetDlgItemTextW(window, id_display_name, fill.display_name);
}

void place_window(HWND window, int client_height) {
    RECT r = {0, 0, client_width, client_height};
    AdjustWindowRectEx(&r, WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_DLGMODALFRAME);
    int width = r.right - r.left, height = r.bottom - r.top;
    SetWindowPos(window, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void fill_from_rule(HWND window, const Rule& rule, int32_t type) {
    SetDlgItemTextW(window, id_display_name, rule.display_name);
    SetDlgItemTextW(window, id_file_name, rule.match_name);
    SetDlgItemTextW(window, id_path, rule.match_path);
    if (type == rule_type_command) SetDlgItemTextW(window, id_args, rule.args_contains);
    SetDlgItemTextW(window, id_original_name, rule.match_original_name);
    SetDlgItemTextW(window, id_sha256, rule.match_sha256);
    SendDlgItemMessageW(window, id_mode, CB_SETCURSEL, auth_mode_index(rule.auth_mode), 0);
    wchar_t cache[16];
    text_format(cache, 16, L"%lu", static_cast<unsigned long>(rule.cache_window_seconds));
    SetDlgItemTextW(window, id_cache, cache);
}

bool on_create(HWND window, const CREATESTRUCTW* create) {
    auto* e = static_cast<EditorState*>(create->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(e));
    DWORD corner = dwm_corner_round;
    DwmSetWindowAttribute(window, dwm_window_corner_preference, &corner, sizeof corner);
    bool editing = e->editing != 0;
    SetWindowTextW(window, text_for_id(editor_title_id(e->type, editing)));
    EditorLayout layout = editor_layout(e->type, editing);

    if (e->type == rule_type_command && !editing) {
        label(window, 109, 20);
        HWND presets = make_combo(window, id_presets, 20, 42, 420, 200);
        const RulePreset* rows = rule_presets(preset_language());
        for (int i = 0; presets && i < preset_count; ++i)
            SendMessageW(presets, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(rows[i].label));
        if (presets) SendMessageW(presets, CB_SETCURSEL, 0, 0);
        label(window, 110, 84, SS_CENTER);
    }
    int y = layout.top;
    label(window, 111, y);
    make_rounded_edit(window, id_display_name, false, 20, y + 22, 420, 28);
    label(window, 112, y + 64);
    make_rounded_edit(window, id_file_name, false, 20, y + 86, 420, 28);
    label(window, 113, y + 128);
    if (e->type == rule_type_program) {
        make_rounded_edit(window, id_path, false, 20, layout.path_row, 342, 28);
        make_button(window, id_browse, text_for_id(115), 368, layout.path_row, 72, 28);
    } else {
        make_rounded_edit(window, id_path, false, 20, layout.path_row, 420, 28);
        label(window, 114, y + 192);
        make_rounded_edit(window, id_args, false, 20, layout.last_text_row, 420, 28);
    }
    int f = layout.mode_row, r = layout.identity_row;
    make_label(window, 0, text_for_id(133), 20, r - 22, 144, 18, ui_fonts().body);
    make_label(window, 0, text_for_id(134), 168, r - 22, 272, 18, ui_fonts().body);
    make_rounded_edit(window, id_original_name, false, 20, r, 140, 28);
    make_rounded_edit(window, id_sha256, false, 168, r, 272, 28);
    make_label(window, id_identity_note, text_for_id(135), 20, r + 34, 420, 18, ui_fonts().body);
    label(window, 116, f - 22);
    HWND modes = make_combo(window, id_mode, 20, f, 200, 120);
    for (int i = 0; modes && i < auth_mode_count; ++i)
        SendMessageW(modes, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(auth_modes[i]));
    label(window, 117, f + 42);
    make_rounded_edit(window, id_cache, false, 20, f + 64, 120, 28);
    HWND validation = make_label(window, id_validation, L"", 20, f + 106, 420, 18, ui_fonts().body);
    if (validation) ShowWindow(validation, SW_HIDE);
    make_button(window, id_editor_save, text_for_id(editing ? 120 : 121), 20, f + 132, 206, 34);
    make_button(window, id_editor_cancel, text_for_id(19), 234, f + 132, 206, 34);

    // Limits keep what is typed within the rule's fields (terminator included).
    const struct {
        int id;
        size_t cch;
    } limits[] = {{id_display_name, form_display_cch}, {id_file_name, form_file_cch}, {id_path, form_path_cch},
                  {id_args, form_args_cch},           {id_cache, form_cache_cch},
                  {id_original_name, form_original_name_cch}, {id_sha256, form_sha256_cch}};
    for (const auto& limit : limits)
        if (GetDlgItem(window, limit.id)) SendDlgItemMessageW(window, limit.id, EM_LIMITTEXT, limit.cch - 1, 0);

    if (editing) {
        fill_from_rule(window, e->previous, e->type);
    } else {
        SendMessageW(modes, CB_SETCURSEL, 0, 0);
        SetDlgItemTextW(window, id_cache, L"300");
    }
    place_window(window, layout.client_height);
    return true;
}

void show_validation(HWND window, unsigned text_id) {
    HWND line = GetDlgItem(window, id_validation);
    if (!line) return;
    SetWindowTextW(line, text_id ? text_for_id(text_id) : L"");
    ShowWindow(line, text_id ? SW_SHOW : SW_HIDE);
    // A transparent label leaves the old text behind unless the window under it is redrawn.
    RECT r;
    GetWindowRect(line, &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    RedrawWindow(window, &r, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

// The owner is enabled again before the editor goes, so the activation returns to it.
void close_editor(HWND window, EditorState* e) {
    if (e && e->owner) EnableWindow(e->owner, TRUE);
    DestroyWindow(window);
}

void on_save(HWND window, EditorState* e) {
    static RuleForm form;
    memset(&form, 0, sizeof form);
    read(window, id_display_name, form.display_name, form_display_cch);
    read(window, id_file_name, form.file_name, form_file_cch);
    read(window, id_path, form.path, form_path_cch);
    read(window, id_args, form.args, form_args_cch);
    read(window, id_cache, form.cache, form_cache_cch);
    read(window, id_original_name, form.original_name, form_original_name_cch);
    read(window, id_sha256, form.sha256, form_sha256_cch);
    unsigned problem = check_rule_form(&form);
    show_validation(window, problem);
    if (problem) return;
    int mode = static_cast<int>(SendDlgItemMessageW(window, id_mode, CB_GETCURSEL, 0, 0));
    text_copy(form.mode, auth_modes[mode >= 0 && mode < auth_mode_count ? mode : 0]);
    rule_from_form(&form, e->type, e->editing ? &e->previous : nullptr, &e->result);
    e->saved = 1;
    close_editor(window, e);
}

void on_browse(HWND window) {
    wchar_t file[form_path_cch] = L"";
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window;
    dialog.lpstrFilter = text_for_id(90);
    dialog.lpstrFile = file;
    dialog.nMaxFile = form_path_cch;
    dialog.lpstrTitle = text_for_id(89);
    dialog.lpstrInitialDir = L"C:\\Program Files";
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameW(&dialog)) return;
    wchar_t display[form_display_cch];
    read(window, id_display_name, display, form_display_cch);
    RuleFieldFill fill;
    if (fill_from_browsed_path(file, display, &fill)) apply_fill(window, fill);
    // The identity of the chosen file, read as the console's user; a field is replaced only
    // by what could be read.
    FileIdentity identity;
    IdentityFill identity_fields;
    if (identity_fill(&identity, read_file_identity(file, true, &identity), &identity_fields)) {
        SetDlgItemTextW(window, id_original_name, identity_fields.original_name);
        SetDlgItemTextW(window, id_sha256, identity_fields.sha256);
    }
}

// Each fill is its own: writing a field sends this window the field's change notice, which runs
// the path rule before the outer fill is done.
void on_command(HWND window, EditorState* e, int id, int code) {
    switch (id) {
        case id_presets: {
            if (code != CBN_SELCHANGE) break;
            int row = static_cast<int>(SendDlgItemMessageW(window, id_presets, CB_GETCURSEL, 0, 0));
            wchar_t display[form_display_cch];
            read(window, id_display_name, display, form_display_cch);
            RuleFieldFill fill;
            if (!fill_from_preset(rule_presets(preset_language()), row, display, &fill)) break;
            apply_fill(window, fill);
            SetFocus(GetDlgItem(window, id_display_name));
            break;
        }
        case id_path: {
            if (code != EN_CHANGE) break;
            wchar_t path[form_path_cch], file[form_file_cch], display[form_display_cch];
            read(window, id_path, path, form_path_cch);
            read(window, id_file_name, file, form_file_cch);
            read(window, id_display_name, display, form_display_cch);
            RuleFieldFill fill;
            if (fill_from_typed_path(path, file, display, &fill)) apply_fill(window, fill);
            break;
        }
        case id_browse: on_browse(window); break;
        case id_editor_save: on_save(window, e); break;
        case id_editor_cancel: close_editor(window, e); break;
        default: break;
    }
}

LRESULT CALLBACK editor_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    EditorState* e = state_of(window);
    switch (message) {
        case WM_CREATE:
            return on_create(window, reinterpret_cast<CREATESTRUCTW*>(lparam)) ? 0 : -1;
        case WM_COMMAND:
            if (e) on_command(window, e, LOWORD(wparam), HIWORD(wparam));
            return 0;
        case WM_CLOSE:
            close_editor(window, e);
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
            paint_button(item, item->CtlID == static_cast<UINT>(id_editor_save) ? button_primary : button_secondary);
            return TRUE;
        }
        case WM_CTLCOLOREDIT:
            return colour_edit(reinterpret_cast<HDC>(wparam));
        case WM_CTLCOLORSTATIC: {
            bool validation = GetDlgCtrlID(reinterpret_cast<HWND>(lparam)) == id_validation;
            return colour_static(reinterpret_cast<HDC>(wparam), validation ? palette::bad : palette::text,
                                 static_cast<HBRUSH>(GetStockObject(HOLLOW_BRUSH)));
        }
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

bool run_rule_editor(HWND owner, int32_t type, const Rule* existing, Rule* out) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = editor_window_proc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.lpszClassName = editor_class;
    RegisterClassExW(&window_class);

    static EditorState state;  // two Rules: kept off the stack; one editor at a time (it is modal)
    memset(&state, 0, sizeof state);
    state.type = type;
    state.owner = owner;
    if (existing) {
        state.editing = 1;
        state.previous = *existing;
    }
    HWND window = CreateWindowExW(WS_EX_DLGMODALFRAME, editor_class, text_for_id(existing ? 81 : 79),
                                  WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT, CW_USEDEFAULT, 460, 440, owner, nullptr,
                                  instance, &state);
    if (!window) {
        UnregisterClassW(editor_class, instance);
        return false;
    }
    if (owner) EnableWindow(owner, FALSE);
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    run_message_loop();
    if (owner) EnableWindow(owner, TRUE);
    UnregisterClassW(editor_class, instance);
    if (!state.saved || !out) return false;
    *out = state.result;
    return true;
}
