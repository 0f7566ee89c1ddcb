// The console's commands: service control, the approval cache, rule changes, uninstall and
// settings. A change to the two JSON files is made only while the service is stopped (a running
// service guards them and puts back any change), every write is checked by reading the file back,
// and the console says what happened: "Saved" only when the file holds the change.
#include <windows.h>
#include <commctrl.h>
#include <string.h>

#include "common/auth_pipe.h"
#include "common/lang.h"
#include "common/log.h"
#include "common/text.h"
#include "common/ui_broker.h"
#include "ui/console.h"
#include "ui/service_control.h"

namespace {

constexpr size_t message_cch = 1280;
constexpr DWORD uninstall_step_ms = 100;

// Scratch policies for one command at a time (the console has one thread); too large for a stack.
Policy scratch_file, scratch_expected;

// Message boxes owned by the console count as modal: the tray's Exit waits for them.
int show_message(ConsoleRecord* c, const wchar_t* text, const wchar_t* caption, UINT flags) {
    ++c->modal_depth;
    int answer = MessageBoxW(c->main_window, text, caption, flags);
    --c->modal_depth;
    return answer;
}

void show_formatted(ConsoleRecord* c, ConsoleText which, const wchar_t* argument, const wchar_t* caption, UINT flags) {
    wchar_t text[message_cch];
    text_format(text, message_cch, console_text(which), argument);
    show_message(c, text, caption, flags);
}

// The administrator gate: MFA through the dialog host. A refusal with a reason says it.
bool admin_gate(ConsoleRecord* c, unsigned label_id) {
    wchar_t message[ui_result_cch] = L"";
    ++c->modal_depth;
    bool approved = authenticate_admin(&c->settings, text_for_id(label_id), message, ui_result_cch);
    --c->modal_depth;
    if (!approved && message[0]) show_message(c, message, text_for_id(txt_error), MB_OK | MB_ICONERROR);
    return approved;
}

// True (and the reason shown) while the service guards the files.
bool refused_while_protected(ConsoleRecord* c) {
    if (!protection_active()) return false;
    show_message(c, console_text(ConsoleText::protection_on), text_for_id(txt_product_title), MB_OK | MB_ICONWARNING);
    return true;
}

// The n-th row selected in the page's list, or -1 (and the hint shown).
int selected_row(ConsoleRecord* c) {
    HWND list = GetDlgItem(c->content, id_rule_list);
    int row = list ? static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED)) : -1;
    if (row < 0) show_message(c, text_for_id(txt_select_rule), text_for_id(txt_product_title), MB_OK | MB_ICONINFORMATION);
    return row;
}

void reload(ConsoleRecord* c) {
    load_policy(c->policy_path, &c->policy);
    show_page(c, c->page);
}

enum class PolicyFile { missing, too_large, present };

PolicyFile policy_file_state(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? PolicyFile::missing : PolicyFile::present;
    }
    if (data.nFileSizeHigh != 0 || data.nFileSizeLow > file_read_max_cb) return PolicyFile::too_large;
    return PolicyFile::present;
}

// Whether the rule file's text has the "]" that a new rule is put before.
bool policy_text_has_list(const wchar_t* path) {
    wchar_t* text = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, policy_text_cch * sizeof(wchar_t)));
    if (!text) return false;
    bool has_list = read_utf8_file(path, text, policy_text_cch) && wcschr(text, L']') != nullptr;
    HeapFree(GetProcessHeap(), 0, text);
    return has_list;
}

// Before a change of a listed rule: the list must still show what the file holds, or the row
// chosen may stand for another rule. When it does not, the list is rebuilt and nothing changes.
bool list_is_current(ConsoleRecord* c) {
    if (policy_file_state(c->policy_path) == PolicyFile::too_large) {
        show_formatted(c, ConsoleText::policy_too_large, c->policy_path, text_for_id(txt_error), MB_OK | MB_ICONERROR);
        return false;
    }
    load_policy(c->policy_path, &scratch_file);
    if (policies_equal(&scratch_file, &c->policy)) return true;
    reload(c);
    show_message(c, console_text(ConsoleText::policy_changed), text_for_id(txt_product_title), MB_OK | MB_ICONWARNING);
    return false;
}

