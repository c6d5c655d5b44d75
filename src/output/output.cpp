#include "output/output.h"

#include <fcntl.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <limits>

#include "base/corvane.h"
#include "cli_parser/cli_parser.h"
#include "output/journal.h"
#include "output/json_report.h"
#include "watch/watch_set.h"

namespace {

constexpr uint64_t ns_per_second = 1000000000;
// A batch larger than this is written at once, so that a long burst does not
// hold its whole text in memory.
constexpr size_t batch_limit = 256 * 1024;

void write_all(int fd, std::string_view text)
{
    // What the C library still buffers for the same descriptor comes first.
    std::fflush(fd == STDERR_FILENO ? stderr : stdout);
    while (!text.empty()) {
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // nobody reads any more: nothing better to do with the text
        text.remove_prefix(static_cast<size_t>(written));
    }
}

uint64_t monotonic_clock_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * ns_per_second + static_cast<uint64_t>(now.tv_nsec);
}

int64_t wall_clock_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

output_environment completed(output_environment env, int out_fd)
{
    if (!env.write_out)
        env.write_out = [fd = out_fd](std::string_view text) { write_all(fd, text); };
    if (!env.write_err)
        env.write_err = [](std::string_view text) { write_all(STDERR_FILENO, text); };
    if (!env.syslog)
        env.syslog = [](int priority, const std::string &message) {
            ::syslog(priority, "%s", message.c_str());
        };
    if (!env.journal)
        env.journal = [](const journal_entry &entry) { send_journal_entry(entry); };
    if (!env.monotonic_ns)
        env.monotonic_ns = monotonic_clock_ns;
    if (!env.wall_ns)
        env.wall_ns = wall_clock_ns;
    if (!env.host)
        env.host = host_identity::of_this_machine();
    return env;
}

storm_settings storm_settings_of(const output_options &options)
{
    storm_settings settings;
    // Debugging wants every report as it came.
    settings.window_ns = options.debug ? 0 : uint64_t{options.coalesce_seconds} * ns_per_second;
    settings.budget = options.report_budget;
    settings.max_windows = options.max_open_windows;
    return settings;
}

json_record settings_record(const output_options &options)
{
    return json_record{{"format", options.format == output_format::json ? "json" : "text"},
                       {"coalesce_seconds", options.debug ? 0 : options.coalesce_seconds},
                       {"report_budget", options.report_budget},
                       {"syslog", options.syslog},
                       {"journal", options.journal},
                       {"debug", options.debug}};
}

std::string count_text(uint64_t count, const char *one, const char *many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

} // namespace

bool parse_output_format(std::string_view text, output_format &format)
{
    if (text == "text")
        format = output_format::text;
    else if (text == "json")
        format = output_format::json;
    else
        return false;
    return true;
}

output::output(const output_options &options, const kallsyms_parser &symbols,
               const watch_set &watched, output_environment environment)
    : options_(options), watched_(watched), env_(completed(std::move(environment), options.out_fd)),
      frames_(symbols), storms_(
                            storm_settings_of(options),
                            [this](const coalesced_summary &summary) { show_coalesced(summary); },
                            [this](const held_back_summary &summary) { show_held_back(summary); })
{
    if (json()) {
        if (env_.cgroup_paths)
            cgroups_ = std::make_unique<cgroup_paths>();
        json_ = std::make_unique<json_formatter>(*env_.host, watched_, frames_, cgroups_.get());
    }
}

output::~output()
{
    flush();
}

const time_base &output::base()
{
    // Both clocks are sampled once, on the first report, and the offset
    // between them is kept for the life of the process: later changes of the
    // system clock do not move report times.
    if (!base_) {
        base_ = time_base{env_.wall_ns(), env_.monotonic_ns()};
        if (options_.debug)
            write_human("init start_time: " + std::to_string(base_->start_time) +
                        "\nboot_time: " + std::to_string(base_->boot_time) + "\n");
    }
    return *base_;
}

void output::report(const event_t &event)
{
    ++reports_;
    switch (storms_.admit(event, env_.monotonic_ns())) {
    case storm_control::verdict::show:
        ++shown_;
        show(event);
        break;
    case storm_control::verdict::coalesced:
        ++coalesced_;
        break;
    case storm_control::verdict::held_back:
        ++held_back_;
        break;
    }
    if (batch_.size() >= batch_limit)
        flush();
}

void output::show(const event_t &event)
{
    const time_base &times = base();
    if (!json() && !options_.syslog) {
        append_report(batch_, event, frames_, times_, times); // the hot path: no copy
        return;
    }
    std::string text;
    append_report(text, event, frames_, times_, times);
    if (json())
        json_formatter::append_line(batch_, json_->report(event, times));
    else
        batch_ += text;
    if (options_.syslog) {
        const int priority = LOG_WARNING;
        if (options_.journal)
            env_.journal(journal_report_entry(event, priority, text, watched_path(event)));
        else
            env_.syslog(priority, text);
    }
}

void output::unmounted(const event_t &event)
{
    if (json())
        json_formatter::append_line(batch_, json_->report(event, base()));
    if (options_.syslog && options_.journal) {
        std::string text = "unmounted: ";
        append_report_identity(text, event);
        env_.journal(journal_report_entry(event, LOG_INFO, text, watched_path(event)));
    }
}

void output::show_coalesced(const coalesced_summary &summary)
{
    std::string line = "coalesced: " + std::to_string(summary.count) + " more identical " +
                       (summary.count == 1 ? "report" : "reports") + " of ";
    append_report_identity(line, summary.first);
    line += " in the last " + std::to_string(summary.seconds) + " s\n";
    if (json())
        json_formatter::append_line(batch_, json_->coalesced(summary, env_.wall_ns()));
    else
        batch_ += line;
    log_entry(journal_coalesced_entry(summary, line), LOG_WARNING, line);
}

