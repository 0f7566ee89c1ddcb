// Installing and the controlled uninstall of the service.
#pragma once

int install_service();                            // 0 success, 1 failure
int uninstall_service(int argc, wchar_t** argv);  // 0, 1, 2 or 3
