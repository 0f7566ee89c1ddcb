// Test tool of the tamper campaign (tools/tamper_burst/run_campaign.py): one burst of tampering
// with the protected files of its own folder, done through Win32 as an administrator's program
// would, then a bounded wait for each file to be written back.
//   tamper_burst <seed> <burst> <actions> <bound_ms>
// Before the burst it takes each protected file's content as the reference (the caller has checked
// it is the start content) and asks the service about an unprotected path; then it tampers with
// <actions> distinct files (at most five), one seeded kind each, asks the service again while the
// repairs run, and polls every file until it is a plain file with the reference bytes again.
// Prints one line per action and a summary:
//   action file=<name> kind=<kind> done=<0|1> seen=<0|1> restored=<0|1> restore_ms=<ms>
// (seen: the change was visible right after the action, before any repair)
//   burst actions=<n> restored=<n> auth_before_ms=<ms> auth_during_ms=<ms> auth_ok=<0|1>
// With 0 actions it only asks the service once (auth_before_ms).
// Exit code 0 when every tampered file was restored within the bound and both requests were answered.
#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include "common/auth_pipe.h"
#include "common/console.h"
#include "common/handle.h"
#include "common/text.h"

namespace {

constexpr int file_count = 5;
// The running service's image cannot be deleted or opened for writing on Windows (its section is
// mapped); it can be renamed and have its attributes changed. Wine would allow more, so those
// kinds are not drawn for it.
const wchar_t* const file_names[file_count] = {L"SentrelSvc.json", L"SentrelSvc.policy.json", L"SentrelSvc.exe",
                                               L"SentrelUI.exe", L"runguard.exe"};
constexpr int running_image = 2;

enum Kind { k_delete, k_overwrite, k_truncate, k_rename, k_attributes, k_directory, kind_count };
const wchar_t* const kind_names[kind_count] = {L"delete", L"overwrite", L"truncate", L"rename", L"attributes",
                                               L"directory"};

constexpr size_t reference_max_cb = 16u << 20;
constexpr DWORD poll_ms = 5;

struct Target {
    wchar_t path[MAX_PATH];
    uint8_t* reference;
    DWORD cb;
    int kind;
    bool done;
    bool seen;  // the change was visible right after the action
    bool restored;
    LARGE_INTEGER acted;
    double restore_ms;
};

uint64_t g_state;
uint32_t next_random() {
    g_state ^= g_state << 13;
    g_state ^= g_state >> 7;
    g_state ^= g_state << 17;
    return static_cast<uint32_t>(g_state >> 16);
}

double ms_since(LARGE_INTEGER from) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - from.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

bool read_whole(const wchar_t* path, uint8_t** bytes, DWORD* cb) {
    OwnedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD size = GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE || size > reference_max_cb) return false;
    uint8_t* data = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, size ? size : 1));
    DWORD got = 0;
    if (!data || !ReadFile(file.get(), data, size, &got, nullptr) || got != size) {
        if (data) HeapFree(GetProcessHeap(), 0, data);
        return false;
    }
    *bytes = data;
    *cb = size;
    return true;
}

// A plain file (no directory, no read-only, hidden or system flag) holding the reference bytes.
bool restored(const Target& t) {
    DWORD attributes = GetFileAttributesW(t.path);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                       FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_REPARSE_POINT)))
        return false;
    uint8_t* bytes = nullptr;
    DWORD cb = 0;
    if (!read_whole(t.path, &bytes, &cb)) return false;
    bool same = cb == t.cb && memcmp(bytes, t.reference, cb) == 0;
    HeapFree(GetProcessHeap(), 0, bytes);
    return same;
}

bool write_bytes(const wchar_t* path, const void* bytes, DWORD cb, DWORD disposition) {
    OwnedHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && (cb == 0 || (WriteFile(file.get(), bytes, cb, &written, nullptr) && written == cb));
}

// A name beside the file that no protected file has: <name>.<burst>.<n>.old
void aside_path(const Target& t, int burst, int n, wchar_t* out, size_t cch) {
    text_format(out, cch, L"%s.%d.%d.old", t.path, burst, n);
}

