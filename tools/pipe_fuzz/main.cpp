// Test tool of the pipe records campaign: mutated records from a seeded generator against the
// running service's auth pipe and against a dialog host's pipe, counting what comes back.
//   pipe_fuzz auth <n> <seed> <protected path>
//       n records to \\.\pipe\SentrelAuth, mixed: protected (the protected path, case or prefix
//       changed, any args, unterminated fields, any kind but the cache's), random (whole-size
//       random bytes), unmatched (a plain unmatched path, mutated args), wrong_size (0..9000 bytes
//       but 8204), half (a prefix written, then gone), connect (connect and close), hold (a whole or
//       partial request whose client never reads; a few are kept open at once).
//       A protected or wrong-size record answered with allowed=1 is an approval no dialog gave.
//   pipe_fuzz ui <n> <seed>
//       n records to this session's dialog host (\\.\pipe\SentrelUI.<session>): any size 0..5000,
//       wrong magic, whole requests with garbage fields, some followed by garbage verdicts (any
//       size and magic, "passed" among them) as a hostile broker would send. An answer with approved=1 is a failure
//       (nobody is at the dialog); then the host must still take a connection.
//   pipe_fuzz usage <executable name>
//       private_bytes=<n> handles=<n> of the first running process of that name (exit code 1: none).
// Prints one line of key=value figures; exit code 0 when nothing failed, 1 otherwise, 2 on usage.
#include <windows.h>
#include <psapi.h>
#include <stdlib.h>
#include <tlhelp32.h>

#include "common/auth_pipe.h"
#include "common/console.h"
#include "common/handle.h"
#include "common/pipe_io.h"
#include "common/text.h"
#include "common/ui_broker.h"
#include "tools/pipe_fuzz/fuzz_random.h"

namespace {

constexpr DWORD write_bound_ms = 10000;
constexpr DWORD reply_bound_ms = 60000;  // longer is a hang: every round here ends in seconds
constexpr DWORD open_bound_ms = 15000;
constexpr int held_slots = 6;

enum Kind { k_protected, k_random, k_unmatched, k_wrong_size, k_half, k_connect, k_hold, kind_count };
const wchar_t* const kind_names[kind_count] = {L"protected", L"random", L"unmatched", L"wrong_size",
                                               L"half", L"connect", L"hold"};
const uint32_t kind_weights[kind_count] = {14, 18, 14, 24, 12, 12, 6};  // percent

struct KindCounts {
    unsigned long sent, answered, dropped, allowed, cleared, timeouts;
};

struct Totals {
    KindCounts kinds[kind_count];
    unsigned long unexpected_approvals;
    unsigned long bad_replies;  // a reply of the wrong size or unterminated
    unsigned long no_instance;  // no pipe instance within the bound: the service stopped answering
};

// Opens the pipe for overlapped I/O in message read mode; retries while busy or between instances.
HANDLE open_pipe(const wchar_t* name, DWORD bound_ms) {
    ULONGLONG give_up = GetTickCount64() + bound_ms;
    for (;;) {
        HANDLE pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
            return pipe;
        }
        DWORD error = GetLastError();
        if (GetTickCount64() >= give_up || (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND))
            return nullptr;
        if (error == ERROR_PIPE_BUSY) WaitNamedPipeW(name, 100); else Sleep(2);
    }
}

KindCounts& count(Totals* t, Kind kind) { return t->kinds[kind]; }

Kind pick_kind(FuzzRandom* r) {
    uint32_t roll = fuzz_below(r, 100);
    for (int k = 0; k < kind_count; ++k) {
        if (roll < kind_weights[k]) return static_cast<Kind>(k);
        roll -= kind_weights[k];
    }
    return k_random;
}

// The protected path as a client might spell it: case changed here and there, sometimes \\?\ before it.
void protected_spelling(FuzzRandom* r, const wchar_t* path, wchar_t* out, size_t cch_out) {
    wchar_t spelled[1024] = L"";
    text_copy(spelled, fuzz_chance(r, 25) ? L"\\\\?\\" : L"");
    text_append(spelled, 1024, path);
    for (wchar_t* p = spelled; *p; ++p) {
        if (!fuzz_chance(r, 30)) continue;
        if (*p >= L'a' && *p <= L'z') *p = static_cast<wchar_t>(*p - 32);
        else if (*p >= L'A' && *p <= L'Z') *p = static_cast<wchar_t>(*p + 32);
    }
    text_copy(out, cch_out, spelled);
}

