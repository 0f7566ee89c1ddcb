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
//   watcher_bench burst <program> <n> <gap_ms> <bound_s>
//                                             starts the protected program n times, <gap_ms> apart,
//                                             with the arguments "burst-<i>", then waits up to
//                                             <bound_s> seconds for every start to end; each start
//                                             is counted as stopped (exit code 5, how long it lived),
//                                             stopped during its start (Wine: see stopped_in_start),
//                                             still running (its id listed), or ended otherwise.
//                                             Exit code 0 when every start was stopped.
//   watcher_bench usage <executable name>     handles, threads and memory figures of the first
//                                             process of that name, as the system's process list
//                                             gives them (exit code 1: none)
//   watcher_bench idle                         sleeps until ended (the filler processes)
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>
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

// How long the process lived, in milliseconds; -1 when the system cannot say.
double lifetime_ms(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return -1;
    auto units = [](FILETIME f) { return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    if (units(exited) < units(created) || units(created) == 0) return -1;
    return double(units(exited) - units(created)) / 10000.0;
}

// The error a start gets under Wine when the child was ended with the watcher's exit code (5) before
// its start-up completed: Wine's CreateProcessW waits for the start-up and, when it never came,
// fails with the child's exit code as the status. On Windows the parent would have its handles and
// see the exit code. Such a start was judged; any other failure is the launcher's.
DWORD ended_during_start_error() {
    using StatusToError = ULONG(WINAPI*)(LONG);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto to_error = ntdll ? reinterpret_cast<StatusToError>(
                                reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")))
                          : nullptr;
    return to_error ? to_error(5) : ERROR_MR_MID_NOT_FOUND;
}

int burst(const wchar_t* program, unsigned n, DWORD gap_ms, DWORD bound_s) {
    std::vector<HANDLE> started;
    std::vector<DWORD> pids;
    unsigned start_failures = 0, stopped_in_start = 0;
    wchar_t start_errors[256] = L"";  // the launcher's own failures, by error code
    const DWORD ended_in_start = ended_during_start_error();
    double t0 = now_ms();
    for (unsigned i = 0; i < n; ++i) {
        wchar_t command[1100];
        text_format(command, 1100, L"\"%s\" burst-%u", program, i);
        PROCESS_INFORMATION info;
        if (start(command, &info)) {
            started.push_back(info.hProcess);
            pids.push_back(info.dwProcessId);
        } else if (GetLastError() == ended_in_start) {
            ++stopped_in_start;
        } else {
            wchar_t code[16];
            text_format(code, 16, L"%s%lu", start_failures ? L"," : L"", GetLastError());
            text_append(start_errors, 256, code);
            ++start_failures;
        }
        if (gap_ms) Sleep(gap_ms);
    }
    double starting_s = (now_ms() - t0) / 1000.0;
    ULONGLONG give_up = GetTickCount64() + bound_s * 1000ull;
    unsigned stopped = 0, other = 0;
    std::vector<double> lifetimes;
    wchar_t running[4096] = L"";
    unsigned running_count = 0;
    for (size_t i = 0; i < started.size(); ++i) {
        ULONGLONG now = GetTickCount64();
        DWORD wait = now < give_up ? static_cast<DWORD>(give_up - now) : 0;
        OwnedHandle process(started[i]);
        if (WaitForSingleObject(process.get(), wait) != WAIT_OBJECT_0) {
            wchar_t id[16];
            text_format(id, 16, L"%s%lu", running_count ? L"," : L"", pids[i]);
            text_append(running, 4096, id);
            ++running_count;
            continue;
        }
        DWORD code = 0;
        GetExitCodeProcess(process.get(), &code);
        if (code == 5) {
            ++stopped;
            double lived = lifetime_ms(process.get());
            if (lived >= 0) lifetimes.push_back(lived);
        } else {
            ++other;
        }
    }
    console_print(L"burst starts=%u started=%u start_failures=%u stopped_in_start=%u starting_s=%.1f stopped=%u "
                  L"running=%u other=%u "
                  L"lived_p50_ms=%.0f lived_max_ms=%.0f running_pids=%s start_errors=%s\n",
                  n, static_cast<unsigned>(started.size()), start_failures, stopped_in_start, starting_s, stopped,
                  running_count, other,
                  lifetimes.empty() ? -1.0 : percentile(lifetimes, 0.5),
                  lifetimes.empty() ? -1.0 : percentile(lifetimes, 1.0), running_count ? running : L"-",
                  start_failures ? start_errors : L"-");
    return stopped + stopped_in_start == n ? 0 : 1;
}

// The handles the process holds, from the system's list of every process's handles; -1 when the
// list cannot be had. types receives "<object type>:<count>,..." of them.
long open_handles(uintptr_t pid, wchar_t* types, size_t cch_types) {
    std::vector<uint8_t> buffer(1 << 20);
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG cb_needed = 0;
        NTSTATUS status = NtQuerySystemInformation(SystemHandleInformation, buffer.data(),
                                                   static_cast<ULONG>(buffer.size()), &cb_needed);
        if (status == static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
            buffer.resize(std::max<size_t>(buffer.size() * 2, cb_needed + 65536));
            continue;
        }
        if (status < 0) return -1;
        const auto* list = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
        size_t room = (buffer.size() - offsetof(SYSTEM_HANDLE_INFORMATION, Handle)) / sizeof(SYSTEM_HANDLE_ENTRY);
        long count = 0;
        unsigned by_type[256] = {};
        for (size_t i = 0; i < list->Count && i < room; ++i) {
            if (list->Handle[i].OwnerPid != pid) continue;
            ++count;
            ++by_type[list->Handle[i].ObjectType];
        }
        if (types) {
            types[0] = L'\0';
            for (unsigned t = 0; t < 256; ++t) {
                if (!by_type[t]) continue;
                wchar_t piece[32];
                text_format(piece, 32, L"%s%u:%u", types[0] ? L"," : L"", t, by_type[t]);
                text_append(types, cch_types, piece);
            }
        }
        return count;
    }
    return -1;
}

// The figures the system's process list carries for the process (wineserver's own under Wine),
// and the count of its entries in the system's handle list.
int usage(const wchar_t* exe_name) {
    ProcessListBuffer list = {};
    if (!process_list_query(&list)) return 1;
    int result = 1;
    for (size_t offset = 0; offset + sizeof(SYSTEM_PROCESS_INFORMATION) <= list.cb_used;) {
        const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(list.bytes + offset);
        const wchar_t* name = entry->ImageName.Buffer;
        size_t cch = entry->ImageName.Length / sizeof(wchar_t);
        if (name && cch == wcslen(exe_name) && !_wcsnicmp(name, exe_name, cch)) {
            uintptr_t pid = reinterpret_cast<uintptr_t>(entry->UniqueProcessId);
            wchar_t types[1024] = L"";
            long handles = open_handles(pid, types, 1024);
            console_print(L"pid=%llu handles=%lu open_handles=%ld handle_types=%s threads=%lu private_bytes=%llu "
                          L"working_set_bytes=%llu pagefile_bytes=%llu virtual_bytes=%llu\n",
                          static_cast<unsigned long long>(pid), entry->HandleCount, handles, types[0] ? types : L"-",
                          entry->NumberOfThreads,
                          static_cast<unsigned long long>(entry->PrivatePageCount),
                          static_cast<unsigned long long>(entry->VirtualMemoryCounters.WorkingSetSize),
                          static_cast<unsigned long long>(entry->VirtualMemoryCounters.PagefileUsage),
                          static_cast<unsigned long long>(entry->VirtualMemoryCounters.VirtualSize));
            result = 0;
            break;
        }
        if (!entry->NextEntryOffset) break;
        offset += entry->NextEntryOffset;
    }
    process_list_free(&list);
    return result;
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
    if (argc >= 6 && !wcscmp(argv[1], L"burst"))
        return burst(argv[2], wcstoul(argv[3], nullptr, 10), wcstoul(argv[4], nullptr, 10),
                     wcstoul(argv[5], nullptr, 10));
    if (argc >= 3 && !wcscmp(argv[1], L"usage")) return usage(argv[2]);
    console_print(L"usage: watcher_bench passes <processes> <passes> [identity] | latency <program> <n> | "
                  L"burst <program> <n> <gap_ms> <bound_s> | usage <exe> | idle\n");
    return 2;
}
