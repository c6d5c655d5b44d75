// The watched set: every file system corvane watches, what analysis found on
// its device and where resolution placed it on the disks, and the tables the
// probes look writes up in, one per disk.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/common.h"
#include "device_parser/device_parser.h"

// One watched file system.
struct watched_fs {
    uint64_t id = 0; // the `source` of its ranges
    std::string path;
    uint32_t major = 0;
    uint32_t minor = 0;
    ENUM_FS_TYPE type = ENUM_FS_TYPE_UNKNOWN;
    std::vector<fs_range> ranges;    // offsets on its own device
    std::vector<device_range> disks; // the same bytes on the disks below
};

using wwid_key = std::array<uint8_t, 16>;
wwid_key key_of(const wwid_t &wwid);
wwid_t wwid_of(const wwid_key &key);

// One disk's table from the pieces every watched file system has on it:
// sorted and disjoint; where metadata and file data overlap the metadata
// counts; touching or overlapping pieces of one file system and kind merge
// (where two file systems claim the same bytes, the first piece counts).
std::vector<fs_range> build_disk_table(std::vector<fs_range> pieces);

class watch_set {
  public:
    // Adds a file system (its id is assigned here) and returns its id.
    uint64_t add(watched_fs fs);
    // Replaces what is known of a watched file system; its id stays.
    void replace(uint64_t id, watched_fs fs);
    void remove(uint64_t id);
    const std::map<uint64_t, watched_fs> &all() const { return watched_; }
    const watched_fs *find(uint64_t id) const;
    bool empty() const { return watched_.empty(); }

    // Every disk's table, built anew.
    std::map<wwid_key, std::vector<fs_range>> disk_tables() const;
    // The file-system types in use.
    std::set<ENUM_FS_TYPE> fs_types() const;

  private:
    std::map<uint64_t, watched_fs> watched_;
    uint64_t next_id_ = 1;
};
