// The service-control-manager handle owner lives with the other handle owners in common/.
#pragma once
#include "common/sc_handle.h"
