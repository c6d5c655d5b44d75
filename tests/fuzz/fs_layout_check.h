// What every fs_parser fuzz target asserts of an analysis of arbitrary bytes:
// it either refuses them with fs_parser_exception, or gives ranges that are
// non-empty, sorted, disjoint, merged and inside the device; the whole map
// covers [0, end) without a gap for an end within the device, and its
// metadata ranges are exactly those of the metadata map.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "fs_parser/fs_parser.h"

namespace fuzz_check {

[[noreturn]] inline void fail(const char *what, size_t index)
{
    std::fprintf(stderr, "fs_layout property broken: %s (range %zu)\n", what, index);
    std::abort();
}

inline void expect(bool holds, const char *what, size_t index = 0)
{
    if (!holds)
        fail(what, index);
}

inline std::optional<fs_layout> analyse(ENUM_FS_TYPE type, const device_file &device, bool whole)
{
    try {
        return get_fs_ranges_as(type, device, whole);
    } catch (const fs_parser_exception &) {
        return std::nullopt;
    }
}

inline void expect_well_formed(const fs_layout &layout, ENUM_FS_TYPE type, uint64_t device_size)
{
    expect(layout.type == type, "type of the layout");
    for (size_t i = 0; i < layout.ranges.size(); ++i) {
        const fs_range &r = layout.ranges[i];
        expect(r.type == type && r.source == 0, "type or source", i);
        expect(r.kind == RANGE_KIND_METADATA || r.kind == RANGE_KIND_DATA, "kind", i);
        expect(r.first < r.second, "empty or inverted", i);
        expect(r.second <= device_size, "past the device", i);
        if (i == 0)
            continue;
        const fs_range &previous = layout.ranges[i - 1];
        expect(previous.second <= r.first, "unsorted or overlapping", i);
        expect(previous.second < r.first || previous.kind != r.kind, "touching, not merged", i);
    }
}

// Analyses the device as a file system of the given type, with and without
// whole, and checks both answers against each other.
inline void check_analysis(ENUM_FS_TYPE type, const device_file &device)
{
    const std::optional<fs_layout> metadata = analyse(type, device, false);
    const std::optional<fs_layout> whole = analyse(type, device, true);
    expect(metadata.has_value() == whole.has_value(), "one mode refused, the other not");
    if (!metadata)
        return;
    expect_well_formed(*metadata, type, device.size());
    expect_well_formed(*whole, type, device.size());
    for (size_t i = 0; i < metadata->ranges.size(); ++i)
        expect(metadata->ranges[i].kind == RANGE_KIND_METADATA, "data in the metadata map", i);
    expect(whole->note == metadata->note, "notes differ");

    size_t metadata_index = 0;
    uint64_t covered = 0;
    for (size_t i = 0; i < whole->ranges.size(); ++i) {
        const fs_range &r = whole->ranges[i];
        expect(r.first == covered, "gap in the whole map", i);
        covered = r.second;
        if (r.kind != RANGE_KIND_METADATA)
            continue;
        expect(metadata_index < metadata->ranges.size(), "extra metadata in the whole map", i);
        const fs_range &m = metadata->ranges[metadata_index++];
        expect(m.first == r.first && m.second == r.second, "metadata differs in the whole map", i);
    }
    expect(metadata_index == metadata->ranges.size(), "metadata missing from the whole map");
}

} // namespace fuzz_check
