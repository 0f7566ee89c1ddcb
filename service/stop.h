// "stop": stops the service through the service control manager, as the console's Start/Stop
// button does (elevated), and waits for it.
#pragma once

constexpr unsigned long stop_wait_ms = 20000;  // the service's own shut-down takes up to about 8 s

// 0 when the service has stopped (or was not running); 1 with a message otherwise.
int stop_service_command();
