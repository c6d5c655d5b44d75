#include "output/host.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "base/escape.h"
#include "watch/mountinfo.h"

namespace {

// Handle type of kernfs nodes: the 64-bit node id is the handle.
constexpr int kernfs_handle_type = 0xfe;

std::string first_line_of(const char *path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string without(std::string text, char unwanted)
{
    std::erase(text, unwanted);
    return text;
}

} // namespace

host_identity host_identity::of_this_machine()
{
    host_identity identity;
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof(name) - 1) == 0)
        identity.host = escape_text(name);
    identity.machine_id = escape_text(first_line_of("/etc/machine-id"));
    identity.boot_id = escape_text(without(first_line_of("/proc/sys/kernel/random/boot_id"), '-'));
    return identity;
}

cgroup_paths::cgroup_paths(const std::string &mountinfo)
{
    std::ifstream in(mountinfo);
    for (std::string line; std::getline(in, line);) {
        mounted_device mount;
        if (parse_mountinfo_line(line, mount) && mount.fs_type == "cgroup2") {
            mount_point_ = mount.mount_point;
            break;
        }
    }
    if (!mount_point_.empty())
        mount_fd_ = open(mount_point_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

cgroup_paths::~cgroup_paths()
{
    if (mount_fd_ >= 0)
        close(mount_fd_);
}

std::optional<std::string> cgroup_paths::path_of(uint64_t id)
{
    if (mount_fd_ < 0 || id == 0)
        return std::nullopt;
    auto it = cache_.find(id);
    if (it != cache_.end())
        return it->second;
    if (cache_.size() >= max_cached)
        cache_.clear();
    return cache_.emplace(id, look_up(id)).first->second;
}

std::optional<std::string> cgroup_paths::look_up(uint64_t id) const
{
    alignas(file_handle) char storage[sizeof(file_handle) + sizeof(uint64_t)] = {};
    auto *handle = reinterpret_cast<file_handle *>(storage);
    handle->handle_bytes = sizeof(uint64_t);
    handle->handle_type = kernfs_handle_type;
    std::memcpy(storage + sizeof(file_handle), &id, sizeof(id));
    const int fd = open_by_handle_at(mount_fd_, handle, O_PATH | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char target[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t size = readlink(link.c_str(), target, sizeof(target));
    close(fd);
    if (size <= 0 || static_cast<size_t>(size) >= sizeof(target))
        return std::nullopt;
    std::string path(target, static_cast<size_t>(size));
    // A cgroup outside what this mount shows has no path here.
    const size_t prefix = mount_point_ == "/" ? 0 : mount_point_.size();
    if (!path.starts_with(mount_point_) || (path.size() > prefix && path[prefix] != '/'))
        return std::nullopt;
    path.erase(0, prefix);
    return path.empty() ? "/" : escape_text(path);
}
