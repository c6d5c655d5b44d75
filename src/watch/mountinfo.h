// Mounted file systems (from /proc/self/mountinfo) and device nodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct mounted_device {
    uint32_t major = 0;
    uint32_t minor = 0;
    std::string fs_type;     // as the kernel names it: "ext4", "xfs", ...
    std::string source;      // as given to mount(2)
    std::string mount_point; // with the kernel's octal escapes undone
};

// The mounts of block devices (those with a /sys/dev/block entry), one per
// device, in the file's order.
std::vector<mounted_device> read_mountinfo(const std::string &path);
// Parses one mountinfo line; false when it is not one.
bool parse_mountinfo_line(const std::string &line, mounted_device &out);
// "/dev/<name>" of a block device from its sysfs uevent, or "" when unknown.
std::string device_node(uint32_t major, uint32_t minor);
