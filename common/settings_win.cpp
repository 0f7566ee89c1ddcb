// Reading and writing SentrelSvc.json.
#include "common/settings.h"

#include <windows.h>

#include "common/text.h"

bool load_settings(const wchar_t* path, Settings* s) {
    *s = Settings{};
    text_copy(s->log_file, default_log_path);
    wchar_t text[settings_text_cch];
    if (!read_utf8_file(path, text, settings_text_cch)) return false;
    settings_from_text(text, s);
    return true;
}

bool save_settings(const wchar_t* path, const Settings* s) {
    // Through write_utf8_file, so the previous file stays whole until the new one replaces it.
    wchar_t text[settings_write_cch];
    if (!settings_to_text(s, text, settings_write_cch)) return false;
    return write_utf8_file(path, text);
}
