// What the monitor tells the output besides reports.
#pragma once

#include <cstdint>
#include <string>

// Where one probe is attached; function empty when the kernel has no place for it.
struct attach_point {
    std::string probe;
    std::string kind; // "fentry" or "fexit"
    std::string function;
};

// Losses since the last call and in total.
struct loss_counts {
    uint64_t reports_lost = 0; // to a full ring buffer
    uint64_t reports_lost_total = 0;
    uint64_t runs_missed = 0; // probe runs the kernel skipped
    uint64_t runs_missed_total = 0;
};

// Where every report went: shown + coalesced + held_back = reports; and
// reports + lost = every report the probes made.
struct report_counts {
    uint64_t reports = 0;
    uint64_t shown = 0;
    uint64_t coalesced = 0;
    uint64_t held_back = 0;
    uint64_t lost = 0;
};
