// Benchmark of the auth pipe: round trips of one 8204-byte request and one 524-byte reply, a new
// connection each, as runguard does.
//   auth_bench echo <pipe>                 a raw echo server of the same sizes and threading as
//                                          the service (the baseline); runs until killed
//   auth_bench measure <pipe> <n> <clients> n sequential round trips (p50, p99), then n round
//                                          trips spread over <clients> threads (throughput)
// The request is an authorization of an unmatched command, so the service answers at once.
#include <windows.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "common/auth_pipe.h"
#include "common/console.h"
#include "common/handle.h"
#include "common/text.h"

namespace {

const wchar_t* g_pipe_name = L"";

DWORD WINAPI echo_handler(void* parameter) {
    OwnedHandle pipe(static_cast<HANDLE>(parameter));
    AuthRequest request;
    DWORD read = 0;
    ReadFile(pipe.get(), &request, sizeof request, &read, nullptr);
    AuthReply reply = {};
    reply.size = sizeof reply;
    reply.allowed = 1;
    DWORD written = 0;
    WriteFile(pipe.get(), &reply, sizeof reply, &written, nullptr);
    FlushFileBuffers(pipe.get());
    DisconnectNamedPipe(pipe.get());
    return 0;
}

int serve_echo() {
    for (;;) {
        HANDLE pipe = CreateNamedPipeW(g_pipe_name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 8,
                                       sizeof(AuthReply), sizeof(AuthRequest), 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            Sleep(1000);
            continue;
        }
        if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            HANDLE thread = CreateThread(nullptr, 0, echo_handler, pipe, 0, nullptr);
            if (thread) CloseHandle(thread); else CloseHandle(pipe);
        } else {
            CloseHandle(pipe);
        }
    }
}

bool round_trip() {
    static thread_local AuthRequest request;
    request.size = sizeof request;
    request.client_process_id = GetCurrentProcessId();
    text_copy(request.path, L"C:\\Windows\\System32\\bench-unmatched.exe");
    text_copy(request.args, L"--bench");
    ULONGLONG give_up = GetTickCount64() + 10000;
    while (GetTickCount64() < give_up) {
        OwnedHandle pipe(CreateFileW(g_pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!pipe) {
            // Only the benchmark waits for an instance (all busy, or the next one not yet created);
            // runguard fails at once.
            DWORD error = GetLastError();
            if (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) return false;
            if (error == ERROR_PIPE_BUSY) WaitNamedPipeW(g_pipe_name, 50); else Sleep(5);
            continue;
        }
        DWORD written = 0;
        AuthReply reply;
        DWORD read = 0;
        return WriteFile(pipe.get(), &request, sizeof request, &written, nullptr) && written == sizeof request &&
               ReadFile(pipe.get(), &reply, sizeof reply, &read, nullptr) && read == sizeof reply && reply.allowed == 1;
    }
    return false;
}

double now_us() {
    static LARGE_INTEGER frequency = [] { LARGE_INTEGER f; QueryPerformanceFrequency(&f); return f; }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) * 1e6 / double(frequency.QuadPart);
}

volatile LONG g_remaining = 0;
volatile LONG g_failures = 0;

DWORD WINAPI load_client(void*) {
    while (InterlockedDecrement(&g_remaining) >= 0) {
        if (!round_trip()) InterlockedIncrement(&g_failures);
    }
    return 0;
}

int measure(int n, int clients) {
    for (int i = 0; i < 20; ++i) round_trip();  // warm-up
    std::vector<double> samples;
    samples.reserve(n);
    for (int i = 0; i < n; ++i) {
        double start = now_us();
        if (!round_trip()) {
            console_eprint(L"round trip %d failed\n", i);
            return 1;
        }
        samples.push_back(now_us() - start);
    }
    std::sort(samples.begin(), samples.end());
    double p50 = samples[samples.size() / 2];
    double p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];

    g_remaining = n;
    g_failures = 0;
    std::vector<HANDLE> threads;
    double start = now_us();
    for (int i = 0; i < clients; ++i) threads.push_back(CreateThread(nullptr, 0, load_client, nullptr, 0, nullptr));
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    double elapsed_s = (now_us() - start) / 1e6;
    for (HANDLE t : threads) CloseHandle(t);
    console_print(L"pipe=%s n=%d p50_us=%d p99_us=%d clients=%d throughput_per_s=%d failures=%ld\n", g_pipe_name, n,
                  int(p50), int(p99), clients, int(n / elapsed_s), g_failures);
    return g_failures == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && !wcscmp(argv[1], L"echo")) {
        g_pipe_name = argv[2];
        return serve_echo();
    }
    if (argc >= 5 && !wcscmp(argv[1], L"measure")) {
        g_pipe_name = argv[2];
        return measure(_wtoi(argv[3]), _wtoi(argv[4]));
    }
    console_eprint(L"usage: auth_bench echo <pipe> | measure <pipe> <n> <clients>\n");
    return 1;
}