void build_request(FuzzRandom* r, Kind kind, const wchar_t* protected_path, AuthRequest* request) {
    fuzz_bytes(r, request, sizeof *request);
    if (kind == k_random) {
        uint32_t roll = fuzz_below(r, 10);
        if (roll < 3) request->size = sizeof *request;
        if (roll < 5) request->kind = fuzz_below(r, 3);  // authorization, cache, authorization
        return;
    }
    request->size = fuzz_chance(r, 80) ? static_cast<uint32_t>(sizeof *request) : static_cast<uint32_t>(fuzz_next(r));
    uint32_t k = static_cast<uint32_t>(fuzz_next(r));
    request->kind = fuzz_chance(r, 70) || k == auth_kind_clear_cache ? auth_kind_authorize_command : k;
    fuzz_text(r, request->path, 1024);
    if (kind == k_unmatched) text_copy(request->path, L"C:\\windows\\system32\\fuzz-unmatched.exe");
    else protected_spelling(r, protected_path, request->path, 1024);
    fuzz_text(r, request->args, 2048);
    fuzz_text(r, request->cwd, 1024);
}

// Reads one reply; true with it when one arrived in time (whatever its size: checked by the caller).
bool read_reply(HANDLE pipe, AuthReply* reply, DWORD* cb, bool* timed_out) {
    static char buffer[4096];
    *timed_out = false;
    if (!pipe_transfer_bounded(pipe, false, buffer, sizeof buffer, reply_bound_ms, cb)) {
        *timed_out = GetLastError() == ERROR_OPERATION_ABORTED;
        return false;
    }
    *reply = AuthReply{};
    memcpy(reply, buffer, *cb < sizeof *reply ? *cb : sizeof *reply);
    return true;
}

struct Held {
    HANDLE slots[held_slots];
    int next;
};

void hold(Held* held, HANDLE pipe) {
    if (held->slots[held->next]) CloseHandle(held->slots[held->next]);
    held->slots[held->next] = pipe;
    held->next = (held->next + 1) % held_slots;
}

void send_one(FuzzRandom* r, Kind kind, const wchar_t* protected_path, Held* held, Totals* t) {
    static AuthRequest request;
    static unsigned char big[9001];
    KindCounts& c = count(t, kind);
    ++c.sent;
    HANDLE raw = open_pipe(auth_pipe_name, open_bound_ms);
    if (!raw) {
        ++t->no_instance;
        return;
    }
    if (kind == k_hold) {
        build_request(r, fuzz_chance(r, 50) ? k_unmatched : k_protected, protected_path, &request);
        DWORD cb = fuzz_chance(r, 50) ? sizeof request : fuzz_below(r, sizeof request), written = 0;
        if (cb) pipe_transfer_bounded(raw, true, &request, cb, write_bound_ms, &written);
        hold(held, raw);
        return;
    }
    OwnedHandle pipe(raw);
    if (kind == k_connect) return;
    const void* bytes = &request;
    DWORD cb = sizeof request;
    if (kind == k_wrong_size) {
        do cb = fuzz_below(r, 9001); while (cb == sizeof request);
        build_request(r, fuzz_chance(r, 50) ? k_protected : k_random, protected_path, &request);
        fuzz_bytes(r, big, sizeof big);
        if (fuzz_chance(r, 70)) memcpy(big, &request, cb < sizeof request ? cb : sizeof request);
        if (cb >= 12 && fuzz_chance(r, 30)) {  // a wrong-size cache request must not clear either
            uint32_t cache = auth_kind_clear_cache;
            memcpy(big + 8, &cache, 4);
        }
        bytes = big;
    } else {
        build_request(r, kind, protected_path, &request);
        if (kind == k_half) cb = 1 + fuzz_below(r, sizeof request - 1);
    }
    DWORD written = 0;
    if (!pipe_transfer_bounded(pipe.get(), true, const_cast<void*>(bytes), cb, write_bound_ms, &written)) {
        ++c.dropped;
        return;
    }
    if (kind == k_half) return;  // gone without reading

    AuthReply reply;
    DWORD cb_reply = 0;
    bool timed_out = false;
    if (!read_reply(pipe.get(), &reply, &cb_reply, &timed_out)) {
        if (timed_out) ++c.timeouts;
        else ++c.dropped;
        return;
    }
    ++c.answered;
    if (cb_reply != sizeof reply || reply.size != sizeof reply || text_length(reply.reason, 256) == 256)
        ++t->bad_replies;
    if (reply.allowed != 1) return;
    bool whole = kind != k_wrong_size;
    uint32_t asked_kind = whole ? request.kind : (cb >= 12 ? *reinterpret_cast<const uint32_t*>(big + 8) : 0);
    if (whole && asked_kind == auth_kind_clear_cache) {
        ++c.cleared;
        return;
    }
    ++c.allowed;
    if (kind == k_protected || kind == k_wrong_size) {
        ++t->unexpected_approvals;
        console_eprint(L"approval no dialog gave: kind=%s size=%lu path=%.80s reason=%.80s\n", kind_names[kind],
                       static_cast<unsigned long>(cb), request.path, reply.reason);
    }
}

