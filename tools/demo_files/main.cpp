// Demo helper: writes SentrelSvc.json and the first-run default policy beside itself with the
// product's own writers, as the setup wizard would. Argument: the UI language (zh-CN or en-US).
#include <windows.h>

#include "common/console.h"
#include "common/lang.h"
#include "common/policy.h"
#include "common/settings.h"
#include "common/text.h"

int wmain(int argc, wchar_t** argv) {
    set_language(argc > 1 ? argv[1] : default_language());
    Settings s = {};
    text_copy(s.log_file, default_log_path);
    text_copy(s.language, current_language());
    wchar_t settings_path[1024];
    wchar_t policy_path[1024];
    if (!path_beside_exe(settings_file_name, settings_path, 1024) || !path_beside_exe(policy_file_name, policy_path, 1024) ||
        !save_settings(settings_path, &s) || !write_utf8_file(policy_path, default_policy_text())) {
        console_eprint(L"cannot write the demo files\n");
        return 1;
    }
    return 0;
}
