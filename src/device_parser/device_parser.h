// Device resolution: a block device and byte ranges on it become SCSI disks
// (by WWID) with byte ranges on each disk.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <string>
#include <vector>

#include "common/common.h"

struct device_range {
    uint32_t major;
    uint32_t minor;
    fs_range_set ranges;
    wwid_t wwid;
};

class device_parser_exception : public std::exception {
  public:
    explicit device_parser_exception(const std::string &message)
        : message_("device_parser error: " + message)
    {
    }
    const char *what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

// Resolves input down to SCSI disks and appends them to out; returns how many
// entries were appended. Throws device_parser_exception and leaves out as it was.
int resolve_device(const device_range &input, std::vector<device_range> &out);
