// fs_parser on handcrafted superblocks: range arithmetic, normalisation,
// refusal of damaged superblocks and the messages that reach the entry point.
#include <gtest/gtest.h>

#include <sstream>

#include "fs_parser/fs_parser.h"
#include "test_fs_parser_helpers.h"
#include "test_support.h"

using namespace fs_parser_test;
using test_support::temp_dir;

namespace {

fs_range ext4(uint64_t first, uint64_t second)
{
    return {first, second, ENUM_FS_TYPE_EXT4, 0, 0};
}
fs_range xfs(uint64_t first, uint64_t second)
{
    return {first, second, ENUM_FS_TYPE_XFS, 0, 0};
}

bool same(const std::vector<fs_range> &a, const std::vector<fs_range> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].first != b[i].first || a[i].second != b[i].second || a[i].type != b[i].type ||
            a[i].mount_sb != b[i].mount_sb)
            return false;
    return true;
}

const std::vector<fs_range> SENTINEL{ext4(1, 2)};

// Runs get_fs_ranges and returns what() of the exception, or "" on success.
std::string fs_ranges_error(const std::string &path, std::vector<fs_range> &ranges,
                            fs_range &module, bool whole)
{
    try {
        get_fs_ranges(path, ranges, module, whole);
    } catch (const fs_parser_exception &e) {
        return e.what();
    }
    return "";
}

class FsParserFiles : public ::testing::Test {
  protected:
    void SetUp() override { load_fake_kallsyms(dir.path(), true, true); }
    void TearDown() override { mask = 0; }
    std::string image(const std::vector<uint8_t> &bytes, const std::string &name = "image")
    {
        const auto path = dir.path() / name;
        write_bytes(path, bytes);
        return path.string();
    }
    // The example geometry: groups g = 0..7 at blocks 100 + 1000 g onwards.
    static ext4_image eight_groups()
    {
        ext4_image img;
        for (uint64_t g = 0; g < 8; ++g)
            img.groups.push_back({100 + 1000 * g, 101 + 1000 * g, 102 + 1000 * g});
        return img;
    }
    temp_dir dir;
};

} // namespace

TEST(MergeFsRanges, NormalisesAsDocumented)
{
    std::vector<fs_range> touching{ext4(0, 4096), ext4(4096, 8192)};
    merge_fs_ranges(touching);
    EXPECT_TRUE(same(touching, {ext4(0, 8192)}));

    std::vector<fs_range> two_types{xfs(0, 10), ext4(5, 20)};
    merge_fs_ranges(two_types);
    EXPECT_TRUE(same(two_types, {ext4(5, 20), xfs(0, 10)}));

    std::vector<fs_range> empty_tail{ext4(0, 4096), ext4(4096, 4096)};
    merge_fs_ranges(empty_tail);
    EXPECT_TRUE(same(empty_tail, {ext4(0, 4096)}));

    std::vector<fs_range> contained{ext4(8, 9), ext4(0, 100)};
    merge_fs_ranges(contained);
    EXPECT_TRUE(same(contained, {ext4(0, 100)}));

    std::vector<fs_range> gap{ext4(10, 20), ext4(0, 9)};
    merge_fs_ranges(gap);
    EXPECT_TRUE(same(gap, {ext4(0, 9), ext4(10, 20)}));
}

TEST(MergeFsRanges, OneRangeAndEmptyListStayAsTheyAre)
{
    std::vector<fs_range> one{ext4(7, 3)}; // even an inverted range is left alone
    merge_fs_ranges(one);
    EXPECT_TRUE(same(one, {ext4(7, 3)}));
    std::vector<fs_range> none;
    merge_fs_ranges(none);
    EXPECT_TRUE(none.empty());
}

TEST(MergeFsRanges, MergedRangeKeepsMountMarkOfItsFirstRange)
{
    fs_range a = ext4(0, 10), b = ext4(5, 30);
    a.mount_sb = 0xaaa;
    b.mount_sb = 0xbbb;
    std::vector<fs_range> list{b, a};
    merge_fs_ranges(list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].second, 30u);
    EXPECT_EQ(list[0].mount_sb, 0xaaau);
}

TEST(FsParserException, CarriesPrefixAndSurvivesCopy)
{
    fs_parser_exception e("unknown fs type.");
    fs_parser_exception copy = e;
    EXPECT_STREQ(copy.what(), "fs_parser error: unknown fs type.");
}

