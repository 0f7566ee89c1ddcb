// The console's rules, apart from any window: pages, control ids, which rule a list row stands
// for, what a change must leave in the files, the settings page's fields, what the setup wizard
// writes, and the console's own texts in both languages. The window code (console_*_win.cpp,
// content_win.cpp, setup_wizard_win.cpp) asks these functions and carries out the answer.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/policy.h"
#include "common/settings.h"

enum ConsolePage : int32_t {
    page_dashboard = 0,
    page_app_rules = 1,
    page_cmd_rules = 2,
    page_audit = 3,
    page_settings = 4,
};
constexpr int console_page_count = 5;

enum ConsoleControl : int {
    id_sidebar_first = 200,  // 200..204: the five pages
    id_content = 210,
    id_start_stop = 212,
    id_rule_list = 213,
    id_add_rule = 214,
    id_delete_rule = 215,
    id_toggle_rule = 216,
    id_clear_cache = 217,
    id_edit_rule = 218,
    id_uninstall = 219,
    id_log_view = 220,
    id_empty_list = 221,
    id_restart_hint = 222,
    id_event_log_hint = 223,
    id_server_url = 301,
    id_api_key = 302,
    id_country_code = 303,
    id_mfa_username = 304,
    id_language = 305,
    id_save_settings = 310,
    id_plain_http_note = 311,
};

// Language-table ids the console uses.
enum ConsoleTextId : unsigned {
    txt_page_first = 34,  // 34..38: the sidebar items and page titles
    txt_open_console = 39,
    txt_settings_saved = 46,
    txt_rules_line = 52,
    txt_start_service = 53,
    txt_stop_service = 54,
    txt_edit = 81,
    txt_error = 91,
    txt_select_rule = 92,
    txt_saved_restart = 93,
    txt_delete_confirm = 94,
    txt_cache_cleared = 96,
    txt_no_service = 97,
    txt_auth_failed = 101,
    txt_product_title = 103,
    txt_config_saved = 129,
    txt_uninstall = 130,
    txt_uninstall_confirm = 131,
    txt_uninstalled = 132,
    txt_event_log_hint = 138,
};

// The rule type a page lists: program rules on the app-rules page, command rules on every other.
int32_t page_rule_type(int32_t page);
// Slot of the n-th rule (from 0) of a type, in slot order; -1 when there is none.
int nth_rule_slot(const Policy* p, int32_t type, uint32_t n);
// Removes a slot; later slots move down one and the freed last slot is zeroed. False when the
// slot is not in use.
bool remove_rule_slot(Policy* p, uint32_t slot);
// Appends r as the file would read it back after append_rule (always enabled); false when full.
bool policy_append(Policy* p, const Rule* r);
bool rules_equal(const Rule* a, const Rule* b);
// A rule's name on the rule pages: the display name, followed by marker when the rule names its
// program by identity (OriginalFilename or SHA-256).
void rule_row_name(const Rule* rule, const wchar_t* marker, wchar_t* out, size_t cch_out);
bool policies_equal(const Policy* a, const Policy* b);
// Program rules, and every other rule counted as a command rule (the dashboard's line).
void count_rules(const Policy* p, uint32_t* app_rules, uint32_t* cmd_rules);

// What the service control manager and the object namespace say about the service.
struct ServiceProbe {
    bool state_known;      // the service's state could be read
    bool missing;          // the service is not installed (known from the failed open)
    uint32_t state;        // SERVICE_STOPPED 1 ... SERVICE_RUNNING 4, when known
    bool foreground_run;   // a `SentrelSvc.exe run` holds its mutex
};
// Whether the two JSON files may be guarded (so a change would be refused or put back): the
// service exists and is not stopped, its state is unknown, or a foreground run is active.
bool files_guarded(const ServiceProbe& probe);

// The Start/Stop button says what it does: "Stop Service" (54) while the service runs, "Start
// Service" (53) while it does not.
unsigned start_stop_caption_id(bool running);

// The settings page's fields as read from its controls.
struct SettingsForm {
    wchar_t server_url[256];
    wchar_t api_key[256];
    wchar_t mfa_username[128];
    wchar_t country_code[32];
    int language_index;  // the combo's selection: 1 English, anything else Chinese
};
// The combo entry shown for a language setting: 1 only for exactly "en-US".
int language_index_of(const wchar_t* language);
// What Save writes: the loaded settings with the page's five fields put in.
void settings_from_form(const Settings* loaded, const SettingsForm* form, Settings* out);
bool settings_equal(const Settings* a, const Settings* b);
// The setup wizard's file: what an existing settings text holds (null or unreadable: nothing; a
// language it does not name stays unnamed), with the three values it asks for put in.
void wizard_settings(const wchar_t* existing_text, const wchar_t* server_url, const wchar_t* api_key,
                     const wchar_t* mfa_username, Settings* out);
// The URL may be saved: https://, or plain http:// to this machine, or allow_plain_http set.
bool server_url_savable(const Settings* s);

// The console needs the setup wizard while any of the three connection values is empty.
bool needs_setup(const Settings* s);

// Texts of the console that the language table lacks, in the current language.
enum class ConsoleText {
    protection_on,          // a change refused while the service runs
    rule_write_failed,      // %s: the policy path
    rule_not_held,          // written, but the file read back does not hold the change
    policy_too_large,       // %s: the policy path
    policy_no_list,         // %s: the policy path
    policy_unreadable,      // %s: the policy path
    policy_full,            // the file already holds the most rules the reader takes
    policy_changed,         // the file changed since the list was built
    settings_write_failed,  // %s: the settings path
    settings_not_held,
    wizard_settings_failed, // %s: the settings path
    wizard_policy_failed,   // %s: the policy path
    service_not_started,    // %s: the command ("install", "stop"), %lu: the error
    service_command_failed, // %s: the command, %lu: its exit code
    service_still_pending,  // %s: the command
    uninstall_busy,
    tray_exit,              // fixed English texts of the console, also in Chinese
    uninstalling,
    uninstaller_not_started,
    uninstall_failed,       // %X: the exit code
    plain_http_refused,     // a server_url the settings would refuse to use
    plain_http_allowed,     // the settings page's note while allow_plain_http is "true"
};
const wchar_t* console_text(ConsoleText which);
