// Reading and writing SentrelSvc.policy.json.
#include "common/policy.h"

#include <windows.h>

#include "common/lang.h"
#include "common/settings.h"

namespace {

wchar_t* heap_text(size_t cch) {
    return static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cch * sizeof(wchar_t)));
}

void heap_free(void* p) {
    if (p) HeapFree(GetProcessHeap(), 0, p);
}

}  // namespace

bool load_policy(const wchar_t* path, Policy* p) {
    *p = Policy{};
    wchar_t* text = heap_text(policy_text_cch);
    if (!text) return false;
    bool read = read_utf8_file(path, text, policy_text_cch);
    if (read) policy_from_text(text, p);
    heap_free(text);
    return read;
}

bool save_policy(const wchar_t* path, const Policy* p) {
    wchar_t* text = heap_text(policy_text_cch);
    if (!text) return false;
    // A policy that would not read back whole is not written: the previous file stays.
    bool saved = policy_to_text(p, text, policy_text_cch) && write_utf8_file(path, text);
    heap_free(text);
    return saved;
}

bool toggle_rule(const wchar_t* path, Policy* p, int32_t type, uint32_t n) {
    if (!policy_toggle(p, type, n)) return false;
    if (save_policy(path, p)) return true;
    policy_toggle(p, type, n);  // not written: the caller's policy goes back to what the file holds
    return false;
}

bool append_rule(const wchar_t* path, const Rule* r) {
    wchar_t* text = heap_text(policy_text_cch);
    if (!text) return false;
    wchar_t* joined = heap_text(policy_text_cch);
    bool appended = false;
    if (joined) {
        if (!read_utf8_file(path, text, policy_text_cch)) text[0] = L'\0';
        appended = policy_text_with_rule(text, r, joined, policy_text_cch) && write_utf8_file(path, joined);
    }
    heap_free(joined);
    heap_free(text);
    return appended;
}

const wchar_t* default_policy_text() {
    return default_policy_text_for(is_english_code(current_language()) ? Language::en_us : Language::zh_cn);
}
