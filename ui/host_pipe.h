// The dialog host's end of its session's UI pipe (\\.\pipe\SentrelUI.<session>).
//
// The host runs on one thread, its dialogs included, so the pipe is served by overlapped I/O that
// never blocks: a small table of instances (slots), each listening, reading a request, holding a
// request read whole, or being served by the dialog. There is always an instance listening (while
// a slot is free), so one idle client cannot make the pipe unreachable; every client has a bounded
// time to send its request and is dropped after it; and a request read whole keeps a read of the
// broker's next verdict pending: a whole verdict is kept for the dialog (and the read started
// again), any other end (the broker closed its end, having its answer or giving up, or wrote
// something else) tells the host that the caller has gone. A round is also given up when it outlasts the broker's own
// bound, so a dialog whose caller has gone closes and never blocks the rounds after it.
//
// Requests are served oldest first, one at a time; while a dialog is shown the host polls the pipe
// from a timer, so new clients are taken and idle ones dropped meanwhile.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "common/ui_broker.h"

constexpr size_t host_pipe_slots = 8;
constexpr DWORD host_request_timeout_ms = 5000;  // a connected client has this long to send its request
constexpr DWORD host_round_grace_ms = 5000;      // beyond the broker's bound, before a round is given up
constexpr DWORD host_create_retry_ms = 500;      // after an instance could not be created

enum class SlotState : uint8_t {
    empty,
    listening,  // waiting for a client
    reading,    // connected; the request is being read
    ready,      // a whole request read; its client waits for the reply
    serving,    // its dialog is shown
};

struct HostSlot {
    HANDLE pipe;
    HANDLE event;  // of the pending operation (manual reset)
    OVERLAPPED overlapped;
    SlotState state;
    bool gone;           // ready or serving: the caller has gone, or its time is up
    ULONGLONG deadline;  // reading: for the request; ready, serving: for the whole round
    uint64_t order;      // ready: requests are served in the order they were read whole
    bool has_verdict;    // serving: a verdict arrived and the dialog has not taken it yet
    UiAuthReply incoming;  // the pending read of the broker's next verdict
    UiAuthReply verdict;
    UiAuthRequest request;
};

struct HostPipe {
    wchar_t name[ui_pipe_name_cch];
    SECURITY_ATTRIBUTES security;
    HostSlot slots[host_pipe_slots];
    uint64_t next_order;
    ULONGLONG retry_at;  // no instance is created before this tick (after a failure)
};

// The session's pipe name and its descriptor; false when either cannot be made (the host then
// serves nothing: never with the default descriptor).
bool host_pipe_open(HostPipe* pipe);
// Handles what has happened on the pipe, without waiting, and keeps an instance listening.
void host_pipe_poll(HostPipe* pipe);
// Waits at most timeout_ms for something to happen on the pipe, then handles it (host_pipe_poll).
void host_pipe_wait(HostPipe* pipe, DWORD timeout_ms);
// The oldest request read whole whose caller is still there, now being served; null when none.
HostSlot* host_pipe_take_request(HostPipe* pipe);
// Sends an answer to the served slot's caller while the round goes on (a code to check); false
// when it could not be written whole (the caller has gone).
bool host_pipe_send(HostSlot* slot, const UiAuthReply* answer);
// Takes the verdict that arrived for the served slot; false when none is waiting.
bool host_pipe_take_verdict(HostSlot* slot, UiAuthReply* verdict);
// Answers the served slot's caller (when it is still there and reply is not null) and closes the
// slot.
void host_pipe_finish(HostPipe* pipe, HostSlot* slot, const UiAuthReply* reply);
