#include "ui/push_poll.h"

#include "common/text.h"
#include "common/ui_broker.h"

namespace {

// The request's field: a passcode that fills it has no terminator inside it.
constexpr size_t passcode_cch = sizeof(UiAuthRequest::passcode) / sizeof(wchar_t);

}  // namespace

void passcode_digit(const wchar_t* passcode, int position, wchar_t out[2]) {
    out[0] = out[1] = 0;
    if (!passcode || position < 0 || text_length(passcode, passcode_cch) <= static_cast<size_t>(position)) return;
    if (passcode[position] >= L'0' && passcode[position] <= L'9') out[0] = passcode[position];
}
