// Building blocks shared by the ext4 and xfs analyses: a collector that keeps
// the metadata ranges short while they are gathered, and what an analysis
// hands back to the dispatch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/common.h"

// What one file-system analysis found: its metadata (byte offsets on the
// device, sorted, disjoint, merged), the file system's size from the start of
// the device, and an optional note about its state.
struct fs_metadata {
    std::vector<fs_range> ranges;
    uint64_t size = 0;
    std::string note;
};

// Gathers metadata ranges of one file-system type. Ranges arrive mostly in
// order and touching (one group after the other), so each is merged into the
// previous one where possible; when the list still grows, it is sorted and
// merged again, so that memory follows the distinct ranges, not the number of
// additions (a damaged descriptor table may name the same blocks many times).
class range_collector {
  public:
    explicit range_collector(ENUM_FS_TYPE type) : type_(type) {}
    // Adds [first, second); empty ranges are ignored.
    void add(uint64_t first, uint64_t second);
    // The ranges sorted, disjoint and merged; the collector is left empty.
    std::vector<fs_range> take();

  private:
    void compact();

    ENUM_FS_TYPE type_;
    std::vector<fs_range> ranges_;
    size_t compacted_size_ = 0;
};

// Metadata plus RANGE_KIND_DATA ranges in every gap, so that together they
// cover [0, size) exactly. metadata must be sorted, disjoint and inside [0, size).
std::vector<fs_range> fill_with_data(const std::vector<fs_range> &metadata, uint64_t size,
                                     ENUM_FS_TYPE type);
