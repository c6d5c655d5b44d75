// Turns one event record from the probes into the report text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/common.h"

class kallsyms_parser;

// Wall clock and monotonic clock sampled together on the first report.
struct time_base {
    int64_t start_time; // ns since the epoch
    uint64_t boot_time; // CLOCK_MONOTONIC ns
};

// "YYYY-mm-dd HH:MM:SS.uuuuuu" of a monotonic time stamp.
std::string format_event_time(uint64_t nsec, const time_base &base);
// The full report: header line, kind line, one line per stack frame.
std::string format_report(const event_t &event, const kallsyms_parser &symbols,
                          const time_base &base);
// Prints the report (and logs it with -d).
void print_report(const event_t &event);
// "direct write", "discard", "write-zeroes", "secure erase" for a block operation.
const char *block_op_name(uint32_t op);
// The first stack frame shown: the one in the probed function.
uint64_t first_shown_frame(const event_t &event, const kallsyms_parser &symbols);
