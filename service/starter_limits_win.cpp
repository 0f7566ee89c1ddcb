// What held a process about to be stopped that a relaunch from the service would not hold again.
// The relaunch starts the program with the process's own token on the session's default desktop,
// outside any job; so a start that was sandboxed by its token, its job or its desktop is not
// relaunched. What cannot be read counts as holding the process.
//
// A job's limits cannot be read without a handle to the job, which only its members' creators
// hold. Whether it lets processes break away is asked of the system instead: a probe process is
// created suspended, as if started by the stopped process (its parent attribute), with
// CREATE_BREAKAWAY_FROM_JOB. Windows refuses that with ERROR_ACCESS_DENIED when the job allows no
// breakaway. The probe is our own image, never runs a single instruction, and is ended at once.
// Only a process that is in a job costs a probe.
#include "service/relaunch.h"

#include <windows.h>

#include "common/handle.h"
#include "common/text.h"
#include "service/process_params.h"

namespace {

uint32_t token_limits(HANDLE token) {
    uint32_t limits = 0;
    if (IsTokenRestricted(token)) limits |= starter_restricted;
    DWORD app_container = 0, cb = 0;
    if (!GetTokenInformation(token, TokenIsAppContainer, &app_container, sizeof app_container, &cb) || app_container)
        limits |= starter_app_container;
    alignas(TOKEN_MANDATORY_LABEL) BYTE label[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
    DWORD rid = 0;
    if (GetTokenInformation(token, TokenIntegrityLevel, label, sizeof label, &cb)) {
        PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(label)->Label.Sid;
        rid = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1);
    }
    if (rid < SECURITY_MANDATORY_MEDIUM_RID) limits |= starter_low_integrity;
    return limits;
}

uint64_t creation_time(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// A handle to the process for the job questions: query access (Wine answers IsProcessInJob only
// with full query access) and the right to name it as a parent. Null unless it is the same process
// as the watcher's handle (the id may have been given to another one since).
HANDLE open_for_job(HANDLE process, DWORD pid) {
    OwnedHandle handle(OpenProcess(PROCESS_CREATE_PROCESS | PROCESS_QUERY_INFORMATION, FALSE, pid));
    uint64_t created = creation_time(process);
    if (!handle || created == 0 || creation_time(handle.get()) != created) return nullptr;
    return handle.release();
}

// Whether a child of the process could leave its job; false when that cannot be told.
bool may_break_away(HANDLE parent) {
    wchar_t image[MAX_PATH];
    DWORD cch = GetModuleFileNameW(nullptr, image, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) return false;
    alignas(void*) BYTE attributes[128];
    SIZE_T cb = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &cb);  // the size one attribute needs
    LPPROC_THREAD_ATTRIBUTE_LIST list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes);
    if (cb == 0 || cb > sizeof attributes || !InitializeProcThreadAttributeList(list, 1, 0, &cb)) return false;
    bool may = false;
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &parent, sizeof parent, nullptr,
                                  nullptr)) {
        STARTUPINFOEXW startup = {};
        startup.StartupInfo.cb = sizeof startup;
        startup.lpAttributeList = list;
        wchar_t command_line[] = L"SentrelSvc.exe breakaway-probe";
        PROCESS_INFORMATION probe = {};
        may = CreateProcessW(image, command_line, nullptr, nullptr, FALSE,
                             CREATE_SUSPENDED | CREATE_BREAKAWAY_FROM_JOB | CREATE_NO_WINDOW |
                                 EXTENDED_STARTUPINFO_PRESENT,
                             nullptr, nullptr, &startup.StartupInfo, &probe);
        if (may) {
            TerminateProcess(probe.hProcess, 0);
            CloseHandle(probe.hThread);
            CloseHandle(probe.hProcess);
        }
    }
    DeleteProcThreadAttributeList(list);
    return may;
}

uint32_t job_limits(HANDLE process, DWORD pid) {
    OwnedHandle handle(open_for_job(process, pid));
    BOOL in_job = FALSE;
    if (!handle || !IsProcessInJob(handle.get(), nullptr, &in_job)) return starter_job;
    return in_job && !may_break_away(handle.get()) ? uint32_t(starter_job) : 0u;
}

uint32_t desktop_limits(HANDLE process, DWORD pid) {
    wchar_t desktop[process_desktop_cch];
    if (!read_process_desktop(process, pid, desktop, process_desktop_cch)) return starter_desktop;
    return desktop_is_default(desktop) ? 0u : uint32_t(starter_desktop);
}

}  // namespace

uint32_t starter_limits(void* process, uint32_t pid, void* token) {
    uint32_t limits = token_limits(static_cast<HANDLE>(token));
    limits |= desktop_limits(static_cast<HANDLE>(process), pid);
    limits |= job_limits(static_cast<HANDLE>(process), pid);
    return limits;
}
