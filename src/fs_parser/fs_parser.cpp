#include "fs_parser/fs_parser.h"

#include <blkid/blkid.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iostream>

#include "base/corvane.h"

namespace {

const char CORRUPTED_SUPERBLOCK[] = "fs's superblock may have been corrupted.";

// What differs between the two supported file systems in the dispatch.
struct fs_kind {
    const char *name; // file-system name and kernel module name alike
    ENUM_FS_TYPE type;
    bool (*whole_range)(const std::string &, std::vector<fs_range> &);
    bool (*metadata_range)(const std::string &, std::vector<fs_range> &);
};

const fs_kind EXT4_KIND{"ext4", ENUM_FS_TYPE_EXT4, get_ext4_range, get_ext4_metadata_range};
const fs_kind XFS_KIND{"xfs", ENUM_FS_TYPE_XFS, get_xfs_range, get_xfs_metadata_range};

// Range map of one recognised file system.
void analyse(const fs_kind &kind, const std::string &device_path, std::vector<fs_range> &ranges,
             bool whole)
{
    const std::string name = kind.name;
    if (debug_on())
        std::cout << device_path << " is " << name << std::endl;

    if (whole) {
        if (!kind.whole_range(device_path, ranges))
            throw fs_parser_exception("can not get " + name + "'s range.");
    } else if (!kind.metadata_range(device_path, ranges)) {
        throw fs_parser_exception("can not get " + name + "'s metadata range.");
    }
}

bool range_less(const fs_range &a, const fs_range &b)
{
    const auto type_a = static_cast<int32_t>(a.type), type_b = static_cast<int32_t>(b.type);
    if (type_a != type_b)
        return type_a < type_b;
    if (a.first != b.first)
        return a.first < b.first;
    return a.second < b.second;
}

} // namespace

ENUM_FS_TYPE get_fs_ranges(const std::string &device_path, std::vector<fs_range> &ranges,
                           bool whole)
{
    try {
        if (is_ext4(device_path)) {
            analyse(EXT4_KIND, device_path, ranges, whole);
            return ENUM_FS_TYPE_EXT4;
        }
        if (is_xfs(device_path)) {
            analyse(XFS_KIND, device_path, ranges, whole);
            return ENUM_FS_TYPE_XFS;
        }

        throw fs_parser_exception("unknown fs type.");
    } catch (const fs_parser_exception &) {
        throw;
    } catch (...) {
        // Allocation failures, stream or library errors on a damaged superblock.
        throw fs_parser_exception(CORRUPTED_SUPERBLOCK);
    }
}

bool is_ext4(const std::string &device_path)
{
    blkid_probe probe = blkid_new_probe_from_filename(device_path.c_str());
    if (probe == nullptr)
        return false;
    // The probe result itself is not needed: a failed probe has no TYPE value.
    blkid_do_probe(probe);
    const char *value = nullptr;
    bool ext4 = false;
    if (blkid_probe_lookup_value(probe, "TYPE", &value, nullptr) == 0 && value != nullptr)
        ext4 = std::string(value) == "ext4";
    blkid_free_probe(probe);
    return ext4;
}

bool is_xfs(const std::string &device_path)
{
    std::ifstream device(device_path, std::ios::in | std::ios::binary);
    xfs_superblock sb{};
    return read_xfs_superblock(device, sb);
}

void merge_fs_ranges(std::vector<fs_range> &ranges)
{
    if (ranges.size() < 2)
        return;
    std::sort(ranges.begin(), ranges.end(), range_less);

    std::vector<fs_range> merged;
    merged.reserve(ranges.size());
    fs_range current = ranges.front();
    for (size_t i = 1; i < ranges.size(); ++i) {
        const fs_range &next = ranges[i];
        if (next.first <= current.second && next.type == current.type) {
            current.second = std::max(current.second, next.second);
        } else {
            merged.push_back(current);
            current = next;
        }
    }
    merged.push_back(current);
    ranges = std::move(merged);
}
