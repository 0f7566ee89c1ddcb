#include "runguard/runguard.h"

#include <windows.h>
#include <shlwapi.h>

#include "common/auth_pipe.h"
#include "common/canonical_path.h"
#include "common/console.h"
#include "common/handle.h"
#include "common/text.h"
#include "runguard/command_line.h"

namespace {

void print_usage() { console_eprint(L"Usage:\n  runguard run -- <exe> [args...]\n"); }

LONG g_command_started = 0;

// Installed before the service is asked. While the service is asking, Ctrl+C, Ctrl+Break or the
// console closing gives the command up at once: runguard exits, and the service, which watches
// its client, ends the round and refuses it. Once the command runs, Ctrl+C and Ctrl+Break reach
// the command too, which decides what they mean; runguard stays to pass its exit code on.
BOOL WINAPI on_console_event(DWORD event) {
    if (InterlockedCompareExchange(&g_command_started, 0, 0) != 0) {
        return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    }
    console_eprint(L"已取消，命令未执行。\n");
    ExitProcess(runguard_exit_refused);
}

// Creates the command in runguard's console and waits for it without time limit. False when it
// cannot be created; otherwise *exit_code is its exit code (0 if that cannot be read).
bool run_command(const wchar_t* path, wchar_t* command_line, const wchar_t* cwd, DWORD* exit_code) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    InterlockedExchange(&g_command_started, 1);  // from here on a break is the command's
    if (!CreateProcessW(path, command_line, nullptr, nullptr, FALSE, 0, nullptr, cwd[0] != L'\0' ? cwd : nullptr,
                        &startup, &created)) {
        return false;
    }
    OwnedHandle process(created.hProcess);
    OwnedHandle thread(created.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) code = 0;
    *exit_code = code;
    return true;
}

// A name with a folder part, relative to the current folder or absolute: the name itself when it
// exists, else the name with ".exe" when its last component has no extension.
bool find_path_name(const wchar_t* name, wchar_t* found, size_t cch_found) {
    if (GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES) return text_copy(found, cch_found, name) == text_ok;
    const wchar_t* last = PathFindFileNameW(name);
    if (*PathFindExtensionW(last) != L'\0' || last[0] == L'\0') return false;
    wchar_t with_exe[resolved_path_cch];
    if (text_format(with_exe, resolved_path_cch, L"%s.exe", name) != text_ok) return false;
    if (GetFileAttributesW(with_exe) == INVALID_FILE_ATTRIBUTES) return false;
    return text_copy(found, cch_found, with_exe) == text_ok;
}

// name (".exe" added when it has no extension) in one folder.
bool search_folder(const wchar_t* folder, const wchar_t* name, wchar_t* found, size_t cch_found) {
    DWORD cch = SearchPathW(folder, name, L".exe", static_cast<DWORD>(cch_found), found, nullptr);
    return cch != 0 && cch < cch_found;
}

// A bare name, searched in the default order without the current folder: runguard's own folder,
// the system folders, the Windows folder, then the absolute folders of PATH. The current folder is
// left out altogether (safe search mode would only move it behind the system folders, and a file
// planted there would still win over PATH).
bool search_bare_name(const wchar_t* name, wchar_t* found, size_t cch_found) {
    wchar_t folder[resolved_path_cch];
    DWORD cch = GetModuleFileNameW(nullptr, folder, resolved_path_cch);
    if (cch != 0 && cch < resolved_path_cch && PathRemoveFileSpecW(folder) && search_folder(folder, name, found, cch_found))
        return true;
    cch = GetSystemDirectoryW(folder, resolved_path_cch);
    if (cch != 0 && cch < resolved_path_cch && search_folder(folder, name, found, cch_found)) return true;
    wchar_t windows[resolved_path_cch];
    cch = GetSystemWindowsDirectoryW(windows, resolved_path_cch);
    if (cch != 0 && cch < resolved_path_cch) {
        if (text_format(folder, resolved_path_cch, L"%s\\System", windows) == text_ok &&
            search_folder(folder, name, found, cch_found))
            return true;
        if (search_folder(windows, name, found, cch_found)) return true;
    }

    DWORD cch_path = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (cch_path == 0) return false;
    wchar_t* path = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, cch_path * sizeof(wchar_t)));
    if (!path) return false;
    bool hit = false;
    DWORD got = GetEnvironmentVariableW(L"PATH", path, cch_path);
    if (got != 0 && got < cch_path) {
        const wchar_t* cursor = path;
        while (!hit && next_absolute_folder(&cursor, folder, resolved_path_cch)) hit = search_folder(folder, name, found, cch_found);
    }
    HeapFree(GetProcessHeap(), 0, path);
    return hit;
}

}  // namespace

