// Control of the eBPF object: load it from the program image, attach its
// probes where the running kernel allows, keep its tables (each disk's watched
// ranges, each file system's code) in step with what is watched, and read
// its ring buffer.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <bpf/libbpf.h>

#include "common/common.h"
#include "corvane_ebpf/attach.h"

class kallsyms_parser;
struct corvane_ebpf_bpf;

// One disk in the map listing: "wwid: <hex>\n" and "<fs>:[first, second) ..."
// (every range with full, else at most a few and their number).
std::string format_disk_listing(const wwid_t &wwid, const std::vector<fs_range> &ranges, bool full);
// One line per code range: "<fs> module's memory address range: [hex, hex)\n".
std::string format_code_listing(uint32_t type, const std::vector<code_range_t> &ranges);

// Warning for reports lost since the last check, or nothing when the count
// has not grown.
std::optional<std::string> lost_events_message(uint64_t previous, uint64_t now);

// Kernel device number as the kernel encodes it in the probes' records.
constexpr uint32_t kernel_dev(uint32_t major, uint32_t minor)
{
    return major << 20 | minor;
}

// Loads the object with the start-up self-check probe alone, attaches it to
// its kernel function and detaches it again: whether fentry programs can be
// attached on this machine. False with the failed step and the kernel's
// answer in error.
bool try_attach_self_check(std::string &error);

class probe_control {
  public:
    probe_control() = default;
    ~probe_control();
    probe_control(const probe_control &) = delete;
    probe_control &operator=(const probe_control &) = delete;

    // Takes the attach plan (see prepare_probe_attachment), opens and loads
    // the programs of its mode, sets the globals from the symbol table and
    // creates the ring buffer (records go to callback with ctx); prints the
    // mode and the attach point of every probe. False, after a message on
    // standard error, when that fails; nothing is left loaded then.
    bool load(const kallsyms_parser &kallsyms, bool notify_mounts, ring_buffer_sample_fn callback,
              void *ctx);
    // Attaches every loaded program to its chosen function. False when a
    // required probe cannot be attached; an optional one that cannot is
    // left out with a warning.
    bool attach();
    // Where each probe is attached (after load()).
    const std::vector<attach_choice> &attach_choices() const { return plan_.choices; }
    // Symbols of modules loaded since (dm-crypt's completion function).
    void refresh_symbols(const kallsyms_parser &kallsyms);

    // The code of one file-system type; false when it does not fit.
    bool set_code_ranges(uint32_t type, const std::vector<code_range_t> &ranges);
    // Replaces one disk's watched ranges (sorted, disjoint) in one step.
    bool set_disk_ranges(const wwid_t &wwid, const std::vector<fs_range> &ranges,
                         std::string &error);
    void remove_disk(const wwid_t &wwid);

    // Asks the probes, through a harmless ioctl on each open device, what they
    // see of the disks below it; mounted instances found on the way are
    // recorded. Keyed by the disks' kernel device numbers.
    std::map<uint32_t, disk_check_t> check_devices(const std::vector<int> &device_fds);

    // Descriptor that becomes readable when records wait; consume() hands
    // them to the callback and returns their number or a negative error.
    int ring_fd() const;
    int consume();
    // Reports lost to a full ring, and probe runs the kernel skipped because
    // the same program was already running on that CPU.
    uint64_t lost_events() const;
    uint64_t missed_runs() const;

    void stop();

  private:
    void forget_unwatched_disks();

    corvane_ebpf_bpf *skel_ = nullptr;
    ring_buffer *ring_ = nullptr;
    attach_plan plan_;
    std::vector<bpf_link *> links_;
};

int print_libbpf_message(enum libbpf_print_level level, const char *format, va_list args);
