#include "fs_parser/range_map.h"

#include <algorithm>

#include "fs_parser/fs_parser.h"

namespace {

// Compaction never runs on lists shorter than this.
constexpr size_t MIN_COMPACTION_SIZE = 4096;

fs_range range_of(uint64_t first, uint64_t second, ENUM_FS_TYPE type, RANGE_KIND kind)
{
    return fs_range{first, second, type, static_cast<__u32>(kind), 0};
}

} // namespace

void range_collector::add(uint64_t first, uint64_t second)
{
    if (first >= second)
        return;
    if (!ranges_.empty()) {
        fs_range &last = ranges_.back();
        if (last.first <= first && first <= last.second) {
            last.second = std::max<uint64_t>(last.second, second);
            return;
        }
    }
    ranges_.push_back(range_of(first, second, type_, RANGE_KIND_METADATA));
    if (ranges_.size() >= std::max(MIN_COMPACTION_SIZE, 2 * compacted_size_))
        compact();
}

void range_collector::compact()
{
    merge_fs_ranges(ranges_);
    compacted_size_ = ranges_.size();
}

std::vector<fs_range> range_collector::take()
{
    compact();
    compacted_size_ = 0;
    std::vector<fs_range> taken = std::move(ranges_);
    ranges_.clear();
    return taken;
}

std::vector<fs_range> fill_with_data(const std::vector<fs_range> &metadata, uint64_t size,
                                     ENUM_FS_TYPE type)
{
    std::vector<fs_range> whole;
    whole.reserve(2 * metadata.size() + 1);
    uint64_t covered = 0;
    for (const fs_range &range : metadata) {
        if (covered < range.first)
            whole.push_back(range_of(covered, range.first, type, RANGE_KIND_DATA));
        whole.push_back(range);
        covered = range.second;
    }
    if (covered < size)
        whole.push_back(range_of(covered, size, type, RANGE_KIND_DATA));
    return whole;
}
