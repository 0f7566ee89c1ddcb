// The broker's decision table for the answers of a dialog host, and the texts and records of its
// verdicts. The pipe work is in ui_broker_round_win.cpp.
#include "common/lang.h"
#include "common/text.h"
#include "common/ui_broker.h"

namespace {

constexpr const wchar_t* text_approved = L"认证成功";
constexpr const wchar_t* text_refused = L"用户取消或认证失败";
constexpr const wchar_t* text_no_code = L"未收到验证码，默认拒绝";
constexpr const wchar_t* text_too_many = L"验证码错误次数过多，默认拒绝";
constexpr const wchar_t* text_check_failed = L"验证码校验失败，默认拒绝";
constexpr const wchar_t* text_message_request_failed = L"验证码发送失败，默认拒绝";
constexpr size_t code_cch = sizeof(UiAuthReply::code) / sizeof(wchar_t);
constexpr size_t message_cch = sizeof(UiAuthReply::message) / sizeof(wchar_t);

void with_reason(const wchar_t* text, const wchar_t* reason, wchar_t* message, size_t cch_message) {
    if (reason && reason[0])
        text_format(message, cch_message, L"%s：%s", text, reason);
    else
        text_copy(message, cch_message, text);
}

}  // namespace

uint32_t ui_request_mode_word(uint32_t mode, const wchar_t* language) {
    return (mode & 0xFFFF) | (is_english_code(language) ? ui_language_english : 0);
}

uint32_t ui_request_mode(uint32_t mode_word) { return mode_word & 0xFFFF; }

const wchar_t* ui_request_language(uint32_t mode_word) {
    return (mode_word & ui_language_english) ? lang_code_en_us : lang_code_zh_cn;
}

template <size_t cch>
bool terminated(const wchar_t (&field)[cch]) {
    for (size_t i = 0; i < cch; ++i)
        if (field[i] == L'\0') return true;
    return false;
}

bool ui_request_accepted(const UiAuthRequest* request, size_t cb) {
    // The dialog reads each text up to its terminator: one without it would run into the next
    // field, and the last one past the record.
    return request && cb == sizeof *request && request->magic == ui_auth_magic && terminated(request->title) &&
           terminated(request->target) && terminated(request->detail) && terminated(request->destination) &&
           terminated(request->challenge_id) && terminated(request->passcode);
}

UiCodeStep ui_code_decide(uint32_t approved, bool code_given, UiCodeCheck check, int wrong_codes,
                          const wchar_t* reason, const UiAuthReply* answer, wchar_t* text, size_t cch_text) {
    if (approved != 1) {
        if (answer && answer->message[0])
            text_copy_n(text, cch_text, answer->message, message_cch);
        else
            text_copy(text, cch_text, text_refused);
        return UiCodeStep::gave_up;
    }
    if (!code_given) {
        text_copy(text, cch_text, text_no_code);
        return UiCodeStep::refused;
    }
    const wchar_t* why = reason && reason[0] ? reason : text_check_failed;
    switch (check) {
        case UiCodeCheck::passed:
            text_copy(text, cch_text, text_approved);
            return UiCodeStep::passed;
        case UiCodeCheck::wrong_code:
            if (wrong_codes + 1 < ui_code_attempts) {
                text_copy(text, cch_text, why);
                return UiCodeStep::retry;
            }
            with_reason(text_too_many, reason, text, cch_text);
            return UiCodeStep::refused;
        case UiCodeCheck::failed:
            break;
    }
    text_copy(text, cch_text, why);
    return UiCodeStep::refused;
}

bool ui_answer_code(const UiAuthReply* answer, wchar_t* out, size_t cch_out) {
    size_t n = 0;
    while (n < code_cch && answer->code[n] != L'\0') {
        if (answer->code[n] < L'0' || answer->code[n] > L'9') return false;
        ++n;
    }
    if (n == 0 || n == code_cch) return false;  // empty, or no terminator inside the field
    return text_copy_n(out, cch_out, answer->code, n) == text_ok;
}

void build_ui_verdict(UiVerdict verdict, const wchar_t* text, UiAuthReply* out) {
    *out = UiAuthReply{};
    out->magic = ui_verdict_magic;
    out->approved = verdict;
    text_copy_n(out->message, message_cch, text ? text : L"", message_cch - 1);
}

void ui_message_request_failed(const wchar_t* reason, wchar_t* message, size_t cch_message) {
    with_reason(text_message_request_failed, reason, message, cch_message);
}
