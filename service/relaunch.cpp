#include "service/relaunch.h"

#include <windows.h>
#include <wchar.h>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "service/process_params.h"

namespace {

constexpr size_t command_line_cch = process_command_line_cch;
constexpr size_t found_cch = 1024;
constexpr uint32_t error_file_not_found = 2;

unsigned long ul(uint32_t value) { return static_cast<unsigned long>(value); }

bool is_bare_name(const wchar_t* name) { return name[0] != L'\0' && !wcspbrk(name, L"\\/:"); }

// The value of the block's Path variable, or null. The block is "NAME=value\0...\0\0"; entries
// that start with '=' are the drive-letter folders, not variables.
const wchar_t* path_variable(const wchar_t* block) {
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) {
        if ((entry[0] == L'P' || entry[0] == L'p') && (entry[1] == L'A' || entry[1] == L'a') &&
            (entry[2] == L'T' || entry[2] == L't') && (entry[3] == L'H' || entry[3] == L'h') && entry[4] == L'=')
            return entry + 5;
    }
    return nullptr;
}

}  // namespace

const wchar_t* relaunch_refusal(uint32_t limits) {
    if (limits & starter_restricted) return L"started with a restricted token";
    if (limits & starter_app_container) return L"started in an AppContainer";
    if (limits & starter_low_integrity) return L"started below medium integrity";
    if (limits & starter_job) return L"started in a job that keeps its processes";
    if (limits & starter_desktop) return L"started on another desktop";
    return nullptr;
}

bool find_on_path(const void* environment, const wchar_t* name, bool (*exists)(void* state, const wchar_t* path),
                  void* state, wchar_t* out, size_t cch_out) {
    if (!environment || !name || !is_bare_name(name)) return false;
    const wchar_t* folders = path_variable(static_cast<const wchar_t*>(environment));
    if (!folders) return false;
    while (*folders) {
        const wchar_t* end = wcschr(folders, L';');
        size_t cch = end ? static_cast<size_t>(end - folders) : wcslen(folders);
        const wchar_t* folder = folders;
        folders += cch + (end ? 1 : 0);
        while (cch > 0 && (*folder == L' ' || *folder == L'"')) ++folder, --cch;  // "C:\a b" ; trimmed
        while (cch > 0 && (folder[cch - 1] == L' ' || folder[cch - 1] == L'"')) --cch;
        while (cch > 0 && folder[cch - 1] == L'\\') --cch;
        if (cch == 0 || cch >= found_cch) continue;
        wchar_t candidate[found_cch];
        text_copy_n(candidate, found_cch, folder, cch);
        if (text_append(candidate, L"\\") != text_ok || text_append(candidate, name) != text_ok) continue;
        if (!exists(state, candidate)) continue;
        if (text_length(candidate, found_cch) >= cch_out) return false;
        text_copy(out, cch_out, candidate);
        return true;
    }
    return false;
}

bool relaunch_as_starter(const Settings* s, const Starter* starter, const wchar_t* program, const wchar_t* directory,
                         const RelaunchPorts* ports, const wchar_t* arguments) {
    wchar_t command_line[command_line_cch];
    if (!program || program[0] == L'\0' || text_format(command_line, command_line_cch, L"\"%s\"", program) != text_ok)
        return false;
    if (arguments && arguments[0] != L'\0' &&
        !relaunch_command_line(program, arguments, command_line, command_line_cch))
        log_event(s, L"relaunch: command line too long, started without arguments: %s", program);
    log_event(s, L"relaunch: exe=%s session=%lu", program, ul(starter->session));
    if (!starter->token) {
        // Never a start as the service itself: without the starter's token nothing is started.
        log_event(s, L"relaunch get_user_token failed session=%lu", ul(starter->session));
        return false;
    }

    void* environment = nullptr;
    uint32_t environment_error = 0;
    bool have_environment = ports->environment(ports->state, starter->token, &environment, &environment_error);

    uint32_t pid = 0, error = environment_error;
    if (have_environment && ports->create_as(ports->state, starter->token, starter->session, program, command_line,
                                             directory, &pid, &error)) {
        log_event(s, L"relaunch ok pid=%lu session=%lu", ul(pid), ul(starter->session));
        ports->free_environment(ports->state, environment);
        return true;
    }
    log_event(s, L"relaunch CreateProcessAsUserW failed: %lu, trying ShellExec", ul(error));

    // What the shell adds for a bare name is the search along the user's own Path; the start
    // itself stays CreateProcessAsUserW with the same token. (ShellExecuteEx in the service, even
    // while impersonating, would start the program with the service's own token.)
    wchar_t found[found_cch];
    if (have_environment && is_bare_name(program)) {
        error = error_file_not_found;
        if (find_on_path(environment, program, ports->file_exists, ports->state, found, found_cch) &&
            ports->create_as(ports->state, starter->token, starter->session, found, command_line, directory, &pid,
                             &error)) {
            log_event(s, L"relaunch ShellExec ok");
            ports->free_environment(ports->state, environment);
            return true;
        }
    }
    log_event(s, L"relaunch ShellExec failed: %lu", ul(error));
    if (have_environment) ports->free_environment(ports->state, environment);
    return false;
}
