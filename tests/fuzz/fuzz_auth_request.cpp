// The auth pipe's request decoder and the pure steps the service takes on a decoded command before
// any dialog: the canonical path, the path rules see (long form of a may-be-short path), and the
// rule match. Each input is the bytes of one connection. Properties: only exactly one whole record
// is accepted, and then every text field is terminated inside it; no step writes past its buffer;
// a matched rule is an enabled command rule of the policy whose conditions hold for the path.
#include "fuzz_support.h"

#include "common/auth_pipe.h"
#include "common/canonical_path.h"
#include "service/rule_match.h"

namespace {

// Command rules of every kind of condition, identity ones included.
constexpr const wchar_t* policy_text =
    L"{ \"rules\": ["
    L"{ \"type\": \"command\", \"display_name\": \"a\", \"match_name\": \"cmd.exe\", \"match_path\": \"\","
    L" \"args_contains\": \"/c\", \"auth_mode\": \"push\", \"cache_window_seconds\": 0, \"enabled\": true },"
    L"{ \"type\": \"command\", \"display_name\": \"b\", \"match_name\": \"\","
    L" \"match_path\": \"C:\\\\Windows\\\\System32\\\\sc.exe\", \"args_contains\": \"\", \"enabled\": true },"
    L"{ \"type\": \"command\", \"display_name\": \"c\", \"match_name\": \"\", \"match_path\": \"\","
    L" \"args_contains\": \"\", \"match_original_name\": \"PowerShell.EXE\", \"enabled\": true },"
    L"{ \"type\": \"command\", \"display_name\": \"d\", \"match_name\": \"x.exe\", \"match_path\": \"\","
    L" \"args_contains\": \"\", \"match_sha256\": \"00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\","
    L" \"enabled\": true },"
    L"{ \"type\": \"command\", \"display_name\": \"e\", \"match_name\": \"\\u00c4pfel.exe\", \"match_path\": \"\","
    L" \"args_contains\": \"\", \"enabled\": false },"
    L"{ \"type\": \"program\", \"display_name\": \"f\", \"match_name\": \"cmd.exe\", \"match_path\": \"\","
    L" \"args_contains\": \"\", \"enabled\": true }"
    L"] }";

const Policy* policy() {
    static Policy* p = [] {
        Policy* made = static_cast<Policy*>(malloc(sizeof(Policy)));
        policy_from_text(policy_text, made);
        FUZZ_CHECK(made->count == 6);
        return made;
    }();
    return p;
}

// The long form of a may-be-short path: each "~1" becomes "LONGNAME"; a path holding "~9" cannot
// be resolved. Bounded by cch_out, as GetLongPathNameW is.
bool fake_long_path(void*, const wchar_t* path, wchar_t* out, size_t cch_out) {
    size_t n = 0;
    for (const wchar_t* p = path; *p; ++p) {
        if (p[0] == L'~' && p[1] == L'9') return false;
        const wchar_t* piece = (p[0] == L'~' && p[1] == L'1') ? L"LONGNAME" : nullptr;
        if (piece) ++p;
        for (const wchar_t* c = piece ? piece : p; *c && (piece || c == p); ++c) {
            if (n + 1 >= cch_out) return false;
            out[n++] = *c;
        }
    }
    out[n] = 0;
    return true;
}

struct IdentityState {
    uint8_t mode;  // from the input: whether the file can be read, and what it is
    int reads;
};

bool fake_identity(void* state, const wchar_t*, bool want_hash, FileIdentity* out) {
    IdentityState* s = static_cast<IdentityState*>(state);
    ++s->reads;
    if (s->mode & 1) return false;
    *out = FileIdentity{};
    out->have_original_name = (s->mode & 2) != 0;
    if (out->have_original_name) text_copy(out->original_name, L"powershell.exe");
    out->have_sha256 = want_hash && (s->mode & 4) != 0;
    if (out->have_sha256) sha256_from_hex(L"00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff", out->sha256);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Policy* rules = policy();
    // The bytes as received, in a buffer of exactly their size.
    uint8_t* bytes = static_cast<uint8_t*>(malloc(size ? size : 1));
    memcpy(bytes, data, size);
    AuthRequest* request = auth_request_from_bytes(bytes, size);
    FUZZ_CHECK((request != nullptr) == (size == sizeof(AuthRequest)));
    if (!request) {
        free(bytes);
        return 0;
    }
    FUZZ_CHECK(static_cast<void*>(request) == bytes);
    FUZZ_CHECK(terminated_within(request->path, ARRAYSIZE(request->path)));
    FUZZ_CHECK(terminated_within(request->args, ARRAYSIZE(request->args)));
    FUZZ_CHECK(terminated_within(request->cwd, ARRAYSIZE(request->cwd)));

    wchar_t* canonical = static_cast<wchar_t*>(malloc(sizeof(request->path)));
    wchar_t* key = static_cast<wchar_t*>(malloc(sizeof(request->path)));
    if (canonical_path(request->path, canonical, ARRAYSIZE(request->path))) {
        FUZZ_CHECK(terminated_within(canonical, ARRAYSIZE(request->path)));
        FUZZ_CHECK(canonical[0] != 0);
        if (rule_path_key(canonical, fake_long_path, nullptr, key, ARRAYSIZE(request->path))) {
            FUZZ_CHECK(terminated_within(key, ARRAYSIZE(request->path)));
            IdentityState state = {request->cwd[0] == 0 ? uint8_t(0) : uint8_t(request->cwd[0] & 7), 0};
            IdentityPort identity = {&state, fake_identity, false};
            const Rule* rule = match_rule(rules, rule_type_command, key, request->args, &identity);
            FUZZ_CHECK(state.reads <= 1);  // the identity is read at most once
            if (rule) {
                FUZZ_CHECK(rule >= rules->rules && rule < rules->rules + rules->count);
                FUZZ_CHECK(rule->type == rule_type_command && rule->enabled == 1);
                FUZZ_CHECK(!identity.unreadable);
                if (rule->match_path[0]) FUZZ_CHECK(text_equal_nocase(rule->match_path, key));
                if (rule->args_contains[0]) FUZZ_CHECK(text_contains_nocase(request->args, rule->args_contains));
                if (rule_has_identity(rule)) FUZZ_CHECK(state.reads == 1 && (state.mode & 1) == 0);
            }
        }
    } else {
        FUZZ_CHECK(request->path[0] == 0 || text_length(request->path, ARRAYSIZE(request->path)) >= 4);
    }
    free(key);
    free(canonical);
    free(bytes);
    return 0;
}