int run_auth(unsigned long n, uint64_t seed, const wchar_t* protected_path) {
    FuzzRandom r = {seed};
    static Totals t;
    Held held = {};
    ULONGLONG start = GetTickCount64();
    for (unsigned long i = 0; i < n; ++i) send_one(&r, pick_kind(&r), protected_path, &held, &t);
    for (HANDLE h : held.slots)
        if (h) CloseHandle(h);
    // Afterwards the service must still answer a plain unmatched request.
    AuthRequest last = {};
    last.size = sizeof last;
    text_copy(last.path, L"C:\\windows\\system32\\fuzz-unmatched.exe");
    AuthReply reply = {};
    DWORD cb = 0, written = 0;
    bool timed_out = false;
    OwnedHandle pipe(open_pipe(auth_pipe_name, open_bound_ms));
    bool alive = pipe && pipe_transfer_bounded(pipe.get(), true, &last, sizeof last, write_bound_ms, &written) &&
                 read_reply(pipe.get(), &reply, &cb, &timed_out) && cb == sizeof reply && reply.allowed == 1;

    unsigned long sent = 0, answered = 0, dropped = 0, timeouts = 0;
    for (int k = 0; k < kind_count; ++k) {
        const KindCounts& c = t.kinds[k];
        console_print(L"kind=%s sent=%lu answered=%lu dropped=%lu allowed=%lu cleared=%lu timeouts=%lu\n",
                      kind_names[k], c.sent, c.answered, c.dropped, c.allowed, c.cleared, c.timeouts);
        sent += c.sent;
        answered += c.answered;
        dropped += c.dropped;
        timeouts += c.timeouts;
    }
    console_print(L"auth sent=%lu answered=%lu dropped=%lu timeouts=%lu no_instance=%lu bad_replies=%lu "
                  L"unexpected_approvals=%lu service_alive=%d seconds=%lu\n",
                  sent, answered, dropped, timeouts, t.no_instance, t.bad_replies, t.unexpected_approvals,
                  alive ? 1 : 0, static_cast<unsigned long>((GetTickCount64() - start) / 1000));
    bool clean = timeouts == 0 && t.no_instance == 0 && t.bad_replies == 0 && t.unexpected_approvals == 0;
    return clean && alive ? 0 : 1;
}

// --- the dialog host's pipe ------------------------------------------------------------------

struct UiTotals {
    unsigned long sent, whole, verdicts, answered, dropped, quiet, approving, no_instance;
};

