// Benchmark of the dialog host (SentrelUI.exe --pipe) while it already runs; this program plays
// the broker.
//   dialog_bench <rounds> [pause_ms] [settle_ms]
// It first waits for the host's pipe without connecting to it and then lets the host settle
// (default 1000 ms: the host prepares its controls and fonts once its first pipe exists). Each round
// connects to the session's \\.\pipe\SentrelUI.<session> as the broker does, writes one TOTP request and times, from just
// before the write, three moments, looked for every millisecond:
//   created  a top-level window of class SNAuthDlg exists (the host has begun to build the dialog)
//   shown    that window is visible, and belongs to the host (what a person could first see)
//   ready    the host's thread answers a message sent to the window (painted, message loop running)
// It then closes the dialog as the title bar's close button does (WM_CLOSE), checks the 648-byte
// reply (not approved, "Window closed" in either language), waits until the window is gone and
// pauses (default 200 ms) so the next round meets an idle host.
// Memory: the host's private bytes and working set at every idle point: before the first request,
// between rounds, and after the last round. Private bytes are PrivateUsage; where that stays 0
// (Wine leaves it unset) PagefileUsage, which Windows keeps equal to it. The host is found by the
// pipe (GetNamedPipeServerProcessId) and must stay the same process throughout.
// One summary line per measure; exit code 0 when every round went as expected, 1 otherwise.
#include <windows.h>
#include <mmsystem.h>
#include <psapi.h>
#include <stdlib.h>

#include <algorithm>

#include "common/console.h"
#include "common/handle.h"
#include "common/lang.h"
#include "common/pipe_io.h"
#include "common/policy.h"
#include "common/text.h"
#include "tools/bench_clock.h"
#include "common/ui_broker.h"
#include "ui/auth_dialog_state.h"

