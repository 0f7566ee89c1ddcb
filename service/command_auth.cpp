#include "service/command_auth.h"

#include <windows.h>
#include <string.h>

#include "common/log.h"
#include "common/text.h"
#include "service/approval_cache.h"
#include "service/rule_match.h"

namespace {

template <size_t cch>
void force_terminator(wchar_t (&field)[cch]) {
    field[cch - 1] = L'\0';
}

void clear_cache(ServiceContext* context, AuthReply* reply) {
    approval_cache_clear();
    log_event(&context->settings, L"approval cache cleared by UI");
    reply->allowed = 1;
    text_copy(reply->reason, L"缓存已清空");
}

void authorize_command(ServiceContext* context, AuthRequest* request, uint32_t session, AuthReply* reply,
                       AuthenticateFn authenticate, LongPathFn long_path, IdentityPort* identity) {
    bool allowed = true;
    wchar_t reason[256] = L"未命中命令规则，直接放行";
    wchar_t path[sizeof(AuthRequest::path) / sizeof(wchar_t)];
    const Rule* rule = nullptr;
    if (rule_path_key(request->path, long_path, nullptr, path, sizeof path / sizeof path[0])) {
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
    if (rule) {
        EnterCriticalSection(&context->auth_lock);
        reason[0] = L'\0';
        allowed = authenticate(session, &context->settings, rule, request->path, request->args, reason, 256);
        LeaveCriticalSection(&context->auth_lock);
        force_terminator(reason);
    }
    reply->allowed = allowed ? 1 : 0;
    text_copy(reply->reason, reason);
    log_event(&context->settings, L"cmd: path=%s args=%s result=%s", request->path, request->args, reason);
}

}  // namespace

void answer_auth_request(ServiceContext* context, void* request_bytes, size_t cb_request, uint32_t client_session,
                         AuthReply* reply, AuthenticateFn authenticate, LongPathFn long_path, IdentityPort* identity) {
    memset(reply, 0, sizeof *reply);
    reply->size = sizeof(AuthReply);
    if (cb_request != sizeof(AuthRequest)) return;

    AuthRequest* request = static_cast<AuthRequest*>(request_bytes);
    force_terminator(request->path);
    force_terminator(request->args);
    force_terminator(request->cwd);
    if (request->kind == auth_kind_clear_cache) {
        clear_cache(context, reply);
    } else {
        authorize_command(context, request, client_session, reply, authenticate, long_path, identity);
    }
}
