// Benchmark of the process watcher.
//   watcher_bench passes <processes> <passes>  starts idle copies of itself until the process list
//                                             holds <processes>, then times, over <passes> rounds
//                                             each: the bare enumeration (one
//                                             NtQuerySystemInformation call into a kept buffer and
//                                             a walk reading every entry's id: the baseline), the
//                                             service's own pass (watcher_pass, one program rule
//                                             that matches none of them; the first pass meets
//                                             every process as new and is timed apart), and for
//                                             comparison a Toolhelp snapshot walk. CPU time of
//                                             the timing thread and wall time per round, and the
//                                             ratios pass / bare enumeration. With "identity"
//                                             after <passes>, the rule names its program by
//                                             OriginalFilename and SHA-256 only (no name), so every
//                                             new process is opened and its file's identity read
//                                             (once per file version, then from the cache); the
//                                             cost of one identity read, uncached and cached, is
//                                             printed too.
//   watcher_bench latency <program> <n>        starts the protected program n times while the
//                                             service runs, 1 to 2 s apart (uniformly: any phase
//                                             against the one-second passes), and measures each
//                                             start to its end by the watcher (exit code 5).
//   watcher_bench idle                         sleeps until ended (the filler processes)
#include <windows.h>
#include <tlhelp32.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "common/console.h"
#include "common/file_identity.h"
#include "common/handle.h"
#include "common/text.h"
#include "tools/bench_clock.h"
#include "service/process_list.h"
#include "service/process_list_win.h"
#include "service/process_watcher.h"

namespace {

double thread_cpu_ms() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME f) { return ((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000.0; };
    return ms(kernel) + ms(user);
}

unsigned count_processes() {
    OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    unsigned n = 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) ++n;
    return n;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

bool start(const wchar_t* command, PROCESS_INFORMATION* info) {
    wchar_t line[1100];
    text_copy(line, command);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, info)) return false;
    CloseHandle(info->hThread);
    return true;
}

// The baseline: what any enumeration of the list costs.
uint32_t bare_enumeration(ProcessListBuffer* list) {
    if (!process_list_query(list)) return 0;
    ProcessWalk walk;
    ProcessRecord record;
    uint32_t sum = 0;
    process_walk_start(&walk, list->bytes, list->cb_used);
    while (process_walk_next(&walk, &record)) sum += record.pid;
    return sum;
}

uint32_t toolhelp_walk() {
    OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    uint32_t sum = 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        sum += entry.th32ProcessID;
    return sum;
}

// Runs the rounds; returns their CPU time per round and appends each one's wall time to walls.
template <typename Round>
double time_rounds(unsigned rounds, Round round, std::vector<double>* walls) {
    double cpu_start = thread_cpu_ms();
    for (unsigned i = 0; i < rounds; ++i) {
        double w = now_ms();
        round();
        walls->push_back(now_ms() - w);
    }
    return (thread_cpu_ms() - cpu_start) / rounds;
}

// One identity read of a file not met before (a fresh copy of this program, so the cache has not
// seen it), then the average of many reads of it answered from the cache.
void measure_identity_reads(const wchar_t* self) {
    wchar_t copy[1100];
    text_format(copy, 1100, L"%s.identity_probe.exe", self);
    if (!CopyFileW(self, copy, FALSE)) {
        console_print(L"  identity read: cannot copy the program (%lu)\n", GetLastError());
        return;
    }
    FileIdentity identity;
    double wall0 = now_ms();
    bool read = read_file_identity(copy, true, &identity);
    double uncached = now_ms() - wall0;
    constexpr unsigned cached_reads = 1000;
    wall0 = now_ms();
    for (unsigned i = 0; i < cached_reads; ++i) read_file_identity(copy, true, &identity);
    console_print(L"  identity read (%s): uncached_ms=%.2f cached_ms=%.3f\n", read ? L"ok" : L"failed", uncached,
                  (now_ms() - wall0) / cached_reads);
    DeleteFileW(copy);
}

