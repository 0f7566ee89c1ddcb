// The push variant's rules apart from the window: the texts it shows and the passcode boxes. The
// broker creates and polls the push; the dialog only shows its passcode and waits for the verdict.
#pragma once
#include <stddef.h>

// Language-table ids of the push variant.
enum PushText : unsigned {
    txt_push_approve = 4,
};

// The passcode box at position p shows the p-th character of the passcode when it is a digit.
void passcode_digit(const wchar_t* passcode, int position, wchar_t out[2]);
