// Records the audit events a test's code reports, instead of the Windows Event Log.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "common/event_log.h"

struct RecordedEvent {
    EventType type;
    uint32_t id;
    std::vector<std::wstring> strings;
};

// Installed for its lifetime; report() may be called from several threads.
class FakeEventSink : public EventSink {
public:
    // fail_with non-zero: every report fails with this error.
    explicit FakeEventSink(uint32_t fail_with_error = 0) : fail_with(fail_with_error), previous_(set_event_sink(this)) {}
    ~FakeEventSink() override { set_event_sink(previous_); }
    FakeEventSink(const FakeEventSink&) = delete;
    FakeEventSink& operator=(const FakeEventSink&) = delete;

    bool report(const PreparedEvent& event, uint32_t* error) override {
        std::lock_guard<std::mutex> hold(lock_);
        ++calls;
        if (fail_with) {
            *error = fail_with;
            return false;
        }
        RecordedEvent recorded{event.type, event.id, {}};
        for (uint16_t i = 0; i < event.count; ++i) recorded.strings.push_back(event.strings[i]);
        events.push_back(recorded);
        return true;
    }
    std::vector<RecordedEvent> taken() {
        std::lock_guard<std::mutex> hold(lock_);
        return events;
    }
    std::vector<uint32_t> ids() {
        std::vector<uint32_t> out;
        for (const RecordedEvent& e : taken()) out.push_back(e.id);
        return out;
    }

    std::vector<RecordedEvent> events;
    const uint32_t fail_with;
    int calls = 0;

private:
    std::mutex lock_;
    EventSink* previous_;
};