void send_ui_one(FuzzRandom* r, const wchar_t* name, UiTotals* t) {
    static unsigned char bytes[5001];
    ++t->sent;
    OwnedHandle pipe(open_pipe(name, open_bound_ms));
    if (!pipe) {
        ++t->no_instance;
        return;
    }
    UiAuthRequest request;
    fuzz_bytes(r, &request, sizeof request);
    request.magic = fuzz_chance(r, 60) ? ui_auth_magic : static_cast<uint32_t>(fuzz_next(r));
    if (fuzz_chance(r, 50)) request.mode = fuzz_below(r, 6) | (fuzz_chance(r, 50) ? ui_language_english : 0);
    fuzz_text(r, request.title, 128);
    fuzz_text(r, request.target, 1024);
    fuzz_text(r, request.detail, 512);
    fuzz_text(r, request.destination, 128);
    fuzz_text(r, request.challenge_id, 128);
    fuzz_text(r, request.passcode, 32);
    DWORD cb = sizeof request;
    fuzz_bytes(r, bytes, sizeof bytes);
    if (fuzz_chance(r, 60)) cb = fuzz_below(r, sizeof bytes);
    memcpy(bytes, &request, cb < sizeof request ? cb : sizeof request);
    bool whole = cb == sizeof request && request.magic == ui_auth_magic;
    if (whole) ++t->whole;
    DWORD done = 0;
    if (!pipe_transfer_bounded(pipe.get(), true, bytes, cb, write_bound_ms, &done)) {
        ++t->dropped;
        return;
    }
    // A request the host takes shows a dialog that waits for a person: nothing is to come back
    // while this client waits, even when it sends garbage verdicts (a "passed" one among them).
    // Anything else is dropped by the host at once.
    if (whole && fuzz_chance(r, 50)) {
        for (uint32_t m = 1 + fuzz_below(r, 3); m > 0; --m) {
            UiAuthReply verdict;
            fuzz_bytes(r, &verdict, sizeof verdict);
            verdict.magic = fuzz_chance(r, 70) ? ui_verdict_magic : static_cast<uint32_t>(fuzz_next(r));
            verdict.approved = fuzz_below(r, 4);
            fuzz_text(r, verdict.code, 64);
            fuzz_text(r, verdict.message, 256);
            DWORD cb_verdict = fuzz_chance(r, 70) ? sizeof verdict : fuzz_below(r, sizeof verdict);
            if (!pipe_transfer_bounded(pipe.get(), true, &verdict, cb_verdict, write_bound_ms, &done)) break;
            ++t->verdicts;
        }
    }
    UiAuthReply reply = {};
    if (pipe_transfer_bounded(pipe.get(), false, &reply, sizeof reply, whole ? 200 : 5000, &done)) {
        ++t->answered;
        if (reply.approved == 1) {
            ++t->approving;
            console_eprint(L"the host approved: size=%lu magic=%08lx\n", static_cast<unsigned long>(cb),
                           static_cast<unsigned long>(request.magic));
        }
    } else if (GetLastError() == ERROR_OPERATION_ABORTED) {
        ++t->quiet;
    } else {
        ++t->dropped;
    }
}

int run_ui(unsigned long n, uint64_t seed) {
    wchar_t name[ui_pipe_name_cch];
    if (!ui_pipe_name_for(ui_own_session(), name, ui_pipe_name_cch)) return 1;
    FuzzRandom r = {seed};
    UiTotals t = {};
    ULONGLONG start = GetTickCount64();
    for (unsigned long i = 0; i < n; ++i) send_ui_one(&r, name, &t);
    OwnedHandle last(open_pipe(name, open_bound_ms));
    console_print(L"ui sent=%lu whole=%lu verdicts=%lu answered=%lu quiet=%lu dropped=%lu approving=%lu "
                  L"no_instance=%lu host_alive=%d seconds=%lu\n",
                  t.sent, t.whole, t.verdicts, t.answered, t.quiet, t.dropped, t.approving, t.no_instance, last ? 1 : 0,
                  static_cast<unsigned long>((GetTickCount64() - start) / 1000));
    return t.approving == 0 && t.no_instance == 0 && last ? 0 : 1;
}

int print_usage_of(const wchar_t* exe_name) {
    OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 1;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, exe_name)) continue;
        OwnedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
        PROCESS_MEMORY_COUNTERS_EX memory = {};
        memory.cb = sizeof memory;
        DWORD handles = 0;
        if (!process || !GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                                              sizeof memory) ||
            !GetProcessHandleCount(process.get(), &handles))
            return 1;
        console_print(L"private_bytes=%llu handles=%lu\n", static_cast<unsigned long long>(memory.PrivateUsage),
                      handles);
        return 0;
    }
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 5 && !wcscmp(argv[1], L"auth"))
        return run_auth(wcstoul(argv[2], nullptr, 10), _wcstoui64(argv[3], nullptr, 10), argv[4]);
    if (argc == 4 && !wcscmp(argv[1], L"ui"))
        return run_ui(wcstoul(argv[2], nullptr, 10), _wcstoui64(argv[3], nullptr, 10));
    if (argc == 3 && !wcscmp(argv[1], L"usage")) return print_usage_of(argv[2]);
    console_eprint(L"usage: pipe_fuzz auth <n> <seed> <protected path> | ui <n> <seed> | usage <exe>\n");
    return 2;
}