TEST_F(FsParserFiles, Ext4ExampleGeometryGivesHeaderAndGroupRanges)
{
    std::vector<fs_range> ranges;
    ASSERT_TRUE(get_ext4_metadata_range(image(eight_groups().bytes()), ranges));
    std::vector<fs_range> expected{ext4(0, 8192)};
    // T = 512 blocks of inode table; bitmaps and table follow each other.
    for (uint64_t g = 0; g < 8; ++g)
        expected.push_back(ext4((100 + 1000 * g) * 4096, (102 + 1000 * g + 512) * 4096));
    EXPECT_TRUE(same(ranges, expected)) << ::testing::PrintToString(ranges);
}

TEST_F(FsParserFiles, Ext4HighHalvesOnlyInLargeDescriptors)
{
    ext4_image img = eight_groups();
    img.groups[7] = {(uint64_t{1} << 32) + 5, (uint64_t{1} << 32) + 6, (uint64_t{2} << 32) + 7};
    std::vector<fs_range> ranges;
    ASSERT_TRUE(get_ext4_metadata_range(image(img.bytes()), ranges));
    ASSERT_EQ(ranges.size(), 10u);
    EXPECT_EQ(ranges[8].first, ((uint64_t{1} << 32) + 5) * 4096);
    EXPECT_EQ(ranges[8].second, ((uint64_t{1} << 32) + 7) * 4096);
    EXPECT_EQ(ranges[9].first, ((uint64_t{2} << 32) + 7) * 4096);

    // Without the 64bit feature descriptors are 32 bytes: read with that stride,
    // and the bytes at 32..43 belong to the next descriptor, not to high halves.
    img = eight_groups();
    img.feature_incompat = 0x40;
    img.desc_size = 0;
    ASSERT_TRUE(get_ext4_metadata_range(image(img.bytes()), ranges));
    std::vector<fs_range> expected{ext4(0, 8192)};
    for (uint64_t g = 0; g < 8; ++g)
        expected.push_back(ext4((100 + 1000 * g) * 4096, (102 + 1000 * g + 512) * 4096));
    EXPECT_TRUE(same(ranges, expected)) << ::testing::PrintToString(ranges);
}

TEST_F(FsParserFiles, Ext4OneKibBlocksPutTheTableAfterTheSuperblockBlock)
{
    ext4_image img;
    img.log_block_size = 0;
    img.first_data_block = 1;
    img.inodes = 2048;
    img.inodes_per_group = 1024;
    img.inode_size = 128;
    img.reserved_gdt_blocks = 3;
    img.groups = {{50, 51, 52}, {9000, 9001, 9002}};
    std::vector<fs_range> ranges;
    ASSERT_TRUE(get_ext4_metadata_range(image(img.bytes()), ranges));
    // Blocks 0-1 (boot block, superblock), 2 (table), 3-5 (reserved).
    EXPECT_TRUE(same(ranges, {ext4(0, 6 * 1024), ext4(50 * 1024, (52 + 128) * 1024),
                              ext4(9000 * 1024, (9002 + 128) * 1024)}))
        << ::testing::PrintToString(ranges);

    img.first_data_block = 0; // not what a 1 KiB file system without bigalloc has
    EXPECT_THROW(get_ext4_metadata_range(image(img.bytes()), ranges), fs_parser_exception);
    img.feature_ro_compat = 0x200; // bigalloc: 0 is right, the superblock still fills block 1
    ASSERT_TRUE(get_ext4_metadata_range(image(img.bytes()), ranges));
    EXPECT_EQ(ranges.front().second, 6u * 1024);
}

TEST_F(FsParserFiles, Ext4WithoutInodesHasOnlyHeaderRanges)
{
    ext4_image img;
    img.inodes = 0;
    img.reserved_gdt_blocks = 4;
    std::vector<fs_range> ranges;
    ASSERT_TRUE(get_ext4_metadata_range(image(img.bytes()), ranges));
    EXPECT_TRUE(same(ranges, {ext4(0, 5 * 4096)}));
}

TEST_F(FsParserFiles, Ext4RefusesUncleanOrForeignSuperblocks)
{
    for (uint16_t state : {0, 3}) {
        ext4_image img = eight_groups();
        img.state = state;
        const std::string path = image(img.bytes());
        std::vector<fs_range> ranges = SENTINEL;
        EXPECT_FALSE(get_ext4_metadata_range(path, ranges)) << state;
        EXPECT_FALSE(get_ext4_range(path, ranges)) << state;
        EXPECT_TRUE(same(ranges, SENTINEL));
    }
    ext4_image img = eight_groups();
    img.magic = 0xEF54;
    std::vector<fs_range> ranges = SENTINEL;
    EXPECT_FALSE(get_ext4_metadata_range(image(img.bytes()), ranges));
    EXPECT_FALSE(get_ext4_range(image(img.bytes()), ranges));
    EXPECT_FALSE(get_ext4_range((dir.path() / "missing").string(), ranges));
    EXPECT_TRUE(same(ranges, SENTINEL));
}

