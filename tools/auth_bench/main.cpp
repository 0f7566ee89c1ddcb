// Benchmark of the auth pipe: round trips of one 8204-byte request and one 524-byte reply, a new
// connection each, as runguard does.
//   auth_bench echo <pipe>                 a raw echo server of the same sizes and threading as
//                                          the service (the baseline); runs until killed
//   auth_bench measure <pipe> <n> <clients> n sequential round trips (p50, p99), then n round
//                                          trips spread over <clients> threads (throughput)
//   auth_bench compare <pipe> <pipe> <n> <clients>
//                                          the same for two servers, interleaved so that both meet
//                                          the same load of the machine: the sequential round trips
//                                          alternate between them, the concurrent ones run in
//                                          alternating blocks; one line per pipe
//   auth_bench load <pipe> <clients> <per_client>
//                                          the load run: <clients> threads at once, each sending
//                                          <per_client> requests one after another; every request
//                                          is accounted for (answered and allowed, answered and
//                                          denied, lost: written whole but no whole reply, or no
//                                          instance within 10 s) and timed; one line of figures,
//                                          exit code 0 only when every request was answered and
//                                          allowed
//   auth_bench echo <pipe> <drop_every>    the echo server closing every n-th connection without a
//                                          reply (a server that loses replies, for the load run's
//                                          own test)
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
unsigned long g_drop_every = 0;  // echo: every n-th connection gets no reply; 0: none
volatile LONG g_connections = 0;

DWORD WINAPI echo_handler(void* parameter) {
    OwnedHandle pipe(static_cast<HANDLE>(parameter));
    AuthRequest request;
    DWORD read = 0;
    ReadFile(pipe.get(), &request, sizeof request, &read, nullptr);
    unsigned long n = static_cast<unsigned long>(InterlockedIncrement(&g_connections));
    if (g_drop_every && n % g_drop_every == 0) {
        DisconnectNamedPipe(pipe.get());
        return 0;
    }
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

enum class Trip { allowed, denied, lost, not_connected };

// One request on a new connection, as runguard sends it; lost: the request went out (or the
// connection broke on the way) and no whole reply came back.
Trip round_trip_outcome() {
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
            if (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) return Trip::not_connected;
            if (error == ERROR_PIPE_BUSY) WaitNamedPipeW(g_pipe_name, 50); else Sleep(5);
            continue;
        }
        DWORD written = 0;
        AuthReply reply;
        DWORD read = 0;
        if (!WriteFile(pipe.get(), &request, sizeof request, &written, nullptr) || written != sizeof request ||
            !ReadFile(pipe.get(), &reply, sizeof reply, &read, nullptr) || read != sizeof reply)
            return Trip::lost;
        return reply.allowed == 1 ? Trip::allowed : Trip::denied;
    }
    return Trip::not_connected;
}

bool round_trip() { return round_trip_outcome() == Trip::allowed; }

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

struct Figures {
    const wchar_t* pipe;
    std::vector<double> samples;
    double concurrent_s;
};

double percentile(std::vector<double>* samples, int per_cent) {
    std::sort(samples->begin(), samples->end());
    return (*samples)[std::min(samples->size() - 1, samples->size() * per_cent / 100)];
}

// count round trips over clients threads against the pipe; false when any failed.
bool concurrent_block(const wchar_t* pipe, int count, int clients, double* elapsed_s) {
    g_pipe_name = pipe;
    g_remaining = count;
    LONG failures_before = g_failures;
    std::vector<HANDLE> threads;
    double start = now_us();
    for (int i = 0; i < clients; ++i) threads.push_back(CreateThread(nullptr, 0, load_client, nullptr, 0, nullptr));
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    *elapsed_s += (now_us() - start) / 1e6;
    for (HANDLE t : threads) CloseHandle(t);
    return g_failures == failures_before;
}

