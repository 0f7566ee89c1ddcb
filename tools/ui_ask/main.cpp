// Test tool, never shipped: one broker round from outside the service, with a reply bound of the
// test's choosing, so a test can let a round give up while its dialog is still open.
//   ui_ask <reply_timeout_ms> <title> [target]
// Asks for a TOTP dialog in this process's session from SentrelUI.exe beside this program
// (started when nothing listens, and the only host trusted), exactly as the broker does, and
// prints "approved=<0|1> message=<text>". Exit code 0, or 2 on usage.
#include <windows.h>
#include <stdlib.h>

#include "common/console.h"
#include "common/policy.h"
#include "common/settings.h"
#include "common/text.h"
#include "common/ui_broker.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        console_eprint(L"usage: ui_ask <reply_timeout_ms> <title> [target]\n");
        return 2;
    }
    static wchar_t host[1024];
    static Settings settings;
    static Rule rule;
    wchar_t settings_path[1024];
    if (!path_beside_exe(ui_host_file_name, host, 1024) || !path_beside_exe(settings_file_name, settings_path, 1024))
        return 1;
    load_settings(settings_path, &settings);
    rule.type = rule_type_command;
    text_copy(rule.display_name, argv[2]);
    text_copy(rule.auth_mode, L"totp");
    UiBrokerOptions options = {nullptr, host, host, static_cast<uint32_t>(wcstoul(argv[1], nullptr, 10)),
                               ui_start_wait_ms, ui_start_limit_ms, nullptr};
    wchar_t message[ui_result_cch] = L"";
    bool approved = authenticate_via_ui_with(&options, ui_own_session(), &settings, &rule,
                                             argc > 3 ? argv[3] : L"C:\\ui_ask.exe", nullptr, message, ui_result_cch);
    console_print(L"approved=%d message=%s\n", approved ? 1 : 0, message);
    return 0;
}
