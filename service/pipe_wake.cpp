#include "service/pipe_wake.h"

bool wake_own_listener(const wchar_t* pipe_name, long own_instances, PipeClientPort* port) {
    if (own_instances <= 0) return false;  // whoever listens now is not us: it gets nothing
    return port->connect_and_close(pipe_name, pipe_client_identify_only);
}
