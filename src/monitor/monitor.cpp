#include "monitor/monitor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "base/corvane.h"
#include "device_parser/device_parser.h"
#include "fs_parser/fs_parser.h"
#include "kallsyms_parser/kallsyms_parser.h"
#include "watch/mountinfo.h"
#include "watch/watch_device.h"

namespace {

// A descriptor closed when the object goes.
class unique_fd {
  public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    ~unique_fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// Where the loader attached each probe, for the JSON start record.
std::vector<attach_point> attach_points_of(const std::vector<attach_choice> &choices)
{
    std::vector<attach_point> points;
    for (const attach_choice &choice : choices)
        points.push_back(
            {choice.probe, choice.kind, choice.program.empty() ? "" : choice.function});
    return points;
}

// The code of one file-system type as the probes know it.
std::vector<code_range_t> code_ranges_of(const kallsyms_parser &kallsyms, ENUM_FS_TYPE type)
{
    return kallsyms.fs_code_ranges(type);
}

} // namespace

monitor::monitor(watch_set &watched, kallsyms_parser &kallsyms, const monitor_options &options,
                 resolve_fn resolve)
    : watched_(watched), kallsyms_(kallsyms), options_(options), resolve_(std::move(resolve)),
      output_(options.output, kallsyms, watched),
      live_(
          watched,
          live_watch_hooks{[this](const std::string &path) { return analyse(path); },
                           [this] { install_disk_tables(); },
                           [this](uint32_t major, uint32_t minor) { mark_mounted(major, minor); },
                           [this] { refresh_kernel(); },
                           [this](const std::string &line) { output_.watched_set_changed(line); }},
          options.mounted)
{
}

watched_fs monitor::analyse(const std::string &path)
{
    return watch_device(
        path, options_.whole,
        [&](ENUM_FS_TYPE type) { return !code_ranges_of(kallsyms_, type).empty(); }, resolve_,
        true);
}

void monitor::refresh_kernel()
{
    if (!kallsyms_.parse("/proc/kallsyms"))
        return;
    probes_.refresh_symbols(kallsyms_);
    install_code_ranges();
}

void monitor::mark_mounted(uint32_t major, uint32_t minor)
{
    const std::string node = device_node(major, minor);
    const int fd = node.empty() ? -1 : open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return;
    probes_.check_devices({fd});
    close(fd);
}

bool monitor::install_code_ranges()
{
    for (ENUM_FS_TYPE type : {ENUM_FS_TYPE_EXT4, ENUM_FS_TYPE_XFS}) {
        const auto ranges = code_ranges_of(kallsyms_, type);
        if (!probes_.set_code_ranges(type, ranges)) {
            std::cerr << "cannot install the code ranges of " << fs_type_name(type) << std::endl;
            return false;
        }
    }
    return true;
}

// The paths of the watched file systems that have ranges on a disk.
std::string monitor::paths_on(const wwid_key &key) const
{
    std::string paths;
    for (const auto &[id, fs] : watched_.all())
        for (const device_range &disk : fs.disks)
            if (key_of(disk.wwid) == key) {
                paths += (paths.empty() ? "" : ", ") + fs.path;
                break;
            }
    return paths;
}

// Installs one disk's table. When the kernel refuses a table that large (its
// memory), the largest first part it accepts is watched, and the rest is said.
bool monitor::install_table(const wwid_key &key, std::vector<fs_range> &ranges)
{
    std::string error;
    if (probes_.set_disk_ranges(wwid_of(key), ranges, error))
        return true;
    size_t fits = 0;
    for (size_t n = ranges.size() / 2; n > 0; n /= 2) {
        std::vector<fs_range> part(ranges.begin(), ranges.begin() + static_cast<long>(n));
        std::string ignored;
        if (probes_.set_disk_ranges(wwid_of(key), part, ignored)) {
            fits = n;
            break;
        }
    }
    std::cerr << "warning: disk " << wwid_to_string(wwid_of(key)) << ": " << error << std::endl;
    std::cout << paths_on(key)
              << ": This file system contains too many extents to monitor, only monitoring the "
                 "first "
              << fits << " intervals\n"
              << "You can use -a to monitor the entire file system." << std::endl;
    if (fits == 0)
        return false;
    ranges.resize(fits);
    return true;
}

void monitor::install_disk_tables()
{
    // New and changed tables first, then the disks no longer watched: during a
    // change both the old and the new places are watched, never neither.
    auto tables = watched_.disk_tables();
    for (auto it = tables.begin(); it != tables.end();) {
        const auto &[key, ranges] = *it;
        auto old = installed_.find(key);
        if (old != installed_.end() && old->second.size() == ranges.size() &&
            std::equal(ranges.begin(), ranges.end(), old->second.begin(),
                       [](const fs_range &a, const fs_range &b) {
                           return std::memcmp(&a, &b, sizeof(a)) == 0;
                       })) {
            ++it;
            continue;
        }
        if (!install_table(key, it->second)) {
            it = tables.erase(it);
            continue;
        }
        ++it;
    }
    for (const auto &[key, ranges] : installed_)
        if (!tables.count(key))
            probes_.remove_disk(wwid_of(key));
    installed_ = std::move(tables);
}

void monitor::print_listing()
{
    std::string dump;
    for (const auto &[key, ranges] : installed_)
        if (!unseen_.count(key))
            dump += format_disk_listing(wwid_of(key), ranges, debug_on());
    for (ENUM_FS_TYPE type : watched_.fs_types())
        dump += format_code_listing(type, code_ranges_of(kallsyms_, type));
    std::cout.flush();
    // Only the JSON record names the attach points: the loader has printed them.
    output_.started(dump, options_.output.format == output_format::json
                              ? attach_points_of(probes_.attach_choices())
                              : std::vector<attach_point>());
}

bool monitor::start()
{
    if (!probes_.load(kallsyms_, options_.mounted, on_record, this))
        return false;
    if (!install_code_ranges())
        return probes_.stop(), false;
    install_disk_tables();
    if (!probes_.attach())
        return probes_.stop(), false;
    unseen_ = check_what_the_probes_see();
    print_listing();
    live_.start();
    return true;
}

// Every watched disk is asked for through its own device node, and every
// mounted block device so that instances mounted before the probes were
// attached are known.
std::set<wwid_key> monitor::check_what_the_probes_see()
{
    std::map<uint32_t, wwid_t> expected; // kernel device number of each watched disk
    std::vector<std::string> nodes;
    for (const auto &[id, fs] : watched_.all())
        for (const device_range &disk : fs.disks) {
            expected[kernel_dev(disk.major, disk.minor)] = disk.wwid;
            nodes.push_back(device_node(disk.major, disk.minor));
        }
    for (const mounted_device &m : read_mountinfo("/proc/self/mountinfo"))
        nodes.push_back(device_node(m.major, m.minor));

    std::vector<int> fds;
    for (const std::string &node : nodes) {
        const int fd = node.empty() ? -1 : open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0)
            fds.push_back(fd);
    }
    const auto seen = probes_.check_devices(fds);
    for (int fd : fds)
        close(fd);

