// The wake-up of the service's own pipe listener at stop. Any process that held the name would
// receive that connection, so it is made only while an instance of ours exists, and with a
// security quality of service that lets the server identify LocalSystem but never act as it
// (without SECURITY_SQOS_PRESENT a client connects at impersonation level), as the service's
// other client connection, to the dialog host's pipe, does.
#pragma once

// SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, the CreateFileW flags of every such connection.
constexpr unsigned long pipe_client_identify_only = 0x00100000UL | 0x00010000UL;

struct PipeClientPort {
    virtual ~PipeClientPort() = default;
    // Connects to the pipe with these CreateFileW flags and closes the connection; true when one was made.
    virtual bool connect_and_close(const wchar_t* pipe_name, unsigned long flags) = 0;
};

// One empty connection to pipe_name, so a listener blocked waiting for a client returns; nothing
// when own_instances (the instances of this process, listening or connected) is 0. True when a
// connection was made.
bool wake_own_listener(const wchar_t* pipe_name, long own_instances, PipeClientPort* port);

// The port on this machine's pipes.
PipeClientPort* system_pipe_clients();
