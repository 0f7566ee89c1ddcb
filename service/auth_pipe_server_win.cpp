// Auth pipe server. One listener thread keeps one instance of the pipe waiting for a client and
// hands each connected instance to a new request-handler thread, which reads one request, answers
// it and closes the instance. A handler may wait minutes for the user's MFA; the others go on
// meanwhile (only matched commands queue, on their session's round lock). While a command is
// decided its client is watched: a client that leaves ends the round at once.
//
// Nobody may jam or take the pipe:
// - Its descriptor admits LocalSystem and administrators only (no read access for everyone, which
//   is what let idle read-only clients hold every instance), network logons are refused and
//   remote clients rejected.
// - The first instance is created with FILE_FLAG_FIRST_PIPE_INSTANCE, so a process that took the
//   name before us is found out (and logged) instead of being joined; after that the name never
//   lapses: the next instance is created while the connected one is still held.
// - A client is never left without an instance waiting: the number of instances is not capped by
//   the pipe, only the number of handlers (a connection beyond it is dropped at once), and every
//   read and write is bounded, so an idle or half-written client is dropped within seconds and a
//   client that never reads its reply cannot hold a handler either.
//
// The first instance is created before the listener starts (so it exists once the service reports
// running). The listener waits for a client and for the stop event together.
#include "service/auth_pipe_server.h"

#include <sddl.h>

#include "common/auth_pipe.h"
#include "common/event_log.h"
#include "common/file_identity.h"
#include "common/handle.h"
#include "common/impersonation.h"
#include "common/log.h"
#include "common/pipe_io.h"
#include "common/text.h"
#include "common/process_identity.h"
#include "common/ui_broker.h"
#include "service/command_auth.h"
#include "service/rule_match.h"
#include "service/pipe_wake.h"

namespace {

constexpr LONG max_handlers = 32;
constexpr DWORD create_retry_ms = 1000;

struct HandlerStart {
    HANDLE pipe;
    ServiceContext* context;
};

LONG g_handlers = 0;        // request handlers running
LONG g_live_instances = 0;  // instances of ours, listening or connected

void close_instance(HANDLE pipe) {
    CloseHandle(pipe);
    InterlockedDecrement(&g_live_instances);
}

// Reads and drops the rest of a message that did not fit the request, each piece bounded.
void drain_message(HANDLE pipe) {
    char rest[1024];
    DWORD cb = 0;
    for (int pieces = 0; pieces < 64 && GetLastError() == ERROR_MORE_DATA; ++pieces) {
        if (pipe_transfer_bounded(pipe, false, rest, sizeof rest, auth_pipe_io_timeout_ms, &cb)) break;
    }
}

struct ClientWatch {
    OVERLAPPED overlapped;
    char unexpected;
};

// Starts a read that ends when the client closes its end (or writes more). False when no read
// could be started and the client is not known to be gone; a client gone already sets the event.
bool watch_client(HANDLE pipe, HANDLE gone, ClientWatch* watch) {
    watch->overlapped = OVERLAPPED{};
    watch->overlapped.hEvent = gone;
    if (ReadFile(pipe, &watch->unexpected, 1, nullptr, &watch->overlapped)) return true;  // event set
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) return true;
    SetEvent(gone);  // broken pipe: the client has left already
    return false;
}

// Cancels the watching read and waits for its end, so the OVERLAPPED can leave the stack.
void end_client_watch(HANDLE pipe, ClientWatch* watch) {
    CancelIoEx(pipe, &watch->overlapped);
    DWORD cb = 0;
    GetOverlappedResult(pipe, &watch->overlapped, &cb, TRUE);
}

// The command's file is read as the client that asks to run it (runguard, as its user).
bool identity_as_client(void* state, const wchar_t* path, bool want_hash, FileIdentity* out) {
    if (!ImpersonateNamedPipeClient(static_cast<HANDLE>(state))) return false;
    bool read = read_file_identity(path, want_hash, out);
    revert_or_end();
    return read;
}

// The account of the runguard client, read at identification level (all the client allows); the
// command's factor is that account's. One per handler thread.
thread_local AccountSid t_client;

