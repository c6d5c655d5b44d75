// The watch follows the live storage: a device-mapper table swapped in, a
// watched file system grown or shrunk online, a path of a LUN lost or back, a
// device removed, and (with --mounted) every ext4 or xfs mounted later. Each
// affected file system is analysed and resolved again and its disks' tables
// are replaced in one step each; one line per change says what happened.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "common/common.h"
#include "topology/uevents.h"
#include "watch/watch_device.h"
#include "watch/watch_set.h"

struct live_watch_hooks {
    // Analyses and resolves a device path (watch_device with the monitor's settings).
    std::function<watched_fs(const std::string &path)> analyse;
    // Installs the disk tables of the watched set in the probes.
    std::function<void()> install;
    // Records, through the probes, the instance mounted from a device.
    std::function<void(uint32_t major, uint32_t minor)> mark_mounted;
    // Reads the kernel's symbols again: modules may have been loaded since
    // (a file system's own, dm-crypt's).
    std::function<void()> refresh_kernel;
    // Tells what changed in the watched set, in one line.
    std::function<void(const std::string &line)> tell;
};

class live_watch {
  public:
    live_watch(watch_set &watched, live_watch_hooks hooks, bool follow_mounts);

    // Subscribes to uevents; false (after a warning line) when it cannot.
    bool start();
    int uevent_fd() const { return uevents_.fd(); }

    // Takes the waiting uevents and notes the file systems they affect.
    void read_uevents();
    // A file system on that device grew or shrank.
    void resized(uint32_t major, uint32_t minor);
    // A file system of that type was mounted from that device (--mounted).
    void mounted(uint32_t major, uint32_t minor, ENUM_FS_TYPE type, const std::string &source);
    // Every watched file system, again (SIGHUP).
    void all_again();
    // Analyses and resolves what was noted, and installs the result.
    void settle();
    bool pending() const { return !stale_.empty() || !dropped_.empty(); }

    // Watches the ext4 and xfs file systems mounted now (--mounted at start);
    // those that cannot be watched are skipped, with a line in debug mode.
    static void watch_mounted_now(watch_set &watched,
                                  const std::function<watched_fs(const std::string &)> &analyse);

  private:
    std::vector<uint64_t> users_of(uint32_t major, uint32_t minor) const;
    void reanalyse(uint64_t id, const std::string &why);

    watch_set &watched_;
    live_watch_hooks hooks_;
    bool follow_mounts_;
    uevent_listener uevents_;
    std::set<uint64_t> stale_;
    std::set<uint64_t> dropped_;
    std::string why_; // what noted the last change, for the line
    bool resolver_gone_told_ = false;
};
