// The event source "Sentrel" of the Application log: registered by install (messages from the
// installed SentrelSvc.exe), removed by the uninstall once the service is gone.
#pragma once
#include <stdint.h>

// Points the source at the executable the service runs (the configured image when the handle may
// query the service's configuration, else fallback_exe); TypesSupported 7. ERROR_SUCCESS or the
// Windows error.
uint32_t register_event_source(struct SC_HANDLE__* service, const wchar_t* fallback_exe);
// Deletes the source's key; a source that is not registered counts as removed.
uint32_t remove_event_source();
// The product version, as the version resources carry it ("1.0.0.0").
const wchar_t* product_version();
