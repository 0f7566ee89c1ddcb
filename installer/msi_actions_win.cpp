// Sentrel's custom actions for Windows Installer, in a DLL that the package carries in its Binary
// table. SentrelPlan (immediate) checks what must hold before anything changes and hands each
// deferred action its data in a property of the action's own name; the deferred actions run in
// the installation script as LocalSystem:
//   SentrelWriteSettings / SentrelRemoveWrittenSettings (rollback): SentrelSvc.json from the
//       public properties, only where none exists; the rollback removes only the file it wrote;
//   SentrelMakeLogFolder / SentrelRemoveMadeLogFolder (rollback): the audit log's folders with
//       their protected DACL; the rollback removes those it made while they are empty;
//   SentrelConfigureService: display name and failure actions, as "SentrelSvc.exe install" sets;
//   SentrelEndDialogHosts: ends this folder's running SentrelUI.exe (the users' dialog hosts, an
//       open console) once the service has stopped, so the file can be replaced or removed;
//   SentrelLogUninstall, SentrelReleaseDataFiles: the audit log lines of a removal, and the data
//       files (kept) given the release DACL once the service has stopped and the program is gone.
// Errors go to the installer log (and, where the user interface shows them, to the screen) as one
// sentence each; the action then fails the installation, which rolls back.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <initializer_list>

#include "common/event_log.h"
#include "common/handle.h"
#include "common/log.h"
#include "common/log_status.h"
#include "common/policy.h"
#include "common/settings.h"
#include "common/text.h"
#include "installer/msi_plan.h"
#include "service/install.h"
#include "service/install_folder.h"
#include "service/sc_handle.h"
#include "service/service.h"
#include "service/tamper.h"

#define SENTREL_ACTION extern "C" __declspec(dllexport) UINT __stdcall

namespace {

constexpr size_t path_cch = 1024;
constexpr size_t message_cch = 1024;
constexpr size_t data_cch = path_cch + settings_write_cch + 2;

// One line in the installer log; with error = true also shown as an error where there is a UI.
void report(MSIHANDLE install, const wchar_t* text, bool error) {
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, L"Sentrel: [1]");
    MsiRecordSetStringW(record, 1, text);
    MsiProcessMessage(install, error ? INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK) : INSTALLMESSAGE_INFO, record);
}

UINT fail(MSIHANDLE install, const wchar_t* text) {
    report(install, text, true);
    return ERROR_INSTALL_FAILURE;
}

// A property's value; empty when it is not set or does not fit.
void get_property(MSIHANDLE install, const wchar_t* name, wchar_t* out, DWORD cch_out) {
    DWORD cch = cch_out;
    if (MsiGetPropertyW(install, name, out, &cch) != ERROR_SUCCESS) out[0] = L'\0';
}

bool property_set(MSIHANDLE install, const wchar_t* name) {
    wchar_t value[8];
    DWORD cch = ARRAYSIZE(value);
    UINT r = MsiGetPropertyW(install, name, value, &cch);
    return r == ERROR_MORE_DATA || (r == ERROR_SUCCESS && value[0]);
}

bool join_path(const wchar_t* folder, const wchar_t* name, wchar_t* out) {
    size_t n = text_length(folder, path_cch);
    const wchar_t* separator = n > 0 && folder[n - 1] == L'\\' ? L"" : L"\\";
    return text_format(out, path_cch, L"%s%s%s", folder, separator, name) == text_ok;
}

bool file_exists(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool sentrel_service_exists(wchar_t* image_path, size_t cch_image_path) {
    text_copy(image_path, cch_image_path, L"");
    OwnedService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    OwnedService service(OpenServiceW(manager.get(), service_name, SERVICE_QUERY_CONFIG));
    if (!service) return GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
    DWORD cb = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &cb);
    if (cb > 0) {
        auto* config = static_cast<QUERY_SERVICE_CONFIGW*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cb));
        if (config && QueryServiceConfigW(service.get(), config, cb, &cb) && config->lpBinaryPathName)
            text_copy(image_path, cch_image_path, config->lpBinaryPathName);
        if (config) HeapFree(GetProcessHeap(), 0, config);
    }
    return true;
}

