// Facts about this machine that every JSON record carries, and the cgroup
// path of a process from the id the probes record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

struct host_identity {
    std::string host;       // gethostname
    std::string machine_id; // /etc/machine-id, 32 hex digits
    std::string boot_id;    // /proc/sys/kernel/random/boot_id without dashes, 32 hex digits

    // Read once at start; a fact that cannot be read is empty.
    static host_identity of_this_machine();
};

// Paths of cgroup v2 ids (bpf_get_current_cgroup_id), relative to the
// cgroup2 mount ("/system.slice/cron.service"). An id is a kernfs node id:
// the kernel opens its directory from a file handle holding it, which needs
// CAP_DAC_READ_SEARCH. Answers are cached (ids are never reused).
class cgroup_paths {
  public:
    // mountinfo: where the cgroup2 mount is looked up.
    explicit cgroup_paths(const std::string &mountinfo = "/proc/self/mountinfo");
    ~cgroup_paths();
    cgroup_paths(const cgroup_paths &) = delete;
    cgroup_paths &operator=(const cgroup_paths &) = delete;

    // The path, escaped; nothing when there is no cgroup2 mount or the id is
    // not (or no longer) a cgroup.
    std::optional<std::string> path_of(uint64_t id);
    const std::string &mount_point() const { return mount_point_; }

  private:
    static constexpr size_t max_cached = 1024;
    std::optional<std::string> look_up(uint64_t id) const;

    std::string mount_point_;
    int mount_fd_ = -1;
    std::unordered_map<uint64_t, std::optional<std::string>> cache_;
};
