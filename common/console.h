// Console output that survives redirection: WriteConsoleW on a console, UTF-8 bytes on a file or pipe.
#pragma once

void console_print(const wchar_t* format, ...);   // standard output
void console_eprint(const wchar_t* format, ...);  // standard error