namespace {

// The dialog host's pipe of this session.
const wchar_t* host_pipe_name() {
    static wchar_t name[ui_pipe_name_cch] = L"";
    if (!name[0]) ui_pipe_name_for(ui_own_session(), name, ui_pipe_name_cch);
    return name;
}

constexpr const wchar_t* dialog_class = L"SNAuthDlg";
constexpr int max_rounds = 1000;
constexpr DWORD default_pause_ms = 200;
constexpr DWORD default_settle_ms = 1000;
constexpr DWORD host_limit_ms = 30000;
constexpr DWORD connect_limit_ms = 10000;
constexpr DWORD show_limit_ms = 10000;
constexpr DWORD ready_limit_ms = 10000;
constexpr DWORD reply_limit_ms = 10000;
constexpr DWORD gone_limit_ms = 10000;
constexpr DWORD poll_ms = 1;

struct MemorySample {
    SIZE_T private_bytes;
    SIZE_T working_set;
    bool from_pagefile;  // PrivateUsage was 0, PagefileUsage taken instead
};

struct BenchRecord {
    double created_ms[max_rounds];
    double shown_ms[max_rounds];
    double ready_ms[max_rounds];
    MemorySample idle[max_rounds + 1];  // before each round, then after the last one
    DWORD host_pid;
};

BenchRecord bench;

// Nearest-rank percentile of the first n values (n >= 1); the values are left as they were.
double percentile(const double* values, int n, double p) {
    static double sorted[max_rounds];
    std::copy(values, values + n, sorted);
    std::sort(sorted, sorted + n);
    int rank = static_cast<int>(p * n + 0.999999);
    if (rank < 1) rank = 1;
    if (rank > n) rank = n;
    return sorted[rank - 1];
}

// The broker's way of opening the pipe; waits (as only a benchmark may) while the host is between
// two pipe instances or busy.
HANDLE connect_host() {
    ULONGLONG give_up = GetTickCount64() + connect_limit_ms;
    for (;;) {
        HANDLE pipe = CreateFileW(host_pipe_name(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) return pipe;
        DWORD error = GetLastError();
        if (GetTickCount64() >= give_up || (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND))
            return INVALID_HANDLE_VALUE;
        if (error == ERROR_PIPE_BUSY) WaitNamedPipeW(host_pipe_name(), 50); else Sleep(poll_ms);
    }
}

bool read_memory(HANDLE process, MemorySample* out) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
        return false;
    out->from_pagefile = counters.PrivateUsage == 0;
    out->private_bytes = out->from_pagefile ? counters.PagefileUsage : counters.PrivateUsage;
    out->working_set = counters.WorkingSetSize;
    return true;
}

// The host's visible dialog, or null.
HWND find_dialog(DWORD host_pid) {
    HWND window = FindWindowW(dialog_class, nullptr);
    if (!window || !IsWindowVisible(window)) return nullptr;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid == host_pid ? window : nullptr;
}

bool wait_gone(HWND window) {
    ULONGLONG give_up = GetTickCount64() + gone_limit_ms;
    while (IsWindow(window) || FindWindowW(dialog_class, nullptr)) {
        if (GetTickCount64() >= give_up) return false;
        Sleep(poll_ms);
    }
    return true;
}

bool reply_is_window_closed(const UiAuthReply* reply) {
    constexpr size_t cch = sizeof reply->message / sizeof(wchar_t);
    wchar_t message[cch + 1];
    text_copy_n(message, cch + 1, reply->message, cch);
    return reply->magic == ui_auth_magic && reply->approved == 0 &&
           (!wcscmp(message, lang_table_text(Language::en_us, txt_window_closed)) ||
            !wcscmp(message, lang_table_text(Language::zh_cn, txt_window_closed)));
}

// One round; false (with the reason on stderr) when anything went otherwise than expected.
bool run_round(int index, OwnedHandle* host) {
    OwnedHandle pipe(connect_host());
    if (!pipe) {
        console_eprint(L"round %d: cannot open the pipe (%lu)\n", index + 1, GetLastError());
        return false;
    }
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe.get(), &pid)) {
        console_eprint(L"round %d: no pipe server process id (%lu)\n", index + 1, GetLastError());
        return false;
    }
    if (!host->valid()) {
        bench.host_pid = pid;
        host->reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid));
        if (!host->valid()) {
            console_eprint(L"cannot open the host process %lu (%lu)\n", pid, GetLastError());
            return false;
        }
    } else if (pid != bench.host_pid) {
        console_eprint(L"round %d: the host changed (%lu, was %lu)\n", index + 1, pid, bench.host_pid);
        return false;
    }
    if (!read_memory(host->get(), &bench.idle[index])) {
        console_eprint(L"round %d: cannot read the host's memory (%lu)\n", index + 1, GetLastError());
        return false;
    }

    static UiAuthRequest request;
    Rule rule = {};
    rule.type = rule_type_program;
    rule.enabled = 1;
    text_copy(rule.display_name, L"Dialog benchmark");
    text_copy(rule.auth_mode, L"totp");
    build_ui_request(&rule, L"C:\\Program Files\\Bench\\bench_target.exe", L"", &request);

    double start = now_ms();
    DWORD written = 0;
    if (!pipe_transfer_bounded(pipe.get(), true, &request, sizeof request, reply_limit_ms, &written) ||
        written != sizeof request) {
        console_eprint(L"round %d: request not written\n", index + 1);
        return false;
    }
    HWND window = nullptr;
    double created = 0;
    while (!(window = find_dialog(pid))) {
        if (!created && FindWindowW(dialog_class, nullptr)) created = now_ms() - start;
        if (now_ms() - start >= show_limit_ms) {
            console_eprint(L"round %d: no dialog within %lu ms\n", index + 1, show_limit_ms);
            return false;
        }
        Sleep(poll_ms);
    }
    bench.shown_ms[index] = now_ms() - start;
    bench.created_ms[index] = created ? created : bench.shown_ms[index];  // created and shown in one poll
    DWORD_PTR ignored = 0;
    if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, ready_limit_ms, &ignored)) {
        console_eprint(L"round %d: the dialog did not answer (%lu)\n", index + 1, GetLastError());
        return false;
    }
    bench.ready_ms[index] = now_ms() - start;

    PostMessageW(window, WM_CLOSE, 0, 0);
    UiAuthReply reply = {};
    DWORD read = 0;
    if (!pipe_transfer_bounded(pipe.get(), false, &reply, sizeof reply, reply_limit_ms, &read) || read != sizeof reply) {
        console_eprint(L"round %d: no whole reply (%lu bytes)\n", index + 1, read);
        return false;
    }
    if (!reply_is_window_closed(&reply)) {
        console_eprint(L"round %d: unexpected reply approved=%lu\n", index + 1, static_cast<unsigned long>(reply.approved));
        return false;
    }
    pipe.reset();
    if (!wait_gone(window)) {
        console_eprint(L"round %d: the dialog stayed after its reply\n", index + 1);
        return false;
    }
    return true;
}

