// Partition mapping: a partition is watched on its whole disk, so its entry is
// rewritten to the disk's device number with every range shifted by the
// partition's start.
#include <fstream>

#include "base/corvane.h"
#include "device_parser/device_parser.h"
#include "device_parser/internal.h"

namespace fs = std::filesystem;
using namespace device_parser;

namespace {

bool read_device_number(const fs::path &path, uint32_t &major, uint32_t &minor)
{
    std::ifstream in(path);
    std::string word;
    return in >> word && parse_device_number(word, major, minor);
}

} // namespace

bool is_partition(const device_range &entry)
{
    return fs::is_regular_file(block_device_dir(entry.major, entry.minor) / "partition");
}

bool map_partition(device_range &entry)
{
    if (!is_partition(entry))
        return false;
    debug_line("------debug partition------");
    debug_line("old dev: " + dev_to_string(entry.major, entry.minor));

    fs::path partition_dir = block_device_dir(entry.major, entry.minor);
    uint64_t start = read_sysfs_number(partition_dir / "start");
    // The partition's directory lies inside its disk's directory; resolving the
    // links before ".." gives that disk, where a textual ".." would give
    // sys/dev/block.
    fs::path disk_dir = fs::canonical(partition_dir / "..");

    uint32_t major = 0, minor = 0;
    bool have_disk = read_device_number(disk_dir / "dev", major, minor);
    if (have_disk) {
        entry.major = major;
        entry.minor = minor;
        entry.chain.push_back({major, minor});
    }
    debug_line("new dev: " + dev_to_string(entry.major, entry.minor));
    if (!have_disk)
        return false;

    // The kernel counts "start" in 512-byte sectors whatever the disk's own
    // sector size (on a 4096-byte-sector disk it is a multiple of 8), the same
    // unit the probes use for bd_start_sect.
    uint64_t offset = checked_mul(start, SECTOR_SIZE);
    for (fs_range &range : entry.ranges) {
        if (debug_on())
            debug_line("old range: " + range_text(range.first, range.second));
        range.first = checked_add(range.first, offset);
        range.second = checked_add(range.second, offset);
        if (debug_on())
            debug_line("new range: " + range_text(range.first, range.second));
    }
    debug_line("---------------------------");
    return true;
}
