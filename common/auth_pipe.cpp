// Taking an auth request off the wire (the service's side), apart from any pipe.
#include "common/auth_pipe.h"

namespace {

template <size_t cch>
void force_terminator(wchar_t (&field)[cch]) {
    field[cch - 1] = L'\0';
}

}  // namespace

AuthRequest* auth_request_from_bytes(void* bytes, size_t cb) {
    if (!bytes || cb != sizeof(AuthRequest)) return nullptr;
    AuthRequest* request = static_cast<AuthRequest*>(bytes);
    force_terminator(request->path);
    force_terminator(request->args);
    force_terminator(request->cwd);
    return request;
}