void output::show_held_back(const held_back_summary &summary)
{
    std::string line = "held back: " + count_text(summary.count, "report", "reports") +
                       " in the last second (budget " + std::to_string(summary.budget) + "/s)";
    if (summary.top_count > 0) {
        line += ", " + std::to_string(summary.top_count) + " of them by ";
        append_process_name(line, summary.top);
        line += '(' + std::to_string(summary.top.ptid >> 32) + ')';
    }
    line += '\n';
    if (json())
        json_formatter::append_line(batch_, json_->held_back(summary, env_.wall_ns()));
    else
        batch_ += line;
    log_entry(journal_held_back_entry(summary, line), LOG_WARNING, line);
}

void output::started(const std::string &listing, const std::vector<attach_point> &probes)
{
    write_human(listing);
    if (json()) {
        json_formatter::append_line(
            batch_, json_->started(env_.wall_ns(), probes, settings_record(options_)));
        flush();
    }
    log_entry(journal_entry_of(record_kind::started, LOG_INFO, listing), LOG_INFO, listing);
}

void output::watched_set_changed(std::string_view reason)
{
    write_human(std::string(reason) + "\n");
    if (json()) {
        json_formatter::append_line(batch_, json_->watched_set_changed(env_.wall_ns(), reason));
        flush();
    }
    const std::string message = "watched set changed: " + std::string(reason) + ", " +
                                count_text(watched_.all().size(), "file system", "file systems");
    log_entry(journal_entry_of(record_kind::watched_set_changed, LOG_INFO, message), LOG_INFO,
              message);
}

void output::lost(const loss_counts &losses)
{
    lost_ = losses.reports_lost_total;
    if (losses.reports_lost == 0 && losses.runs_missed == 0)
        return;
    if (json())
        json_formatter::append_line(batch_, json_->lost(env_.wall_ns(), losses));
    std::vector<std::string> lines;
    if (losses.reports_lost > 0)
        lines.push_back("warning: " + std::to_string(losses.reports_lost) +
                        " reports lost, the ring buffer was full (" +
                        std::to_string(losses.reports_lost_total) + " in total)\n");
    if (losses.runs_missed > 0)
        lines.push_back(
            "warning: " + std::to_string(losses.runs_missed) +
            " probe runs skipped by the kernel (a probe was already running on that CPU; " +
            std::to_string(losses.runs_missed_total) + " in total)\n");
    for (const std::string &line : lines) {
        write_err(line);
        log(LOG_WARNING, line);
    }
    if (options_.syslog && options_.journal)
        env_.journal(
            journal_lost_entry(losses, lines.size() == 1 ? lines[0] : lines[0] + lines[1]));
}

void output::stopped(uint64_t lost_total)
{
    lost_ = lost_total;
    storms_.close_all(env_.monotonic_ns());
    const report_counts totals = counts();
    const std::string closing = "corvane stopped: " + std::to_string(totals.reports) +
                                " reports, " + std::to_string(totals.lost) + " lost";
    const std::string breakdown = "reports: " + std::to_string(totals.shown) + " shown in full, " +
                                  std::to_string(totals.coalesced) + " coalesced, " +
                                  std::to_string(totals.held_back) + " held back, " +
                                  std::to_string(totals.lost) + " lost to the ring buffer";
    if (json())
        json_formatter::append_line(batch_, json_->stopped(env_.wall_ns(), totals));
    write_human(closing + "\n" + breakdown + "\n");
    if (options_.syslog && options_.journal)
        env_.journal(journal_stopped_entry(totals, closing + "\n" + breakdown));
    else if (options_.syslog) {
        env_.syslog(LOG_INFO, closing);
        env_.syslog(LOG_INFO, breakdown);
    }
}

void output::tick()
{
    storms_.expire(env_.monotonic_ns());
    flush();
}

void output::flush()
{
    if (batch_.empty())
        return;
    env_.write_out(batch_);
    batch_.clear();
    // A burst that grew the buffer far beyond the usual does not keep it.
    if (batch_.capacity() > 4 * batch_limit)
        batch_.shrink_to_fit();
}

report_counts output::counts() const
{
    return report_counts{reports_, shown_, coalesced_, held_back_, lost_};
}

void output::write_human(std::string_view text)
{
    if (json()) {
        write_err(text);
        return;
    }
    batch_ += text;
    flush();
}

void output::write_err(std::string_view text)
{
    flush(); // what came before stays before, also where both streams meet
    env_.write_err(text);
}

void output::log(int priority, const std::string &message)
{
    if (options_.syslog && !options_.journal)
        env_.syslog(priority, message);
}

void output::log_entry(const journal_entry &entry, int priority, const std::string &message)
{
    if (!options_.syslog)
        return;
    if (options_.journal)
        env_.journal(entry);
    else
        log(priority, message);
}

std::string output::watched_path(const event_t &event) const
{
    const watched_fs *fs = watched_.find(event.range.source);
    return fs ? fs->path : std::string();
}

output_options output_options_of(const command_line &cli, bool debug)
{
    output_options options;
    parse_output_format(cli.format, options.format);
    options.syslog = cli.daemon;
    options.journal = cli.daemon && journal_available();
    constexpr uint64_t most = std::numeric_limits<uint32_t>::max();
    options.coalesce_seconds = static_cast<uint32_t>(std::min(cli.coalesce_seconds, most));
    options.report_budget = static_cast<uint32_t>(std::min(cli.report_budget, most));
    options.debug = debug;
    return options;
}

int set_aside_stdout_for_records()
{
    std::cout.flush();
    std::fflush(stdout);
    const int records = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (records < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        return STDOUT_FILENO;
    return records;
}
