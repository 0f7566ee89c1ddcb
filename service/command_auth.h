// Answering one auth-pipe request: clear the approval cache, or decide a command.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "common/auth_pipe.h"
#include "common/policy.h"
#include "common/settings.h"
#include "service/rule_match.h"
#include "service/service_context.h"

// The broker call (authenticate_via_ui in the service; a fake in tests).
using AuthenticateFn = bool (*)(uint32_t session, const Settings* settings, const Rule* rule, const wchar_t* target,
                                const wchar_t* detail, wchar_t* message, size_t cch_message);

// The account of the client, looked up on demand: its "DOMAIN\user" into out; false when unknown.
struct ClientAccount {
    void* state;
    bool (*name)(void* state, wchar_t* out, size_t cch_out);
};

// Fills reply for the received bytes. Anything but exactly one whole request gets allowed 0 and an
// empty reason. Text fields are terminated at their last unit before use (the client's bytes are
// not trusted to be). Command rules are matched against the long form of the path (long_path
// resolves one that may hold short names; the path is then the long one from there on); a path
// that cannot be resolved is refused while any command rule is enabled. A "\\?\" prefix is
// removed first. Only a matched command takes a round lock: client_session's, the session of the
// process at the pipe's client end, where its dialog is asked for. It waits at most
// command_lock_wait_ms for that lock (then refused as busy); client_gone (may be null), signalled
// when the client has left, ends the wait or the round at once and refuses the command.
// client_account names the client ("DOMAIN\user") in the audit event of a decided command; it is
// asked only then (a lookup of the account may be slow), and "-" stands for it when it is null or
// fails. Rules
// that name a command by identity are checked on the file at that path, read through identity (as
// the client); one whose identity cannot be read is refused.
void answer_auth_request(ServiceContext* context, void* request_bytes, size_t cb_request, uint32_t client_session,
                         AuthReply* reply, AuthenticateFn authenticate, LongPathFn long_path = long_path_of,
                         HANDLE client_gone = nullptr, const ClientAccount* client_account = nullptr,
                         IdentityPort* identity = nullptr);

// How long a command waits for its session's round lock beyond its own round.
constexpr DWORD command_lock_wait_ms = 10000;
constexpr const wchar_t* command_busy_reason = L"认证繁忙，默认拒绝";
constexpr const wchar_t* client_gone_reason = L"客户端已退出，默认拒绝";
