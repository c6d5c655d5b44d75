// Loads the embedded eBPF object, programs its maps, polls its ring buffer.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <bpf/libbpf.h>

#include "common/common.h"

struct device_range;
class kallsyms_parser;

bool start_bpf(ring_buffer_sample_fn callback, const kallsyms_parser &kallsyms,
               const std::vector<device_range> &wwid_ranges,
               const std::map<ENUM_FS_TYPE, fs_range> &module_ranges, const bool &daemon);
void poll_events(int timeout_ms);
bool stop_bpf();
int print_libbpf_message(enum libbpf_print_level level, const char *format, va_list args);

// ---- pure parts, shared with the tests -------------------------------------

// Appends the ranges of more to set, mount marks cleared, while set has room
// (MAX_RANGE_COUNT). False when some of them did not fit.
bool append_ranges(fs_range_set &set, const fs_range_set &more);

// One disk in the map listing: "wwid: <hex>\n" and "<fs>:[first, second) ..." line.
std::string format_wwid_dump(const wwid_t &wwid, const fs_range_set &set);
// One module in the map listing: "<fs> module's memory address range: [hex, hex)\n".
std::string format_module_dump(uint32_t type, const fs_range &range);

// Where one probe is attached on the running kernel.
struct attach_choice {
    std::string probe;    // the probe's role: one of the four main program names
    std::string program;  // program that is loaded for it, empty when none fits
    std::string kind;     // "fentry" or "fexit"
    std::string function; // kernel function
};

// Picks the attach point of every probe from the functions the kernel can
// trace (kernel_has answers whether its BTF has a function of that name):
// the designated function when present, else an equivalent one.
std::vector<attach_choice>
choose_attach_targets(const std::function<bool(const char *)> &kernel_has);
// "attach <probe>: <kind> <function>" (or "... : none").
std::string format_attach_choice(const attach_choice &choice);

// Warning for reports lost to a full ring buffer since the last check, or
// nothing when the count has not grown.
std::optional<std::string> lost_events_message(uint64_t previous, uint64_t now);
