// Test tool of the pipe records campaign, never shipped: a hostile dialog host. Installed as
// SentrelUI.exe, the broker starts and trusts it like the real host; it answers every request with
// garbage from a seeded generator: replies of any size 0..1300, any magic, approved=1 with random
// digits or junk as the code, unterminated texts, several messages in a row, or nothing at all,
// and goes on answering while the broker's verdict says "retry". Nothing it says may pass a round.
//
// Beside the executable it keeps pipe_fuzz_host_stats.txt, rewritten after every request:
//   requests=<whole requests read> bad_requests=<requests of the wrong size or magic>
//   replies=<messages written> approving=<of them approved=1> verdicts=<verdicts read>
//   passed=<verdicts that said passed: approvals no dialog gave>
// The seed is read from pipe_fuzz_host_seed.txt beside the executable (none: 1).
#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>

#include "common/handle.h"
#include "common/pipe_io.h"
#include "common/settings.h"
#include "common/text.h"
#include "common/ui_broker.h"
#include "tools/pipe_fuzz/fuzz_random.h"

namespace {

constexpr DWORD read_bound_ms = 5000;
constexpr DWORD verdict_bound_ms = 3000;  // the broker's code check fails fast: no MFA server listens
constexpr int max_answers = 5;

struct HostStats {
    unsigned long requests, bad_requests, replies, approving, verdicts, passed;
};

void save_stats(const HostStats& s) {
    wchar_t path[1024];
    if (!path_beside_exe(L"pipe_fuzz_host_stats.txt", path, 1024)) return;
    char line[256];
    int cb = wsprintfA(line, "requests=%lu bad_requests=%lu replies=%lu approving=%lu verdicts=%lu passed=%lu\n",
                       s.requests, s.bad_requests, s.replies, s.approving, s.verdicts, s.passed);
    OwnedHandle file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.get(), line, static_cast<DWORD>(cb), &written, nullptr);
}

uint64_t read_seed() {
    wchar_t path[1024];
    char text[32] = "";
    DWORD cb = 0;
    if (!path_beside_exe(L"pipe_fuzz_host_seed.txt", path, 1024)) return 1;
    OwnedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file || !ReadFile(file.get(), text, sizeof text - 1, &cb, nullptr)) return 1;
    text[cb] = 0;
    return _strtoui64(text, nullptr, 10);
}

// One garbage answer: returns its size in bytes (0: nothing is written).
DWORD garbage_answer(FuzzRandom* r, unsigned char* out, DWORD cb_out) {
    UiAuthReply reply;
    fuzz_bytes(r, &reply, sizeof reply);
    const uint32_t magics[] = {ui_auth_magic, ui_verdict_magic, static_cast<uint32_t>(fuzz_next(r))};
    reply.magic = magics[fuzz_below(r, 3)];
    const uint32_t approvals[] = {1, 1, 1, ui_verdict_passed, ui_verdict_retry, 0, static_cast<uint32_t>(fuzz_next(r))};
    reply.approved = approvals[fuzz_below(r, 7)];
    if (fuzz_chance(r, 60)) {
        fuzz_text(r, reply.code, 64);
    } else {  // digits, as a person would type them
        for (wchar_t& c : reply.code) c = 0;
        uint32_t n = fuzz_below(r, 12);
        for (uint32_t i = 0; i < n; ++i) reply.code[i] = static_cast<wchar_t>(L'0' + fuzz_below(r, 10));
    }
    fuzz_text(r, reply.message, 256);
    fuzz_bytes(r, out, cb_out);
    DWORD cb = fuzz_chance(r, 50) ? sizeof reply : fuzz_below(r, cb_out + 1);
    memcpy(out, &reply, cb < sizeof reply ? cb : sizeof reply);
    return cb;
}

void serve(FuzzRandom* r, HANDLE pipe, HostStats* stats) {
    UiAuthRequest request;
    DWORD cb = 0;
    if (!pipe_transfer_bounded(pipe, false, &request, sizeof request, read_bound_ms, &cb)) return;
    if (cb != sizeof request || request.magic != ui_auth_magic) {
        ++stats->bad_requests;
        return;
    }
    ++stats->requests;
    static unsigned char out[1300];
    for (int answer = 0; answer < max_answers; ++answer) {
        if (fuzz_chance(r, 8)) return;  // no answer at all: the broker must not wait for good
        if (fuzz_chance(r, 10)) Sleep(fuzz_below(r, 50));
        int messages = fuzz_chance(r, 15) ? 2 + static_cast<int>(fuzz_below(r, 3)) : 1;
        for (int m = 0; m < messages; ++m) {
            DWORD cb_answer = garbage_answer(r, out, sizeof out);
            DWORD written = 0;
            if (!pipe_transfer_bounded(pipe, true, out, cb_answer, read_bound_ms, &written)) return;
            ++stats->replies;
            if (cb_answer >= 8 && reinterpret_cast<const UiAuthReply*>(out)->approved == 1) ++stats->approving;
        }
        UiAuthReply verdict = {};
        if (!pipe_transfer_bounded(pipe, false, &verdict, sizeof verdict, verdict_bound_ms, &cb)) return;
        if (cb != sizeof verdict || verdict.magic != ui_verdict_magic) return;
        ++stats->verdicts;
        if (verdict.approved == ui_verdict_passed) ++stats->passed;
        if (verdict.approved != ui_verdict_retry) return;
    }
}

int run_host() {
    OwnedHandle singleton(CreateMutexW(nullptr, FALSE, ui_host_mutex_name));
    if (GetLastError() == ERROR_ALREADY_EXISTS) return 0;
    wchar_t pipe_name[ui_pipe_name_cch];
    if (!ui_pipe_name_for(ui_own_session(), pipe_name, ui_pipe_name_cch)) return 1;
    FuzzRandom r = {read_seed()};
    HostStats stats = {};
    OwnedHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (;;) {
        OwnedHandle pipe(CreateNamedPipeW(pipe_name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 2048,
                                          sizeof(UiAuthRequest), 0, nullptr));
        if (!pipe) {
            Sleep(100);
            continue;
        }
        OVERLAPPED overlapped = {};
        overlapped.hEvent = connected.get();
        ResetEvent(connected.get());
        if (!ConnectNamedPipe(pipe.get(), &overlapped)) {
            DWORD error = GetLastError();
            DWORD cb = 0;
            if (error == ERROR_IO_PENDING) {
                if (!GetOverlappedResult(pipe.get(), &overlapped, &cb, TRUE)) continue;
            } else if (error != ERROR_PIPE_CONNECTED) {
                continue;
            }
        }
        serve(&r, pipe.get(), &stats);
        save_stats(stats);
        DisconnectNamedPipe(pipe.get());
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool pipe_mode = argv && argc >= 2 && !wcscmp(argv[1], L"--pipe");
    if (argv) LocalFree(argv);
    return pipe_mode ? run_host() : 2;
}
