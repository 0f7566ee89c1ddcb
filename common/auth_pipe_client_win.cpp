#include <windows.h>

#include "common/auth_pipe.h"
#include "common/handle.h"

bool send_auth_request(const AuthRequest* request, AuthReply* reply) {
    OwnedHandle pipe(CreateFileW(auth_pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe) return false;
    DWORD written = 0;
    if (!WriteFile(pipe.get(), request, sizeof(AuthRequest), &written, nullptr) || written != sizeof(AuthRequest))
        return false;
    AuthReply received;
    DWORD read = 0;
    if (!ReadFile(pipe.get(), &received, sizeof received, &read, nullptr) || read != sizeof received) return false;
    *reply = received;
    return true;
}