    std::set<wwid_key> readable, unreadable;
    for (const auto &[dev, wwid] : expected) {
        auto it = seen.find(dev);
        const bool ok = it != seen.end() && (it->second.status & DISK_CHECK_WWID) &&
                        std::memcmp(it->second.wwid.buf, wwid.buf, sizeof(wwid.buf)) == 0;
        (ok ? readable : unreadable).insert(key_of(wwid));
        if (!ok)
            std::cerr << "warning: the probes cannot read WWID " << wwid_to_string(wwid)
                      << " of disk " << dev_to_string(dev >> 20, dev & 0xfffff)
                      << " in its VPD page 0x83: writes reaching that disk are not watched"
                      << std::endl;
    }
    // A LUN counts as watched when the probes know it through one of its disks.
    for (const wwid_key &key : readable)
        unreadable.erase(key);
    return unreadable;
}

int monitor::on_record(void *ctx, void *data, size_t size)
{
    auto *self = static_cast<monitor *>(ctx);
    // The ring only carries whole records; anything shorter is not one.
    if (data == nullptr || size < sizeof(event_t)) {
        std::cerr << "dropped an event record of " << size << " bytes, expected " << sizeof(event_t)
                  << std::endl;
        return 0;
    }
    event_t event;
    std::memcpy(&event, data, sizeof(event));
    self->handle_record(event);
    return 0;
}

