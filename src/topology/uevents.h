// The kernel's own announcements of block-device changes (netlink uevents):
// a device-mapper table swapped in (a "change" at resume), a disk or
// partition added, resized or removed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct block_uevent {
    std::string action; // "add", "change", "remove", ...
    uint32_t major = 0;
    uint32_t minor = 0;
    std::string devname;  // "sdb", "dm-3"
    bool resized = false; // a "change" that announces a new size
};

// One uevent datagram ("action@devpath\0KEY=value\0..."), or nothing when it is
// not about a block device.
std::optional<block_uevent> parse_block_uevent(std::string_view datagram);

class uevent_listener {
  public:
    uevent_listener() = default;
    ~uevent_listener();
    uevent_listener(const uevent_listener &) = delete;
    uevent_listener &operator=(const uevent_listener &) = delete;

    // Subscribes to the kernel's uevents; false with errno set when it cannot.
    bool open();
    int fd() const { return fd_; }
    // The next waiting block-device uevent, or nothing when none waits.
    std::optional<block_uevent> next();

  private:
    int fd_ = -1;
};