// The client's token, taken with one impersonation; null when it cannot be.
HANDLE client_token(HANDLE pipe) {
    if (!ImpersonateNamedPipeClient(pipe)) return nullptr;
    HANDLE raw = nullptr;
    bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &raw);
    revert_or_end();  // never go on as the client
    return opened ? raw : nullptr;
}

// The name is looked up only for a decision that is audited (a lookup may ask a domain controller).
bool client_account_name(void* token, wchar_t* out, size_t cch_out) {
    return token && account_of_token(token, out, cch_out);
}

bool authenticate_client(uint32_t session, const Settings* settings, const Rule* rule, const wchar_t* target,
                         const wchar_t* detail, wchar_t* message, size_t cch_message) {
    return authenticate_via_ui_as(session, t_client.cb ? &t_client : nullptr, settings, rule, target, detail, message,
                                  cch_message);
}

DWORD WINAPI request_handler(void* parameter) {
    HandlerStart* start = static_cast<HandlerStart*>(parameter);
    HANDLE pipe = start->pipe;
    ServiceContext* context = start->context;
    HeapFree(GetProcessHeap(), 0, start);

    // The dialog is shown in the client's session (a remote client never gets this far).
    ULONG session = ui_no_session;
    if (!GetNamedPipeClientSessionId(pipe, &session)) session = ui_no_session;

    // Read into a full-sized request: a shorter message arrives with its size, a longer one fails
    // the read (more data) and is drained, so its writer is not left blocked; both are answered
    // with a plain denial. A client that sent nothing in time is dropped without an answer.
    AuthRequest request = {};
    DWORD cb_read = 0;
    bool idle = false;
    if (!pipe_transfer_bounded(pipe, false, &request, sizeof request, auth_pipe_io_timeout_ms, &cb_read)) {
        idle = GetLastError() == ERROR_OPERATION_ABORTED;
        cb_read = 0;
        drain_message(pipe);
    }
    if (!idle) {
        // The client sends nothing after its request; a read that ends means it has gone (or broke
        // the protocol): that ends its round at once.
        // Only a command a rule protects has a round to end; without command rules none has.
        bool rounds_possible = policy_has_rules(&context->policy, rule_type_command);
        OwnedHandle gone(rounds_possible ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr);
        ClientWatch watch = {};
        bool watching = gone && watch_client(pipe, gone.get(), &watch);
        AuthReply reply;
        OwnedHandle token(cb_read == 0 ? nullptr : client_token(pipe));
        t_client = AccountSid{};
        if (token && !token_account(token.get(), &t_client)) t_client = AccountSid{};
        ClientAccount account = {token.get(), client_account_name};
        IdentityPort identity = {pipe, identity_as_client, false};
        answer_auth_request(context, &request, cb_read, session, &reply, authenticate_client, long_path_of,
                            gone.get(), &account, &identity);
        if (watching) end_client_watch(pipe, &watch);
        DWORD written = 0;
        if (pipe_transfer_bounded(pipe, true, &reply, sizeof reply, auth_pipe_io_timeout_ms, &written))
            pipe_wait_for_client_close(pipe, auth_pipe_io_timeout_ms);  // a client gone away is ignored
    }
    DisconnectNamedPipe(pipe);
    close_instance(pipe);
    InterlockedDecrement(&g_handlers);
    service_worker_leave();
    return 0;
}

void hand_off(HANDLE pipe, ServiceContext* context) {
    if (InterlockedIncrement(&g_handlers) > max_handlers) {  // flooded: this one is dropped at once
        InterlockedDecrement(&g_handlers);
        DisconnectNamedPipe(pipe);
        close_instance(pipe);
        return;
    }
    HandlerStart* start = static_cast<HandlerStart*>(HeapAlloc(GetProcessHeap(), 0, sizeof(HandlerStart)));
    if (start) {
        start->pipe = pipe;
        start->context = context;
        service_worker_enter();
        HANDLE thread = CreateThread(nullptr, 0, request_handler, start, 0, nullptr);
        if (thread) {
            CloseHandle(thread);
            return;
        }
        service_worker_leave();
        HeapFree(GetProcessHeap(), 0, start);
    }
    InterlockedDecrement(&g_handlers);
    close_instance(pipe);
}

