// File-system layout analysis: recognises ext4 or xfs on a device and lists
// the byte ranges to watch (metadata, or with -a the whole file system).
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "common/common.h"
#include "fs_parser/ext4.h"
#include "fs_parser/xfs.h"

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

// Recognises the file system on device_path and fills ranges (offsets on the
// device); throws fs_parser_exception on every failure, leaving ranges untouched.
ENUM_FS_TYPE get_fs_ranges(const std::string &device_path, std::vector<fs_range> &ranges,
                           bool whole);

// libblkid probes the device and names its type exactly "ext4".
bool is_ext4(const std::string &device_path);
// The device starts with an xfs superblock ("XFSB").
bool is_xfs(const std::string &device_path);

// Sorts by (type, first, second) and merges overlapping or touching ranges of one type.
void merge_fs_ranges(std::vector<fs_range> &ranges);