void monitor::handle_record(const event_t &event)
{
    switch (event.type) {
    case ENUM_EVENT_TYPE_NEW_MOUNT:
        live_.mounted(event.device >> 20, event.device & 0xfffff,
                      static_cast<ENUM_FS_TYPE>(event.mount_type),
                      std::string(event.detail, strnlen(event.detail, sizeof(event.detail))));
        return;
    case ENUM_EVENT_TYPE_FS_RESIZED:
        live_.resized(event.device >> 20, event.device & 0xfffff);
        return;
    case ENUM_EVENT_TYPE_UMOUNT:
        if (debug_on()) {
            output_.flush();
            std::cout << "unmounted: " << fs_type_name(event.range.type) << " on "
                      << wwid_to_string(event.wwid) << std::endl;
        }
        output_.unmounted(event);
        return;
    default:
        output_.report(event);
    }
}

void monitor::report_losses()
{
    loss_counts losses;
    losses.reports_lost_total = std::max(probes_.lost_events(), lost_told_);
    losses.reports_lost = losses.reports_lost_total - lost_told_;
    losses.runs_missed_total = std::max(probes_.missed_runs(), missed_told_);
    losses.runs_missed = losses.runs_missed_total - missed_told_;
    lost_told_ = losses.reports_lost_total;
    missed_told_ = losses.runs_missed_total;
    output_.lost(losses);
}

void monitor::print_closing_line()
{
    report_losses();
    output_.stopped(lost_told_);
}

sigset_t monitor_signals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    return signals;
}

void hold_signals()
{
    const sigset_t signals = monitor_signals();
    sigprocmask(SIG_BLOCK, &signals, nullptr);
}

int monitor::run()
{
    const sigset_t signals = monitor_signals();
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    unique_fd signal_fd(signalfd(-1, &signals, SFD_CLOEXEC));
    unique_fd timer_fd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC));
    const itimerspec every_second{{1, 0}, {1, 0}};
    timerfd_settime(timer_fd.get(), 0, &every_second, nullptr);
    unique_fd poller(epoll_create1(EPOLL_CLOEXEC));
    for (int fd : {probes_.ring_fd(), signal_fd.get(), timer_fd.get(), live_.uevent_fd()}) {
        if (fd < 0 && fd == live_.uevent_fd())
            continue; // not following device changes: said at start
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.fd = fd;
        if (fd < 0 || epoll_ctl(poller.get(), EPOLL_CTL_ADD, fd, &interest) != 0) {
            std::cerr << "Error polling ring buffer: cannot watch descriptor " << fd << ": "
                      << std::strerror(errno) << std::endl;
            return EXIT_MONITOR_FAILED;
        }
    }
    for (;;) {
        epoll_event ready[8];
        const int n = epoll_wait(poller.get(), ready, 8, -1);
        if (n < 0) {
            // A stop and continue (Ctrl-Z, a debugger) interrupts the wait.
            if (errno == EINTR)
                continue;
            std::cerr << "Error polling ring buffer: " << -errno << " (" << std::strerror(errno)
                      << ")" << std::endl;
            return EXIT_MONITOR_FAILED;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = ready[i].data.fd;
            if (fd < 0)
                continue;
            if (fd == probes_.ring_fd()) {
                const int err = probes_.consume();
                output_.flush();
                if (err < 0 && err != -EINTR) {
                    std::cerr << "Error polling ring buffer: " << err << std::endl;
                    return EXIT_MONITOR_FAILED;
                }
            } else if (fd == live_.uevent_fd()) {
                live_.read_uevents();
            } else if (fd == timer_fd.get()) {
                uint64_t ticks = 0;
                if (read(fd, &ticks, sizeof(ticks)) < 0) {
                    // Nothing to do: the next tick comes.
                }
                report_losses();
                output_.tick();
            } else if (fd == signal_fd.get()) {
                signalfd_siginfo info{};
                if (read(fd, &info, sizeof(info)) != sizeof(info))
                    continue;
                if (info.ssi_signo == SIGHUP) {
                    live_.all_again();
                    continue;
                }
                probes_.consume();
                print_closing_line();
                probes_.stop();
                return 0;
            }
        }
        // What the uevents, a resize or SIGHUP noted, once the burst is read.
        if (live_.pending()) {
            probes_.consume();
            live_.settle();
            std::cout.flush();
        }
    }
}
