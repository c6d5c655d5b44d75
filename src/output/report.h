// The text of one event record: header line, kind line and symbolised stack,
// as operators and scripts read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/common.h"

class kallsyms_parser;

// Wall clock and monotonic clock sampled together.
struct time_base {
    int64_t start_time; // ns since the epoch
    uint64_t boot_time; // CLOCK_MONOTONIC ns
};

// Both clocks, now.
time_base sample_time_base();
// ns since the epoch of a monotonic time stamp (wrapping, never overflowing).
int64_t wall_time_ns(uint64_t nsec, const time_base &base);

// Symbolised stack frames, cached by address: a storm repeats the same stacks,
// and one lookup in the whole symbol table costs a few cache misses. The cache
// empties itself when the table is read again.
class frame_cache {
  public:
    struct frame {
        bool filled = false;  // line holds the frame of address
        bool located = false; // only the symbol is known yet (see look_up_ahead)
        uint64_t address = 0;
        uint64_t symbol_start = 0;
        bool probe_own = false; // in the probe's own program ("bpf_...")
        // "0x<address> <symbol> 0x<symbol start>+0x<offset>\n"
        std::string line;
        uint32_t name_offset = 0; // the symbol's name within line
        uint32_t name_size = 0;
        std::string_view name() const
        {
            return std::string_view(line).substr(name_offset, name_size);
        }
    };

    explicit frame_cache(const kallsyms_parser &symbols);
    const frame &lookup(uint64_t address);
    // Finds the symbols of frames about to be looked up, and has their names
    // fetched: the searches are independent, so their cache misses overlap
    // instead of following one another.
    void look_up_ahead(const __u64 *addresses, size_t count);
    const kallsyms_parser &symbols() const { return symbols_; }

  private:
    static constexpr size_t slot_count = 8192; // a power of two
    frame &slot_of(uint64_t address);
    const kallsyms_parser &symbols_;
    std::vector<std::string_view> located_names_; // by slot, while located
    uint64_t generation_;
    std::vector<frame> slots_;
};

// "YYYY-mm-dd HH:MM:SS.uuuuuu" (local time) of monotonic time stamps; the text
// of the last whole second is kept, since reports come in bursts.
class time_text {
  public:
    void append(std::string &out, uint64_t nsec, const time_base &base);

  private:
    int64_t cached_second_ = 0;
    bool cached_ = false;
    std::string second_text_;
};

// Appends the full report (header, kind line, one line per stack frame).
void append_report(std::string &out, const event_t &event, frame_cache &frames, time_text &times,
                   const time_base &base);
// "dd(4242) direct write ext4's metadata: [4096, 8192) on device wwid: <hex>":
// what identical reports share, for the line that sums them up.
void append_report_identity(std::string &out, const event_t &event);
// The process name, escaped.
void append_process_name(std::string &out, const event_t &event);

// One-off forms of the above.
std::string format_event_time(uint64_t nsec, const time_base &base);
std::string format_report(const event_t &event, const kallsyms_parser &symbols,
                          const time_base &base);

// "direct write", "discard", "write-zeroes", "secure erase", "zone append" for a block operation.
const char *block_op_name(uint32_t op);
// The first stack frame shown: the one in the probed function.
uint64_t first_shown_frame(const event_t &event, frame_cache &frames);
// Enumeration fields of a record hold whatever the kernel side wrote; they
// are read as plain numbers, since a value outside the enumeration cannot be
// loaded through the enumeration type.
uint32_t event_type_of(const event_t &event);
uint32_t mount_type_of(const event_t &event);
uint32_t range_type_of(const event_t &event);
// Frames in ip that may hold addresses.
inline uint64_t stack_frames(const event_t &event)
{
    return event.stack_size < PERF_MAX_STACK_DEPTH ? event.stack_size : PERF_MAX_STACK_DEPTH;
}

// What a record is, as the JSON and journal forms name it.
enum class record_kind {
    write,
    mount,
    double_mount,
    unmount,
    coalesced,
    held_back,
    started,
    watched_set_changed,
    lost,
    stopped,
    unknown,
};
// "write", "mount", "double_mount", ...
const char *record_kind_name(record_kind kind);
record_kind kind_of(const event_t &event);
// "write", "discard", "write-zeroes", "secure-erase", "zone-append",
// "buffered-write", "mmap-write", "scsi"; nullptr for records that are no write.
const char *operation_name(const event_t &event);
