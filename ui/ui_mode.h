// The program's mode, chosen by its command line.
#pragma once

// Pipe mode when the command-line text (without the program name) holds "--pipe" anywhere,
// compared with case; console mode otherwise, also for an empty or missing text.
bool is_pipe_mode(const wchar_t* command_line);