// The descriptor every instance is created with; built once, kept for the process's life.
SECURITY_ATTRIBUTES* pipe_security() {
    static SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    if (!attributes.lpSecurityDescriptor &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(auth_pipe_sddl, SDDL_REVISION_1,
                                                              &attributes.lpSecurityDescriptor, nullptr))
        return nullptr;
    return &attributes;
}

bool g_squat_logged = false;

// A new instance, or null. When no instance of ours exists the name must be new: a process that
// holds it already is not joined, and that is logged once until we hold the name again.
HANDLE create_instance(const Settings* settings) {
    SECURITY_ATTRIBUTES* security = pipe_security();
    if (!security) return nullptr;  // never with the default descriptor
    bool first = InterlockedCompareExchange(&g_live_instances, 0, 0) == 0;
    HANDLE pipe = CreateNamedPipeW(auth_pipe_name,
                                   PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                   PIPE_UNLIMITED_INSTANCES, sizeof(AuthReply), sizeof(AuthRequest), 0, security);
    if (pipe == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (first && !g_squat_logged) {
            log_event(settings,
                      L"SECURITY: auth pipe \\\\.\\pipe\\SentrelAuth could not be created as the first instance "
                      L"(error %lu): another process may hold the name; commands cannot be authorized until it is gone",
                      static_cast<unsigned long>(error));
            g_squat_logged = true;
        }
        return nullptr;
    }
    if (first) g_squat_logged = false;
    InterlockedIncrement(&g_live_instances);
    return pipe;
}

struct ListenerStart {
    ServiceContext* context;
    HANDLE first_instance;  // created before the thread started; may be null
};

ListenerStart g_listener_start;

// Waits for a client on the instance, or for the stop event. True when a client is connected.
bool wait_for_client(HANDLE pipe, HANDLE connected, HANDLE stop) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = connected;
    if (ConnectNamedPipe(pipe, &overlapped)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return true;
    if (error != ERROR_IO_PENDING) return false;  // e.g. a client that came and went
    HANDLE events[2] = {connected, stop};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) CancelIo(pipe);
    DWORD cb = 0;
    return GetOverlappedResult(pipe, &overlapped, &cb, TRUE) != FALSE;  // cancelled ones end here
}

DWORD WINAPI pipe_listener(void* parameter) {
    const ListenerStart* start = static_cast<const ListenerStart*>(parameter);
    ServiceContext* context = start->context;
    HANDLE waiting = start->first_instance;
    OwnedHandle connected_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE stop = service_stop_event();
    while (connected_event && WaitForSingleObject(stop, 0) != WAIT_OBJECT_0) {
        if (!waiting) {
            waiting = create_instance(&context->settings);
            if (!waiting) {
                WaitForSingleObject(stop, create_retry_ms);  // the name is taken, or a transient failure
                continue;
            }
        }
        ResetEvent(connected_event.get());
        bool connected = wait_for_client(waiting, connected_event.get(), stop);
        if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) break;
        HANDLE pipe = waiting;
        waiting = create_instance(&context->settings);  // while pipe still holds the name
        if (connected) {
            hand_off(pipe, context);
        } else {
            close_instance(pipe);
        }
    }
    if (waiting) close_instance(waiting);
    return 0;
}

}  // namespace

HANDLE start_pipe_listener(ServiceContext* context) {
    g_listener_start.context = context;
    g_listener_start.first_instance = create_instance(&context->settings);
    HANDLE thread = CreateThread(nullptr, 0, pipe_listener, &g_listener_start, 0, nullptr);
    if (!thread && g_listener_start.first_instance) close_instance(g_listener_start.first_instance);
    return thread;
}

void wake_pipe_listener() {
    wake_own_listener(auth_pipe_name, InterlockedCompareExchange(&g_live_instances, 0, 0), system_pipe_clients());
}