int measure_passes(unsigned target, unsigned passes, bool by_identity) {
    wchar_t self[1024];
    GetModuleFileNameW(nullptr, self, 1024);
    wchar_t idle[1100];
    text_format(idle, 1100, L"\"%s\" idle", self);
    std::vector<HANDLE> fillers;
    for (unsigned n = count_processes(); n < target; ++n) {
        PROCESS_INFORMATION info;
        if (!start(idle, &info)) break;
        fillers.push_back(info.hProcess);
    }
    Sleep(2000);  // let the last ones finish starting

    static ServiceContext context;
    session_locks_init(&context.round_locks);
    Rule& rule = context.policy.rules[context.policy.count++];
    rule.type = rule_type_program;
    rule.enabled = 1;
    if (by_identity) {
        text_copy(rule.match_original_name, L"bench-protected-nothing.exe");
        text_copy(rule.match_sha256, L"0000000000000000000000000000000000000000000000000000000000000000");
    } else {
        text_copy(rule.match_name, L"bench-protected-nothing.exe");
    }
    ProgramNameFilter filter;
    program_filter_build(&context.policy, &filter);
    static SeenList seen;
    seen_clear(&seen);
    static StoppedQueue queue;
    stopped_queue_init(&queue, nullptr);
    ProcessListBuffer pass_list = {};
    ProcessListBuffer bare_list = {};
    volatile uint32_t sink = bare_enumeration(&bare_list);  // both buffers grown before timing

    double cpu0 = thread_cpu_ms(), wall0 = now_ms();
    watcher_pass(&context, &queue, &filter, &pass_list, &seen);
    double first_cpu = thread_cpu_ms() - cpu0, first_wall = now_ms() - wall0;

    // Alternating blocks, so that load from beside the benchmark falls on both alike; ten blocks
    // each, long enough for Wine's 10 ms thread-time ticks.
    const unsigned block = passes < 10 ? passes : passes / 10;
    double bare_cpu = 0, pass_cpu = 0;
    std::vector<double> bare_walls, pass_walls, toolhelp_walls;
    unsigned blocks = 0;
    for (unsigned done = 0; done + block <= passes; done += block, ++blocks) {
        bare_cpu += time_rounds(block, [&] { sink = sink + bare_enumeration(&bare_list); }, &bare_walls);
        pass_cpu += time_rounds(block, [&] { watcher_pass(&context, &queue, &filter, &pass_list, &seen); }, &pass_walls);
    }
    bare_cpu /= blocks;
    pass_cpu /= blocks;
    double toolhelp_cpu = time_rounds(passes, [&] { sink = sink + toolhelp_walk(); }, &toolhelp_walls);
    double bare_p50 = percentile(bare_walls, 0.5), pass_p50 = percentile(pass_walls, 0.5);

    console_print(L"processes=%u seen=%u first_pass_cpu_ms=%.2f first_pass_wall_ms=%.2f\n", count_processes(),
                  seen.count, first_cpu, first_wall);
    console_print(L"  bare enumeration: cpu_ms=%.3f wall_p50_ms=%.2f wall_max_ms=%.2f\n", bare_cpu, bare_p50,
                  percentile(bare_walls, 1.0));
    console_print(L"  watcher pass:     cpu_ms=%.3f wall_p50_ms=%.2f wall_max_ms=%.2f\n", pass_cpu, pass_p50,
                  percentile(pass_walls, 1.0));
    console_print(L"  toolhelp walk:    cpu_ms=%.3f wall_p50_ms=%.2f wall_max_ms=%.2f\n", toolhelp_cpu,
                  percentile(toolhelp_walls, 0.5), percentile(toolhelp_walls, 1.0));
    console_print(L"  ratio pass/bare:  cpu=%.2f wall_p50=%.2f\n", bare_cpu > 0 ? pass_cpu / bare_cpu : 0.0,
                  bare_p50 > 0 ? pass_p50 / bare_p50 : 0.0);
    if (by_identity) measure_identity_reads(self);
    process_list_free(&pass_list);
    process_list_free(&bare_list);
    for (HANDLE h : fillers) {
        TerminateProcess(h, 0);
        CloseHandle(h);
    }
    return 0;
}

int measure_latency(const wchar_t* program, unsigned n) {
    wchar_t command[1100];
    text_format(command, 1100, L"\"%s\" bench", program);
    std::vector<double> latencies;
    unsigned not_stopped = 0;
    srand(GetTickCount());
    for (unsigned i = 0; i < n; ++i) {
        PROCESS_INFORMATION info;
        double t0 = now_ms();
        if (!start(command, &info)) return 1;
        OwnedHandle process(info.hProcess);
        DWORD code = 0;
        if (WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) TerminateProcess(process.get(), 0);
        double t1 = now_ms();
        GetExitCodeProcess(process.get(), &code);
        if (code == 5) latencies.push_back(t1 - t0); else ++not_stopped;
        // The next start falls anywhere in a pass period: every phase against the passes alike.
        Sleep(1000 + static_cast<DWORD>(rand() % 1000));
    }
    if (latencies.empty()) return 1;
    console_print(L"starts=%u stopped=%u latency_p50_ms=%.0f latency_p90_ms=%.0f latency_max_ms=%.0f "
                  L"latency_min_ms=%.0f\n",
                  n, static_cast<unsigned>(latencies.size()), percentile(latencies, 0.5), percentile(latencies, 0.9),
                  percentile(latencies, 1.0), percentile(latencies, 0.0));
    return not_stopped ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && !wcscmp(argv[1], L"idle")) {
        Sleep(INFINITE);
        return 0;
    }
    if (argc >= 4 && !wcscmp(argv[1], L"passes"))
        return measure_passes(wcstoul(argv[2], nullptr, 10), wcstoul(argv[3], nullptr, 10),
                              argc >= 5 && !wcscmp(argv[4], L"identity"));
    if (argc >= 4 && !wcscmp(argv[1], L"latency")) return measure_latency(argv[2], wcstoul(argv[3], nullptr, 10));
    console_print(L"usage: watcher_bench passes <processes> <passes> [identity] | latency <program> <n> | idle\n");
    return 2;
}
