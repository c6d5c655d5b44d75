// Device resolution: a block device and byte ranges on it become SCSI disks
// (by WWID) with byte ranges on each disk.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/common.h"

struct device_number {
    uint32_t major;
    uint32_t minor;
    bool operator==(const device_number &) const = default;
};

struct device_range {
    uint32_t major;
    uint32_t minor;
    std::vector<fs_range> ranges;
    wwid_t wwid;
    // The devices the ranges passed through, from the resolved input down to
    // this one (input first), e.g. 253:3, 253:1, 8:17, 8:16.
    std::vector<device_number> chain;
};

// "253:3 -> 253:1 -> 8:17 -> 8:16".
std::string chain_text(const std::vector<device_number> &chain);

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
// entries were appended. Each entry's chain starts at input (whose own chain
// is not read). Throws device_parser_exception and leaves out as it was.
int resolve_device(const device_range &input, std::vector<device_range> &out);

// The steps of the resolution, one kind of device each. The entry's device
// text names its sysfs directory under <sysfs root>/sys/dev/block.

// SCSI disk: a device bound to the "sd" driver, named by its 16-byte NAA WWID.
bool is_scsi_device(const device_range &entry);
// Fills entry.wwid from the disk's "device/wwid"; false when the device is not a
// SCSI disk or the WWID is not "naa." and 32 hex digits.
bool read_scsi_wwid(device_range &entry);
// "naa." and 32 hex digits of either case (the first word of the sysfs file).
bool parse_wwid_text(std::string_view text, wwid_t &wwid);

// Partition: rewritten in place into its whole disk, ranges shifted by the
// partition's start, the disk appended to the chain.
bool is_partition(const device_range &entry);
bool map_partition(device_range &entry);
// One unsigned decimal number from a sysfs file; 0 when unreadable.
uint64_t read_sysfs_number(const std::filesystem::path &path);

// Device mapper: every linear, striped, crypt or multipath target that holds
// watched ranges becomes new entries for the devices below (one per device, a
// striped target one per stripe), appended to the queue. Returns the number of
// ranges placed. Throws device_parser_exception for other target types and for
// parameter text that cannot be read.
bool is_dm_device(const device_range &entry);
int map_device_mapper(const device_range &entry, std::deque<device_range> &queue);
// start and length in 512-byte sectors on the device-mapper device; params is
// the target's parameter text as the kernel reports it.
int map_dm_linear(const device_range &entry, std::deque<device_range> &queue, uint64_t start,
                  uint64_t length, std::string_view params);
int map_dm_striped(const device_range &entry, std::deque<device_range> &queue, uint64_t start,
                   uint64_t length, std::string_view params);
int map_dm_crypt(const device_range &entry, std::deque<device_range> &queue, uint64_t start,
                 uint64_t length, std::string_view params);
int map_dm_multipath(const device_range &entry, std::deque<device_range> &queue, uint64_t start,
                     uint64_t length, std::string_view params);

namespace device_parser {

// Directory under which "sys/..." is read: "/" in production, a prepared tree
// in tests.
void set_sysfs_root(const std::filesystem::path &root);
const std::filesystem::path &sysfs_root();

// One target of a device-mapper table, as the kernel reports it.
struct dm_target {
    uint64_t start;  // in 512-byte sectors on the device-mapper device
    uint64_t length; // in 512-byte sectors
    std::string type;
    // Absent when the kernel gave no parameter text. A crypt target's text
    // holds its key: map_device_mapper() wipes every target's text once read.
    std::optional<std::string> params;
};

// Reads the live table of a device-mapper device into targets (cleared first).
// Returns false, after a message on standard error, when it cannot be read.
using dm_table_reader =
    std::function<bool(uint32_t major, uint32_t minor, std::vector<dm_target> &targets)>;

// The production reader, through libdevmapper.
bool read_dm_table(uint32_t major, uint32_t minor, std::vector<dm_target> &targets);
// Replaces the reader (tests); an empty function restores read_dm_table.
void set_dm_table_reader(dm_table_reader reader);
// Closes libdevmapper's descriptor of /dev/mapper/control, if it has one (the
// next table read opens it again). A forked process calls it before it closes
// descriptors wholesale: libdevmapper would use whatever took the number.
void release_dm_control();

} // namespace device_parser
