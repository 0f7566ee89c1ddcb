#include <windows.h>

#include "common/handle.h"
#include "service/pipe_wake.h"

static_assert(pipe_client_identify_only == (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION),
              "the flags CreateFileW takes for an identification-level client");

namespace {

struct SystemPipes : PipeClientPort {
    bool connect_and_close(const wchar_t* pipe_name, unsigned long flags) override {
        OwnedHandle pipe(CreateFileW(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr));
        return static_cast<bool>(pipe);
    }
};

}  // namespace

PipeClientPort* system_pipe_clients() {
    static SystemPipes pipes;
    return &pipes;
}
