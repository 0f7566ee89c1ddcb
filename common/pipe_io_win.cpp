#include "common/pipe_io.h"

#include "common/handle.h"

namespace {

thread_local HANDLE t_abort = nullptr;

}  // namespace

void pipe_set_thread_abort(HANDLE abort) { t_abort = abort; }
HANDLE pipe_thread_abort() { return t_abort; }

bool pipe_transfer_bounded(HANDLE pipe, bool write, void* bytes, DWORD cb, DWORD timeout_ms, DWORD* done) {
    OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return false;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    BOOL started = write ? WriteFile(pipe, bytes, cb, nullptr, &overlapped)
                         : ReadFile(pipe, bytes, cb, nullptr, &overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) return false;
    HANDLE events[2] = {event.get(), t_abort};
    if (WaitForMultipleObjects(t_abort ? 2 : 1, events, FALSE, timeout_ms) != WAIT_OBJECT_0) CancelIo(pipe);
    DWORD n = 0;
    if (!GetOverlappedResult(pipe, &overlapped, &n, TRUE)) return false;  // cancelled ones end here
    *done = n;
    return true;
}

void pipe_wait_for_client_close(HANDLE pipe, DWORD timeout_ms) {
    char unexpected = 0;
    DWORD cb = 0;
    pipe_transfer_bounded(pipe, false, &unexpected, 1, timeout_ms, &cb);  // ends with the broken pipe
}