// Whether the service can write its audit log at log_path: every missing folder can be created and
// the folder takes a new file. Nothing is left behind. False with the reason in message.
bool log_folder_usable(const wchar_t* log_path, wchar_t* message, size_t cch_message) {
    wchar_t folder[path_cch];
    text_copy_n(folder, path_cch, log_path, path_cch - 1);
    if (!PathRemoveFileSpecW(folder) || !folder[0]) return true;  // a bare file name: nothing to check

    // The nearest existing ancestor must be a folder; the first missing one is created and removed.
    wchar_t existing[path_cch], missing[path_cch] = L"";
    text_copy(existing, folder);
    DWORD attributes;
    while ((attributes = GetFileAttributesW(existing)) == INVALID_FILE_ATTRIBUTES) {
        text_copy(missing, existing);
        if (!PathRemoveFileSpecW(existing) || !existing[0] || text_equal_ascii_nocase(existing, missing)) break;
    }
    DWORD error = 0;
    const wchar_t* why = nullptr;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        why = L"no part of its path exists";
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        why = L"a file stands where a folder of the path must be";
        text_copy(folder, existing);
    } else if (missing[0]) {
        if (CreateDirectoryW(missing, nullptr)) {
            RemoveDirectoryW(missing);
        } else {
            error = GetLastError();
            why = L"a folder cannot be created in it";
            text_copy(folder, existing);
        }
    } else {
        wchar_t probe[path_cch];
        text_format(probe, path_cch, L"%s\\sentrel-install-check-%lu.tmp", folder, GetCurrentProcessId());
        OwnedHandle file(CreateFileW(probe, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (!file) {
            error = GetLastError();
            why = L"it does not take a new file";
        }
    }
    if (!why) return true;
    text_format(message, cch_message,
                L"The audit log cannot be written to %s: %s (Windows error %lu). The service writes its audit log "
                L"there; make the folder writable for SYSTEM, or give LOG_FILE another path. Nothing was changed.",
                folder, why, error);
    return false;
}

// Writes text (UTF-16) as the UTF-8 file path only if path does not exist: a sibling temporary file
// moved into place without replacing, so an existing file is never touched and never half-written.
// 1 written, 0 an existing file was kept, -1 failed.
int write_new_file(const wchar_t* path, const wchar_t* text, DWORD* error) {
    int cb = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (cb <= 0) return -1;
    char* bytes = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, static_cast<size_t>(cb)));
    if (!bytes) return -1;
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, cb, nullptr, nullptr);
    wchar_t temp[path_cch + 32];
    text_format(temp, ARRAYSIZE(temp), L"%s.%lu.msi.tmp", path, GetCurrentProcessId());
    int result = -1;
    {
        OwnedHandle file(CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (file && WriteFile(file.get(), bytes, static_cast<DWORD>(cb - 1), &written, nullptr) &&
            written == static_cast<DWORD>(cb - 1) && FlushFileBuffers(file.get()))
            result = 1;
        *error = GetLastError();
    }
    HeapFree(GetProcessHeap(), 0, bytes);
    if (result == 1 && !MoveFileExW(temp, path, MOVEFILE_WRITE_THROUGH)) {
        *error = GetLastError();
        result = *error == ERROR_ALREADY_EXISTS || *error == ERROR_FILE_EXISTS ? 0 : -1;
    }
    DeleteFileW(temp);  // gone already after a successful move
    return result;
}

// Reads this action's CustomActionData into data (from the process heap; freed by the caller).
wchar_t* action_data(MSIHANDLE install) {
    wchar_t* data = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, data_cch * sizeof(wchar_t)));
    if (data) get_property(install, L"CustomActionData", data, static_cast<DWORD>(data_cch));
    return data;
}

struct HeapText {
    wchar_t* text;
    explicit HeapText(wchar_t* t) : text(t) {}
    ~HeapText() {
        if (text) HeapFree(GetProcessHeap(), 0, text);
    }
    HeapText(const HeapText&) = delete;
    HeapText& operator=(const HeapText&) = delete;
};

}  // namespace

