// The UI's two-language text table and the process-wide current language.
#pragma once

constexpr unsigned string_id_count = 139;

enum class Language { zh_cn, en_us };

constexpr const wchar_t* lang_code_zh_cn = L"zh-CN";
constexpr const wchar_t* lang_code_en_us = L"en-US";

// Text of a string id in the current language; ids past the table give an empty text.
const wchar_t* text_for_id(unsigned id);
// The raw table, for a given language.
const wchar_t* lang_table_text(Language language, unsigned id);

// English becomes current only for exactly "en-US"; anything else (null included) selects Chinese.
void set_language(const wchar_t* code);
// The current code: always one of the two constants above.
const wchar_t* current_language();
// "zh-CN" when the given Windows language id has Chinese as its primary language, else "en-US".
const wchar_t* default_language_for(unsigned short lang_id);
// default_language_for(GetUserDefaultUILanguage()).
const wchar_t* default_language();
// The lookup rule: the code equals "en-US" over all six units, terminator included.
bool is_english_code(const wchar_t* code);
