#include "topology/live_watch.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include "base/corvane.h"
#include "watch/mountinfo.h"

namespace {

bool is_watchable_type(const std::string &fs_type)
{
    return fs_type == "ext4" || fs_type == "xfs";
}

// Whether two analyses place the file system on the same bytes of the same disks.
bool same_places(const watched_fs &a, const watched_fs &b)
{
    if (a.disks.size() != b.disks.size())
        return false;
    for (size_t i = 0; i < a.disks.size(); ++i) {
        const device_range &x = a.disks[i], &y = b.disks[i];
        if (key_of(x.wwid) != key_of(y.wwid) || x.ranges.size() != y.ranges.size())
            return false;
        for (size_t k = 0; k < x.ranges.size(); ++k)
            if (x.ranges[k].first != y.ranges[k].first || x.ranges[k].second != y.ranges[k].second)
                return false;
    }
    return true;
}

size_t disk_count(const watched_fs &fs)
{
    std::set<wwid_key> disks;
    for (const device_range &disk : fs.disks)
        disks.insert(key_of(disk.wwid));
    return disks.size();
}

} // namespace

live_watch::live_watch(watch_set &watched, live_watch_hooks hooks, bool follow_mounts)
    : watched_(watched), hooks_(std::move(hooks)), follow_mounts_(follow_mounts)
{
}

bool live_watch::start()
{
    if (uevents_.open())
        return true;
    std::cerr << "warning: cannot follow device changes (uevents): " << std::strerror(errno)
              << "; the watch stays as resolved now (SIGHUP resolves it again)" << std::endl;
    return false;
}

std::vector<uint64_t> live_watch::users_of(uint32_t major, uint32_t minor) const
{
    std::vector<uint64_t> ids;
    for (const auto &[id, fs] : watched_.all()) {
        bool uses = fs.major == major && fs.minor == minor;
        for (const device_range &disk : fs.disks)
            for (const auto &link : disk.chain)
                uses = uses || (link.major == major && link.minor == minor);
        if (uses)
            ids.push_back(id);
    }
    return ids;
}

void live_watch::read_uevents()
{
    while (auto event = uevents_.next()) {
        const std::string device = dev_to_string(event->major, event->minor);
        for (uint64_t id : users_of(event->major, event->minor)) {
            const watched_fs *fs = watched_.find(id);
            if (event->action == "remove" && fs->major == event->major &&
                fs->minor == event->minor) {
                dropped_.insert(id);
                continue;
            }
            stale_.insert(id);
            why_ = event->action + " of " + device;
        }
    }
}

void live_watch::resized(uint32_t major, uint32_t minor)
{
    for (const auto &[id, fs] : watched_.all())
        if (fs.major == major && fs.minor == minor) {
            stale_.insert(id);
            why_ = "file system resized";
        }
}

void live_watch::mounted(uint32_t major, uint32_t minor, ENUM_FS_TYPE type,
                         const std::string &source)
{
    if (!follow_mounts_ || type == ENUM_FS_TYPE_UNKNOWN)
        return;
    for (const auto &[id, fs] : watched_.all())
        if (fs.major == major && fs.minor == minor)
            return; // watched already: its instance is recorded by the mount probe
    const std::string node = device_node(major, minor);
    if (node.empty())
        return;
    hooks_.refresh_kernel();
    try {
        watched_fs fs = hooks_.analyse(node);
        const uint64_t id = watched_.add(std::move(fs));
        hooks_.install();
        hooks_.mark_mounted(major, minor);
        const watched_fs *added = watched_.find(id);
        hooks_.tell("watching " + node + " (" + dev_to_string(major, minor) + "), mounted from " +
                    source + ": " + std::to_string(added->ranges.size()) + " ranges on " +
                    std::to_string(disk_count(*added)) + " disks");
    } catch (const std::exception &e) {
        if (debug_on())
            std::cout << "not watching " << node << ": " << e.what() << std::endl;
    }
}

void live_watch::all_again()
{
    for (const auto &[id, fs] : watched_.all())
        stale_.insert(id);
    why_ = "SIGHUP";
}

void live_watch::reanalyse(uint64_t id, const std::string &why)
{
    const watched_fs *old = watched_.find(id);
    if (!old)
        return;
    try {
        watched_fs fs = hooks_.analyse(old->path);
        const bool same = same_places(fs, *old);
        const size_t ranges = fs.ranges.size(), disks = disk_count(fs);
        const std::string path = old->path;
        watched_.replace(id, std::move(fs));
        hooks_.tell("re-resolved " + path + " (" + why + "): " + std::to_string(ranges) +
                    " ranges on " + std::to_string(disks) + " disks" + (same ? ", as before" : ""));
    } catch (const std::exception &e) {
        const std::string text = e.what();
        if (text.find("resolver process ended") != std::string::npos) {
            if (!resolver_gone_told_)
                std::cerr << "warning: " << text
                          << "; corvane goes on with what it watches, without re-resolving"
                          << std::endl;
            resolver_gone_told_ = true;
            return;
        }
        hooks_.tell(old->path + " (" + why + "): " + text + "; watched as before");
    }
}

void live_watch::settle()
{
    if (!pending())
        return;
    for (uint64_t id : dropped_) {
        if (const watched_fs *fs = watched_.find(id)) {
            hooks_.tell("dropped " + fs->path + " (" + dev_to_string(fs->major, fs->minor) +
                        "): the device was removed");
            watched_.remove(id);
        }
        stale_.erase(id);
    }
    dropped_.clear();
    if (!stale_.empty())
        hooks_.refresh_kernel();
    for (uint64_t id : stale_)
        reanalyse(id, why_);
    stale_.clear();
    hooks_.install();
}

void live_watch::watch_mounted_now(watch_set &watched,
                                   const std::function<watched_fs(const std::string &)> &analyse)
{
    for (const mounted_device &m : read_mountinfo("/proc/self/mountinfo")) {
        if (!is_watchable_type(m.fs_type))
            continue;
        bool known = false;
        for (const auto &[id, fs] : watched.all())
            known = known || (fs.major == m.major && fs.minor == m.minor);
        const std::string node = device_node(m.major, m.minor);
        if (known || node.empty())
            continue;
        try {
            watched.add(analyse(node));
            std::cout << "watching " << node << ", mounted on " << m.mount_point << std::endl;
        } catch (const std::exception &e) {
            if (debug_on())
                std::cout << "not watching " << node << " (" << m.mount_point << "): " << e.what()
                          << std::endl;
        }
    }
}
