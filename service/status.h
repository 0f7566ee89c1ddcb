// The status records the service reports to the service control manager.
#pragma once
#include <windows.h>

// Pending reports carry the counter's value and advance it; running and stopped carry 0.
// The counter starts at 1, so the first start-pending report has checkpoint 1.
SERVICE_STATUS make_service_status(DWORD state, DWORD* checkpoint_counter);