// Sequential round trips alternate between the pipes (the order swapped every time); then the
// concurrent ones run in blocks, alternating. One pipe alone is plain measurement.
int measure(Figures* figures, int pipes, int n, int clients) {
    for (int p = 0; p < pipes; ++p) {
        g_pipe_name = figures[p].pipe;
        for (int i = 0; i < 20; ++i) round_trip();  // warm-up
        figures[p].samples.reserve(n);
        figures[p].concurrent_s = 0;
    }
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < pipes; ++k) {
            Figures* f = &figures[(i + k) % pipes];
            g_pipe_name = f->pipe;
            double start = now_us();
            if (!round_trip()) {
                console_eprint(L"round trip %d to %s failed\n", i, f->pipe);
                return 1;
            }
            f->samples.push_back(now_us() - start);
        }
    }
    constexpr int blocks = 4;
    g_failures = 0;
    for (int b = 0; b < blocks; ++b) {
        for (int p = 0; p < pipes; ++p) {
            int count = n / blocks + (b < n % blocks ? 1 : 0);
            concurrent_block(figures[p].pipe, count, clients, &figures[p].concurrent_s);
        }
    }
    for (int p = 0; p < pipes; ++p) {
        double p50 = percentile(&figures[p].samples, 50);
        double p99 = percentile(&figures[p].samples, 99);
        console_print(L"pipe=%s n=%d p50_us=%d p99_us=%d clients=%d throughput_per_s=%d failures=%ld\n", figures[p].pipe,
                      n, int(p50), int(p99), clients, int(n / figures[p].concurrent_s), g_failures);
    }
    return g_failures == 0 ? 0 : 1;
}

// --- the load run ---

struct LoadClient {
    int count;
    std::vector<double> samples;  // microseconds, one per request
    unsigned long outcomes[4];    // by Trip
};

DWORD WINAPI load_run_client(void* parameter) {
    LoadClient* client = static_cast<LoadClient*>(parameter);
    for (int i = 0; i < client->count; ++i) {
        double start = now_us();
        Trip trip = round_trip_outcome();
        client->samples.push_back(now_us() - start);
        ++client->outcomes[static_cast<int>(trip)];
    }
    return 0;
}

int load_run(const wchar_t* pipe, int clients, int per_client) {
    if (clients <= 0 || per_client <= 0 || clients > MAXIMUM_WAIT_OBJECTS) return 2;
    g_pipe_name = pipe;
    std::vector<LoadClient> state(static_cast<size_t>(clients));
    std::vector<HANDLE> threads;
    double start = now_us();
    for (LoadClient& client : state) {
        client.count = per_client;
        client.samples.reserve(static_cast<size_t>(per_client));
        for (unsigned long& n : client.outcomes) n = 0;
        HANDLE thread = CreateThread(nullptr, 0, load_run_client, &client, 0, nullptr);
        if (!thread) {
            console_eprint(L"cannot start a client thread: %lu\n", GetLastError());
            return 1;
        }
        threads.push_back(thread);
    }
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    double elapsed_s = (now_us() - start) / 1e6;
    for (HANDLE t : threads) CloseHandle(t);
    std::vector<double> samples;
    unsigned long outcomes[4] = {};
    for (LoadClient& client : state) {
        samples.insert(samples.end(), client.samples.begin(), client.samples.end());
        for (int k = 0; k < 4; ++k) outcomes[k] += client.outcomes[k];
    }
    unsigned long sent = static_cast<unsigned long>(clients) * static_cast<unsigned long>(per_client);
    double p50 = percentile(&samples, 50), p99 = percentile(&samples, 99), max = samples.back();
    console_print(L"load clients=%d per_client=%d sent=%lu answered=%lu allowed=%lu denied=%lu lost=%lu "
                  L"not_connected=%lu elapsed_s=%.1f throughput_per_s=%d p50_us=%d p99_us=%d max_us=%d\n",
                  clients, per_client, sent, outcomes[0] + outcomes[1], outcomes[0], outcomes[1], outcomes[2],
                  outcomes[3], elapsed_s, int(double(sent) / elapsed_s), int(p50), int(p99), int(max));
    return outcomes[0] == sent ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && !wcscmp(argv[1], L"echo")) {
        g_pipe_name = argv[2];
        if (argc >= 4) g_drop_every = wcstoul(argv[3], nullptr, 10);
        return serve_echo();
    }
    if (argc >= 5 && !wcscmp(argv[1], L"measure")) {
        Figures figures[1] = {{argv[2], {}, 0}};
        return measure(figures, 1, _wtoi(argv[3]), _wtoi(argv[4]));
    }
    if (argc >= 6 && !wcscmp(argv[1], L"compare")) {
        Figures figures[2] = {{argv[2], {}, 0}, {argv[3], {}, 0}};
        return measure(figures, 2, _wtoi(argv[4]), _wtoi(argv[5]));
    }
    if (argc >= 5 && !wcscmp(argv[1], L"load")) return load_run(argv[2], _wtoi(argv[3]), _wtoi(argv[4]));
    console_eprint(L"usage: auth_bench echo <pipe> [drop_every] | measure <pipe> <n> <clients> | "
                   L"compare <pipe> <pipe> <n> <clients> | load <pipe> <clients> <per_client>\n");
    return 1;
}
