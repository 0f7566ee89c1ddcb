#include "common/event_log.h"

#include <atomic>

#include "common/console.h"
#include "common/log.h"
#include "common/text.h"

EventSink* system_event_sink();  // event_log_win.cpp

namespace {

std::atomic<EventSink*> g_sink{nullptr};
std::atomic<uint32_t> g_failures{0};

}  // namespace

const AuditEventInfo audit_events[audit_event_count] = {
    {AuditEvent::service_started, EventType::information, 2},
    {AuditEvent::service_stopped, EventType::information, 0},
    {AuditEvent::program_stopped, EventType::information, 4},
    {AuditEvent::program_relaunched, EventType::information, 4},
    {AuditEvent::program_denied, EventType::warning, 3},
    {AuditEvent::command_approved, EventType::information, 4},
    {AuditEvent::command_denied, EventType::warning, 4},
    {AuditEvent::file_restored, EventType::warning, 2},
    {AuditEvent::uninstall_authorized, EventType::warning, 1},
    {AuditEvent::uninstall_finished, EventType::information, 1},
    {AuditEvent::log_unwritable, EventType::error, 2},
};

const AuditEventInfo* audit_event_info(AuditEvent id) {
    for (const AuditEventInfo& info : audit_events) {
        if (info.id == id) return &info;
    }
    return nullptr;
}

bool prepare_event(AuditEvent id, const wchar_t* const* inserts, size_t count, PreparedEvent* out) {
    const AuditEventInfo* info = audit_event_info(id);
    if (!info) return false;
    out->type = info->type;
    out->id = static_cast<uint32_t>(info->id);
    out->count = info->insert_count;
    for (size_t i = 0; i < event_max_inserts; ++i) {
        const wchar_t* insert = i < count && i < info->insert_count ? inserts[i] : nullptr;
        text_copy(out->strings[i], event_insert_cch, insert);  // cut at 1,023 characters
        log_sanitize(out->strings[i]);
    }
    return true;
}

EventSink* set_event_sink(EventSink* sink) { return g_sink.exchange(sink); }

void audit_event(const Settings* s, AuditEvent id, const wchar_t* insert1, const wchar_t* insert2,
                 const wchar_t* insert3, const wchar_t* insert4) {
    const wchar_t* inserts[event_max_inserts] = {insert1, insert2, insert3, insert4};
    // Four insertion strings of 1,024 units: too large for a request handler's stack.
    static thread_local PreparedEvent event;
    if (!prepare_event(id, inserts, event_max_inserts, &event)) return;
    EventSink* sink = g_sink.load();
    if (!sink) sink = system_event_sink();
    uint32_t error = 0;
    if (sink->report(event, &error)) return;
    if (g_failures.fetch_add(1) != 0) return;  // named once; later failures are only counted
    console_print(L"无法写入 Windows 事件日志，错误: %lu（以后的失败只计数）\n", static_cast<unsigned long>(error));
    log_event(s, L"event log write failed: error=%lu, later failures only counted", static_cast<unsigned long>(error));
}

uint32_t audit_event_failures() { return g_failures.load(); }
