// Helpers shared by the device-resolution steps: sysfs paths, strict number
// parsing, overflow-checked offset arithmetic and debug output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/common.h"

namespace device_parser {

// <sysfs root>/<relative>, e.g. sysfs_path("sys/bus/scsi/drivers/sd").
std::filesystem::path sysfs_path(std::string_view relative);
// <sysfs root>/sys/dev/block/<major:minor>: the link to the device's directory.
std::filesystem::path block_device_dir(uint32_t major, uint32_t minor);

// An unsigned decimal number filling the whole text.
bool parse_u64(std::string_view text, uint64_t &value);
// "major:minor" in decimal, as the kernel writes device numbers (no leading
// zeros), filling the whole text.
bool parse_device_number(std::string_view text, uint32_t &major, uint32_t &minor);

// Byte offsets must not wrap: a wrapped offset would watch the wrong bytes.
// Both throw std::overflow_error.
uint64_t checked_add(uint64_t a, uint64_t b);
uint64_t checked_mul(uint64_t a, uint64_t b);

// One flushed line on standard output when debug output is on.
void debug_line(const std::string &line);
// "[first, second)" in decimal.
std::string range_text(uint64_t first, uint64_t second);

} // namespace device_parser
