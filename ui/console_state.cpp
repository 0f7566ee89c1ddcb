#include "ui/console_state.h"

#include <string.h>

#include "common/lang.h"
#include "common/server_url.h"
#include "common/text.h"

int32_t page_rule_type(int32_t page) { return page == page_app_rules ? rule_type_program : rule_type_command; }

int nth_rule_slot(const Policy* p, int32_t type, uint32_t n) {
    uint32_t seen = 0;
    for (uint32_t slot = 0; slot < p->count && slot < policy_max_rules; ++slot) {
        if (p->rules[slot].type != type) continue;
        if (seen++ == n) return static_cast<int>(slot);
    }
    return -1;
}

bool remove_rule_slot(Policy* p, uint32_t slot) {
    if (slot >= p->count || p->count > policy_max_rules) return false;
    memmove(&p->rules[slot], &p->rules[slot + 1], (p->count - slot - 1) * sizeof(Rule));
    --p->count;
    memset(&p->rules[p->count], 0, sizeof(Rule));
    return true;
}

bool policy_append(Policy* p, const Rule* r) {
    if (p->count >= policy_max_rules) return false;
    Rule& added = p->rules[p->count++];
    added = *r;
    added.type = r->type == rule_type_program ? rule_type_program : rule_type_command;
    added.enabled = 1;
    return true;
}

bool rules_equal(const Rule* a, const Rule* b) {
    return a->type == b->type && (a->enabled != 0) == (b->enabled != 0) &&
           a->cache_window_seconds == b->cache_window_seconds && !wcscmp(a->display_name, b->display_name) &&
           !wcscmp(a->match_path, b->match_path) && !wcscmp(a->match_name, b->match_name) &&
           !wcscmp(a->args_contains, b->args_contains) && !wcscmp(a->auth_mode, b->auth_mode) &&
           !wcscmp(a->match_original_name, b->match_original_name) && !wcscmp(a->match_sha256, b->match_sha256);
}

bool policies_equal(const Policy* a, const Policy* b) {
    if (a->count != b->count || a->count > policy_max_rules) return false;
    for (uint32_t i = 0; i < a->count; ++i)
        if (!rules_equal(&a->rules[i], &b->rules[i])) return false;
    return true;
}

void count_rules(const Policy* p, uint32_t* app_rules, uint32_t* cmd_rules) {
    uint32_t app = 0, cmd = 0;
    for (uint32_t i = 0; i < p->count && i < policy_max_rules; ++i) {
        if (p->rules[i].type == rule_type_program) ++app;
        else ++cmd;
    }
    *app_rules = app;
    *cmd_rules = cmd;
}

bool files_guarded(const ServiceProbe& probe) {
    constexpr uint32_t service_stopped = 1;
    if (probe.foreground_run) return true;
    if (probe.state_known) return probe.state != service_stopped;
    return !probe.missing;  // unknown: assume the files are guarded
}

unsigned start_stop_caption_id(bool running) { return running ? txt_stop_service : txt_start_service; }

int language_index_of(const wchar_t* language) { return language && !wcscmp(language, lang_code_en_us) ? 1 : 0; }

void settings_from_form(const Settings* loaded, const SettingsForm* form, Settings* out) {
    Settings s = *loaded;
    text_copy(s.server_url, form->server_url);
    text_copy(s.api_key, form->api_key);
    text_copy(s.mfa_username, form->mfa_username);
    text_copy(s.country_code, form->country_code);
    text_copy(s.language, form->language_index == 1 ? lang_code_en_us : lang_code_zh_cn);
    *out = s;
}

bool settings_equal(const Settings* a, const Settings* b) {
    return !wcscmp(a->server_url, b->server_url) && !wcscmp(a->api_key, b->api_key) &&
           !wcscmp(a->mfa_username, b->mfa_username) && !wcscmp(a->address, b->address) &&
           !wcscmp(a->country_code, b->country_code) && !wcscmp(a->client_ip, b->client_ip) &&
           !wcscmp(a->admin_auth_mode, b->admin_auth_mode) && !wcscmp(a->log_file, b->log_file) &&
           !wcscmp(a->language, b->language) && !wcscmp(a->allow_plain_http, b->allow_plain_http);
}

void wizard_settings(const wchar_t* existing_text, const wchar_t* server_url, const wchar_t* api_key,
                     const wchar_t* mfa_username, Settings* out) {
    Settings s;
    memset(&s, 0, sizeof s);
    text_copy(s.log_file, default_log_path);
    if (existing_text) {
        settings_from_text(existing_text, &s);
        // The reader puts the default language in place of a missing one; the file keeps none.
        wchar_t language[16];
        if (!scan_json_value(existing_text, L"language", language, 16)) s.language[0] = 0;
    }
    text_copy(s.server_url, server_url);
    text_copy(s.api_key, api_key);
    text_copy(s.mfa_username, mfa_username);
    *out = s;
}

bool server_url_savable(const Settings* s) {
    return judge_server_url(s->server_url, s->allow_plain_http) != UrlTransport::plain_refused;
}

bool needs_setup(const Settings* s) { return !s->server_url[0] || !s->api_key[0] || !s->mfa_username[0]; }

