// Auth pipe server. One listener thread keeps one instance of the pipe waiting for a client (at
// most 8 exist) and hands each connected instance to a new request-handler thread, which reads one
// request, answers it and closes the instance. A handler may wait minutes for the user's MFA; the
// others go on meanwhile (only matched commands queue on the authentication lock).
//
// A client must never find the name without an instance waiting: the first instance is created
// before the listener starts (so it exists once the service reports running), and the next one
// is created before a connected instance is handed off. Only when all 8 instances are connected
// does creating another fail; the listener then retries each second, so a ninth client fails at
// once and the service recovers as handlers finish. The listener tests the stop event before
// every wait; shut-down wakes its blocking wait with one empty connection.
#include "service/auth_pipe_server.h"

#include "common/auth_pipe.h"
#include "common/handle.h"
#include "common/ui_broker.h"
#include "service/command_auth.h"

namespace {

constexpr DWORD max_instances = 8;

struct HandlerStart {
    HANDLE pipe;
    ServiceContext* context;
};

// Reads and drops the rest of a message that did not fit the request.
void drain_message(HANDLE pipe) {
    char rest[1024];
    DWORD cb = 0;
    while (GetLastError() == ERROR_MORE_DATA) {
        if (ReadFile(pipe, rest, sizeof rest, &cb, nullptr)) break;
    }
}

// The handler was counted in by hand_off; it counts itself out when it is done with the context.
DWORD WINAPI request_handler(void* parameter) {
    HandlerStart* start = static_cast<HandlerStart*>(parameter);
    OwnedHandle pipe(start->pipe);
    ServiceContext* context = start->context;
    HeapFree(GetProcessHeap(), 0, start);

    // Read into a full-sized request: a shorter message arrives with its size, a longer one fails
    // the read (more data) and is drained, so its writer is not left blocked; both are answered
    // with a plain denial.
    AuthRequest request = {};
    DWORD cb_read = 0;
    if (!ReadFile(pipe.get(), &request, sizeof request, &cb_read, nullptr)) {
        cb_read = 0;
        drain_message(pipe.get());
    }
    AuthReply reply;
    answer_auth_request(context, &request, cb_read, &reply, authenticate_via_ui);

    DWORD written = 0;
    WriteFile(pipe.get(), &reply, sizeof reply, &written, nullptr);  // a client gone away is ignored
    FlushFileBuffers(pipe.get());
    DisconnectNamedPipe(pipe.get());
    service_worker_leave();
    return 0;
}

void hand_off(HANDLE pipe, ServiceContext* context) {
    HandlerStart* start = static_cast<HandlerStart*>(HeapAlloc(GetProcessHeap(), 0, sizeof(HandlerStart)));
    if (!start) {
        CloseHandle(pipe);
        return;
    }
    start->pipe = pipe;
    start->context = context;
    service_worker_enter();
    HANDLE thread = CreateThread(nullptr, 0, request_handler, start, 0, nullptr);
    if (!thread) {
        service_worker_leave();
        HeapFree(GetProcessHeap(), 0, start);
        CloseHandle(pipe);
        return;
    }
    CloseHandle(thread);
}

HANDLE create_instance() {
    return CreateNamedPipeW(auth_pipe_name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            max_instances, sizeof(AuthReply), sizeof(AuthRequest), 0, nullptr);
}

struct ListenerStart {
    ServiceContext* context;
    HANDLE first_instance;  // created before the thread started; may be invalid
};

ListenerStart g_listener_start;

DWORD WINAPI pipe_listener(void* parameter) {
    const ListenerStart* start = static_cast<const ListenerStart*>(parameter);
    ServiceContext* context = start->context;
    OwnedHandle waiting(start->first_instance);
    HANDLE stop = service_stop_event();
    while (WaitForSingleObject(stop, 0) != WAIT_OBJECT_0) {
        if (!waiting) {
            waiting.reset(create_instance());
            if (!waiting) {
                Sleep(1000);  // all instances busy (or a transient failure): try again
                continue;
            }
        }
        bool connected = ConnectNamedPipe(waiting.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        OwnedHandle pipe(waiting.release());
        waiting.reset(create_instance());  // fails only while all instances are connected
        if (connected) hand_off(pipe.release(), context);
    }
    return 0;
}

}  // namespace

HANDLE start_pipe_listener(ServiceContext* context) {
    g_listener_start.context = context;
    g_listener_start.first_instance = create_instance();
    HANDLE thread = CreateThread(nullptr, 0, pipe_listener, &g_listener_start, 0, nullptr);
    if (!thread && g_listener_start.first_instance != INVALID_HANDLE_VALUE) CloseHandle(g_listener_start.first_instance);
    return thread;
}

void wake_pipe_listener() {
    OwnedHandle pipe(CreateFileW(auth_pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}
