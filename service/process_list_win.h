// The process list from the system: one NtQuerySystemInformation(SystemProcessInformation) call
// into a buffer the caller keeps from pass to pass, grown when the list has outgrown it.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct ProcessListBuffer {
    uint8_t* bytes;  // process heap; null until the first query
    size_t cb;       // its size
    size_t cb_used;  // what the last successful query filled
};

// Fills the buffer with the current process list. One call when the buffer is large enough;
// when the list has grown past it, the buffer grows and the call is repeated (a few times at
// most). False when no list could be had: the buffer keeps what it held, cb_used is 0.
bool process_list_query(ProcessListBuffer* buffer);
void process_list_free(ProcessListBuffer* buffer);
