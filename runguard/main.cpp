// runguard: runs a protected command after the service has authorized it.
#include "runguard/runguard.h"

int wmain(int argc, wchar_t** argv) { return run_guarded(argc, argv); }
