// The running monitor: starts the probes with what is watched, then handles
// their records, signals and periodic checks until it is told to stop.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "corvane_ebpf/loader.h"
#include "output/output.h"
#include "topology/live_watch.h"
#include "watch/watch_device.h"
#include "watch/watch_set.h"

class kallsyms_parser;

struct monitor_options {
    bool whole = false;   // -a
    bool daemon = false;  // -d
    bool mounted = false; // -M
    output_options output;
};

// Holds SIGTERM, SIGINT and SIGHUP from now on: once the probes are loaded they
// must be detached cleanly, which run() does when it takes the signal.
void hold_signals();

// Exit statuses beyond those of the entry point.
constexpr int EXIT_MONITOR_FAILED = 4;

class monitor {
  public:
    monitor(watch_set &watched, kallsyms_parser &kallsyms, const monitor_options &options,
            resolve_fn resolve);
    monitor(const monitor &) = delete;
    monitor &operator=(const monitor &) = delete;

    // Loads and attaches the probes with the watched set; prints the attach
    // points and the listing. False after "start bpf failed"'s cause.
    bool start();
    // Handles records and signals until SIGTERM or SIGINT (0) or a failure
    // (non-zero, after a line saying what failed).
    int run();

  private:
    static int on_record(void *ctx, void *data, size_t size);
    void handle_record(const event_t &event);
    bool install_code_ranges();
    // Writes the disk tables that differ from what the probes hold.
    void install_disk_tables();
    bool install_table(const wwid_key &key, std::vector<fs_range> &ranges);
    std::string paths_on(const wwid_key &key) const;
    // The LUNs whose WWID the probes cannot read through any of their disks.
    std::set<wwid_key> check_what_the_probes_see();
    void print_listing();
    void report_losses();
    void print_closing_line();
    watched_fs analyse(const std::string &path);
    void mark_mounted(uint32_t major, uint32_t minor);
    void refresh_kernel();

    watch_set &watched_;
    kallsyms_parser &kallsyms_;
    monitor_options options_;
    resolve_fn resolve_;
    probe_control probes_;
    output output_;
    live_watch live_;
    std::map<wwid_key, std::vector<fs_range>> installed_;
    std::set<wwid_key> unseen_;
    uint64_t lost_told_ = 0;
    uint64_t missed_told_ = 0;
};
