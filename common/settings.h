// Connection and local settings (SentrelSvc.json) and the file helpers every data file shares.
#pragma once
#include <stddef.h>

struct Settings {
    wchar_t server_url[256];
    wchar_t api_key[256];
    wchar_t mfa_username[128];
    wchar_t address[512];
    wchar_t country_code[32];
    wchar_t client_ip[64];
    wchar_t admin_auth_mode[32];
    wchar_t log_file[1024];
    wchar_t language[16];
    wchar_t allow_plain_http[8];  // "true": plain http:// to a remote MFA server is accepted (optional key)
};

constexpr const wchar_t* default_log_path = L"C:\\ProgramData\\Sentrel\\logs\\sentrel.log";
constexpr const wchar_t* settings_file_name = L"SentrelSvc.json";
constexpr size_t settings_text_cch = 4096;   // the reader's limit for the whole file text
constexpr size_t file_read_max_cb = 65535;   // at most this many bytes of any data file are read
constexpr size_t settings_write_cch = 8192;  // the writer's buffer for the whole file text

// --- pure text functions ---

enum class JsonEscapes {
    file,  // settings and policy files: \\ \" \n \r are decoded (\t \/ \uXXXX too)
    raw,   // HTTP answers: the value is taken as it stands, up to the next quotation mark
};
// Finds "key" (first occurrence, any case), skips spaces and colons, then takes a quoted text or a
// run of digits. Returns false and leaves out untouched when the key or a usable value is missing.
bool scan_json_value(const wchar_t* text, const wchar_t* key, wchar_t* out, size_t cch_out,
                     JsonEscapes escapes = JsonEscapes::file);
// Where the value of "key" starts: after the first "key" (any case) and any spaces and colons
// following it; null when the key is missing.
const wchar_t* json_value_start(const wchar_t* text, const wchar_t* key);
// As scan_json_value, also taking a bare run of letters (true, false) as the value.
bool scan_json_word(const wchar_t* text, const wchar_t* key, wchar_t* out, size_t cch_out);
// Escapes \n \r " and \ ; stops before an input character once cch_out - 3 characters are written.
void json_escape(const wchar_t* in, wchar_t* out, size_t cch_out);

// Fills s from a settings text as load_settings does after a successful read.
void settings_from_text(const wchar_t* text, Settings* s);
// The settings file text; false when it does not fit the writer's buffer or would not read back
// as written (a value ending in a later key's quoted name, a lone surrogate).
bool settings_to_text(const Settings* s, wchar_t* out, size_t cch_out);

// --- file functions (Win32) ---

// Full path of file_name in the folder of the running executable; out untouched on failure.
bool path_beside_exe(const wchar_t* file_name, wchar_t* out, size_t cch_out);
// The file's UTF-8 text (BOM skipped) as UTF-16; at most 65,535 bytes are read.
bool read_utf8_file(const wchar_t* path, wchar_t* out, size_t cch_out);
// Writes text as UTF-8 without BOM, creating the folder. The previous file is replaced atomically
// (a sibling temporary file, then a replacing move), so it is never lost or seen half-written.
bool write_utf8_file(const wchar_t* path, const wchar_t* text);
// Removes the last component of a path (PathRemoveFileSpecW) and creates that folder chain.
void create_parent_folder(const wchar_t* path);

bool load_settings(const wchar_t* path, Settings* s);
bool save_settings(const wchar_t* path, const Settings* s);
