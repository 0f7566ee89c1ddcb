// The auth pipe (\\.\pipe\SentrelAuth): one fixed-size request and one fixed-size reply per
// connection, between runguard or the console (clients) and the service.
#pragma once
#include <stddef.h>
#include <stdint.h>

constexpr const wchar_t* auth_pipe_name = L"\\\\.\\pipe\\SentrelAuth";

enum AuthRequestKind : uint32_t {
    auth_kind_authorize_command = 0,  // every value but 1 is an authorization
    auth_kind_clear_cache = 1,
};

#pragma pack(push, 1)
struct AuthRequest {
    uint32_t size;               // 8204
    uint32_t client_process_id;  // not examined by the service
    uint32_t kind;               // AuthRequestKind
    wchar_t path[1024];          // the executable, as the client resolved it
    wchar_t args[2048];          // the argument line without the executable
    wchar_t cwd[1024];           // the client's current directory; not examined by the service
};

struct AuthReply {
    uint32_t size;      // 524
    uint32_t allowed;   // 1 allowed (or cache cleared), 0 denied
    uint32_t reserved;  // 0
    wchar_t reason[256];
};
#pragma pack(pop)

static_assert(sizeof(wchar_t) == 2, "texts on the wire are UTF-16");
static_assert(sizeof(AuthRequest) == 8204, "auth request is 8204 bytes");
static_assert(offsetof(AuthRequest, kind) == 8, "layout");
static_assert(offsetof(AuthRequest, path) == 12, "layout");
static_assert(offsetof(AuthRequest, args) == 2060, "layout");
static_assert(offsetof(AuthRequest, cwd) == 6156, "layout");
static_assert(sizeof(AuthReply) == 524, "auth reply is 524 bytes");
static_assert(offsetof(AuthReply, allowed) == 4, "layout");
static_assert(offsetof(AuthReply, reason) == 12, "layout");

// The service's reading of the bytes received on one connection: exactly one whole request, else
// null. Its text fields are then terminated at their last unit (the client's bytes are not trusted
// to be), in place.
AuthRequest* auth_request_from_bytes(void* bytes, size_t cb);

// Why a round trip did not happen.
enum class AuthPipeFailure {
    none,
    no_service,       // no pipe, or no instance free within the bound
    not_our_service,  // the pipe's server is not our service process: nothing was written to it
    broken,           // connected, but the request or the reply did not pass whole
};

// Client side: opens the pipe at identification level, checks that its server is our service
// (SentrelSvc.exe beside this executable; when the service is installed, the service's process),
// writes the whole request and reads the whole reply (blocking while the user is asked). A busy
// pipe, or another server's instance, is tried again for at most a few seconds; a missing pipe
// fails at once. True only for a complete round trip; failure (may be null) tells why not.
bool send_auth_request(const AuthRequest* request, AuthReply* reply, AuthPipeFailure* failure = nullptr);
