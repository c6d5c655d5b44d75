// The watched set: one disk's table from the pieces of every watched file
// system, and mounted block devices from mountinfo.
#include <gtest/gtest.h>

#include <tuple>

#include "watch/mountinfo.h"
#include "watch/watch_set.h"

namespace {

constexpr uint32_t META = RANGE_KIND_METADATA;
constexpr uint32_t DATA = RANGE_KIND_DATA;

fs_range piece(uint64_t first, uint64_t second, uint32_t kind = META, uint64_t source = 1,
               ENUM_FS_TYPE type = ENUM_FS_TYPE_EXT4)
{
    return fs_range{first, second, type, kind, source};
}

using row = std::tuple<uint64_t, uint64_t, uint32_t, uint64_t>;

std::vector<row> rows(const std::vector<fs_range> &table)
{
    std::vector<row> out;
    for (const fs_range &r : table)
        out.emplace_back(r.first, r.second, r.kind, r.source);
    return out;
}

} // namespace

TEST(DiskTable, SortedDisjointAndMetadataFirst)
{
    struct example {
        const char *what;
        std::vector<fs_range> pieces;
        std::vector<row> table;
    };
    const std::vector<example> examples = {
        {"unsorted pieces of one file system; touching ones merge",
         {piece(8192, 9000), piece(0, 4096), piece(4096, 8192)},
         {{0, 9000, META, 1}}},
        {"-a: file data around metadata is cut where metadata lies",
         {piece(0, 100, DATA), piece(10, 20), piece(50, 60)},
         {{0, 10, DATA, 1},
          {10, 20, META, 1},
          {20, 50, DATA, 1},
          {50, 60, META, 1},
          {60, 100, DATA, 1}}},
        {"two file systems claiming the same bytes: the first piece counts",
         {piece(0, 100, META, 1), piece(50, 150, META, 2)},
         {{0, 100, META, 1}, {100, 150, META, 2}}},
        {"touching pieces of two file systems stay apart",
         {piece(0, 100, META, 1), piece(100, 200, META, 2)},
         {{0, 100, META, 1}, {100, 200, META, 2}}},
        {"empty and contained pieces vanish",
         {piece(5, 5), piece(0, 100), piece(10, 20)},
         {{0, 100, META, 1}}},
        {"data wholly under metadata vanishes",
         {piece(0, 100), piece(10, 90, DATA)},
         {{0, 100, META, 1}}},
    };
    for (const auto &e : examples)
        EXPECT_EQ(rows(build_disk_table(e.pieces)), e.table) << e.what;
}

TEST(WatchSet, TablesPerDiskWithTheSourceOfEachRange)
{
    watch_set watched;
    auto disk = [](uint8_t id, std::vector<fs_range> ranges) {
        device_range d{};
        d.wwid.buf[0] = id;
        d.ranges = std::move(ranges);
        return d;
    };
    watched_fs a;
    a.type = ENUM_FS_TYPE_EXT4;
    a.disks = {disk(1, {piece(0, 10, META, 0)}), disk(2, {piece(0, 20, META, 0)})};
    watched_fs b;
    b.type = ENUM_FS_TYPE_XFS;
    b.disks = {disk(1, {piece(100, 200, META, 0, ENUM_FS_TYPE_XFS)})};
    const uint64_t id_a = watched.add(a), id_b = watched.add(b);

    auto tables = watched.disk_tables();
    ASSERT_EQ(tables.size(), 2u);
    wwid_t one{};
    one.buf[0] = 1;
    EXPECT_EQ(rows(tables[key_of(one)]),
              (std::vector<row>{{0, 10, META, id_a}, {100, 200, META, id_b}}));
    EXPECT_EQ(watched.fs_types(), (std::set<ENUM_FS_TYPE>{ENUM_FS_TYPE_EXT4, ENUM_FS_TYPE_XFS}));

    // A re-resolution replaces what is known of a file system; its id stays.
    a.disks = {disk(2, {piece(40, 50, META, 0)})};
    watched.replace(id_a, a);
    tables = watched.disk_tables();
    EXPECT_EQ(rows(tables[key_of(one)]), (std::vector<row>{{100, 200, META, id_b}}));
}

TEST(Mountinfo, LinesOfTheKernel)
{
    mounted_device m;
    ASSERT_TRUE(parse_mountinfo_line(
        "36 35 8:17 / /mnt/with\\040space rw,noatime master:1 - ext4 /dev/sdb1 rw", m));
    EXPECT_EQ(std::tie(m.major, m.minor, m.fs_type, m.source, m.mount_point),
              std::make_tuple(8u, 17u, std::string("ext4"), std::string("/dev/sdb1"),
                              std::string("/mnt/with space")));
    ASSERT_TRUE(parse_mountinfo_line("40 1 253:3 / /srv rw - xfs /dev/mapper/vg-lv rw", m));
    EXPECT_EQ(std::tie(m.major, m.minor, m.fs_type), std::make_tuple(253u, 3u, std::string("xfs")));
    EXPECT_FALSE(parse_mountinfo_line("40 1 253:3 / /srv rw xfs /dev/x rw", m));
    EXPECT_FALSE(parse_mountinfo_line("40 1 nodev / /srv rw - xfs /dev/x rw", m));
}
