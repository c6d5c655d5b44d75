// `corvane check`: whether monitoring can work on this machine, and why not;
// for each device, what would be watched and on which disks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "corvane_ebpf/loader.h"

struct check_options {
    std::vector<std::string> devices;
    bool whole = false; // analyse as with -a
    bool json = false;
    std::vector<std::string> config_files; // the configuration files read
    std::string config_error;              // empty when the configuration is valid
};

// One fact about the machine. A required one that is not ok means that
// monitoring cannot work.
struct finding {
    std::string id;    // "fentry_attach"
    std::string title; // "fentry/fexit attachment"
    bool ok = false;
    bool required = false;
    std::string detail;
};

// A disk's SCSI persistent-reservation state (PERSISTENT RESERVE IN).
struct reservation_state {
    bool readable = false;
    std::string error; // why it is not readable
    uint32_t generation = 0;
    std::vector<uint64_t> keys; // registered keys
    bool reserved = false;
    uint64_t holder = 0; // reservation key of the holder
    uint8_t type = 0;    // reservation type (SPC: 1 Write Exclusive, ...)
    uint8_t scope = 0;
};

// The ext4 multiple-mount protection block.
struct mmp_state {
    bool enabled = false;
    bool readable = false;
    std::string error;
    uint32_t sequence = 0;
    uint64_t time = 0; // seconds since the epoch of its last update
    std::string node;  // host that updated it last
    std::string device;
    uint16_t check_interval = 0;
    uint16_t update_interval = 0;
};

struct disk_finding {
    uint32_t major = 0;
    uint32_t minor = 0;
    std::string wwid;  // 32 hex digits
    std::string chain; // "253:3 -> 8:17 -> 8:16"
    size_t ranges = 0;
    reservation_state reservation;
};

struct device_finding {
    std::string path;
    bool ok = false;
    std::string error; // analysis or resolution failure
    std::string type;  // "ext4", "xfs"
    size_t ranges = 0;
    std::string note;
    std::optional<mmp_state> mmp; // ext4 only
    std::vector<disk_finding> disks;
};

struct check_result {
    std::vector<finding> findings;
    std::string attach_mode; // "attach mode: ..."
    std::vector<attach_choice> attach;
    std::vector<device_finding> devices;
    // Titles of what is missing (required findings not ok, devices that fail).
    std::vector<std::string> missing() const;
    bool ready() const { return missing().empty(); }
};

// Runs every check, prints the result (text or JSON) and returns 0 when
// monitoring can work, 1 when something needed is missing.
int run_check(const check_options &options);

class kallsyms_parser;

// The parts, for tests. symbols_read: symbols holds /proc/kallsyms.
check_result check_machine(const check_options &options, const kallsyms_parser &symbols,
                           bool symbols_read);
void check_devices(const check_options &options, const kallsyms_parser &symbols,
                   check_result &result);
std::string format_check_text(const check_result &result);
std::string format_check_json(const check_result &result);

// PERSISTENT RESERVE IN answers (SPC-4 6.16): READ KEYS and READ RESERVATION
// parameter data; false when they are too short to hold what they announce.
bool parse_read_keys(const uint8_t *data, size_t size, reservation_state &out);
bool parse_read_reservation(const uint8_t *data, size_t size, reservation_state &out);
// Reads both through SG_IO on the disk's node.
reservation_state read_reservation_state(const std::string &node);
// "Write Exclusive", "Exclusive Access - Registrants Only", ...
const char *reservation_type_name(uint8_t type);

// The ext4 MMP block of the file system on path, given its superblock (the
// 1024 bytes at offset 1024), read past the page cache where possible;
// enabled false when the feature is off.
mmp_state read_mmp_state(const std::string &path, const uint8_t *superblock);
// "clean", "fsck", "in use" or "invalid sequence"
const char *mmp_sequence_meaning(uint32_t sequence);
