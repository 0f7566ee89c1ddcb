#include "runguard/runguard.h"

#include <windows.h>

#include "common/auth_pipe.h"
#include "common/console.h"
#include "common/handle.h"
#include "common/text.h"
#include "runguard/command_line.h"

namespace {

void print_usage() { console_eprint(L"Usage:\n  runguard run -- <exe> [args...]\n"); }

// Ctrl+C and Ctrl+Break reach the command too, which decides what they mean; runguard stays to
// pass its exit code on.
BOOL WINAPI leave_break_to_the_command(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

// Creates the command in runguard's console and waits for it without time limit. False when it
// cannot be created; otherwise *exit_code is its exit code (0 if that cannot be read).
bool run_command(const wchar_t* path, wchar_t* command_line, const wchar_t* cwd, DWORD* exit_code) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    if (!CreateProcessW(path, command_line, nullptr, nullptr, FALSE, 0, nullptr, cwd[0] != L'\0' ? cwd : nullptr,
                        &startup, &created)) {
        return false;
    }
    OwnedHandle process(created.hProcess);
    OwnedHandle thread(created.hThread);
    SetConsoleCtrlHandler(leave_break_to_the_command, TRUE);  // after the start: not inherited
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) code = 0;
    *exit_code = code;
    return true;
}

}  // namespace

bool resolve_executable(const wchar_t* name, wchar_t* path, size_t cch_path) {
    wchar_t found[resolved_path_cch] = {};
    if (GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES) {
        if (text_copy(found, name) != text_ok) return false;
    } else {
        DWORD cch_found = SearchPathW(nullptr, name, L".exe", resolved_path_cch, found, nullptr);
        if (cch_found == 0 || cch_found >= resolved_path_cch) return false;
    }
    wchar_t full[resolved_path_cch] = {};
    DWORD cch_full = GetFullPathNameW(found, resolved_path_cch, full, nullptr);
    if (cch_full == 0 || cch_full >= resolved_path_cch || cch_full >= cch_path) return false;
    return text_copy(path, cch_path, full) == text_ok;
}

int run_guarded(int argc, const wchar_t* const* argv) {
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
    if (!send_auth_request(&request, &reply)) {
        console_eprint(L"无法连接 SentrelSvc。请确认服务已启动（SentrelSvc.exe install）。\n");
        return runguard_exit_no_service;
    }
    if (reply.allowed == 0) {
        wchar_t reason[256];
        text_copy_n(reason, 256, reply.reason, 256);  // the service's text, terminated here whatever it sent
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
