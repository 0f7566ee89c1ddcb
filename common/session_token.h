// Tokens of the interactive user, for starting programs in their session from the service.
#pragma once
#include <windows.h>

// The session user's token (WTSQueryUserToken), or failing that the token of one of their
// explorer.exe processes; null when neither can be had. The caller closes it.
HANDLE session_user_token(DWORD session);
