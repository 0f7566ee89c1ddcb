// Test tool: speaks the auth pipe like a client would, and like a broken or hostile one.
//   pipe_probe clear                       kind 1 (clear cache)
//   pipe_probe authorize <path> [args]     kind 0 with the given texts
//   pipe_probe size <bytes>                a request of the wrong size (zero-filled)
//   pipe_probe unterminated                every text field filled to the last unit
//   pipe_probe garbage                     8204 bytes of noise
//   pipe_probe disconnect                  writes a request and leaves without reading
//   pipe_probe hold <ms>                   connects, prints "connected", writes nothing, and prints
//                                          "dropped after <n> ms" when the service drops it, or
//                                          "held <ms> ms" when the time ran out first
//   pipe_probe hold-ui <ms>                the same on this session's dialog host pipe
//   pipe_probe squat                       a hostile server: keeps instances of the auth pipe of
//                                          its own listening and answers every request "allowed";
//                                          prints "request: <path>" for each request and
//                                          "connection without request" for a client that left
//                                          without writing; runs until it is ended
// Prints "allowed=<0|1> reason=<text>" (UTF-8) and exits 0 on a whole reply; exits 3 when the
// pipe cannot be opened, 4 on a failed or short write/read.
#include <windows.h>
#include <stdlib.h>

#include "common/auth_pipe.h"
#include "common/console.h"
#include "common/handle.h"
#include "common/text.h"
#include "common/ui_broker.h"

namespace {

// Waits until the server drops the connection or the time runs out, without writing anything.
int hold(const wchar_t* pipe_name, DWORD ms) {
    OwnedHandle pipe(CreateFileW(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe) return 3;
    console_print(L"connected\n");
    ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < ms) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &available, nullptr) || available > 0) {
            console_print(L"dropped after %lu ms\n", static_cast<unsigned long>(GetTickCount64() - start));
            return 0;
        }
        Sleep(50);
    }
    console_print(L"held %lu ms\n", static_cast<unsigned long>(ms));
    return 0;
}

DWORD WINAPI squat_instances(void*) {
    for (;;) {
        OwnedHandle pipe(CreateNamedPipeW(auth_pipe_name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                          PIPE_UNLIMITED_INSTANCES, sizeof(AuthReply), sizeof(AuthRequest), 0, nullptr));
        if (!pipe) {
            Sleep(20);
            continue;
        }
        if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) continue;
        AuthRequest request;
        DWORD read = 0;
        if (!ReadFile(pipe.get(), &request, sizeof request, &read, nullptr) || read != sizeof request) {
            console_print(L"connection without request\n");
            continue;
        }
        request.path[1023] = L'\0';
        console_print(L"request: %s\n", request.path);
        AuthReply reply = {};
        reply.size = sizeof reply;
        reply.allowed = 1;
        text_copy(reply.reason, L"squatter");
        DWORD written = 0;
        WriteFile(pipe.get(), &reply, sizeof reply, &written, nullptr);
        FlushFileBuffers(pipe.get());
        DisconnectNamedPipe(pipe.get());
    }
}

int squat() {
    for (int i = 0; i < 3; ++i) CloseHandle(CreateThread(nullptr, 0, squat_instances, nullptr, 0, nullptr));
    squat_instances(nullptr);
    return 0;
}

int exchange(const void* bytes, DWORD cb, bool read_reply) {
    OwnedHandle pipe(CreateFileW(auth_pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe) {
        console_print(L"open failed: %lu\n", GetLastError());
        return 3;
    }
    DWORD written = 0;
    if (!WriteFile(pipe.get(), bytes, cb, &written, nullptr) || written != cb) return 4;
    if (!read_reply) return 0;
    AuthReply reply = {};
    DWORD read = 0;
    if (!ReadFile(pipe.get(), &reply, sizeof reply, &read, nullptr) || read != sizeof reply) {
        console_print(L"read failed: %lu (%lu bytes)\n", GetLastError(), read);
        return 4;
    }
    console_print(L"allowed=%lu reason=%s\n", reply.allowed, reply.reason);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        console_eprint(L"usage: pipe_probe clear|authorize|size|unterminated|garbage|disconnect|hold|hold-ui|squat ...\n");
        return 1;
    }
    static AuthRequest request;
    request.size = sizeof request;
    request.client_process_id = GetCurrentProcessId();
    const wchar_t* mode = argv[1];
    if (!wcscmp(mode, L"clear")) {
        request.kind = auth_kind_clear_cache;
    } else if (!wcscmp(mode, L"authorize") && argc >= 3) {
        text_copy(request.path, argv[2]);
        text_copy(request.args, argc >= 4 ? argv[3] : L"");
    } else if (!wcscmp(mode, L"size") && argc >= 3) {
        static unsigned char bytes[16384];
        DWORD cb = static_cast<DWORD>(_wtoi(argv[2]));
        return exchange(bytes, cb < sizeof bytes ? cb : sizeof bytes, true);
    } else if (!wcscmp(mode, L"unterminated")) {
        for (wchar_t& c : request.path) c = L'p';
        for (wchar_t& c : request.args) c = L'a';
        for (wchar_t& c : request.cwd) c = L'c';
    } else if (!wcscmp(mode, L"garbage")) {
        unsigned char* bytes = reinterpret_cast<unsigned char*>(&request);
        for (size_t i = 0; i < sizeof request; ++i) bytes[i] = static_cast<unsigned char>(i * 131 + 7);
    } else if (!wcscmp(mode, L"disconnect")) {
        text_copy(request.path, L"C:\\nothing.exe");
        return exchange(&request, sizeof request, false);
    } else if (!wcscmp(mode, L"hold") && argc >= 3) {
        return hold(auth_pipe_name, static_cast<DWORD>(_wtoi(argv[2])));
    } else if (!wcscmp(mode, L"hold-ui") && argc >= 3) {
        wchar_t name[ui_pipe_name_cch];
        if (!ui_pipe_name_for(ui_own_session(), name, ui_pipe_name_cch)) return 1;
        return hold(name, static_cast<DWORD>(_wtoi(argv[2])));
    } else if (!wcscmp(mode, L"squat")) {
        return squat();
    } else {
        console_eprint(L"pipe_probe: unknown mode\n");
        return 1;
    }
    return exchange(&request, sizeof request, true);
}
