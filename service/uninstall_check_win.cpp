// The TOTP check of the interactive uninstall: the MFA server decides. Every failure (wrong code,
// server unreachable, bad answer) refuses, with the client's reason in message.
#include "service/install.h"

#include "common/mfa_client.h"

bool uninstall_code_valid(const Settings* settings, const wchar_t* code, wchar_t* message, size_t cch_message) {
    return verify_totp(settings, code, message, cch_message);
}
