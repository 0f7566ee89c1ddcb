// The MFA answer field scanner: the fields the broker takes from an MFA server's answer
// (challenge id, passcode, push status, masked destination), into buffers of the callers' sizes
// and of any size from 1 to 64. Each input is the answer's bytes, read as the HTTP transport does
// (UTF-8 into at most 4,096 units). Properties: a missing field leaves the buffer as it was; a
// field read is terminated inside the buffer, nothing after its terminator is touched, it holds no
// quotation mark, and it is a run of digits or a text that stands quoted in the answer.
#include "fuzz_support.h"

#include "common/mfa_client.h"

namespace {

constexpr wchar_t untouched = 0xA5A5;

bool quoted_in(const wchar_t* answer, const wchar_t* value, size_t n) {
    for (const wchar_t* p = answer; *p; ++p) {
        if (*p != L'"') continue;
        size_t i = 0;
        while (i < n && p[1 + i] == value[i]) ++i;
        if (i == n) return true;
    }
    return false;
}

void check_field(const wchar_t* answer, const wchar_t* key, size_t cch_out) {
    wchar_t* out = static_cast<wchar_t*>(malloc(cch_out * sizeof(wchar_t)));
    for (size_t i = 0; i < cch_out; ++i) out[i] = untouched;
    read_answer_field(answer, key, out, cch_out);
    bool all_untouched = true;
    for (size_t i = 0; i < cch_out; ++i) all_untouched = all_untouched && out[i] == untouched;
    if (!all_untouched) {
        size_t n = 0;
        while (n < cch_out && out[n] != 0) ++n;
        FUZZ_CHECK(n < cch_out);
        for (size_t i = n + 1; i < cch_out; ++i) FUZZ_CHECK(out[i] == untouched);
        bool digits = n > 0;
        for (size_t i = 0; i < n; ++i) {
            FUZZ_CHECK(out[i] != L'"');
            digits = digits && out[i] >= L'0' && out[i] <= L'9';
        }
        FUZZ_CHECK(digits || quoted_in(answer, out, n));
    }
    free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static wchar_t answer[4096];
    // As utf8_to_text leaves it: malformed UTF-8 as U+FFFD, cut to the buffer.
    size_t cb = size < 8191 ? size : 8191;
    int n = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(data), int(cb), nullptr, 0);
    if (n < 0 || size_t(n) >= ARRAYSIZE(answer)) return 0;
    MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(data), int(cb), answer, n);
    answer[n] = 0;
    size_t cch_small = size ? size_t(data[0] % 64) + 1 : 1;
    static const wchar_t* const keys[] = {L"challenge_id", L"passcode", L"status", L"masked_destination"};
    for (const wchar_t* key : keys) {
        check_field(answer, key, 128);
        check_field(answer, key, 32);
        check_field(answer, key, cch_small);
    }
    return 0;
}
