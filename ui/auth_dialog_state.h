// The authentication dialog's rules, apart from any window: which variant a mode code shows, the
// layout rows that depend on it, the digit-box input rules, the Verify decision, the texts of the
// header, and the reply each ending writes. The window code (auth_dialog_win.cpp,
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
    txt_get_code = 16,
    txt_sending = 17,
    txt_resend = 20,
    txt_resend_in = 22,
    txt_verify = 18,
    txt_cancel = 19,
    txt_verification_failed = 30,
    txt_enter_all_digits = 31,
    txt_get_code_first = 32,
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
    id_get_code = 114,
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
    need_code_first,   // status: string 32 (SMS/e-mail before a successful Get Code)
    call_totp,         // verify_totp
    call_message,      // verify_message_code with the challenge id
    refuse,            // a mode that cannot verify typed codes: string 30, no server call
};
VerifyStep verify_step(uint32_t mode, int digits_taken, bool code_requested);
// The status text after a failed verification: the call's error text, or string 30 when it gave none.
const wchar_t* verify_failure_text(const wchar_t* error);

// --- SMS and e-mail codes ---

constexpr int32_t resend_wait_seconds = 60;
constexpr unsigned resend_timer_id = 1;

// "sms" for mode 3, "email" otherwise.
const wchar_t* message_auth_type(uint32_t mode);
// String 13 filled with the destination, or with "Phone" (SMS) / "Email" (e-mail) when it is empty.
void code_prompt_text(uint32_t mode, const wchar_t* destination, wchar_t* out, size_t cch_out);
// Get Code may be pressed only when no countdown runs.
bool get_code_allowed(int32_t countdown);
// The text of Get Code while a countdown runs: string 22 with the seconds left.
void resend_button_text(int32_t countdown, wchar_t* out, size_t cch_out);

enum class CountdownStep {
    idle,      // no countdown ran: nothing changes
    counting,  // one second less, still waiting: the button shows the seconds left
    finished,  // reached 0: the button reads "Resend", is enabled again, and the timer stops
};
CountdownStep resend_tick(int32_t* countdown);
// The status line after a code was sent: string 33 with the masked destination, empty without one.
void code_sent_text(const wchar_t* destination, wchar_t* out, size_t cch_out);

// --- the reply ---

void reply_approved_with_code(UiAuthReply* reply, const wchar_t* digits);
void reply_cancelled(UiAuthReply* reply);
// The window is closed: an approval stands, anything else becomes "window closed".
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