TEST_F(FsParserFiles, Ext4ImplausibleSuperblocksThrow)
{
    std::vector<fs_range> ranges = SENTINEL;
    ext4_image no_inodes_per_group = eight_groups();
    no_inodes_per_group.inodes_per_group = 0;
    EXPECT_THROW(get_ext4_metadata_range(image(no_inodes_per_group.bytes()), ranges),
                 fs_parser_exception);

    ext4_image huge_blocks = eight_groups();
    huge_blocks.log_block_size = 7;
    EXPECT_THROW(get_ext4_metadata_range(image(huge_blocks.bytes()), ranges), fs_parser_exception);
    EXPECT_THROW(get_ext4_range(image(huge_blocks.bytes()), ranges), fs_parser_exception);

    for (uint16_t size : {0, 32, 48, 2048}) {
        ext4_image bad_desc = eight_groups();
        bad_desc.desc_size = size;
        bad_desc.size = 1 << 20;
        EXPECT_THROW(get_ext4_metadata_range(image(bad_desc.bytes()), ranges), fs_parser_exception)
            << size;
    }
    EXPECT_TRUE(same(ranges, SENTINEL));
}

TEST_F(FsParserFiles, Ext4DeviceShorterThanDescriptorTable)
{
    ext4_image img = eight_groups();
    img.size = 4096 + 5 * 64 + 10; // descriptors 5 to 7 are missing
    std::vector<fs_range> ranges = SENTINEL;
    EXPECT_FALSE(get_ext4_metadata_range(image(img.bytes()), ranges));
    EXPECT_TRUE(same(ranges, SENTINEL));
}

TEST_F(FsParserFiles, Ext4MetaBgDescriptorsLiveInTheirMetaGroups)
{
    // 1 KiB blocks, 16 descriptors per block, 32 groups of 64 blocks: the
    // primary table keeps descriptor block 0 (first_meta_bg 1); the block of
    // groups 16-31 sits at the start of group 16, which (sparse_super, even
    // group) has no superblock copy: block 1 + 16 * 64 = 1025.
    ext4_image img;
    img.log_block_size = 0;
    img.first_data_block = 1;
    img.blocks_per_group = 64;
    img.inodes_per_group = 16;
    img.inodes = 32 * 16;
    img.inode_size = 128; // two blocks of inode table per group
    img.feature_incompat |= 0x10;
    img.feature_ro_compat = 0x1;
    img.first_meta_bg = 1;
    img.size = 2 << 20;
    for (uint64_t g = 0; g < 32; ++g)
        img.groups.push_back({3000 + 10 * g, 3001 + 10 * g, 3002 + 10 * g});
    std::vector<uint8_t> bytes = img.bytes();
    std::fill(bytes.begin() + 3 * 1024, bytes.begin() + 4 * 1024, 0xee); // not the table
    for (uint64_t g = 16; g < 32; ++g)
        img.put_descriptor(bytes, 1025 * 1024 + (g - 16) * 64, img.groups[g]);

    std::vector<fs_range> ranges;
    ASSERT_TRUE(get_ext4_metadata_range(image(bytes), ranges));
    std::vector<fs_range> expected{ext4(0, 3 * 1024), ext4(1025 * 1024, 1026 * 1024)};
    for (uint64_t g = 0; g < 32; ++g)
        expected.push_back(ext4((3000 + 10 * g) * 1024, (3004 + 10 * g) * 1024));
    std::sort(expected.begin(), expected.end(),
              [](const fs_range &a, const fs_range &b) { return a.first < b.first; });
    EXPECT_TRUE(same(ranges, expected)) << ::testing::PrintToString(ranges);

    img.blocks_per_group = 0;
    EXPECT_THROW(get_ext4_metadata_range(image(img.bytes()), ranges), fs_parser_exception);
}

