#include "service/status.h"

SERVICE_STATUS make_service_status(DWORD state, DWORD* checkpoint_counter) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    if (pending) {
        status.dwCheckPoint = (*checkpoint_counter)++;
        status.dwWaitHint = 3000;
    }
    return status;
}
