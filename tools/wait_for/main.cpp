// Test tool, never shipped: waits for the machine-wide objects that the end-to-end tests depend on,
// without taking or connecting to any of them.
//   wait_for pipe NAME [ms]       until an instance of \\.\pipe\NAME waits for a client
//   wait_for no-pipe NAME [ms]    until no instance of \\.\pipe\NAME exists
//   wait_for no-mutex NAME [ms]   until the named mutex no longer exists
//   wait_for free [ms]            until none of our pipes and single-instance mutexes exists, i.e.
//                                 every service and dialog host of an earlier test is really gone
//   wait_for free-service [ms]    the same for the service's pipe and mutex only
// The dialog host's pipe and mutex are those of this process's session: a NAME of SentrelUI means
// SentrelUI.<session>.
// The default limit is 15000 ms. Exit code 0 when the condition holds in time; 1 on time-out, after
// printing what was still awaited; 2 on usage.
#include <windows.h>
#include <stdlib.h>

#include "common/console.h"
#include "common/handle.h"
#include "common/text.h"
#include "common/ui_broker.h"
#include "tools/start_mark.h"

namespace {

constexpr DWORD poll_ms = 50;
constexpr DWORD default_limit_ms = 15000;

// The service's objects first: free-service looks at the first of each list only.
wchar_t host_pipe[ui_pipe_name_cch] = L"SentrelUI";  // SentrelUI.<session>, set in wmain
const wchar_t* const our_pipes[] = {L"SentrelAuth", host_pipe};
const wchar_t* const our_mutexes[] = {L"Global\\SentrelSvcSingleton", ui_host_mutex_name};

enum class PipeState { listening, busy, absent };

// WaitNamedPipe neither connects nor takes an instance: it tells whether one waits for a client.
PipeState pipe_state(const wchar_t* name) {
    wchar_t path[300];
    if (text_format(path, 300, L"\\\\.\\pipe\\%s", name) != text_ok) return PipeState::absent;
    if (WaitNamedPipeW(path, 1)) return PipeState::listening;
    return GetLastError() == ERROR_FILE_NOT_FOUND ? PipeState::absent : PipeState::busy;
}

bool mutex_exists(const wchar_t* name) {
    OwnedHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, name));
    return mutex.valid() || GetLastError() != ERROR_FILE_NOT_FOUND;
}

// The first object that keeps the machine from being free, or null.
const wchar_t* still_there(bool service_only) {
    const size_t count = service_only ? 1 : 2;
    for (size_t i = 0; i < count; ++i)
        if (pipe_state(our_pipes[i]) != PipeState::absent) return our_pipes[i];
    for (size_t i = 0; i < count; ++i)
        if (mutex_exists(our_mutexes[i])) return our_mutexes[i];
    return nullptr;
}

int wait_until(const wchar_t* verb, const wchar_t* name, DWORD limit_ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        const wchar_t* missing = nullptr;
        if (!wcscmp(verb, L"pipe")) {
            if (pipe_state(name) != PipeState::listening) missing = L"an instance of the pipe waiting for a client";
        } else if (!wcscmp(verb, L"no-pipe")) {
            if (pipe_state(name) != PipeState::absent) missing = L"the pipe to be gone";
        } else if (!wcscmp(verb, L"no-mutex")) {
            if (mutex_exists(name)) missing = L"the mutex to be gone";
        } else {
            const wchar_t* object = still_there(!wcscmp(verb, L"free-service"));
            if (object) {
                name = object;
                missing = L"every pipe and single-instance mutex of Sentrel to be gone";
            }
        }
        if (!missing) return 0;
        if (GetTickCount() - start >= limit_ms) {
            console_print(L"wait_for: after %lu ms still waiting for %s (%s)\n", static_cast<unsigned long>(limit_ms),
                          missing, name);
            return 1;
        }
        Sleep(poll_ms);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    write_start_mark();  // the test runner tells a Wine start failure from our result by it
    wchar_t full[ui_pipe_name_cch];
    if (ui_pipe_name_for(ui_own_session(), full, ui_pipe_name_cch)) text_copy(host_pipe, full + 9);  // the name after the pipe prefix
    if (argc >= 2 && argc <= 3 && (!wcscmp(argv[1], L"free") || !wcscmp(argv[1], L"free-service")))
        return wait_until(argv[1], L"", argc == 3 ? static_cast<DWORD>(_wtoi(argv[2])) : default_limit_ms);
    bool named = argc >= 3 && argc <= 4 &&
                 (!wcscmp(argv[1], L"pipe") || !wcscmp(argv[1], L"no-pipe") || !wcscmp(argv[1], L"no-mutex"));
    if (!named) {
        console_eprint(L"usage: wait_for pipe|no-pipe|no-mutex NAME [ms] | wait_for free|free-service [ms]\n");
        return 2;
    }
    const wchar_t* name = wcscmp(argv[2], L"SentrelUI") ? argv[2] : host_pipe;
    return wait_until(argv[1], name, argc == 4 ? static_cast<DWORD>(_wtoi(argv[3])) : default_limit_ms);
}
