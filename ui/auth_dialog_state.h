// The authentication dialog's rules, apart from any window: which variant a mode code shows, the
// layout rows that depend on it, the digit-box input rules, the Verify decision, the texts of the
// header, and the answer each ending writes. The window code (auth_dialog_win.cpp,
// digit_box_win.cpp) only asks these functions and carries out the answer.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct UiAuthReply;

// Language-table ids the dialog uses.
enum DialogText : unsigned {
    txt_product = 0,
    txt_subtitle = 1,
    txt_target = 2,
    txt_totp_prompt = 12,
    txt_code_prompt = 13,
    txt_phone = 14,
    txt_email = 15,
    txt_sending = 17,
    txt_verify = 18,
    txt_cancel = 19,
    txt_verification_failed = 30,
    txt_enter_all_digits = 31,
    txt_code_sent_to = 33,
    txt_user_cancelled = 98,
    txt_window_closed = 99,
    txt_caption = 103,
};

// Control ids.
enum DialogControl : int {
    id_title = 102,
    id_subtitle = 103,
    id_target = 104,
    id_prompt = 112,
    id_push_label = 115,
    id_verify = 120,
    id_cancel = 121,
    id_status = 122,
    id_progress = 123,
    id_first_box = 130,
};

constexpr int digit_box_count = 6;
constexpr int dialog_client_width = 440;

enum class DialogVariant {
    totp,     // mode 1, and every code that is not one of the others
    push,     // mode 2
    message,  // modes 3 (SMS) and 4 (e-mail)
};

DialogVariant dialog_variant(uint32_t mode);
int digit_row_y(DialogVariant v);       // 165 TOTP, 167 SMS/e-mail (push shows passcode boxes at 169)
int status_line_y(DialogVariant v);     // 225 TOTP, 249 push, 227 SMS/e-mail
int dialog_client_height(DialogVariant v);  // status line + 84
int digit_box_x(int position);          // 68 + 52 * position

// --- digit boxes ---

enum class DigitChar {
    digit,         // replaces the box's text, then the focus moves on (or Verify on the last box)
    edit_default,  // backspace, tab, carriage return: the edit's own handling
    discard,       // everything else
};
DigitChar classify_digit_char(wchar_t c);

// What follows a digit typed into box p: the box to focus next (-1: none), and whether Verify is
// to be sent (only from the last box, when all six boxes hold text and Verify is usable).
struct DigitStep {
    int focus;
    bool submit;
};
DigitStep after_digit(int position, bool all_boxes_filled, bool verify_usable);
// The box focused after Backspace in box p (the box itself is emptied): the previous one, or p itself.
int after_backspace(int position);
// The box an arrow key moves to (direction -1 left, +1 right), or -1 when the edit handles the key.
int arrow_target(int position, int direction);

// The digits of the boxes, read left to right, one character from each, stopping at the first box
// that is missing (null), empty, or does not start with 0-9. out receives them (7 units).
// Returns how many were taken; the index of the first box that stopped the reading is that count.
int collect_digits(const wchar_t* const boxes[digit_box_count], wchar_t out[digit_box_count + 1]);

// --- Verify ---

enum class VerifyStep {
    need_all_digits,   // status: string 31, focus the first empty box
    send_code,         // the digits go to the broker, which checks them
    refuse,            // a mode without typed codes, or SMS/e-mail without the broker's challenge: string 30
};
VerifyStep verify_step(uint32_t mode, int digits_taken, bool challenge_given);
// The status text after a refused code: the broker's text, or string 30 when it gave none.
const wchar_t* verify_failure_text(const wchar_t* error);

// --- SMS and e-mail codes (sent by the broker before the dialog) ---

// String 13 filled with the destination, or with "Phone" (SMS) / "Email" (e-mail) when it is empty.
void code_prompt_text(uint32_t mode, const wchar_t* destination, wchar_t* out, size_t cch_out);
// The status line when the dialog opens: string 33 with the masked destination, empty without one.
void code_sent_text(const wchar_t* destination, wchar_t* out, size_t cch_out);

// --- the reply ---

// The person gave up: approved 0 with the text. Only the broker's verdict ever ends a round passed.
void reply_cancelled(UiAuthReply* reply);
void reply_window_closed(UiAuthReply* reply);

// --- header texts: what the person is asked to approve ---

// Subtitle: the rule's display name, a dash and string 1; string 1 alone without a name.
void subtitle_text(const wchar_t* title, wchar_t* out, size_t cch_out);
// text cut to at most max_chars characters by replacing its middle with one ellipsis (U+2026);
// the end (the file name) keeps the larger half. Shorter texts are copied whole.
void ellipsize_middle(const wchar_t* text, size_t max_chars, wchar_t* out, size_t cch_out);
// Target line: string 2, a space, and the target cut in the middle to max_target_chars.
void target_line_text(const wchar_t* target, size_t max_target_chars, wchar_t* out, size_t cch_out);
// The full text behind the target line (its tooltip): the target, and the arguments on a second line.
void target_tip_text(const wchar_t* target, const wchar_t* detail, wchar_t* out, size_t cch_out);