// Immediate: checks, then the data properties that schedule the deferred actions.
SENTREL_ACTION SentrelPlan(MSIHANDLE install) {
    wchar_t folder[path_cch], settings_path[path_cch], message[message_cch];
    get_property(install, L"INSTALLDIR", folder, path_cch);
    if (!folder[0] || !join_path(folder, settings_file_name, settings_path))
        return fail(install, L"The installation folder is unknown or too long.");

    wchar_t remove[16];
    get_property(install, L"REMOVE", remove, ARRAYSIZE(remove));
    InstallSituation situation = {};
    situation.removing = text_equal_ascii_nocase(remove, L"ALL");
    situation.upgrade_removal = property_set(install, L"UPGRADINGPRODUCTCODE");
    situation.product_installed = property_set(install, L"Installed");
    situation.older_version_found = property_set(install, L"WIX_UPGRADE_DETECTED");
    wchar_t image_path[path_cch];
    situation.service_exists = sentrel_service_exists(image_path, path_cch);
    situation.settings_file_exists = file_exists(settings_path);

    situation.elevated = property_set(install, L"Privileged");

    // Each value is read into more room than its field has, so a longer one is caught, not cut.
    wchar_t values[settings_property_count][1100];
    const wchar_t* value_pointers[settings_property_count];
    int too_long = -1;
    for (int i = 0; i < settings_property_count && !situation.removing; ++i) {
        DWORD cch = ARRAYSIZE(values[i]);
        UINT r = MsiGetPropertyW(install, settings_property_names[i], values[i], &cch);
        if (r == ERROR_MORE_DATA && too_long < 0) too_long = i;
        if (r != ERROR_SUCCESS) values[i][0] = L'\0';
        value_pointers[i] = values[i];
        situation.settings_given = situation.settings_given || r == ERROR_MORE_DATA || values[i][0];
    }

    InstallPlan plan = plan_installation(situation);
    if (plan.refuse_foreign_service) {
        text_format(message, message_cch,
                    L"A service named SentrelSvc is already registered (%s), but not by this installer. Remove it "
                    L"first with \"SentrelSvc.exe uninstall\" in its folder, which asks for MFA (its "
                    L"SentrelSvc.json and SentrelSvc.policy.json stay there), then run this installer again. "
                    L"Nothing was changed.",
                    image_path[0] ? image_path : L"its image path is unknown");
        return fail(install, message);
    }
    FolderRefusal refusal = {};
    if (!situation.removing && !install_folder_trusted(folder, system_folder_access(), &refusal)) {
        text_format(message, message_cch,
                    L"The installation folder cannot be trusted: %s lets users other than administrators %s. "
                    L"SentrelSvc.exe runs as LocalSystem and loads DLLs from its folder: remove that right, or "
                    L"install into a folder only administrators can change (the default is C:\\Program "
                    L"Files\\Sentrel). Nothing was changed.",
                    refusal.folder, folder_right_name_en(refusal.right));
        return fail(install, message);
    }
    if (plan.refuse_unelevated)
        return fail(install, L"The settings properties are taken only by an installation run with administrator "
                             L"rights. Run msiexec from an elevated prompt, or install without them and use the "
                             L"console's setup wizard. Nothing was changed.");
    if (plan.ignore_properties) report(install, L"properties ignored on maintenance", false);

    Settings wanted = {};
    SettingsFromProperties check = {};
    if (situation.settings_given && !plan.ignore_properties) {
        if (too_long >= 0) {
            describe_settings_problem({true, SettingsProblem::too_long, too_long}, message, message_cch);
            return fail(install, message);
        }
        check = settings_from_properties(value_pointers, &wanted);
        if (check.problem != SettingsProblem::none) {
            describe_settings_problem(check, message, message_cch);
            return fail(install, message);
        }
    }
    if (plan.check_log_folder) {
        // The log the service will really use: the existing settings' log_file, else the new one.
        Settings effective = wanted;
        if (situation.settings_file_exists) {
            load_settings(settings_path, &effective);
        } else if (!check.given) {
            text_copy(effective.log_file, default_log_path);
        }
        if (effective.log_file[0] && !log_folder_usable(effective.log_file, message, message_cch))
            return fail(install, message);
        // A folder of the log's path that the log would refuse (someone else's, or a link) is not
        // taken over: it may hold what its owner put there.
        wchar_t refused[path_cch];
        LogFolderVerdict verdict = effective.log_file[0] ? prepare_log_folder_on_disk(effective.log_file, false, refused, path_cch)
                                                         : LogFolderVerdict::ready;
        if (verdict != LogFolderVerdict::ready) {
            text_format(message, message_cch,
                        L"The audit log folder %s cannot be used: %s, so the service would refuse to write its audit "
                        L"log there. Remove or rename that folder (or give LOG_FILE another path), then run this "
                        L"installer again. Nothing was changed.",
                        refused, audit_problem_text(audit_problem_of(verdict)));
            return fail(install, message);
        }
        // The folders made, if the installation rolls back, are removed again down to the nearest
        // one that exists now (only while empty).
        wchar_t existing[path_cch], data[path_cch * 2 + 2];
        text_copy_n(existing, path_cch, effective.log_file, path_cch - 1);
        while (PathRemoveFileSpecW(existing) && existing[0] && GetFileAttributesW(existing) == INVALID_FILE_ATTRIBUTES) {
        }
        if (effective.log_file[0] && pack_path_and_text(effective.log_file, existing, data, ARRAYSIZE(data))) {
            MsiSetPropertyW(install, L"SentrelMakeLogFolder", data);
            MsiSetPropertyW(install, L"SentrelRemoveMadeLogFolder", data);
        }
    }
    if (plan.write_settings) {
        wchar_t text[settings_write_cch];
        HeapText data(static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, data_cch * sizeof(wchar_t))));
        if (!data.text || !settings_to_text(&wanted, text, ARRAYSIZE(text)) ||
            !pack_path_and_text(settings_path, text, data.text, data_cch))
            return fail(install, L"The settings file cannot be prepared.");
        MsiSetPropertyW(install, L"SentrelWriteSettings", data.text);
        MsiSetPropertyW(install, L"SentrelRemoveWrittenSettings", data.text);
        report(install, L"SentrelSvc.json will be written from the properties.", false);
    } else if (check.given) {
        report(install, L"SentrelSvc.json exists and is kept as it is; the settings properties are not used.", false);
    }
    wchar_t service_exe[path_cch];
    if (plan.configure_service && join_path(folder, L"SentrelSvc.exe", service_exe))
        MsiSetPropertyW(install, L"SentrelConfigureService", service_exe);
    MsiSetPropertyW(install, L"SentrelEndDialogHosts", folder);
    if (plan.log_uninstall) {
        MsiSetPropertyW(install, L"SentrelLogUninstall", folder);
        MsiSetPropertyW(install, L"SentrelReleaseDataFiles", folder);
    }
    return ERROR_SUCCESS;
}

