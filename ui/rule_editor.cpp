#include "ui/rule_editor.h"

#include <string.h>

#include "common/lang.h"
#include "common/text.h"

const wchar_t* const auth_modes[auth_mode_count] = {L"totp", L"push", L"sms", L"email"};

namespace {

// Rows 1 to 11 are the same in both tables except for the label.
#define SN_PRESET_ROWS(l1, l2, l3, l4, l5, l6, l7, l8, l9, l10, l11)                                       \
    {l1, L"cmd.exe", L"C:\\Windows\\System32\\cmd.exe", L""},                                              \
    {l2, L"powershell.exe", L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe", L""},       \
    {l3, L"pwsh.exe", L"C:\\Program Files\\PowerShell\\7\\pwsh.exe", L""},                                 \
    {l4, L"sc.exe", L"C:\\Windows\\System32\\sc.exe", L"stop "},                                           \
    {l5, L"reg.exe", L"C:\\Windows\\System32\\reg.exe", L""},                                              \
    {l6, L"net.exe", L"C:\\Windows\\System32\\net.exe", L""},                                              \
    {l7, L"netsh.exe", L"C:\\Windows\\System32\\netsh.exe", L""},                                          \
    {l8, L"regedit.exe", L"C:\\Windows\\regedit.exe", L""},                                                \
    {l9, L"taskkill.exe", L"C:\\Windows\\System32\\taskkill.exe", L"/F /IM "},                             \
    {l10, L"mmc.exe", L"C:\\Windows\\System32\\mmc.exe", L""},                                             \
    {l11, L"wmic.exe", L"C:\\Windows\\System32\\wbem\\wmic.exe", L""}

const RulePreset presets_en_us[preset_count] = {
    {L"— Quick Select Presets —", L"", L"", L""},
    SN_PRESET_ROWS(L"cmd.exe (Command Prompt)", L"powershell.exe (PowerShell)", L"pwsh.exe (PowerShell 7)",
                   L"sc.exe (Service Control)", L"reg.exe (Registry CLI)", L"net.exe (Net/User Management)",
                   L"netsh.exe (Network Config)", L"regedit.exe (Registry Editor)", L"taskkill.exe (Kill Process)",
                   L"mmc.exe (Mgmt Console)", L"wmic.exe (WMI Command)"),
    {L"Custom...", L"", L"", L""},
};

const RulePreset presets_zh_cn[preset_count] = {
    {L"— 快速选择常用命令 —", L"", L"", L""},
    SN_PRESET_ROWS(L"cmd.exe（命令提示符）", L"powershell.exe（PowerShell）", L"pwsh.exe（PowerShell 7）",
                   L"sc.exe（服务控制）", L"reg.exe（注册表编辑）", L"net.exe（网络/用户管理）",
                   L"netsh.exe（网络配置）", L"regedit.exe（注册表编辑器）", L"taskkill.exe（结束进程）",
                   L"mmc.exe（管理控制台）", L"wmic.exe（WMI 命令行）"),
    {L"自定义…", L"", L"", L""},
};

#undef SN_PRESET_ROWS

bool empty(const wchar_t* text) { return !text || !text[0]; }

void clear_fill(RuleFieldFill* out) { memset(out, 0, sizeof *out); }

}  // namespace

const RulePreset* rule_presets(Language language) {
    return language == Language::en_us ? presets_en_us : presets_zh_cn;
}

void display_name_from_file_name(const wchar_t* file_name, wchar_t* out, size_t cch_out) {
    wchar_t name[form_display_cch];
    text_copy_n(name, form_display_cch, file_name, form_display_cch - 1);
    wchar_t* dot = wcsrchr(name, L'.');
    if (dot && text_equal_ascii_nocase(dot, L".exe")) *dot = 0;
    if (name[0] >= L'a' && name[0] <= L'z') name[0] = static_cast<wchar_t>(name[0] - L'a' + L'A');
    text_copy(out, cch_out, name);
}

void file_name_of_path(const wchar_t* path, wchar_t* out, size_t cch_out) {
    const wchar_t* p = path ? path : L"";
    const wchar_t* cut = wcsrchr(p, L'\\');
    if (!cut) cut = wcsrchr(p, L'/');
    wchar_t name[form_file_cch];
    text_copy_n(name, form_file_cch, cut ? cut + 1 : p, form_file_cch - 1);
    text_copy(out, cch_out, name);
}

void preset_display_name(const wchar_t* label, wchar_t* out, size_t cch_out) {
    wchar_t name[form_display_cch];
    text_copy_n(name, form_display_cch, label, form_display_cch - 1);
    wchar_t* cut = wcschr(name, L'\xFF08');  // full-width "（"
    if (!cut) cut = wcschr(name, L'(');
    if (cut) *cut = 0;
    size_t length = wcslen(name);
    while (length > 0 && name[length - 1] == L' ') name[--length] = 0;
    text_copy(out, cch_out, name);
}

int auth_mode_index(const wchar_t* auth_mode) {
    for (int i = 0; i < auth_mode_count; ++i)
        if (auth_mode && text_equal_ascii_nocase(auth_mode, auth_modes[i])) return i;
    return 0;
}

bool fill_from_preset(const RulePreset* presets, int row, const wchar_t* current_display, RuleFieldFill* out) {
    clear_fill(out);
    if (!presets || row < 1 || row > preset_count - 1) return false;
    const RulePreset& preset = presets[row];
    out->set_file = out->set_path = true;
    text_copy(out->file_name, preset.file_name);
    text_copy(out->path, preset.path);
    if (!empty(preset.args)) {
        out->set_args = true;
        text_copy(out->args, preset.args);
    }
    if (empty(current_display)) {
        out->set_display = true;
        preset_display_name(preset.label, out->display_name, form_display_cch);
    }
    return true;
}

bool fill_from_typed_path(const wchar_t* path, const wchar_t* current_file, const wchar_t* current_display,
                          RuleFieldFill* out) {
    clear_fill(out);
    if (empty(path) || !empty(current_file)) return false;
    out->set_file = true;
    file_name_of_path(path, out->file_name, form_file_cch);
    if (empty(current_display) && out->file_name[0]) {
        out->set_display = true;
        display_name_from_file_name(out->file_name, out->display_name, form_display_cch);
    }
    return true;
}

bool fill_from_browsed_path(const wchar_t* path, const wchar_t* current_display, RuleFieldFill* out) {
    clear_fill(out);
    if (empty(path)) return false;
    out->set_path = out->set_file = true;
    text_copy(out->path, path);
    file_name_of_path(path, out->file_name, form_file_cch);
    if (empty(current_display)) {
        out->set_display = true;
        display_name_from_file_name(out->file_name, out->display_name, form_display_cch);
    }
    return true;
}

bool identity_fill(const FileIdentity* identity, bool read, IdentityFill* out) {
    if (!read) return false;
    IdentityFill fill = {};
    if (identity->have_original_name) text_copy(fill.original_name, identity->original_name);
    if (identity->have_sha256 && !sha256_to_hex(identity->sha256, fill.sha256, form_sha256_cch)) fill.sha256[0] = 0;
    if (empty(fill.original_name) && empty(fill.sha256)) return false;
    *out = fill;
    return true;
}

unsigned check_rule_form(const RuleForm* form) {
    if (empty(form->display_name)) return 118;
    uint8_t sha256[sha256_cb];
    if (!empty(form->sha256) && !sha256_from_hex(form->sha256, sha256)) return 136;
    if (empty(form->file_name) && empty(form->path) && empty(form->original_name) && empty(form->sha256)) return 119;
    return 0;
}

int32_t leading_seconds(const wchar_t* text) {
    const wchar_t* p = text ? text : L"";
    while (*p == L' ') ++p;
    uint64_t value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - L'0');
        if (value > 0x7FFFFFFF) return 0x7FFFFFFF;
    }
    return static_cast<int32_t>(value);
}

