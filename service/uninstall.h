// The controlled uninstall once it is authorized: its steps run through a port to the service
// control manager, the files and the two outputs, so that every outcome is decided here and
// tested with a fake port.
//
// Order: release the service object (the service control manager's default DACL, which lets
// administrators delete it), stop the service, delete it, wait for its process, and only then give
// the five files their folder's DACL back: while the process runs, its watcher would take the
// release for tampering and undo it. The service's registry key goes with the service; only when
// the deletion fails does it get its inherited DACL back, so what stays has the system's defaults.
// "Nothing installed" is only a service that does not exist; every other failure says why and
// leaves the files protected.
#pragma once
#include <stddef.h>
#include <stdint.h>

constexpr int uninstall_removed = 0;          // removed (its files released), or nothing installed
constexpr int uninstall_refused = 1;          // MFA not configured, no code read, or the code refused
constexpr int uninstall_no_manager = 2;       // the service control manager cannot be opened
constexpr int uninstall_not_removed = 3;      // the service stays: it could not be opened, released or deleted
constexpr int uninstall_files_protected = 4;  // the service is deleted, but its files keep their protection
                                              // (its process had not ended, or a file could not be
                                              // released); uninstall again once it has ended

constexpr size_t uninstall_text_cch = 512;

// Every call returns ERROR_SUCCESS (0) or the Windows error.
struct UninstallPort {
    virtual ~UninstallPort() = default;
    virtual uint32_t open_manager() = 0;
    // Opens the service to release, stop and query it; ERROR_SERVICE_DOES_NOT_EXIST when there is none.
    virtual uint32_t open_service() = 0;
    virtual uint32_t release_service() = 0;
    virtual uint32_t release_key() = 0;  // the registry key of a service that stays
    // Asks the service to stop and waits up to 10 s for the stopped state.
    virtual void stop_service() = 0;
    virtual uint32_t delete_service() = 0;
    // True when the service's process has ended (waiting up to 10 s), or it had none.
    virtual bool wait_for_process() = 0;
    // The five files beside the service's executable (this one's when no service exists); a file
    // that is not there is skipped. On failure failed_path names the first file that kept its DACL.
    virtual uint32_t release_files(wchar_t* failed_path, size_t cch_failed_path) = 0;
    virtual void say(const wchar_t* text) = 0;  // one console line, line end included
    virtual void log(const wchar_t* text) = 0;  // one audit log event
};

// Logs the authorization, removes what is there, and returns the exit code.
int run_uninstall(UninstallPort* port, bool authorized_by_ui);