bool resolve_executable(const wchar_t* name, wchar_t* path, size_t cch_path) {
    wchar_t found[resolved_path_cch] = {};
    if (name == nullptr || name[0] == L'\0') return false;
    if (names_a_path(name)) {
        if (!find_path_name(name, found, resolved_path_cch)) return false;
    } else if (!search_bare_name(name, found, resolved_path_cch)) {
        return false;
    }
    wchar_t full[resolved_path_cch] = {};
    DWORD cch_full = GetFullPathNameW(found, resolved_path_cch, full, nullptr);
    if (cch_full == 0 || cch_full >= resolved_path_cch) return false;
    // The file itself names its path: links, short names and prefixes resolved by the file system,
    // so the service judges (and this process starts) the file as the rules name it.
    OwnedHandle file(CreateFileW(full, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) return false;
    wchar_t final_path[resolved_path_cch] = {};
    DWORD cch_final = GetFinalPathNameByHandleW(file.get(), final_path, resolved_path_cch,
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (cch_final == 0 || cch_final >= resolved_path_cch) return false;
    wchar_t canonical[resolved_path_cch] = {};
    if (!canonical_path(final_path, canonical, resolved_path_cch)) return false;
    if (text_length(canonical, resolved_path_cch) >= cch_path) return false;
    return text_copy(path, cch_path, canonical) == text_ok;
}

int run_guarded(int argc, const wchar_t* const* argv) {
    // Any search this process still makes looks in the system folders before the current one.
    SetSearchPathMode(BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE | BASE_SEARCH_PATH_PERMANENT);
    SetConsoleCtrlHandler(on_console_event, TRUE);  // a handler routine is never inherited
    RunCommand command = {};
    if (!parse_run_command(argc, argv, &command)) {
        print_usage();
        return runguard_exit_usage;
    }

    wchar_t path[resolved_path_cch] = {};
    wchar_t argument_line[argument_line_cch] = {};
    wchar_t cwd[current_directory_cch] = {};
    wchar_t command_line[command_line_cch] = {};
    AuthRequest request = {};
    AuthReply reply = {};

    if (!resolve_executable(command.executable, path, resolved_path_cch)) {
        console_eprint(L"无法解析可执行文件: %s\n", command.executable);
        return runguard_exit_unresolved;
    }
    // Both lines are checked before the service is asked: an allowed command must run exactly as
    // typed, and a line cut to fit would run (and be authorized as) a different command.
    if (!build_argument_line(command.arguments, command.argument_count, argument_line, argument_line_cch) ||
        !build_command_line(path, argument_line, command_line, command_line_cch)) {
        console_eprint(L"命令行过长，命令未执行（参数行最多 %u 个字符，整条命令行最多 %u 个字符）。\n",
                       static_cast<unsigned>(argument_line_cch - 1), static_cast<unsigned>(command_line_cch - 1));
        return runguard_exit_usage;
    }
    DWORD cch_cwd = GetCurrentDirectoryW(current_directory_cch, cwd);
    if (cch_cwd == 0 || cch_cwd >= current_directory_cch) cwd[0] = L'\0';

    request.size = sizeof(AuthRequest);
    request.client_process_id = GetCurrentProcessId();
    request.kind = auth_kind_authorize_command;
    text_copy(request.path, path);
    text_copy(request.args, argument_line);
    text_copy(request.cwd, cwd);
    AuthPipeFailure failure = AuthPipeFailure::none;
    if (!send_auth_request(&request, &reply, &failure)) {
        if (failure == AuthPipeFailure::not_our_service) {
            console_eprint(L"无法连接 SentrelSvc：管道 \\\\.\\pipe\\SentrelAuth 的服务端不是 Sentrel 服务，命令未执行。\n");
        } else {
            console_eprint(L"无法连接 SentrelSvc。请确认服务已启动（SentrelSvc.exe install）。\n");
        }
        return runguard_exit_no_service;
    }
    if (reply.allowed == 0) {
        wchar_t reason[256];
        printable_reason(reply.reason, 256, reason, 256);  // terminated here whatever the service sent
        console_eprint(L"命令被拒绝: %s\n", reason);
        return runguard_exit_refused;
    }

    DWORD exit_code = 0;
    if (!run_command(path, command_line, cwd, &exit_code)) {
        console_eprint(L"命令执行失败。\n");
        return runguard_exit_start_failed;
    }
    return static_cast<int>(exit_code);
}