void rule_from_form(const RuleForm* form, int32_t type, const Rule* previous, Rule* out) {
    memset(out, 0, sizeof *out);
    out->type = type;
    out->enabled = previous ? previous->enabled : 1;
    text_copy(out->display_name, form->display_name);
    text_copy(out->match_name, form->file_name);
    text_copy(out->match_path, form->path);
    text_copy(out->args_contains, type == rule_type_command ? form->args : L"");
    text_copy(out->match_original_name, form->original_name);
    text_copy(out->match_sha256, form->sha256);
    text_copy(out->auth_mode, form->mode);
    out->cache_window_seconds = leading_seconds(form->cache);
}

EditorLayout editor_layout(int32_t type, bool editing) {
    EditorLayout layout;
    layout.top = type == rule_type_command && !editing ? 116 : 20;
    layout.path_row = layout.top + 150;
    layout.last_text_row = type == rule_type_command ? layout.top + 214 : layout.path_row;
    layout.identity_row = layout.last_text_row + 64;
    layout.mode_row = layout.identity_row + 84;
    layout.client_height = layout.mode_row + 186;
    return layout;
}

unsigned editor_title_id(int32_t type, bool editing) {
    if (type == rule_type_command) return editing ? 108 : 106;
    return editing ? 107 : 105;
}