TEST_F(FsParserFiles, Ext4WholeRangeUsesHighBlockCountOnlyWith64bit)
{
    ext4_image img;
    img.blocks_lo = 16;
    img.blocks_hi = 2;
    std::vector<fs_range> ranges;
    ASSERT_TRUE(get_ext4_range(image(img.bytes()), ranges));
    EXPECT_TRUE(same(ranges, {ext4(0, ((uint64_t{2} << 32) + 16) * 4096)}));

    img.feature_incompat = 0x40;
    ASSERT_TRUE(get_ext4_range(image(img.bytes()), ranges));
    EXPECT_TRUE(same(ranges, {ext4(0, 16 * 4096)}));
}

TEST(ReadSuperblocks, FromStreams)
{
    ext4_image img;
    img.inodes = 1234;
    const auto ext4_bytes = img.bytes();
    std::istringstream ext4_stream(std::string(ext4_bytes.begin(), ext4_bytes.end()));
    ext4_superblock esb{};
    ASSERT_TRUE(read_ext4_superblock(ext4_stream, esb));
    EXPECT_EQ(esb.s_inodes_count, 1234u);
    EXPECT_EQ(esb.s_desc_size, 64u);

    std::istringstream short_stream(std::string(1500, '\0'));
    EXPECT_FALSE(read_ext4_superblock(short_stream, esb));

    xfs_image ximg;
    ximg.data_blocks = 0x0102030405060708;
    auto xfs_bytes = ximg.bytes();
    put_le(xfs_bytes, 224, 0xdeadbeef, 4); // the checksum is stored little-endian
    std::istringstream xfs_stream(std::string(xfs_bytes.begin(), xfs_bytes.end()));
    xfs_superblock xsb{};
    ASSERT_TRUE(read_xfs_superblock(xfs_stream, xsb));
    EXPECT_EQ(xsb.sb_blocksize, 4096u);
    EXPECT_EQ(xsb.sb_dblocks, 0x0102030405060708u);
    EXPECT_EQ(xsb.sb_agblocks, 65536u);
    EXPECT_EQ(xsb.sb_agcount, 4u);
    EXPECT_EQ(xsb.sb_crc, 0xdeadbeefu);

    std::istringstream truncated(std::string("XFSB") + std::string(200, '\0'));
    EXPECT_FALSE(read_xfs_superblock(truncated, xsb));
}

TEST_F(FsParserFiles, XfsGroupsLargerThanFourGiB)
{
    xfs_image img;
    img.ag_blocks = 2000000;
    img.ag_count = 4;
    std::vector<fs_range> ranges;
    ASSERT_TRUE(get_xfs_metadata_range(image(img.bytes()), ranges));
    EXPECT_TRUE(same(ranges, {xfs(0, 28672), xfs(8192000000, 8192028672),
                              xfs(16384000000, 16384028672), xfs(24576000000, 24576028672)}));
}

TEST_F(FsParserFiles, XfsDegenerateGroupCounts)
{
    xfs_image img;
    img.ag_count = 0;
    std::vector<fs_range> ranges = SENTINEL;
    ASSERT_TRUE(get_xfs_metadata_range(image(img.bytes()), ranges));
    EXPECT_TRUE(ranges.empty());

    img.ag_count = 10;
    img.ag_blocks = 7; // headers touch: one range
    ASSERT_TRUE(get_xfs_metadata_range(image(img.bytes()), ranges));
    EXPECT_TRUE(same(ranges, {xfs(0, 9 * 7 * 4096 + 7 * 4096)}));
}

TEST_F(FsParserFiles, XfsWholeRangeAndRefusal)
{
    xfs_image img;
    img.data_blocks = uint64_t{1} << 33;
    std::vector<fs_range> ranges;
    ASSERT_TRUE(get_xfs_range(image(img.bytes()), ranges));
    EXPECT_TRUE(same(ranges, {xfs(0, uint64_t{1} << 45)}));

    img.magic = "XFSC";
    ranges = SENTINEL;
    EXPECT_FALSE(get_xfs_range(image(img.bytes()), ranges));
    EXPECT_FALSE(get_xfs_metadata_range(image(img.bytes()), ranges));
    EXPECT_FALSE(get_xfs_metadata_range(image(std::vector<uint8_t>{'X', 'F', 'S', 'B'}), ranges));
    EXPECT_TRUE(same(ranges, SENTINEL));
}

