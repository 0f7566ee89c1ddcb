#include "ui/host_pipe.h"

#include <sddl.h>

#include "common/handle.h"
#include "common/pipe_io.h"
#include "common/process_identity.h"
#include "common/text.h"

namespace {

constexpr DWORD reply_io_timeout_ms = 5000;
// The broker reads a final answer between its own server calls (a push poll may take up to the
// HTTP timeout per phase): the host keeps the connection that long, so the answer is not discarded
// by the disconnect before it was read. A broker that has read it closes at once.
constexpr DWORD answer_read_wait_ms = 20000;

bool own_sid_text(wchar_t* out, size_t cch_out) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    OwnedHandle token(raw);
    AccountSid self = {};
    wchar_t* text = nullptr;
    if (!token_account(token.get(), &self) || !ConvertSidToStringSidW(self.sid, &text)) return false;
    bool copied = text_copy(out, cch_out, text) == text_ok;
    LocalFree(text);
    return copied;
}

bool pending(const HostSlot* slot) {
    return slot->state == SlotState::listening || slot->state == SlotState::reading ||
           (slot->state == SlotState::ready && !slot->gone);
}

// Ends the slot's pending operation, if any, and waits for its end (its OVERLAPPED is reused).
void settle(HostSlot* slot) {
    if (!pending(slot) && !(slot->state == SlotState::serving && !slot->gone)) return;
    CancelIoEx(slot->pipe, &slot->overlapped);
    DWORD cb = 0;
    GetOverlappedResult(slot->pipe, &slot->overlapped, &cb, TRUE);
}

void close_slot(HostSlot* slot) {
    if (slot->state == SlotState::empty) return;
    settle(slot);
    DisconnectNamedPipe(slot->pipe);
    CloseHandle(slot->pipe);
    slot->pipe = nullptr;
    slot->state = SlotState::empty;
    slot->gone = false;
    slot->has_verdict = false;
}

void begin(HostSlot* slot) {
    ResetEvent(slot->event);
    slot->overlapped = OVERLAPPED{};
    slot->overlapped.hEvent = slot->event;
}

void start_reading(HostSlot* slot) {
    begin(slot);
    slot->state = SlotState::reading;
    slot->deadline = GetTickCount64() + host_request_timeout_ms;
    if (!ReadFile(slot->pipe, &slot->request, sizeof slot->request, nullptr, &slot->overlapped) &&
        GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA)
        close_slot(slot);  // the client has gone already
}

// Keeps the read of the broker's next verdict pending; its end without a whole verdict means the
// caller has gone.
void read_verdict(HostSlot* slot) {
    begin(slot);
    if (!ReadFile(slot->pipe, &slot->incoming, sizeof slot->incoming, nullptr, &slot->overlapped) &&
        GetLastError() != ERROR_IO_PENDING)
        slot->gone = true;
}

// A whole request: from now on the verdict read stays pending.
void start_watching(HostPipe* pipe, HostSlot* slot) {
    slot->state = SlotState::ready;
    slot->gone = false;
    slot->has_verdict = false;
    slot->order = pipe->next_order++;
    slot->deadline = GetTickCount64() + ui_reply_timeout_ms + host_round_grace_ms;
    read_verdict(slot);
}

// The verdict read ended: a whole verdict while the dialog is shown is kept for it; anything else
// (before the dialog, another size or magic, an error) means the caller has gone.
bool took_verdict(HostSlot* slot) {
    DWORD cb = 0;
    bool whole = GetOverlappedResult(slot->pipe, &slot->overlapped, &cb, FALSE) && cb == sizeof slot->incoming &&
                 slot->incoming.magic == ui_verdict_magic && slot->state == SlotState::serving;
    if (!whole) return false;
    slot->verdict = slot->incoming;
    slot->has_verdict = true;
    read_verdict(slot);
    return !slot->gone;
}

void on_request_read(HostPipe* pipe, HostSlot* slot) {
    DWORD cb = 0;
    bool whole =
        GetOverlappedResult(slot->pipe, &slot->overlapped, &cb, FALSE) && ui_request_accepted(&slot->request, cb);
    if (whole) {
        start_watching(pipe, slot);
    } else {
        close_slot(slot);  // short, long or foreign: dropped without an answer
    }
}

void on_connected(HostSlot* slot) {
    DWORD cb = 0;
    if (GetOverlappedResult(slot->pipe, &slot->overlapped, &cb, FALSE)) {
        start_reading(slot);
    } else {
        close_slot(slot);  // e.g. a client that came and went
    }
}

bool any_instance(const HostPipe* pipe) {
    for (const HostSlot& slot : pipe->slots)
        if (slot.state != SlotState::empty) return true;
    return false;
}

// Creates an instance in a free slot and lets it wait for a client. The first instance must
// create the name: a name someone else holds is not joined.
void listen_on(HostPipe* pipe, HostSlot* slot) {
    DWORD first = any_instance(pipe) ? 0 : FILE_FLAG_FIRST_PIPE_INSTANCE;
    HANDLE instance = CreateNamedPipeW(pipe->name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | first,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                       PIPE_UNLIMITED_INSTANCES, sizeof(UiAuthReply), sizeof(UiAuthRequest),
                                       ui_reply_timeout_ms, &pipe->security);
    if (instance == INVALID_HANDLE_VALUE) {
        pipe->retry_at = GetTickCount64() + host_create_retry_ms;
        return;
    }
    slot->pipe = instance;
    begin(slot);
    slot->state = SlotState::listening;
    if (ConnectNamedPipe(instance, &slot->overlapped)) return;  // completion is signalled on the event
    DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
        start_reading(slot);
    } else if (error != ERROR_IO_PENDING) {
        close_slot(slot);
    }
}

