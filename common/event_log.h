// Audit events in the Windows Event Log, beside the text log: one event per decision, from the
// place that writes the decision's log line, under the source "Sentrel" of the Application log.
// Event ids are frozen: an id never changes its meaning once shipped (docs/admin-guide.md lists
// them). The message texts live in SentrelSvc.exe's message table (service/events.mc); what comes
// from users (paths, arguments, names) only ever goes in as an insertion string.
//
// Writing an event never changes or holds up a decision: the event is reported after the decision
// is made, a failure is counted, named once (console and text log), and not tried again.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct Settings;

constexpr const wchar_t* event_source_name = L"Sentrel";
constexpr const wchar_t* event_source_key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Sentrel";
constexpr uint32_t event_types_supported = 7;  // error, warning, information

enum class AuditEvent : uint32_t {
    service_started = 1000,       // rule count, version
    service_stopped = 1001,       // -
    program_stopped = 2000,       // program path, account, rule name, mode
    program_relaunched = 2001,    // program path, account, rule name, mode
    program_denied = 2002,        // program path, account, reason
    command_approved = 3001,      // command path, arguments, account, rule name
    command_denied = 3002,        // command path, arguments, account, reason
    file_restored = 4000,         // file path, what was done to it
    uninstall_authorized = 5000,  // how (console, command line, MSI)
    uninstall_finished = 5001,    // result
    log_unwritable = 6000,        // log path, reason
};

// The values of ReportEventW's wType.
enum class EventType : uint16_t { error = 0x0001, warning = 0x0002, information = 0x0004 };

constexpr size_t event_max_inserts = 4;
constexpr size_t event_insert_cch = 1024;  // an insertion string keeps at most 1,023 characters

struct AuditEventInfo {
    AuditEvent id;
    EventType type;
    uint16_t insert_count;
};
constexpr size_t audit_event_count = 11;
extern const AuditEventInfo audit_events[audit_event_count];
// The table's entry for id; null for an id not in the table.
const AuditEventInfo* audit_event_info(AuditEvent id);

// One event as it is handed to the system: each insertion string copied, cut at 1,023 characters
// and given the text log's rule (control characters, line breaks included, become spaces). Missing
// inserts (fewer given than the event has, or null) are empty texts.
struct PreparedEvent {
    EventType type;
    uint32_t id;
    uint16_t count;
    wchar_t strings[event_max_inserts][event_insert_cch];
};
// False (out untouched) for an id not in the table.
bool prepare_event(AuditEvent id, const wchar_t* const* inserts, size_t count, PreparedEvent* out);

// Where events go: ReportEventW on the source registered once per process; a fake in tests.
struct EventSink {
    virtual ~EventSink() = default;
    // False with *error the system's code when the event was not written.
    virtual bool report(const PreparedEvent& event, uint32_t* error) = 0;
};
// Replaces the sink (null: the system's again); returns the one it replaces. For tests.
EventSink* set_event_sink(EventSink* sink);

// Reports one event with up to four insertion strings (in the order of the table). On the first
// failure of the process, a console line and, when s has a log file, one text log line name it;
// every failure is counted. Pass s = null from the text log's own failure path.
void audit_event(const Settings* s, AuditEvent id, const wchar_t* insert1 = nullptr, const wchar_t* insert2 = nullptr,
                 const wchar_t* insert3 = nullptr, const wchar_t* insert4 = nullptr);
// Events not written since the process started.
uint32_t audit_event_failures();

// --- accounts, for the account inserts ---

constexpr size_t event_account_cch = 520;  // "DOMAIN\user"
constexpr const wchar_t* unknown_account = L"-";

// "DOMAIN\user" of a token (a HANDLE); false (out untouched) when it cannot be read.
bool account_of_token(void* token, wchar_t* out, size_t cch_out);
