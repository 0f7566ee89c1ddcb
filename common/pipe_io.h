// Bounded transfers on a pipe opened for overlapped I/O.
#pragma once
#include <windows.h>

// One overlapped write or read of cb bytes, waited for at most timeout_ms. A transfer still running
// at the limit is cancelled and its end awaited, so the OVERLAPPED can leave the stack. False when
// the transfer failed or was cancelled; otherwise *done holds the bytes moved.
bool pipe_transfer_bounded(HANDLE pipe, bool write, void* bytes, DWORD cb, DWORD timeout_ms, DWORD* done);

// An event that ends every bounded transfer of the calling thread as soon as it is signalled (the
// transfer is cancelled and fails, as at its time limit); null: none. The service sets it around
// a command's round, so a dialog whose asker has gone is not waited for.
void pipe_set_thread_abort(HANDLE abort);
// The calling thread's abort event (null when none is set), for waits of its own.
HANDLE pipe_thread_abort();

// After a reply: waits at most timeout_ms for the client to close its end (it has read the reply
// by then), so the instance can be disconnected without discarding unread data. Unlike
// FlushFileBuffers this never waits for good on a client that does not read.
void pipe_wait_for_client_close(HANDLE pipe, DWORD timeout_ms);
