// Starting an approved program again. The relaunch never grants more than the stopped process had:
// it starts the program with a primary copy of the stopped process's own token, in that token's
// session, with the environment of that user (CreateEnvironmentBlock: their variables, their
// profile; nothing of the service's). An elevated program comes back elevated, an unelevated one
// unelevated, one from another session in that session; a process whose token could not be taken
// is not started at all. The service never starts a program as itself.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/process_identity.h"

struct Settings;

// The stopped process's own token and session, taken before it was stopped.
struct Starter {
    uintptr_t token;   // a primary duplicate of the process's token; 0 when it could not be taken
    uint32_t session;  // the token's session (the process list's, when there is no token)
    AccountSid user;   // the token's user (cb 0 when there is no token): whose approval counts
    uint32_t limits;   // StarterLimit bits: what the stopped process was held to
};

// What held the stopped process that a relaunch from the service would not hold again.
enum StarterLimit : uint32_t {
    starter_restricted = 2,      // a restricted token
    starter_low_integrity = 4,   // below medium integrity (or its level could not be read)
    starter_app_container = 8,   // an AppContainer token
    starter_job = 16,            // a job that lets no process break away (or one that could not be told)
    starter_desktop = 32,        // a desktop other than its session's default (or one that could not be read)
};

// Why the program may not be started again for this starter (a fixed English text for the log), or
// null when nothing holds it that the relaunch would drop.
const wchar_t* relaunch_refusal(uint32_t limits);

// The StarterLimit bits of a process about to be stopped (process: a handle with query access, pid
// its id, token: its primary token). Win32, in starter_limits_win.cpp.
uint32_t starter_limits(void* process, uint32_t pid, void* token);

// What a relaunch needs from the system; the service passes the real calls, tests fakes.
struct RelaunchPorts {
    void* state;
    // The user's environment for the token (CreateEnvironmentBlock, nothing inherited).
    bool (*environment)(void* state, uintptr_t token, void** block, uint32_t* error);
    void (*free_environment)(void* state, void* block);
    // CreateProcessAsUserW with a primary duplicate of token placed in session, on
    // "winsta0\default", with that token's user's environment; *pid on success, *error on failure.
    bool (*create_as)(void* state, uintptr_t token, uint32_t session, const wchar_t* application,
                      wchar_t* command_line, const wchar_t* directory, uint32_t* pid, uint32_t* error);
    bool (*file_exists)(void* state, const wchar_t* path);
};

// program is a full path or a bare file name (store applications); directory may be null (none).
// First CreateProcessAsUserW with the program as it stands; then, as the shell would start a bare
// name, the first match along the Path of the user's own environment, started the same way and with
// the same token (a full path has nothing more to find). Every step is logged. True when a process
// was started.
// arguments (may be null) follow the quoted program on the command line; when the two do not fit
// CreateProcess's limit the program is started without them (logged).
bool relaunch_as_starter(const Settings* s, const Starter* starter, const wchar_t* program, const wchar_t* directory,
                         const RelaunchPorts* ports, const wchar_t* arguments = nullptr);

// The first folder of the environment block's Path (the name compared ignoring case) that holds
// name: "<folder>\<name>" into out. False (out untouched) when there is none, or name is not a bare
// file name.
bool find_on_path(const void* environment, const wchar_t* name, bool (*exists)(void* state, const wchar_t* path),
                  void* state, wchar_t* out, size_t cch_out);

// relaunch_as_starter with the real calls.
bool relaunch_program(const Settings* s, const Starter* starter, const wchar_t* program, const wchar_t* directory,
                      const wchar_t* arguments = nullptr);