void print_times(const wchar_t* name, const double* values, int n) {
    double low = *std::min_element(values, values + n);
    console_print(L"%s rounds=%d first_ms=%.1f p50_ms=%.1f p90_ms=%.1f max_ms=%.1f min_ms=%.1f\n", name, n, values[0],
                  percentile(values, n, 0.5), percentile(values, n, 0.9), percentile(values, n, 1.0), low);
}

unsigned long kib(SIZE_T bytes) { return static_cast<unsigned long>(bytes / 1024); }

// Idle samples: before the first dialog, after the first one, after the last one, the spread of
// all samples after the first dialog, the rise from the first to the last of those, and the rise
// over the second half of the rounds alone (a leak keeps rising there; warming heaps do not).
void print_memory(int n) {
    const MemorySample* idle = bench.idle;
    SIZE_T low = idle[1].private_bytes, high = idle[1].private_bytes;
    for (int i = 1; i <= n; ++i) {
        low = std::min(low, idle[i].private_bytes);
        high = std::max(high, idle[i].private_bytes);
    }
    auto rise_kb = [&](int from) {
        return static_cast<long>(kib(idle[n].private_bytes)) - static_cast<long>(kib(idle[from].private_bytes));
    };
    console_print(L"private counter=%s host_pid=%lu before_kb=%lu after_first_kb=%lu after_last_kb=%lu "
                  L"min_after_first_kb=%lu max_after_first_kb=%lu rise_after_first_kb=%ld rise_second_half_kb=%ld\n",
                  idle[0].from_pagefile ? L"PagefileUsage" : L"PrivateUsage", bench.host_pid,
                  kib(idle[0].private_bytes), kib(idle[1].private_bytes), kib(idle[n].private_bytes), kib(low),
                  kib(high), rise_kb(1), rise_kb(n / 2));
    console_print(L"working_set before_kb=%lu after_first_kb=%lu after_last_kb=%lu\n", kib(idle[0].working_set),
                  kib(idle[1].working_set), kib(idle[n].working_set));
}

// Until the host's pipe exists, without taking its instance.
bool wait_for_host() {
    ULONGLONG give_up = GetTickCount64() + host_limit_ms;
    while (!WaitNamedPipeW(host_pipe_name(), 1) && GetLastError() == ERROR_FILE_NOT_FOUND) {
        if (GetTickCount64() >= give_up) return false;
        Sleep(10);
    }
    return true;
}

int run(int rounds, DWORD pause_ms, DWORD settle_ms) {
    if (!wait_for_host()) {
        console_eprint(L"no dialog host pipe within %lu ms\n", host_limit_ms);
        return 1;
    }
    Sleep(settle_ms);
    OwnedHandle host;
    for (int i = 0; i < rounds; ++i) {
        if (!run_round(i, &host)) return 1;
        Sleep(pause_ms);
    }
    if (!read_memory(host.get(), &bench.idle[rounds])) {
        console_eprint(L"cannot read the host's memory after the last round (%lu)\n", GetLastError());
        return 1;
    }
    print_times(L"created", bench.created_ms, rounds);
    print_times(L"shown", bench.shown_ms, rounds);
    print_times(L"ready", bench.ready_ms, rounds);
    print_memory(rounds);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int rounds = argc >= 2 ? _wtoi(argv[1]) : 0;
    DWORD pause_ms = argc >= 3 ? static_cast<DWORD>(wcstoul(argv[2], nullptr, 10)) : default_pause_ms;
    DWORD settle_ms = argc >= 4 ? static_cast<DWORD>(wcstoul(argv[3], nullptr, 10)) : default_settle_ms;
    if (rounds < 2 || rounds > max_rounds) {
        console_eprint(L"usage: dialog_bench <rounds 2..%d> [pause_ms] [settle_ms]\n", max_rounds);
        return 2;
    }
    timeBeginPeriod(1);  // millisecond sleeps on Windows too
    int code = run(rounds, pause_ms, settle_ms);
    timeEndPeriod(1);
    return code;
}
