// Test tool: speaks the auth pipe like a client would, and like a broken or hostile one.
//   pipe_probe clear                       kind 1 (clear cache)
//   pipe_probe authorize <path> [args]     kind 0 with the given texts
//   pipe_probe size <bytes>                a request of the wrong size (zero-filled)
//   pipe_probe unterminated                every text field filled to the last unit
//   pipe_probe garbage                     8204 bytes of noise
//   pipe_probe disconnect                  writes a request and leaves without reading
//   pipe_probe hold <ms>                   connects and writes nothing for ms
//   pipe_probe wait-ui <ms>                waits up to ms for a free instance of the dialog host's
//                                          pipe, without connecting: exit 0 when there is one, 3 not
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
        console_eprint(L"usage: pipe_probe clear|authorize|size|unterminated|garbage|disconnect|hold ...\n");
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
        OwnedHandle pipe(CreateFileW(auth_pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!pipe) return 3;
        console_print(L"connected\n");
        Sleep(static_cast<DWORD>(_wtoi(argv[2])));
        return 0;
    } else if (!wcscmp(mode, L"wait-ui") && argc >= 3) {
        // WaitNamedPipe fails at once while the pipe does not exist yet: ask again until the limit.
        const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(_wtoi(argv[2]));
        do {
            if (WaitNamedPipeW(ui_pipe_name, 100)) return 0;
            Sleep(50);
        } while (GetTickCount64() < deadline);
        return 3;
    } else {
        console_eprint(L"pipe_probe: unknown mode\n");
        return 1;
    }
    return exchange(&request, sizeof request, true);
}