void keep_listening(HostPipe* pipe) {
    HostSlot* free_slot = nullptr;
    for (HostSlot& slot : pipe->slots) {
        if (slot.state == SlotState::listening) return;
        if (slot.state == SlotState::empty && !free_slot) free_slot = &slot;
    }
    if (free_slot && GetTickCount64() >= pipe->retry_at) listen_on(pipe, free_slot);
}

void handle(HostPipe* pipe, HostSlot* slot, ULONGLONG now) {
    bool done = WaitForSingleObject(slot->event, 0) == WAIT_OBJECT_0;
    switch (slot->state) {
        case SlotState::listening:
            if (done) on_connected(slot);
            break;
        case SlotState::reading:
            if (done) {
                on_request_read(pipe, slot);
            } else if (now >= slot->deadline) {
                close_slot(slot);  // an idle or half-written client
            }
            break;
        case SlotState::ready:
        case SlotState::serving:
            if (!slot->gone && done && now < slot->deadline && took_verdict(slot)) break;
            if (!slot->gone && (done || now >= slot->deadline)) {
                settle(slot);
                slot->gone = true;
                ResetEvent(slot->event);
            }
            if (slot->gone && slot->state == SlotState::ready) close_slot(slot);
            break;
        case SlotState::empty:
            break;
    }
}

}  // namespace

bool host_pipe_open(HostPipe* pipe) {
    *pipe = HostPipe{};
    wchar_t sid[128];
    wchar_t sddl[ui_host_pipe_sddl_cch];
    if (!ui_pipe_name_for(ui_own_session(), pipe->name, ui_pipe_name_cch) || !own_sid_text(sid, 128) ||
        !ui_host_pipe_sddl(sid, sddl, ui_host_pipe_sddl_cch))
        return false;
    pipe->security.nLength = sizeof pipe->security;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &pipe->security.lpSecurityDescriptor,
                                                              nullptr))
        return false;
    for (HostSlot& slot : pipe->slots) {
        slot.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!slot.event) return false;
    }
    return true;
}

void host_pipe_poll(HostPipe* pipe) {
    // Twice: a slot freed or connected in the first round may let the listening one be replaced.
    for (int round = 0; round < 2; ++round) {
        ULONGLONG now = GetTickCount64();
        for (HostSlot& slot : pipe->slots) handle(pipe, &slot, now);
        keep_listening(pipe);
    }
}

void host_pipe_wait(HostPipe* pipe, DWORD timeout_ms) {
    HANDLE events[host_pipe_slots];
    DWORD count = 0;
    ULONGLONG now = GetTickCount64();
    ULONGLONG until = timeout_ms == INFINITE ? ~0ULL : now + timeout_ms;
    for (HostSlot& slot : pipe->slots) {
        if (!pending(&slot)) continue;
        events[count++] = slot.event;
        if (slot.state != SlotState::listening && slot.deadline < until) until = slot.deadline;
    }
    bool listening = false;
    for (const HostSlot& slot : pipe->slots) listening = listening || slot.state == SlotState::listening;
    if (!listening && pipe->retry_at > now && pipe->retry_at < until) until = pipe->retry_at;
    DWORD wait = until == ~0ULL ? INFINITE : (until > now ? static_cast<DWORD>(until - now) : 0);
    if (count > 0) {
        WaitForMultipleObjects(count, events, FALSE, wait);
    } else if (wait != 0) {
        Sleep(wait == INFINITE ? host_create_retry_ms : wait);
    }
    host_pipe_poll(pipe);
}

HostSlot* host_pipe_take_request(HostPipe* pipe) {
    HostSlot* oldest = nullptr;
    for (HostSlot& slot : pipe->slots) {
        if (slot.state == SlotState::ready && !slot.gone && (!oldest || slot.order < oldest->order)) oldest = &slot;
    }
    if (oldest) oldest->state = SlotState::serving;
    return oldest;
}

bool host_pipe_send(HostSlot* slot, const UiAuthReply* answer) {
    if (slot->state != SlotState::serving || slot->gone) return false;
    // Its own event and OVERLAPPED: the verdict read stays pending meanwhile, and only this write
    // is cancelled at the limit.
    OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return false;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    UiAuthReply copy = *answer;
    if (!WriteFile(slot->pipe, &copy, sizeof copy, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING)
        return false;
    if (WaitForSingleObject(event.get(), reply_io_timeout_ms) != WAIT_OBJECT_0) CancelIoEx(slot->pipe, &overlapped);
    DWORD cb = 0;
    bool written = GetOverlappedResult(slot->pipe, &overlapped, &cb, TRUE) && cb == sizeof copy;
    SecureZeroMemory(&copy, sizeof copy);
    return written;
}

bool host_pipe_take_verdict(HostSlot* slot, UiAuthReply* verdict) {
    if (!slot->has_verdict) return false;
    *verdict = slot->verdict;
    slot->has_verdict = false;
    return true;
}

void host_pipe_finish(HostPipe* pipe, HostSlot* slot, const UiAuthReply* reply) {
    handle(pipe, slot, GetTickCount64());  // has the caller gone meanwhile?
    if (!slot->gone && reply) {
        settle(slot);
        slot->gone = true;  // nothing pending any more
        UiAuthReply copy = *reply;
        DWORD written = 0;
        if (pipe_transfer_bounded(slot->pipe, true, &copy, sizeof copy, reply_io_timeout_ms, &written))
            pipe_wait_for_client_close(slot->pipe, answer_read_wait_ms);  // it has read the reply
    }
    close_slot(slot);
}
