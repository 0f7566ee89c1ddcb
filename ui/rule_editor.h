// The rule editor's rules, apart from any window: the quick-select presets, the fill-in rules
// that derive a file name and a display name from a path or a preset, the form's validation and
// the Rule it makes. rule_editor_win.cpp reads the fields, asks these functions and writes back.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/file_identity.h"
#include "common/policy.h"

enum class Language;

// Control ids of the editor window.
enum RuleEditorControl : int {
    id_display_name = 501,
    id_file_name = 502,
    id_path = 503,
    id_args = 504,
    id_mode = 505,
    id_cache = 506,
    id_editor_save = 507,
    id_editor_cancel = 508,
    id_validation = 509,
    id_browse = 510,
    id_presets = 511,
    id_original_name = 512,
    id_sha256 = 513,
    id_identity_note = 514,
};

// Field capacities (units, terminator included).
constexpr size_t form_display_cch = 128;
constexpr size_t form_file_cch = 260;
constexpr size_t form_path_cch = 1024;
constexpr size_t form_args_cch = 512;
constexpr size_t form_cache_cch = 16;
constexpr size_t form_mode_cch = 32;
constexpr size_t form_original_name_cch = 260;
constexpr size_t form_sha256_cch = 65;

struct RulePreset {
    const wchar_t* label;
    const wchar_t* file_name;  // empty on the heading row and on "Custom..."
    const wchar_t* path;
    const wchar_t* args;
};

constexpr int preset_count = 13;
constexpr int auth_mode_count = 4;
extern const wchar_t* const auth_modes[auth_mode_count];  // "totp", "push", "sms", "email"

// The quick-select rows: English for Language::en_us, Chinese otherwise.
const RulePreset* rule_presets(Language language);

// "notepad.exe" -> "Notepad": at most 127 characters, a final ".exe" (any case) cut, an ASCII
// lower-case first letter raised.
void display_name_from_file_name(const wchar_t* file_name, wchar_t* out, size_t cch_out);
// The text after the last backslash, else after the last slash, else the whole path (at most 259).
void file_name_of_path(const wchar_t* path, wchar_t* out, size_t cch_out);
// A preset label up to its first "（" (else its first "("), trailing spaces removed, at most 127.
void preset_display_name(const wchar_t* label, wchar_t* out, size_t cch_out);
// Index of the mode equal to auth_mode ignoring case; 0 when none is.
int auth_mode_index(const wchar_t* auth_mode);

// What a fill-in rule writes into the form; a field is written only when its flag is set.
struct RuleFieldFill {
    bool set_display, set_file, set_path, set_args;
    wchar_t display_name[form_display_cch];
    wchar_t file_name[form_file_cch];
    wchar_t path[form_path_cch];
    wchar_t args[form_args_cch];
};

// A preset chosen (row 1..12; other rows fill nothing and return false). The display name is
// filled only when the form's is empty, the argument filter only when the row has one.
bool fill_from_preset(const RulePreset* presets, int row, const wchar_t* current_display, RuleFieldFill* out);
// The path typed: only when the path is not empty and the file name field is, the file name of
// the path, and the display name from it when that field is empty too.
bool fill_from_typed_path(const wchar_t* path, const wchar_t* current_file, const wchar_t* current_display,
                          RuleFieldFill* out);
// A file chosen with Browse: the path, its file name (always), and the display name when empty.
bool fill_from_browsed_path(const wchar_t* path, const wchar_t* current_display, RuleFieldFill* out);

// What Browse reads from the chosen file for the identity fields: its OriginalFilename (empty
// when it has none) and its SHA-256 (lower-case hexadecimal; empty when it could not be read).
struct IdentityFill {
    wchar_t original_name[form_original_name_cch];
    wchar_t sha256[form_sha256_cch];
};
// The identity fields from what was read: an OriginalFilename only when there is one, the hash
// whenever it was made. False (out untouched) when neither was read.
bool identity_fill(const FileIdentity* identity, bool read, IdentityFill* out);

struct RuleForm {
    wchar_t display_name[form_display_cch];
    wchar_t file_name[form_file_cch];
    wchar_t path[form_path_cch];
    wchar_t args[form_args_cch];  // empty for program rules
    wchar_t cache[form_cache_cch];
    wchar_t mode[form_mode_cch];
    wchar_t original_name[form_original_name_cch];
    wchar_t sha256[form_sha256_cch];
};

// 0 when the form can be saved, else the language-table id of the message to show (118, 119,
// 136 for a SHA-256 that is not 64 hexadecimal digits). A rule may name its program by identity
// alone: an OriginalFilename or a hash stands for the name or path.
unsigned check_rule_form(const RuleForm* form);
// The leading decimal digits of a text (spaces before them skipped), at most 2^31 - 1; 0 without.
int32_t leading_seconds(const wchar_t* text);
// The rule the form makes: enabled kept from previous when editing, 1 for a new rule.
void rule_from_form(const RuleForm* form, int32_t type, const Rule* previous, Rule* out);

// The editor's vertical layout: the first field label (20, or 116 below the quick select of a new
// command rule), the path row, the last text row (the path, or the argument filter of command
// rules), the identity row (OriginalFilename and SHA-256 side by side, the hash note under them),
// the mode combo, and the client height (program 504, new command 664, edited command 568).
struct EditorLayout {
    int top, path_row, last_text_row, identity_row, mode_row, client_height;
};
EditorLayout editor_layout(int32_t type, bool editing);
// Title string id: 105 add app, 106 add command, 107 edit app, 108 edit command.
unsigned editor_title_id(int32_t type, bool editing);
