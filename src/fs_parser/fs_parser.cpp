#include "fs_parser/fs_parser.h"

#include <blkid/blkid.h>

#include <algorithm>
#include <cstring>
#include <iostream>

#include "base/corvane.h"
#include "fs_parser/ext4.h"
#include "fs_parser/xfs.h"

namespace {

const char CORRUPTED_SUPERBLOCK[] = "fs's superblock may have been corrupted.";

// What differs between the two supported file systems in the dispatch.
struct fs_kind {
    const char *name;
    ENUM_FS_TYPE type;
    bool (*read_metadata)(const device_file &, fs_metadata &);
};

const fs_kind EXT4_KIND{"ext4", ENUM_FS_TYPE_EXT4, read_ext4_metadata};
const fs_kind XFS_KIND{"xfs", ENUM_FS_TYPE_XFS, read_xfs_metadata};

fs_layout analyse(const fs_kind &kind, const device_file &device, bool whole)
{
    const std::string name = kind.name;
    fs_metadata metadata;
    if (!kind.read_metadata(device, metadata))
        throw fs_parser_exception(whole ? "can not get " + name + "'s range."
                                        : "can not get " + name + "'s metadata range.");
    fs_layout layout;
    layout.type = kind.type;
    layout.note = std::move(metadata.note);
    layout.ranges = whole ? fill_with_data(metadata.ranges, metadata.size, kind.type)
                          : std::move(metadata.ranges);
    return layout;
}

// Turns every failure that is not already an fs_parser_exception (allocation
// failures above all) into the corrupted-superblock one.
template <typename Analysis> fs_layout guarded(Analysis analysis)
{
    try {
        return analysis();
    } catch (const fs_parser_exception &) {
        throw;
    } catch (...) {
        throw fs_parser_exception(CORRUPTED_SUPERBLOCK);
    }
}

} // namespace

fs_layout get_fs_ranges(const device_file &device, bool whole)
{
    return guarded([&] {
        const fs_kind *kind = is_ext4(device) ? &EXT4_KIND : is_xfs(device) ? &XFS_KIND : nullptr;
        if (kind == nullptr)
            throw fs_parser_exception("unknown fs type.");
        if (debug_on())
            std::cout << device.path() << " is " << kind->name << std::endl;
        return analyse(*kind, device, whole);
    });
}

fs_layout get_fs_ranges_as(ENUM_FS_TYPE type, const device_file &device, bool whole)
{
    return guarded([&] {
        if (type == ENUM_FS_TYPE_EXT4)
            return analyse(EXT4_KIND, device, whole);
        if (type == ENUM_FS_TYPE_XFS)
            return analyse(XFS_KIND, device, whole);
        throw fs_parser_exception("unknown fs type.");
    });
}

bool is_ext4(const device_file &device)
{
    blkid_probe probe = blkid_new_probe();
    if (probe == nullptr)
        return false;
    bool ext4 = false;
    if (blkid_probe_set_device(probe, device.fd(), 0, 0) == 0 && blkid_do_probe(probe) == 0) {
        const char *value = nullptr;
        if (blkid_probe_lookup_value(probe, "TYPE", &value, nullptr) == 0 && value != nullptr)
            ext4 = std::strcmp(value, "ext4") == 0;
    }
    blkid_free_probe(probe);
    return ext4;
}

bool is_xfs(const device_file &device)
{
    char magic[4] = {};
    return device.read_at(magic, sizeof(magic), 0) && std::memcmp(magic, "XFSB", 4) == 0;
}

void merge_fs_ranges(std::vector<fs_range> &ranges)
{
    if (ranges.size() < 2)
        return;
    // Merging runs over each (type, kind) on its own, so that ranges of
    // another kind in between cannot split a run.
    std::sort(ranges.begin(), ranges.end(), [](const fs_range &a, const fs_range &b) {
        if (a.type != b.type)
            return a.type < b.type;
        if (a.kind != b.kind)
            return a.kind < b.kind;
        return a.first < b.first;
    });
    size_t out = 0;
    for (size_t i = 1; i < ranges.size(); ++i) {
        fs_range &current = ranges[out];
        const fs_range &next = ranges[i];
        if (next.type == current.type && next.kind == current.kind && next.first <= current.second)
            current.second = std::max(current.second, next.second);
        else
            ranges[++out] = next;
    }
    ranges.resize(out + 1);
    std::stable_sort(ranges.begin(), ranges.end(), [](const fs_range &a, const fs_range &b) {
        if (a.type != b.type)
            return a.type < b.type;
        return a.first < b.first;
    });
}
