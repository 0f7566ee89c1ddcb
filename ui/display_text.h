// Texts that reach the user's screen from a request (a rule's name, a path, arguments, a phone
// number): Unicode's bidirectional controls would let a path be shown reading as another one
// ("\x202E" turns "gpj.exe" into "exe.jpg"), so they never reach a window.
#pragma once
#include <stddef.h>

// U+200E, U+200F, U+202A-U+202E and U+2066-U+2069.
bool is_bidi_control(wchar_t c);
// Removes every bidirectional control from text, in place.
void remove_bidi_controls(wchar_t* text);
