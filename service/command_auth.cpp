#include "service/command_auth.h"

#include <windows.h>
#include <string.h>

#include "common/canonical_path.h"
#include "common/event_log.h"
#include "common/log.h"
#include "common/pipe_io.h"
#include "common/text.h"
#include "service/approval_cache.h"
#include "service/rule_match.h"

namespace {

void clear_cache(ServiceContext* context, AuthReply* reply) {
    approval_cache_clear();
    log_event(&context->settings, L"approval cache cleared by UI");
    reply->allowed = 1;
    text_copy(reply->reason, L"缓存已清空");
}

bool signalled(HANDLE event) { return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// The round of a matched command under its session's lock; false with the reason when refused.
bool command_round(ServiceContext* context, const Rule* rule, const AuthRequest* request, uint32_t session,
                   AuthenticateFn authenticate, HANDLE client_gone, wchar_t* reason, size_t cch_reason) {
    switch (session_lock_enter(&context->round_locks, session, command_lock_wait_ms, client_gone)) {
    case LockWait::taken:
        break;
    case LockWait::busy:
        text_copy(reason, cch_reason, command_busy_reason);
        return false;
    case LockWait::aborted:
        text_copy(reason, cch_reason, client_gone_reason);
        return false;
    }
    // A client that leaves ends the dialog's wait too: the broker's transfers stop at once.
    pipe_set_thread_abort(client_gone);
    reason[0] = L'\0';
    bool allowed = authenticate(session, &context->settings, rule, request->path, request->args, reason, cch_reason);
    reason[cch_reason - 1] = L'\0';
    pipe_set_thread_abort(nullptr);
    session_lock_leave(&context->round_locks, session);
    if (signalled(client_gone)) {
        text_copy(reason, cch_reason, client_gone_reason);
        return false;  // nobody is left to run it
    }
    return allowed;
}

void authorize_command(ServiceContext* context, AuthRequest* request, uint32_t session, AuthReply* reply,
                       AuthenticateFn authenticate, LongPathFn long_path, HANDLE client_gone,
                       const ClientAccount* client, IdentityPort* identity) {
    bool allowed = true;
    wchar_t reason[256] = L"未命中命令规则，直接放行";
    wchar_t path[sizeof(AuthRequest::path) / sizeof(wchar_t)];
    const Rule* rule = nullptr;
    // The plain spelling first: "\\?\C:\x" names the plain path's file and must meet its rule.
    wchar_t canonical[sizeof(AuthRequest::path) / sizeof(wchar_t)];
    if (canonical_path(request->path, canonical, sizeof canonical / sizeof canonical[0]) &&
        rule_path_key(canonical, long_path, nullptr, path, sizeof path / sizeof path[0])) {
        text_copy(request->path, path);
        rule = match_rule(&context->policy, rule_type_command, request->path, request->args, identity);
        if (identity && identity->unreadable) {
            allowed = false;  // a rule names commands by what the file is, and this file cannot be read
            text_copy(reason, L"无法读取程序文件的身份信息，默认拒绝");
        }
    } else if (policy_has_rules(&context->policy, rule_type_command)) {
        allowed = false;  // a short name we cannot resolve could be any command
        text_copy(reason, unresolved_path_reason);
    }
    if (rule) allowed = command_round(context, rule, request, session, authenticate, client_gone, reason, 256);
    reply->allowed = allowed ? 1 : 0;
    text_copy(reply->reason, reason);
    log_event(&context->settings, L"cmd: path=%s args=%s result=%s", request->path, request->args, reason);
    // A command no rule protects is no decision of ours: its text log line is enough (and its
    // client's account is never looked up).
    if (allowed && !rule) return;
    wchar_t account[event_account_cch];
    if (!client || !client->name || !client->name(client->state, account, event_account_cch))
        text_copy(account, unknown_account);
    if (!allowed)
        audit_event(&context->settings, AuditEvent::command_denied, request->path, request->args, account, reason);
    else
        audit_event(&context->settings, AuditEvent::command_approved, request->path, request->args, account,
                    rule->display_name);
}

}  // namespace

void answer_auth_request(ServiceContext* context, void* request_bytes, size_t cb_request, uint32_t client_session,
                         AuthReply* reply, AuthenticateFn authenticate, LongPathFn long_path, HANDLE client_gone,
                         const ClientAccount* client_account, IdentityPort* identity) {
    memset(reply, 0, sizeof *reply);
    reply->size = sizeof(AuthReply);
    AuthRequest* request = auth_request_from_bytes(request_bytes, cb_request);
    if (!request) return;
    if (request->kind == auth_kind_clear_cache) {
        clear_cache(context, reply);
    } else {
        authorize_command(context, request, client_session, reply, authenticate, long_path, client_gone,
                          client_account, identity);
    }
}