TEST_F(FsParserFiles, DispatchMessages)
{
    std::vector<fs_range> ranges = SENTINEL;
    fs_range module{};
    EXPECT_EQ(fs_ranges_error(image(std::vector<uint8_t>(8192, 0)), ranges, module, false),
              "fs_parser error: unknown fs type.");
    EXPECT_EQ(fs_ranges_error((dir.path() / "missing").string(), ranges, module, false),
              "fs_parser error: unknown fs type.");

    ext4_image unclean = eight_groups();
    unclean.state = 3;
    EXPECT_EQ(fs_ranges_error(image(unclean.bytes()), ranges, module, false),
              "fs_parser error: can not get ext4's metadata range.");
    EXPECT_EQ(fs_ranges_error(image(unclean.bytes()), ranges, module, true),
              "fs_parser error: can not get ext4's range.");

    ext4_image no_inodes_per_group = eight_groups();
    no_inodes_per_group.inodes_per_group = 0;
    EXPECT_EQ(fs_ranges_error(image(no_inodes_per_group.bytes()), ranges, module, false),
              "fs_parser error: fs's superblock may have been corrupted.");
    EXPECT_TRUE(same(ranges, SENTINEL));

    ext4_image good = eight_groups();
    EXPECT_EQ(fs_ranges_error(image(good.bytes()), ranges, module, false), "");
    EXPECT_EQ(ranges.size(), 9u);
    EXPECT_EQ(module.type, ENUM_FS_TYPE_EXT4);
    EXPECT_EQ(module.first, 0xffffffffc0100000u);
    EXPECT_EQ(module.second, 0xffffffffc0180000u);

    xfs_image img;
    img.ag_count = 3;
    EXPECT_EQ(fs_ranges_error(image(img.bytes()), ranges, module, true), "");
    EXPECT_TRUE(same(ranges, {xfs(0, 262144ull * 4096)}));
    EXPECT_EQ(module.type, ENUM_FS_TYPE_XFS);
    EXPECT_EQ(module.first, 0xffffffffc0200000u);
}

TEST_F(FsParserFiles, MissingModuleOverwritesModuleRangeButNotRanges)
{
    load_fake_kallsyms(dir.path(), false, false);
    const std::string ext4_path = image(eight_groups().bytes(), "ext4");
    const std::string xfs_path = image(xfs_image().bytes(), "xfs");
    for (bool whole : {false, true}) {
        std::vector<fs_range> ranges = SENTINEL;
        fs_range module{1, 2, ENUM_FS_TYPE_UNKNOWN, 0, 0};
        EXPECT_EQ(fs_ranges_error(ext4_path, ranges, module, whole),
                  "fs_parser error: can not get ext4 module's address.");
        EXPECT_EQ(module.first, UINT64_MAX);
        EXPECT_EQ(module.second, 0u);
        EXPECT_EQ(module.type, ENUM_FS_TYPE_EXT4);
        EXPECT_TRUE(same(ranges, SENTINEL));

        module = fs_range{1, 2, ENUM_FS_TYPE_UNKNOWN, 0, 0};
        EXPECT_EQ(fs_ranges_error(xfs_path, ranges, module, whole),
                  "fs_parser error: can not get xfs module's address.");
        EXPECT_EQ(module.second, 0u);
        EXPECT_EQ(module.type, ENUM_FS_TYPE_XFS);
        EXPECT_TRUE(same(ranges, SENTINEL));
    }
}

TEST_F(FsParserFiles, DebugLineOnlyWithMaskBitZero)
{
    const std::string path = image(eight_groups().bytes());
    std::vector<fs_range> ranges;
    fs_range module{};

    mask = 2;
    testing::internal::CaptureStdout();
    get_fs_ranges(path, ranges, module, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    mask = 1;
    testing::internal::CaptureStdout();
    get_fs_ranges(path, ranges, module, false);
    const std::string out = testing::internal::GetCapturedStdout();
    // The first line is ours; the symbol table may add its own lookup line.
    EXPECT_EQ(out.substr(0, out.find('\n') + 1), path + " is ext4\n");

    testing::internal::CaptureStdout();
    get_fs_ranges(image(xfs_image().bytes(), "xfs"), ranges, module, false);
    const std::string xfs_out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(xfs_out.substr(0, xfs_out.find('\n') + 1),
              (dir.path() / "xfs").string() + " is xfs\n");
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(FsParserFiles, AllocationFailureBecomesCorruptionMessage)
{
    // 2^32 - 1 groups need 128 GiB of ranges: the allocation fails and must
    // not leave get_fs_ranges as anything but fs_parser_exception.
    xfs_image img;
    img.ag_count = UINT32_MAX;
    std::vector<fs_range> ranges = SENTINEL;
    fs_range module{};
    EXPECT_EQ(fs_ranges_error(image(img.bytes()), ranges, module, false),
              "fs_parser error: fs's superblock may have been corrupted.");
    EXPECT_TRUE(same(ranges, SENTINEL));
}
#endif
