// The records of the UI pipe, from either side. Each input gives one UiAuthRequest as the dialog
// host reads it (followed by how many bytes arrived) and one UiAuthReply as the broker reads an
// answer; its last bytes choose the round's state. Properties: the host takes only a record its
// rules accept (whole, the request magic, every text terminated inside its field) and what it
// shows of it stays inside the record and inside the dialog's buffers; the broker takes a code only
// when it is 1 to 63 digits terminated inside the field, decides a round passed only on its own
// check (never on the host's word), and every result text it writes is terminated inside its
// buffer.
#include "fuzz_support.h"

#include "common/lang.h"
#include "common/ui_broker.h"
#include "ui/auth_dialog_state.h"
#include "ui/push_poll.h"

namespace {

struct Tail {
    uint8_t round;       // UiRound
    uint8_t check;       // UiCodeCheck
    uint8_t seen;        // PushSeen
    uint8_t wrong_codes;
    uint8_t cch_text;    // the caller's text buffer: 1 to 256 units
    uint8_t short_read;  // nonzero: the request arrived this many bytes short
};

bool code_rule(const UiAuthReply* answer) {
    size_t n = 0;
    while (n < ARRAYSIZE(answer->code) && answer->code[n] != 0) {
        if (answer->code[n] < L'0' || answer->code[n] > L'9') return false;
        ++n;
    }
    return n >= 1 && n <= 63;
}

void host_side(const UiAuthRequest* request, size_t cb) {
    bool accepted = ui_request_accepted(request, cb);
    if (!accepted) return;
    FUZZ_CHECK(cb == sizeof *request && request->magic == ui_auth_magic);
    // As the host does before the dialog: the language, then the mode alone.
    set_language(ui_request_language(request->mode));
    uint32_t mode = ui_request_mode(request->mode);
    FUZZ_CHECK(mode <= 0xFFFF);
    dialog_variant(mode);
    // The dialog's texts, in buffers of the sizes the dialog uses.
    wchar_t* subtitle = static_cast<wchar_t*>(malloc(256 * sizeof(wchar_t)));
    subtitle_text(request->title, subtitle, 256);
    FUZZ_CHECK(terminated_within(subtitle, 256));
    wchar_t* line = static_cast<wchar_t*>(malloc(1056 * sizeof(wchar_t)));
    size_t length = text_length(request->target, 1024);
    target_line_text(request->target, length, line, 1056);
    FUZZ_CHECK(terminated_within(line, 1056));
    target_line_text(request->target, length / 2, line, 1056);
    FUZZ_CHECK(terminated_within(line, 1056));
    wchar_t* tip = static_cast<wchar_t*>(malloc(1600 * sizeof(wchar_t)));
    target_tip_text(request->target, request->detail, tip, 1600);
    FUZZ_CHECK(terminated_within(tip, 1600));
    wchar_t* prompt = static_cast<wchar_t*>(malloc(160 * sizeof(wchar_t)));
    code_prompt_text(mode, request->destination, prompt, 160);
    FUZZ_CHECK(terminated_within(prompt, 160));
    code_sent_text(request->destination, subtitle, 256);
    FUZZ_CHECK(terminated_within(subtitle, 256));
    for (int i = 0; i < digit_box_count; ++i) {
        wchar_t digit[2] = {1, 1};
        passcode_digit(request->passcode, i, digit);
        FUZZ_CHECK(digit[1] == 0 && (digit[0] == 0 || (digit[0] >= L'0' && digit[0] <= L'9')));
    }
    verify_step(mode, digit_box_count, request->challenge_id[0] != 0);
    free(prompt);
    free(tip);
    free(line);
    free(subtitle);
}

void broker_side(const UiAuthReply* answer, const Tail& t) {
    size_t cch_text = size_t(t.cch_text) + 1;
    wchar_t* text = static_cast<wchar_t*>(malloc(cch_text * sizeof(wchar_t)));
    wchar_t code[64];
    bool code_given = ui_answer_code(answer, code, ARRAYSIZE(code));
    FUZZ_CHECK(code_given == code_rule(answer));
    if (code_given) FUZZ_CHECK(same_text(code, answer->code));

    UiCodeCheck check = static_cast<UiCodeCheck>(t.check % 3);
    UiCodeStep step = ui_code_decide(answer->approved, code_given, check, t.wrong_codes % 4,
                                     (t.check & 4) ? L"" : L"server reason", answer, text, cch_text);
    FUZZ_CHECK(terminated_within(text, cch_text));
    FUZZ_CHECK((step == UiCodeStep::passed) == (answer->approved == 1 && code_given && check == UiCodeCheck::passed));
    FUZZ_CHECK(step != UiCodeStep::retry || (t.wrong_codes % 4) + 1 < ui_code_attempts);

    UiRound round = static_cast<UiRound>(t.round % 6);
    FUZZ_CHECK(!ui_round_result(round, answer, text, cch_text));
    FUZZ_CHECK(terminated_within(text, cch_text));
    PushSeen seen = static_cast<PushSeen>(t.seen % 4);
    bool passed = ui_push_round_result(round, answer, seen, text, cch_text);
    FUZZ_CHECK(terminated_within(text, cch_text));
    FUZZ_CHECK(passed == (round == UiRound::replied && answer->approved != 0 && seen == PushSeen::approved));

    UiAuthReply* verdict = static_cast<UiAuthReply*>(malloc(sizeof(UiAuthReply)));
    build_ui_verdict(static_cast<UiVerdict>(answer->approved % 3), answer->message[0] ? text : nullptr, verdict);
    FUZZ_CHECK(verdict->magic == ui_verdict_magic && verdict->code[0] == 0);
    FUZZ_CHECK(terminated_within(verdict->message, ARRAYSIZE(verdict->message)));
    free(verdict);
    free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Tail t = {};
    if (size >= sizeof t) memcpy(&t, data + size - sizeof t, sizeof t);
    UiAuthRequest* request = exact_copy<UiAuthRequest>(data, size);
    size_t cb = sizeof *request - (t.short_read % 8 == 0 ? 0 : t.short_read);
    host_side(request, cb);
    UiAuthReply* answer = exact_copy<UiAuthReply>(size > sizeof *request ? data + sizeof *request : data,
                                                  size > sizeof *request ? size - sizeof *request : 0);
    broker_side(answer, t);
    free(answer);
    free(request);
    return 0;
}