// Deferred: SentrelSvc.json where none exists.
SENTREL_ACTION SentrelWriteSettings(MSIHANDLE install) {
    HeapText data(action_data(install));
    const wchar_t *path = nullptr, *text = nullptr;
    if (!data.text || !split_path_and_text(data.text, &path, &text)) return fail(install, L"No settings to write.");
    create_parent_folder(path);
    DWORD error = 0;
    int written = write_new_file(path, text, &error);
    if (written < 0) {
        wchar_t message[message_cch];
        text_format(message, message_cch, L"%s cannot be written (Windows error %lu).", path, error);
        return fail(install, message);
    }
    report(install, written ? L"SentrelSvc.json written from the properties."
                            : L"SentrelSvc.json appeared meanwhile and is kept as it is.", false);
    return ERROR_SUCCESS;
}

// Deferred: the audit log's folders, made now with the log folder's protected DACL (owner
// Administrators), so no user can make them first once the product is installed.
SENTREL_ACTION SentrelMakeLogFolder(MSIHANDLE install) {
    HeapText data(action_data(install));
    const wchar_t *log_file = nullptr, *existing = nullptr;
    if (!data.text || !split_path_and_text(data.text, &log_file, &existing)) return ERROR_SUCCESS;
    wchar_t refused[path_cch], message[message_cch];
    LogFolderVerdict verdict = prepare_log_folder_on_disk(log_file, true, refused, path_cch);
    if (verdict == LogFolderVerdict::ready) return ERROR_SUCCESS;
    text_format(message, message_cch,
                L"The audit log folder %s cannot be used: %s. Remove or rename that folder (or give LOG_FILE another "
                L"path), then run this installer again.",
                refused, audit_problem_text(audit_problem_of(verdict)));
    return fail(install, message);
}

// Rollback: the log's folders that SentrelMakeLogFolder may have made, while they are empty, up to
// the one that existed before.
SENTREL_ACTION SentrelRemoveMadeLogFolder(MSIHANDLE install) {
    HeapText data(action_data(install));
    const wchar_t *log_file = nullptr, *existing = nullptr;
    if (!data.text || !split_path_and_text(data.text, &log_file, &existing)) return ERROR_SUCCESS;
    wchar_t folder[path_cch];
    text_copy_n(folder, path_cch, log_file, path_cch - 1);
    while (PathRemoveFileSpecW(folder) && folder[0] && !text_equal_nocase(folder, existing) &&
           text_length(folder, path_cch) > text_length(existing, path_cch)) {
        if (!RemoveDirectoryW(folder)) break;  // not empty, or not ours to remove
    }
    return ERROR_SUCCESS;
}

// Rollback: removes SentrelSvc.json only when it still holds exactly what SentrelWriteSettings wrote.
SENTREL_ACTION SentrelRemoveWrittenSettings(MSIHANDLE install) {
    HeapText data(action_data(install));
    const wchar_t *path = nullptr, *text = nullptr;
    if (!data.text || !split_path_and_text(data.text, &path, &text)) return ERROR_SUCCESS;
    HeapText current(static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                     settings_text_cch * sizeof(wchar_t))));
    if (current.text && read_utf8_file(path, current.text, settings_text_cch) && wcscmp(current.text, text) == 0)
        DeleteFileW(path);
    return ERROR_SUCCESS;
}

