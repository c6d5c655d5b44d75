// Storm control: identical reports within a window are shown once and then
// counted, and a per-second budget caps the full reports shown. Every report
// ends up in exactly one of the three counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <type_traits>
#include <unordered_map>

#include "common/common.h"

// What identical reports share: the process, the kind and operation, the
// disk and the byte range. Compared byte by byte.
struct report_key {
    uint64_t first;
    uint64_t second;
    uint32_t tgid;
    uint32_t type;
    uint32_t op;         // block operation or SCSI opcode; 0 for other kinds
    uint32_t mount_type; // mounts only
    uint32_t fs_type;
    uint8_t wwid[16];
    char comm[16];
    uint8_t scsi[4]; // the CDB bytes that name a SCSI command
    bool operator==(const report_key &other) const;
};
static_assert(std::has_unique_object_representations_v<report_key>);

report_key key_of(const event_t &event);

struct storm_settings {
    uint64_t window_ns = 0; // coalescing window; 0: off
    uint32_t budget = 0;    // full reports per second; 0: unlimited
    size_t max_windows = 4096;
};

// Reports of one key seen while its window was open, after the first.
struct coalesced_summary {
    event_t first;    // the report that was shown in full
    uint64_t count;   // identical reports after it
    uint64_t seconds; // how long the window was open, in whole seconds
};

// Reports held back by the budget during one second.
struct held_back_summary {
    uint64_t count;
    uint32_t budget;
    // The process most of them came from, as far as it was followed.
    event_t top;
    uint64_t top_count;
};

class storm_control {
  public:
    enum class verdict { show, coalesced, held_back };
    using coalesced_sink = std::function<void(const coalesced_summary &)>;
    using held_back_sink = std::function<void(const held_back_summary &)>;

    storm_control(const storm_settings &settings, coalesced_sink on_coalesced,
                  held_back_sink on_held_back);

    // What becomes of a report at monotonic time now (ns). Windows and the
    // budget second that ended by then are summed up first.
    verdict admit(const event_t &event, uint64_t now);
    // Sums up the windows and the budget second that ended by now.
    void expire(uint64_t now);
    // Sums up everything still open (at the end).
    void close_all(uint64_t now);

    size_t open_windows() const { return windows_.size(); }

  private:
    struct window {
        report_key key;
        event_t first;
        uint64_t opened;
        uint64_t count;
    };
    struct key_hash {
        size_t operator()(const report_key &key) const;
    };
    struct process_count {
        event_t sample;
        uint64_t count;
    };

    void open_window(const report_key &key, const event_t &event, uint64_t now);
    void close_window(std::list<window>::iterator it, uint64_t now);
    bool within_budget(const event_t &event, uint64_t now);
    void close_second();

    storm_settings settings_;
    coalesced_sink on_coalesced_;
    held_back_sink on_held_back_;
    // Open windows, oldest first: all are equally long, so they end in this order.
    std::list<window> windows_;
    std::unordered_map<report_key, std::list<window>::iterator, key_hash> by_key_;
    // The current budget second.
    uint64_t second_start_ = 0;
    bool second_open_ = false;
    uint32_t shown_this_second_ = 0;
    uint64_t held_this_second_ = 0;
    std::unordered_map<uint32_t, process_count> held_by_process_;
};
