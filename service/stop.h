// "stop": stops the service through the service control manager, as the console's Start/Stop
// button does (elevated), waits for it, and then gives the settings and the policy beside the
// service's executable their folder's DACL, so that an administrator can change them before the
// next start protects them again.
#pragma once

constexpr unsigned long stop_wait_ms = 20000;  // the service's own shut-down takes up to about 8 s

// 0 when the service has stopped (or was not running) and both files are released; 1 with a
// message otherwise.
int stop_service_command();
