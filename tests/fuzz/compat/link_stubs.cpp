// Fuzz build only: functions the portable sources refer to whose bodies live in the Win32 files.
// No harness reaches them; one that did would stop at once instead of running on a stand-in.
#include <stdlib.h>

#include "common/log.h"
#include "common/mfa_client.h"

// As declared in common/http.h (which needs the Win32 handle types).
bool post_json(const Settings* s, const wchar_t* endpoint, const wchar_t* body, unsigned long* status,
               wchar_t* resp, size_t cch_resp, wchar_t* err, size_t cch_err);
bool get_json(const Settings* s, const wchar_t* endpoint, unsigned long* status, wchar_t* resp,
              size_t cch_resp, wchar_t* err, size_t cch_err);

void log_event(const Settings*, const wchar_t*, ...) {}  // the log line of a dropped rule: not examined

bool post_json(const Settings*, const wchar_t*, const wchar_t*, unsigned long*, wchar_t*, size_t, wchar_t*, size_t) {
    abort();
}
bool get_json(const Settings*, const wchar_t*, unsigned long*, wchar_t*, size_t, wchar_t*, size_t) { abort(); }
void mfa_user_name(const Settings*, wchar_t*, size_t) { abort(); }
void client_ip_for(const Settings*, wchar_t*, size_t) { abort(); }
