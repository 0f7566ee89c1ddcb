#include "ui/ui_mode.h"

#include <wchar.h>

bool is_pipe_mode(const wchar_t* command_line) { return command_line && wcsstr(command_line, L"--pipe") != nullptr; }
