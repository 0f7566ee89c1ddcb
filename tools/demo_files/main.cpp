// Demo helper: writes SentrelSvc.json and SentrelSvc.policy.json beside itself with the product's
// own writers, as the setup wizard and the management console would.
//
//   sentrel_demo_files [--language zh-CN|en-US] [--server-url URL] [--api-key KEY] [--user NAME]
//                      [--auth-mode MODE] [--protect-command EXE DISPLAY-NAME]...
//                      [--protect-program EXE DISPLAY-NAME]...
//
// The rules are written in the order given, each matching the executable's file name, enabled,
// with the auth mode (default totp) and a 300 s approval window. Without any --protect-... the
// first-run default policy of the language is written. Exit code 0 when both files were written,
// 1 when a write failed, 2 on a usage error.
#include <windows.h>

#include "common/console.h"
#include "common/lang.h"
#include "common/policy.h"
#include "common/settings.h"
#include "common/text.h"

namespace {

constexpr int32_t demo_cache_window_seconds = 300;

Policy g_policy;  // 64 rules of 4 KB each: too large for the stack

bool add_rule(int32_t type, const wchar_t* exe, const wchar_t* display_name) {
    if (g_policy.count >= policy_max_rules) return false;
    Rule& r = g_policy.rules[g_policy.count];
    r = Rule{};
    r.type = type;
    r.enabled = 1;
    if (text_copy(r.match_name, exe) != text_ok || text_copy(r.display_name, display_name) != text_ok) return false;
    r.cache_window_seconds = demo_cache_window_seconds;
    ++g_policy.count;
    return true;
}

int usage() {
    console_eprint(
        L"usage: sentrel_demo_files [--language zh-CN|en-US] [--server-url URL] [--api-key KEY] [--user NAME]\n"
        L"                          [--auth-mode MODE] [--protect-command EXE NAME]... [--protect-program EXE NAME]...\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* language = nullptr;
    const wchar_t* auth_mode = L"totp";
    Settings s = {};
    text_copy(s.log_file, default_log_path);

    for (int i = 1; i < argc; ++i) {
        const wchar_t* a = argv[i];
        bool command = !wcscmp(a, L"--protect-command");
        if (command || !wcscmp(a, L"--protect-program")) {
            if (i + 2 >= argc) return usage();
            if (!add_rule(command ? rule_type_command : rule_type_program, argv[i + 1], argv[i + 2])) {
                console_eprint(L"cannot take the rule for %s\n", argv[i + 1]);
                return 2;
            }
            i += 2;
            continue;
        }
        if (i + 1 >= argc) return usage();
        const wchar_t* v = argv[++i];
        TextResult r = text_ok;
        if (!wcscmp(a, L"--language")) language = v;
        else if (!wcscmp(a, L"--server-url")) r = text_copy(s.server_url, v);
        else if (!wcscmp(a, L"--api-key")) r = text_copy(s.api_key, v);
        else if (!wcscmp(a, L"--user")) r = text_copy(s.mfa_username, v);
        else if (!wcscmp(a, L"--auth-mode")) auth_mode = v;
        else return usage();
        if (r != text_ok) {
            console_eprint(L"too long: %s\n", a);
            return 2;
        }
    }
    // --auth-mode may stand anywhere: it applies to every rule.
    for (uint32_t n = 0; n < g_policy.count; ++n) {
        if (text_copy(g_policy.rules[n].auth_mode, auth_mode) != text_ok) {
            console_eprint(L"too long: --auth-mode\n");
            return 2;
        }
    }

    set_language(language ? language : default_language());
    text_copy(s.language, current_language());
    wchar_t settings_path[1024];
    wchar_t policy_path[1024];
    if (!path_beside_exe(settings_file_name, settings_path, 1024) || !path_beside_exe(policy_file_name, policy_path, 1024) ||
        !save_settings(settings_path, &s) ||
        !(g_policy.count ? save_policy(policy_path, &g_policy) : write_utf8_file(policy_path, default_policy_text()))) {
        console_eprint(L"cannot write the demo files\n");
        return 1;
    }
    return 0;
}
