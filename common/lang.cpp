#include "common/lang.h"

#include <windows.h>

namespace {
// Written by the UI thread, read without a lock by worker threads: a single pointer-sized word.
const wchar_t* volatile g_current_language = lang_code_zh_cn;
}  // namespace

bool is_english_code(const wchar_t* code) {
    if (!code) return false;
    for (int i = 0; i < 6; ++i) {
        if (code[i] != lang_code_en_us[i]) return false;
        if (code[i] == L'\0') break;
    }
    return true;
}

const wchar_t* text_for_id(unsigned id) {
    return lang_table_text(is_english_code(g_current_language) ? Language::en_us : Language::zh_cn, id);
}

void set_language(const wchar_t* code) {
    g_current_language = is_english_code(code) ? lang_code_en_us : lang_code_zh_cn;
}

const wchar_t* current_language() { return g_current_language; }

const wchar_t* default_language_for(unsigned short lang_id) {
    return (lang_id & 0x3FF) == LANG_CHINESE ? lang_code_zh_cn : lang_code_en_us;
}

const wchar_t* default_language() { return default_language_for(GetUserDefaultUILanguage()); }
