// Bounded transfers on a pipe opened for overlapped I/O.
#pragma once
#include <windows.h>

// One overlapped write or read of cb bytes, waited for at most timeout_ms. A transfer still running
// at the limit is cancelled and its end awaited, so the OVERLAPPED can leave the stack. False when
// the transfer failed or was cancelled; otherwise *done holds the bytes moved.
bool pipe_transfer_bounded(HANDLE pipe, bool write, void* bytes, DWORD cb, DWORD timeout_ms, DWORD* done);
