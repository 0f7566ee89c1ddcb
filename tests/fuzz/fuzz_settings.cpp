// The settings reader and writer. Each input is taken twice: as the bytes of SentrelSvc.json
// (read as load_settings reads it), and as a raw Settings record handed to the writer (as the
// console's setup pages do). Properties: every field the reader fills is terminated inside its
// capacity; whatever text the writer accepts fits the reader and reads back, through the file's
// UTF-8, to the record it was written from; a value is only ever cut as the writer documents
// (its escaped form past the writer's capacity for that key), and then reads back as a prefix.
#include "fuzz_support.h"

namespace {


// The writer's escaped capacity per key (settings_to_text): a value is written whole when its
// escaped form stops short of that capacity less three.
struct Key {
    size_t offset;
    size_t cch;
    size_t cch_escaped;
};

#define SETTINGS_KEY(field, escaped) \
    Key { offsetof(Settings, field), ARRAYSIZE(Settings{}.field), escaped }

const Key keys[] = {
    SETTINGS_KEY(server_url, 256),     SETTINGS_KEY(api_key, 256),        SETTINGS_KEY(mfa_username, 128),
    SETTINGS_KEY(address, 512),        SETTINGS_KEY(country_code, 64),    SETTINGS_KEY(client_ip, 64),
    SETTINGS_KEY(admin_auth_mode, 64), SETTINGS_KEY(log_file, 1024),      SETTINGS_KEY(language, 16),
    SETTINGS_KEY(allow_plain_http, 16),
};

wchar_t* field_of(Settings* s, const Key& k) {
    return reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(s) + k.offset);
}

// json_escape's documented cut: it stops before a character once cch_escaped - 3 units are written.
bool written_whole(const wchar_t* value, size_t cch_escaped) {
    size_t n = 0;
    for (; *value; ++value) {
        if (n + 3 >= cch_escaped) return false;
        n += (*value == L'\n' || *value == L'\r' || *value == L'"' || *value == L'\\') ? 2 : 1;
    }
    return true;
}

bool is_prefix(const wchar_t* prefix, const wchar_t* text) {
    for (; *prefix; ++prefix, ++text)
        if (*prefix != *text) return false;
    return true;
}

void check_round_trip(Settings* s) {
    static wchar_t written[settings_write_cch];
    static wchar_t reread[settings_text_cch];
    if (!settings_to_text(s, written, settings_write_cch)) return;
    FUZZ_CHECK(terminated_within(written, settings_write_cch));
    // What the writer accepts must fit the reader whole.
    FUZZ_CHECK(text_through_file(written, reread, settings_text_cch));
    Settings* back = static_cast<Settings*>(malloc(sizeof(Settings)));
    settings_from_text(reread, back);
    for (const Key& k : keys) {
        const wchar_t* was = field_of(s, k);
        const wchar_t* now = field_of(back, k);
        FUZZ_CHECK(terminated_within(now, k.cch));
        if (k.offset == offsetof(Settings, language) && was[0] == 0) continue;  // empty: the default language
        if (!is_prefix(now, was)) {
            dump_text("written", was);
            dump_text("read back", now);
        }
        if (written_whole(was, k.cch_escaped)) {
            FUZZ_CHECK(same_text(now, was));
        } else {
            FUZZ_CHECK(is_prefix(now, was));
        }
    }
    free(back);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // As a file.
    static wchar_t text[settings_text_cch];
    Settings* s = static_cast<Settings*>(malloc(sizeof(Settings)));
    if (text_of_file(data, size, text, settings_text_cch)) {
        settings_from_text(text, s);
        for (const Key& k : keys) FUZZ_CHECK(terminated_within(field_of(s, k), k.cch));
        FUZZ_CHECK(s->language[0] != 0);
        check_round_trip(s);
    }
    // As a record: any units, each field terminated at its last unit at the latest.
    memset(s, 0, sizeof *s);
    memcpy(s, data, size < sizeof *s ? size : sizeof *s);
    for (const Key& k : keys) field_of(s, k)[k.cch - 1] = 0;
    check_round_trip(s);
    free(s);
    return 0;
}