// Deferred, after InstallServices: the registration "SentrelSvc.exe install" makes (the quoted image
// path, the display name, the failure actions).
SENTREL_ACTION SentrelConfigureService(MSIHANDLE install) {
    HeapText exe(action_data(install));
    wchar_t quoted[image_path_cch];
    if (!exe.text || !exe.text[0] || !quote_image_path(exe.text, quoted, image_path_cch))
        return fail(install, L"The service's program path is unknown or too long.");
    OwnedService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    OwnedService service(manager ? OpenServiceW(manager.get(), service_name, SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG)
                                 : nullptr);
    wchar_t message[message_cch];
    if (!service) {
        text_format(message, message_cch, L"The service SentrelSvc cannot be opened to configure it (Windows error %lu).",
                    GetLastError());
        return fail(install, message);
    }
    if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, quoted, nullptr,
                              nullptr, nullptr, nullptr, nullptr, service_display_name) ||
        !set_failure_actions(service.get())) {
        text_format(message, message_cch, L"The service SentrelSvc cannot be configured (Windows error %lu).",
                    GetLastError());
        return fail(install, message);
    }
    return ERROR_SUCCESS;
}

// Deferred, before the service is stopped: the audit log says who removes Sentrel.
SENTREL_ACTION SentrelLogUninstall(MSIHANDLE install) {
    HeapText folder(action_data(install));
    wchar_t settings_path[path_cch];
    Settings settings = {};
    if (folder.text && join_path(folder.text, settings_file_name, settings_path)) load_settings(settings_path, &settings);
    log_event(&settings, L"uninstall authorized: %s, proceeding", L"via MSI");
    audit_event(&settings, AuditEvent::uninstall_authorized, L"MSI");
    return ERROR_SUCCESS;
}

// Deferred, after the service was stopped and deleted and the programs removed: the settings and
// the rules stay for a later installation, with the release DACL so administrators can change or
// delete them; the audit log records the end of the removal.
SENTREL_ACTION SentrelReleaseDataFiles(MSIHANDLE install) {
    HeapText folder(action_data(install));
    wchar_t settings_path[path_cch], policy_path[path_cch];
    if (!folder.text || !join_path(folder.text, settings_file_name, settings_path) ||
        !join_path(folder.text, policy_file_name, policy_path))
        return ERROR_SUCCESS;
    Settings settings = {};
    load_settings(settings_path, &settings);
    for (const wchar_t* path : {settings_path, policy_path}) {
        if (!file_exists(path)) continue;
        DWORD error = release_file(path);
        wchar_t message[message_cch];
        if (error == ERROR_SUCCESS)
            text_format(message, message_cch, L"%s was given the folder's DACL back.", path);
        else
            text_format(message, message_cch, L"%s kept its protected DACL (Windows error %lu).", path, error);
        report(install, message, false);
    }
    log_event(&settings, L"uninstall complete: result=%d", 1);
    audit_event(&settings, AuditEvent::uninstall_finished, L"service removed");
    return ERROR_SUCCESS;
}

// Deferred, after the service has stopped and before files are removed or replaced: each user's
// dialog host stays running for the whole session, and would keep SentrelUI.exe in use (on Windows
// a reboot before the file could go). No dialog is open any more: the service that asked is gone.
SENTREL_ACTION SentrelEndDialogHosts(MSIHANDLE install) {
    HeapText folder(action_data(install));
    wchar_t ui_path[path_cch];
    if (!folder.text || !join_path(folder.text, ui_exe_name, ui_path)) return ERROR_SUCCESS;
    OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return ERROR_SUCCESS;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    unsigned ended = 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (!text_equal_ascii_nocase(entry.szExeFile, ui_exe_name)) continue;
        OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                        entry.th32ProcessID));
        wchar_t image[path_cch];
        DWORD cch = path_cch;
        if (!process || !QueryFullProcessImageNameW(process.get(), 0, image, &cch)) continue;
        if (CompareStringOrdinal(image, -1, ui_path, -1, TRUE) != CSTR_EQUAL) continue;
        if (TerminateProcess(process.get(), 1) && WaitForSingleObject(process.get(), 5000) == WAIT_OBJECT_0) ++ended;
    }
    if (ended) {
        wchar_t message[message_cch];
        text_format(message, message_cch, L"Ended %lu running SentrelUI.exe of the installation folder.",
                    static_cast<unsigned long>(ended));
        report(install, message, false);
    }
    return ERROR_SUCCESS;
}