namespace {

struct ConsoleTextEntry {
    ConsoleText which;
    const wchar_t* en_us;
    const wchar_t* zh_cn;
};

const ConsoleTextEntry console_texts[] = {
    {ConsoleText::protection_on,
     L"Protection is on: while the service runs it guards the rule and settings files and puts back "
     L"any change. Nothing was changed.\n\nStop the service on the Dashboard, make the change, then start "
     L"the service again.",
     L"保护已启用：服务运行时会守护规则和设置文件，并还原任何修改。未做任何更改。\n\n"
     L"请先在“状态”页停止服务，完成修改后再启动服务。"},
    {ConsoleText::rule_write_failed,
     L"The rule file could not be written; the rules were not changed.\n\n%s",
     L"无法写入规则文件，规则未更改。\n\n%s"},
    {ConsoleText::rule_not_held,
     L"The rule file does not hold the change: it was changed or put back by someone else. The list "
     L"shows what the file holds now.",
     L"规则文件中没有这次修改：它已被其他程序更改或还原。列表显示的是文件当前的内容。"},
    {ConsoleText::policy_too_large,
     L"The rule file is larger than Sentrel reads (65,535 bytes), so it was not changed.\n\n%s",
     L"规则文件超过 Sentrel 可读取的大小（65,535 字节），因此未做更改。\n\n%s"},
    {ConsoleText::policy_no_list,
     L"The rule file holds no rule list (\"rules\": [ ... ]), so the rule was not added.\n\n%s",
     L"规则文件中没有规则列表（\"rules\": [ ... ]），因此未添加规则。\n\n%s"},
    {ConsoleText::policy_unreadable,
     L"The rule file could not be read, so the rule was not added.\n\n%s",
     L"无法读取规则文件，因此未添加规则。\n\n%s"},
    {ConsoleText::policy_full,
     L"The rule file already holds 64 rules, the most Sentrel reads; the rule was not added.",
     L"规则文件已有 64 条规则（Sentrel 最多读取 64 条），未添加规则。"},
    {ConsoleText::policy_changed,
     L"The rule file was changed since the list was shown; nothing was changed. The list now shows what "
     L"the file holds: choose the rule again.",
     L"规则列表显示后规则文件已被更改，因此未做任何更改。列表现已显示文件当前的内容，请重新选择规则。"},
    {ConsoleText::settings_write_failed,
     L"The settings file could not be written; the settings were not changed.\n\n%s",
     L"无法写入设置文件，设置未更改。\n\n%s"},
    {ConsoleText::settings_not_held,
     L"The settings file does not hold what was entered: it was changed or put back by someone else, or "
     L"a value was too long. The page shows what the file holds now.",
     L"设置文件中没有刚才输入的内容：它已被其他程序更改或还原，或某项内容过长。页面显示的是文件当前的内容。"},
    {ConsoleText::wizard_settings_failed,
     L"The settings file could not be written, so the setup is not complete.\n\n%s",
     L"无法写入设置文件，配置未完成。\n\n%s"},
    {ConsoleText::wizard_policy_failed,
     L"The settings were saved, but the default rule file could not be written.\n\n%s",
     L"设置已保存，但无法写入默认规则文件。\n\n%s"},
    {ConsoleText::service_not_started,
     L"Could not run \"SentrelSvc.exe %s\" (error %lu).", L"无法运行“SentrelSvc.exe %s”（错误 %lu）。"},
    {ConsoleText::service_command_failed,
     L"\"SentrelSvc.exe %s\" failed (Exit Code: %lu).", L"“SentrelSvc.exe %s”失败（退出代码：%lu）。"},
    {ConsoleText::service_still_pending,
     L"\"SentrelSvc.exe %s\" has not finished after 15 seconds; the Dashboard shows the state now.",
     L"“SentrelSvc.exe %s”在 15 秒内未完成；状态页显示的是当前状态。"},
    {ConsoleText::uninstall_busy,
     L"The uninstaller is still running.", L"卸载程序仍在运行。"},
    {ConsoleText::tray_exit,
     L"Exit", L"退出"},
    {ConsoleText::uninstalling,
     L"Uninstalling...", L"正在卸载..."},
    {ConsoleText::uninstaller_not_started,
     L"Could not start uninstaller process.", L"无法启动卸载程序。"},
    {ConsoleText::uninstall_failed,
     L"Uninstallation failed (Exit Code: 0x%X).", L"卸载失败（退出代码：0x%X）。"},
    {ConsoleText::plain_http_refused,
     L"The MFA server URL was not saved: plain http:// is accepted only for this machine (localhost, "
     L"127.0.0.1, ::1). Over plain HTTP anyone on the network path could approve every sign-in and read "
     L"the API key. Use https://.",
     L"未保存 MFA 服务器地址：明文 http:// 只允许用于本机（localhost、127.0.0.1、::1）。通过明文 HTTP，"
     L"网络路径上的任何人都能批准每一次认证并读取 API Key。请使用 https://。"},
    {ConsoleText::plain_http_allowed,
     L"allow_plain_http is on: plain http:// to another machine is accepted.",
     L"allow_plain_http 已开启：接受以明文 http:// 连接其他计算机。"},
};

}  // namespace

const wchar_t* console_text(ConsoleText which) {
    bool english = is_english_code(current_language());
    for (const ConsoleTextEntry& entry : console_texts)
        if (entry.which == which) return english ? entry.en_us : entry.zh_cn;
    return L"";
}

void rule_row_name(const Rule* rule, const wchar_t* marker, wchar_t* out, size_t cch_out) {
    if (rule_has_identity(rule) && marker && marker[0]) {
        if (text_format(out, cch_out, L"%s %s", rule->display_name, marker) == text_ok) return;
    }
    text_copy(out, cch_out, rule->display_name);
}