// After a write: reload, rebuild, and say what the file holds.
void report_policy_change(ConsoleRecord* c, bool written, unsigned caption_id) {
    reload(c);
    if (!written)
        show_formatted(c, ConsoleText::rule_write_failed, c->policy_path, text_for_id(txt_error), MB_OK | MB_ICONERROR);
    else if (!policies_equal(&c->policy, &scratch_expected))
        show_message(c, console_text(ConsoleText::rule_not_held), text_for_id(txt_error), MB_OK | MB_ICONERROR);
    else
        show_message(c, text_for_id(txt_saved_restart), text_for_id(caption_id), MB_OK | MB_ICONINFORMATION);
}

// The editor is modal over the console.
bool edit_rule(ConsoleRecord* c, int32_t type, const Rule* existing, Rule* out) {
    ++c->modal_depth;
    bool saved = run_rule_editor(c->main_window, type, existing, out);
    --c->modal_depth;
    return saved;
}

void on_add(ConsoleRecord* c) {
    int32_t type = page_rule_type(c->page);
    if (refused_while_protected(c)) return;
    static Rule rule;
    if (!edit_rule(c, type, nullptr, &rule) || refused_while_protected(c)) return;

    PolicyFile state = policy_file_state(c->policy_path);
    if (state == PolicyFile::too_large) {
        show_formatted(c, ConsoleText::policy_too_large, c->policy_path, text_for_id(txt_error), MB_OK | MB_ICONERROR);
        return;
    }
    memset(&scratch_file, 0, sizeof scratch_file);
    bool written;
    if (state == PolicyFile::missing) {
        // No rule file yet: the new rule starts one.
        scratch_expected = scratch_file;
        policy_append(&scratch_expected, &rule);
        written = save_policy(c->policy_path, &scratch_expected);
    } else {
        if (!load_policy(c->policy_path, &scratch_file)) {
            show_formatted(c, ConsoleText::policy_unreadable, c->policy_path, text_for_id(txt_error), MB_OK | MB_ICONERROR);
            reload(c);
            return;
        }
        scratch_expected = scratch_file;
        if (!policy_append(&scratch_expected, &rule)) {
            show_message(c, console_text(ConsoleText::policy_full), text_for_id(txt_error), MB_OK | MB_ICONERROR);
            reload(c);
            return;
        }
        written = append_rule(c->policy_path, &rule);
        if (!written && !policy_text_has_list(c->policy_path)) {
            reload(c);
            show_formatted(c, ConsoleText::policy_no_list, c->policy_path, text_for_id(txt_error), MB_OK | MB_ICONERROR);
            return;
        }
    }
    report_policy_change(c, written, txt_page_first + page_app_rules);
}

