// File-system layout analysis: recognises ext4 or xfs on a device and lists
// the byte ranges of that device to watch.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "common/common.h"
#include "fs_parser/device_file.h"

class fs_parser_exception : public std::exception {
  public:
    explicit fs_parser_exception(const std::string &message)
        : message_("fs_parser error: " + message)
    {
    }
    const char *what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

struct fs_layout {
    ENUM_FS_TYPE type = ENUM_FS_TYPE_UNKNOWN;
    // Byte ranges on the device, sorted by first, disjoint, merged where they
    // touch and are of the same kind; type is the file system's, source 0.
    std::vector<fs_range> ranges;
    // Empty, or one line about the file system's state worth knowing (not
    // cleanly unmounted, errors recorded, journal or log not watched).
    std::string note;
};

// Recognises the file system on device (ext4 first, by libblkid; then xfs, by
// its superblock magic) and lists its metadata ranges; with whole, also the
// RANGE_KIND_DATA ranges between them, so that together they cover the file
// system [0, size) exactly. Throws fs_parser_exception on every failure.
fs_layout get_fs_ranges(const device_file &device, bool whole);

// The same for a file system known to be of the given type (ext4 or xfs),
// without recognising it first.
fs_layout get_fs_ranges_as(ENUM_FS_TYPE type, const device_file &device, bool whole);

// libblkid probes the device and names its type exactly "ext4".
bool is_ext4(const device_file &device);
// The device starts with an xfs superblock ("XFSB").
bool is_xfs(const device_file &device);

// Sorts by (type, first) and merges overlapping or touching ranges of the same
// type and kind; the merged range keeps the source of its first part.
void merge_fs_ranges(std::vector<fs_range> &ranges);