bool act(Target* t, int burst, int n) {
    wchar_t aside[MAX_PATH + 32];
    aside_path(*t, burst, n, aside, MAX_PATH + 32);
    bool done = false;
    switch (t->kind) {
    case k_delete:
        done = DeleteFileW(t->path) != FALSE;
        break;
    case k_overwrite: {
        char junk[97];
        for (char& c : junk) c = static_cast<char>('a' + next_random() % 26);
        done = write_bytes(t->path, junk, sizeof junk, CREATE_ALWAYS);
        break;
    }
    case k_truncate: {
        OwnedHandle file(CreateFileW(t->path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        LARGE_INTEGER at;
        at.QuadPart = t->cb / 2;
        done = file && SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) && SetEndOfFile(file.get());
        break;
    }
    case k_rename:
        done = MoveFileExW(t->path, aside, 0) != FALSE;
        break;
    case k_attributes: {
        static const DWORD flags[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                                      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN};
        done = SetFileAttributesW(t->path, flags[next_random() % 4]) != FALSE;
        break;
    }
    case k_directory:
        // The name taken by an empty folder once the file is renamed away. Should the service have
        // written the file back in between (under load), the action was a rename and counts as one.
        done = MoveFileExW(t->path, aside, 0) != FALSE;
        if (done && !CreateDirectoryW(t->path, nullptr)) t->kind = k_rename;
        break;
    }
    QueryPerformanceCounter(&t->acted);
    return done;
}

// One request for an unprotected path (answered at once); false when no whole reply came.
bool ask_service(double* ms) {
    static AuthRequest request;
    request.size = sizeof request;
    request.client_process_id = GetCurrentProcessId();
    request.kind = auth_kind_authorize_command;
    text_copy(request.path, L"C:\\Tools\\tamper-campaign-unprotected.exe");
    static AuthReply reply;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    bool answered = send_auth_request(&request, &reply);
    *ms = ms_since(start);
    return answered && reply.allowed == 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) {
        console_eprint(L"usage: tamper_burst <seed> <burst> <actions> <bound_ms>\n");
        return 1;
    }
    int burst = _wtoi(argv[2]);
    int actions = _wtoi(argv[3]);
    DWORD bound_ms = static_cast<DWORD>(_wtoi(argv[4]));
    if (actions < 0 || actions > file_count) return 1;  // 0: only asks the service
    g_state = (static_cast<uint64_t>(_wtoi64(argv[1])) << 20) ^ static_cast<uint64_t>(burst) ^ 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 8; ++i) next_random();

    wchar_t folder[MAX_PATH] = {};
    DWORD cch = GetModuleFileNameW(nullptr, folder, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) return 1;
    wchar_t* last_slash = wcsrchr(folder, L'\\');
    if (!last_slash) return 1;
    *last_slash = L'\0';

    // Distinct files in a seeded order, the first <actions> of them tampered with.
    int order[file_count] = {0, 1, 2, 3, 4};
    for (int i = file_count - 1; i > 0; --i) {
        int j = static_cast<int>(next_random() % static_cast<uint32_t>(i + 1));
        int swap = order[i];
        order[i] = order[j];
        order[j] = swap;
    }
    static Target targets[file_count];
    for (int i = 0; i < actions; ++i) {
        Target& t = targets[i];
        int f = order[i];
        if (text_format(t.path, MAX_PATH, L"%s\\%s", folder, file_names[f]) != text_ok) return 1;
        if (!read_whole(t.path, &t.reference, &t.cb)) {
            console_eprint(L"cannot read %s before the burst\n", t.path);
            return 1;
        }
        static const int image_kinds[] = {k_rename, k_attributes, k_directory};
        t.kind = f == running_image ? image_kinds[next_random() % 3] : static_cast<int>(next_random() % kind_count);
    }

    double auth_before_ms = 0, auth_during_ms = 0;
    bool auth_ok = ask_service(&auth_before_ms);
    for (int i = 0; i < actions; ++i) {
        targets[i].done = act(&targets[i], burst, i);
        targets[i].seen = !restored(targets[i]);
    }
    if (actions > 0) auth_ok = ask_service(&auth_during_ms) && auth_ok;

    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    int left = actions;
    while (left > 0 && ms_since(start) < bound_ms) {
        for (int i = 0; i < actions; ++i) {
            Target& t = targets[i];
            if (t.restored || !restored(t)) continue;
            t.restored = true;
            t.restore_ms = ms_since(t.acted);
            --left;
        }
        if (left > 0) Sleep(poll_ms);
    }
    bool all = true;
    for (int i = 0; i < actions; ++i) {
        const Target& t = targets[i];
        all = all && t.done && t.restored;
        console_print(L"action file=%s kind=%s done=%d seen=%d restored=%d restore_ms=%.1f\n",
                      wcsrchr(t.path, L'\\') + 1, kind_names[t.kind], t.done ? 1 : 0, t.seen ? 1 : 0,
                      t.restored ? 1 : 0, t.restore_ms);
    }
    console_print(L"burst actions=%d restored=%d auth_before_ms=%.1f auth_during_ms=%.1f auth_ok=%d\n", actions,
                  actions - left, auth_before_ms, auth_during_ms, auth_ok ? 1 : 0);
    return all && auth_ok ? 0 : 2;
}
