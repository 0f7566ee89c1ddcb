#include "ui/auth_dialog_state.h"

#include "common/lang.h"
#include "common/text.h"
#include "common/ui_broker.h"
#include "ui/display_text.h"

DialogVariant dialog_variant(uint32_t mode) {
    if (mode == ui_mode_push) return DialogVariant::push;
    if (mode == ui_mode_sms || mode == ui_mode_email) return DialogVariant::message;
    return DialogVariant::totp;
}

int digit_row_y(DialogVariant v) {
    switch (v) {
        case DialogVariant::push: return 169;
        case DialogVariant::message: return 167;
        case DialogVariant::totp: break;
    }
    return 165;
}

int status_line_y(DialogVariant v) { return v == DialogVariant::push ? 249 : digit_row_y(v) + 60; }

int dialog_client_height(DialogVariant v) { return status_line_y(v) + 84; }

int digit_box_x(int position) { return 68 + 52 * position; }

DigitChar classify_digit_char(wchar_t c) {
    if (c >= L'0' && c <= L'9') return DigitChar::digit;
    if (c == L'\b' || c == L'\t' || c == L'\r') return DigitChar::edit_default;
    return DigitChar::discard;
}

DigitStep after_digit(int position, bool all_boxes_filled, bool verify_usable) {
    if (position < digit_box_count - 1) return {position + 1, false};
    return {-1, all_boxes_filled && verify_usable};
}

int after_backspace(int position) { return position > 0 ? position - 1 : position; }

int arrow_target(int position, int direction) {
    int next = position + direction;
    return next >= 0 && next < digit_box_count ? next : -1;
}

int collect_digits(const wchar_t* const boxes[digit_box_count], wchar_t out[digit_box_count + 1]) {
    int taken = 0;
    for (; taken < digit_box_count; ++taken) {
        const wchar_t* box = boxes[taken];
        if (!box || box[0] < L'0' || box[0] > L'9') break;
        out[taken] = box[0];
    }
    out[taken] = 0;
    return taken;
}

VerifyStep verify_step(uint32_t mode, int digits_taken, bool challenge_given) {
    if (digits_taken < digit_box_count) return VerifyStep::need_all_digits;
    bool message = mode == ui_mode_sms || mode == ui_mode_email;
    if (mode == ui_mode_totp || (message && challenge_given)) return VerifyStep::send_code;
    return VerifyStep::refuse;
}

const wchar_t* verify_failure_text(const wchar_t* error) {
    return error && error[0] ? error : text_for_id(txt_verification_failed);
}

void code_prompt_text(uint32_t mode, const wchar_t* destination, wchar_t* out, size_t cch_out) {
    const wchar_t* where = destination && destination[0] ? destination
                           : mode == ui_mode_sms       ? text_for_id(txt_phone)
                                                       : text_for_id(txt_email);
    text_format(out, cch_out, text_for_id(txt_code_prompt), where);
    remove_bidi_controls(out);
}

void code_sent_text(const wchar_t* destination, wchar_t* out, size_t cch_out) {
    if (destination && destination[0])
        text_format(out, cch_out, text_for_id(txt_code_sent_to), destination);
    else
        text_copy(out, cch_out, L"");
    remove_bidi_controls(out);
}

void reply_cancelled(UiAuthReply* reply) {
    reply->approved = 0;
    text_copy(reply->message, text_for_id(txt_user_cancelled));
}

void reply_window_closed(UiAuthReply* reply) {
    reply->approved = 0;
    text_copy(reply->message, text_for_id(txt_window_closed));
}

void subtitle_text(const wchar_t* title, wchar_t* out, size_t cch_out) {
    if (title && title[0])
        text_format(out, cch_out, L"%s \x2014 %s", title, text_for_id(txt_subtitle));
    else
        text_copy(out, cch_out, text_for_id(txt_subtitle));
    remove_bidi_controls(out);
}

void ellipsize_middle(const wchar_t* text, size_t max_chars, wchar_t* out, size_t cch_out) {
    if (!text) text = L"";
    size_t length = text_length(text, text_max_cch);
    if (length <= max_chars || max_chars == 0) {
        text_copy(out, cch_out, max_chars == 0 && length ? L"" : text);
        return;
    }
    size_t kept = max_chars - 1;  // one place for the ellipsis
    size_t head = kept / 2;
    size_t tail = kept - head;
    text_copy_n(out, cch_out, text, head);
    text_append(out, cch_out, L"\x2026");
    text_append(out, cch_out, text + length - tail);
}

void target_line_text(const wchar_t* target, size_t max_target_chars, wchar_t* out, size_t cch_out) {
    // The controls go before the cut, so they neither count nor survive in the half kept.
    wchar_t plain[1024], shown[1024];
    text_copy(plain, 1024, target ? target : L"");
    remove_bidi_controls(plain);
    ellipsize_middle(plain, max_target_chars, shown, 1024);
    text_format(out, cch_out, L"%s %s", text_for_id(txt_target), shown);
}

void target_tip_text(const wchar_t* target, const wchar_t* detail, wchar_t* out, size_t cch_out) {
    text_copy(out, cch_out, target);
    if (detail && detail[0]) {
        text_append(out, cch_out, L"\r\n");
        text_append(out, cch_out, detail);
    }
    remove_bidi_controls(out);
}
