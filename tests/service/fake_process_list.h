// A process list laid out as NtQuerySystemInformation(SystemProcessInformation) fills it, for
// tests of the walk and the watcher's pass.
#pragma once
#include <string.h>

#include <string>
#include <vector>

#include "service/process_list.h"

struct FakeProcess {
    uint32_t pid;
    uint64_t created;
    std::wstring name;
    uint32_t session;
};

// A buffer laid out as the system fills it: each entry followed by its name (and room for thread
// records, which the walk skips), the next entry 8-aligned, the name pointers absolute.
struct FakeList {
    std::vector<uint64_t> storage;  // 8-aligned bytes
    size_t cb = 0;
    std::vector<size_t> entry_offsets;

    explicit FakeList(const std::vector<FakeProcess>& processes, size_t cb_threads = 0x50) {
        size_t cb_total = 0;
        for (const FakeProcess& p : processes) cb_total += entry_size(p, cb_threads);
        storage.assign(cb_total / 8 + 1, 0);
        cb = cb_total;
        size_t offset = 0;
        for (size_t i = 0; i < processes.size(); ++i) {
            const FakeProcess& p = processes[i];
            entry_offsets.push_back(offset);
            ProcessInfoEntry e = {};
            size_t size = entry_size(p, cb_threads);
            e.next_entry_offset = i + 1 < processes.size() ? static_cast<uint32_t>(size) : 0;
            e.create_time = static_cast<int64_t>(p.created);
            e.unique_process_id = p.pid;
            e.session_id = p.session;
            size_t name_offset = offset + sizeof(ProcessInfoEntry) + cb_threads;
            e.image_name.cb_length = static_cast<uint16_t>(p.name.size() * 2);
            e.image_name.cb_maximum = static_cast<uint16_t>(p.name.size() * 2 + 2);
            e.image_name.buffer = p.name.empty() ? 0 : reinterpret_cast<uintptr_t>(bytes() + name_offset);
            memcpy(bytes() + offset, &e, sizeof e);
            memcpy(bytes() + name_offset, p.name.c_str(), p.name.size() * 2);
            offset += size;
        }
    }
    static size_t entry_size(const FakeProcess& p, size_t cb_threads) {
        return (sizeof(ProcessInfoEntry) + cb_threads + (p.name.size() + 1) * 2 + 7) / 8 * 8;
    }
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(storage.data()); }
    ProcessInfoEntry* entry(size_t i) { return reinterpret_cast<ProcessInfoEntry*>(bytes() + entry_offsets[i]); }
};