void on_delete(ConsoleRecord* c) {
    int row = selected_row(c);
    if (row < 0 || refused_while_protected(c)) return;
    if (show_message(c, text_for_id(txt_delete_confirm), text_for_id(txt_page_first + page_app_rules),
                     MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    if (refused_while_protected(c) || !list_is_current(c)) return;
    int slot = nth_rule_slot(&c->policy, page_rule_type(c->page), static_cast<uint32_t>(row));
    if (slot < 0) {
        reload(c);
        return;
    }
    scratch_expected = c->policy;
    remove_rule_slot(&scratch_expected, static_cast<uint32_t>(slot));
    report_policy_change(c, save_policy(c->policy_path, &scratch_expected), txt_product_title);
}

void on_toggle(ConsoleRecord* c) {
    int row = selected_row(c);
    if (row < 0 || refused_while_protected(c) || !list_is_current(c)) return;
    scratch_expected = c->policy;
    if (!policy_toggle(&scratch_expected, page_rule_type(c->page), static_cast<uint32_t>(row))) {
        reload(c);
        return;
    }
    report_policy_change(c, save_policy(c->policy_path, &scratch_expected), txt_page_first + page_app_rules);
}

void on_edit(ConsoleRecord* c) {
    int row = selected_row(c);
    if (row < 0) return;
    int32_t type = page_rule_type(c->page);
    int slot = nth_rule_slot(&c->policy, type, static_cast<uint32_t>(row));
    if (slot < 0 || refused_while_protected(c)) return;
    static Rule previous, edited;
    previous = c->policy.rules[slot];
    if (!edit_rule(c, type, &previous, &edited) || refused_while_protected(c) || !list_is_current(c)) return;
    // The list was current, so the slot still holds the rule that was edited.
    scratch_expected = c->policy;
    scratch_expected.rules[slot] = edited;
    report_policy_change(c, save_policy(c->policy_path, &scratch_expected), txt_product_title);
}

// Runs "SentrelSvc.exe <parameters>" elevated and waits up to 15 s for it (the window is not
// served meanwhile). out receives what to tell: it could not start (nothing when the person
// declined the elevation), it failed, or it is still running; empty when it went well.
void run_service_command_and_wait(const wchar_t* parameters, wchar_t* out, size_t cch_out) {
    out[0] = 0;
    HANDLE process = nullptr;
    DWORD error = 0;
    if (!start_service_command(parameters, &process, &error)) {
        if (error != ERROR_CANCELLED)
            text_format(out, cch_out, console_text(ConsoleText::service_not_started), parameters, error);
        return;
    }
    if (!process) return;
    DWORD started = GetTickCount();
    DWORD waited = WaitForSingleObject(process, service_command_wait_ms);
    DWORD code = 0;
    bool have_code = waited == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
    CloseHandle(process);
    // "install" returns once the service was asked to start: give it the rest of the 15 s to run.
    DWORD spent = GetTickCount() - started;
    if (waited == WAIT_OBJECT_0 && spent < service_command_wait_ms) wait_while_pending(service_command_wait_ms - spent);
    if (waited == WAIT_TIMEOUT)
        text_format(out, cch_out, console_text(ConsoleText::service_still_pending), parameters);
    else if (have_code && code != 0)
        text_format(out, cch_out, console_text(ConsoleText::service_command_failed), parameters, code);
}

void on_start_stop(ConsoleRecord* c) {
    // The uninstaller stops and removes the service: starting or stopping it meanwhile would race it.
    if (c->uninstalling) {
        show_message(c, console_text(ConsoleText::uninstall_busy), text_for_id(txt_product_title), MB_OK | MB_ICONINFORMATION);
        return;
    }
    bool running = service_running();
    if (running && !admin_gate(c, txt_stop_service)) return;
    wchar_t problem[message_cch];
    run_service_command_and_wait(running ? L"stop" : L"install", problem, message_cch);
    show_page(c, page_dashboard);  // the dashboard reads the state afresh, behind any message
    if (problem[0]) show_message(c, problem, text_for_id(txt_error), MB_OK | MB_ICONERROR);
}

void on_clear_cache(ConsoleRecord* c) {
    static AuthRequest request;
    memset(&request, 0, sizeof request);
    request.size = sizeof request;
    request.client_process_id = GetCurrentProcessId();
    request.kind = auth_kind_clear_cache;
    AuthReply reply;
    bool cleared = send_auth_request(&request, &reply);
    show_message(c, text_for_id(cleared ? txt_cache_cleared : txt_no_service), text_for_id(txt_product_title),
                 MB_OK | (cleared ? MB_ICONINFORMATION : MB_ICONERROR));
}

// Waits for the uninstaller while serving the window. False when the console is ending (the quit
// message was taken and posted again).
bool wait_serving_messages(HANDLE process) {
    for (;;) {
        DWORD result = MsgWaitForMultipleObjects(1, &process, FALSE, uninstall_step_ms, QS_ALLINPUT);
        if (result == WAIT_OBJECT_0) return true;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                return false;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

void on_uninstall(ConsoleRecord* c) {
    if (c->uninstalling) {
        show_message(c, console_text(ConsoleText::uninstall_busy), text_for_id(txt_product_title), MB_OK | MB_ICONINFORMATION);
        return;
    }
    if (!admin_gate(c, txt_uninstall)) return;
    if (show_message(c, text_for_id(txt_uninstall_confirm), text_for_id(txt_uninstall), MB_YESNO | MB_ICONWARNING) != IDYES)
        return;
    HANDLE process = nullptr;
    DWORD error = 0;
    if (!start_service_command(L"uninstall --authorized", &process, &error) || !process) {
        show_message(c, console_text(ConsoleText::uninstaller_not_started), text_for_id(txt_error), MB_OK | MB_ICONERROR);
        show_page(c, page_dashboard);
        return;
    }
    HWND button = GetDlgItem(c->content, id_uninstall);
    if (button) {
        SetWindowTextW(button, console_text(ConsoleText::uninstalling));
        EnableWindow(button, FALSE);
    }
    c->uninstalling = true;
    bool serving = wait_serving_messages(process);
    c->uninstalling = false;
    DWORD code = 0;
    bool have_code = serving && GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (!serving) return;
    if (have_code && code == 0) {
        show_message(c, text_for_id(txt_uninstalled), text_for_id(txt_product_title), MB_OK | MB_ICONINFORMATION);
    } else if (have_code) {
        wchar_t text[256];
        text_format(text, 256, console_text(ConsoleText::uninstall_failed), code);
        show_message(c, text, text_for_id(txt_error), MB_OK | MB_ICONERROR);
    }
    show_page(c, page_dashboard);
}

void read_field(HWND content, int id, wchar_t* out, size_t cch) {
    out[0] = 0;
    HWND field = GetDlgItem(content, id);
    if (field) GetWindowTextW(field, out, static_cast<int>(cch));
}

void on_save_settings(ConsoleRecord* c) {
    if (refused_while_protected(c)) return;
    if (!admin_gate(c, txt_edit) || refused_while_protected(c)) return;
    static SettingsForm form;
    read_field(c->content, id_server_url, form.server_url, 256);
    read_field(c->content, id_api_key, form.api_key, 256);
    read_field(c->content, id_mfa_username, form.mfa_username, 128);
    read_field(c->content, id_country_code, form.country_code, 32);
    HWND language = GetDlgItem(c->content, id_language);
    form.language_index = language ? static_cast<int>(SendMessageW(language, CB_GETCURSEL, 0, 0)) : 0;

    static Settings wanted;
    settings_from_form(&c->settings, &form, &wanted);
    if (!server_url_savable(&wanted)) {
        show_message(c, console_text(ConsoleText::plain_http_refused), text_for_id(txt_error), MB_OK | MB_ICONERROR);
        return;
    }
    bool written = save_settings(c->settings_path, &wanted);
    if (written) log_event(&wanted, L"admin: config saved via console");
    load_settings(c->settings_path, &c->settings);  // what the file holds now
    set_language(c->settings.language);
    refresh_sidebar(c);
    show_page(c, c->page);
    if (!written)
        show_formatted(c, ConsoleText::settings_write_failed, c->settings_path, text_for_id(txt_error), MB_OK | MB_ICONERROR);
    else if (!settings_equal(&c->settings, &wanted))
        show_message(c, console_text(ConsoleText::settings_not_held), text_for_id(txt_error), MB_OK | MB_ICONERROR);
    else
        show_message(c, text_for_id(txt_settings_saved), text_for_id(txt_page_first + page_settings),
                     MB_OK | MB_ICONINFORMATION);
}

}  // namespace

void on_console_command(ConsoleRecord* c, int id) {
    if (id >= id_sidebar_first && id < id_sidebar_first + console_page_count) {
        // A page chosen in the sidebar shows the rules as the file holds them now.
        load_policy(c->policy_path, &c->policy);
        show_page(c, id - id_sidebar_first);
        return;
    }
    switch (id) {
        case id_start_stop: on_start_stop(c); break;
        case id_add_rule: on_add(c); break;
        case id_delete_rule: on_delete(c); break;
        case id_toggle_rule: on_toggle(c); break;
        case id_clear_cache: on_clear_cache(c); break;
        case id_edit_rule: on_edit(c); break;
        case id_uninstall: on_uninstall(c); break;
        case id_save_settings: on_save_settings(c); break;
        default: break;
    }
}
