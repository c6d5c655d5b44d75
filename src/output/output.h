// Every report and notice corvane gives while it monitors: text or JSON lines
// on standard output, the system log or the journal with -d, and storm
// control in between. The monitor decides what a record is and hands it here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/common.h"
#include "output/host.h"
#include "output/journal.h"
#include "output/lifecycle.h"
#include "output/report.h"
#include "output/storm.h"

class cgroup_paths;
class json_formatter;
class kallsyms_parser;
class watch_set;

enum class output_format { text, json };

struct output_options {
    output_format format = output_format::text;
    // -d: reports and notices also go to the system log (identity
    // vorel-corvane, facility daemon), as structured entries when a journal runs.
    bool syslog = false;
    bool journal = false;
    // Identical reports within this many seconds are shown once, then
    // counted (0: off).
    uint32_t coalesce_seconds = 10;
    // Full reports shown per second at most (0: no limit).
    uint32_t report_budget = 100;
    // Coalescing windows open at once; the oldest closes early beyond that.
    size_t max_open_windows = 4096;
    // -m 1: every report in full (no coalescing), the time base shown.
    bool debug = false;
    // Where reports and records are written (standard output).
    int out_fd = 1;
};

// Where the output goes and the clocks it reads. Empty members take the
// process's own: standard output and error, syslog(3), sd_journal_sendv,
// CLOCK_MONOTONIC and the system clock. Tests replace them.
struct output_environment {
    std::function<void(std::string_view)> write_out; // reports and records
    std::function<void(std::string_view)> write_err; // warnings
    std::function<void(int priority, const std::string &message)> syslog;
    std::function<void(const journal_entry &entry)> journal;
    std::function<uint64_t()> monotonic_ns;
    std::function<int64_t()> wall_ns;
    // This machine's when absent.
    std::optional<host_identity> host;
    // Whether cgroup ids are turned into paths (for JSON).
    bool cgroup_paths = true;
};

class output {
  public:
    output(const output_options &options, const kallsyms_parser &symbols, const watch_set &watched,
           output_environment environment = {});
    ~output();
    output(const output &) = delete;
    output &operator=(const output &) = delete;

    // A write, mount or double mount; storm control applies.
    void report(const event_t &event);
    // The unmount of a watched file system (JSON and journal only).
    void unmounted(const event_t &event);
    // Monitoring has begun: listing is the text map of what is watched.
    void started(const std::string &listing, const std::vector<attach_point> &probes);
    // What is watched changed; reason is the line that says what (printed as it is).
    void watched_set_changed(std::string_view reason);
    // Reports lost to a full ring and probe runs skipped since the last call.
    void lost(const loss_counts &losses);
    // Sums up what is still open and gives the closing lines.
    void stopped(uint64_t lost_total);
    // Once a second: sums up the windows and the budget second that ended.
    void tick();
    // Writes what the last batch of records produced (one write).
    void flush();

    report_counts counts() const;

  private:
    void show(const event_t &event);
    void show_coalesced(const coalesced_summary &summary);
    void show_held_back(const held_back_summary &summary);
    // Human text: standard output in text mode, standard error beside JSON.
    void write_human(std::string_view text);
    void write_err(std::string_view text);
    void log(int priority, const std::string &message);
    void log_entry(const journal_entry &entry, int priority, const std::string &message);
    const time_base &base();
    std::string watched_path(const event_t &event) const;
    bool json() const { return options_.format == output_format::json; }

    output_options options_;
    const watch_set &watched_;
    output_environment env_;
    frame_cache frames_;
    time_text times_;
    std::unique_ptr<cgroup_paths> cgroups_;
    std::unique_ptr<json_formatter> json_;
    storm_control storms_;
    std::optional<time_base> base_;
    std::string batch_;
    uint64_t reports_ = 0;
    uint64_t shown_ = 0;
    uint64_t coalesced_ = 0;
    uint64_t held_back_ = 0;
    uint64_t lost_ = 0;
};

// "text" or "json" as output_format; false for anything else.
bool parse_output_format(std::string_view text, output_format &format);

struct command_line;
// The output settings the command line (with the configuration) asks for.
output_options output_options_of(const command_line &cli, bool debug);

// With JSON output, standard output carries the records alone: it is kept for
// them under another descriptor, and whatever else is printed there goes to
// standard error. Returns the records' descriptor.
int set_aside_stdout_for_records();
