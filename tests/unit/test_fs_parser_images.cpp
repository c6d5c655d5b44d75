// fs_parser on file systems made by mkfs.ext4 and mkfs.xfs, checked against
// what dumpe2fs and xfs_db read from the same images.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "fs_parser/fs_parser.h"
#include "test_fs_parser_helpers.h"
#include "test_support.h"

using namespace fs_parser_test;
using test_support::loop_device;
using test_support::run;
using test_support::temp_dir;

namespace {

// What dumpe2fs reports about an ext4 image.
struct dumpe2fs_layout {
    uint64_t block_size = 0;
    uint64_t block_count = 0;
    uint64_t groups = 0;
    span_list metadata; // union of the ranges the map must cover
};

// Finds label in line and reads the number after it, and with last the number
// after a following '-' (dumpe2fs writes block spans as "first-last").
bool read_after(const std::string &line, const std::string &label, uint64_t &first,
                uint64_t *last = nullptr)
{
    const size_t at = line.find(label);
    if (at == std::string::npos)
        return false;
    const char *text = line.c_str() + at + label.size();
    char *end = nullptr;
    first = std::strtoull(text, &end, 10);
    if (end == text)
        return false;
    if (last == nullptr)
        return true;
    if (*end != '-')
        return false;
    text = end + 1;
    *last = std::strtoull(text, &end, 10);
    return end != text;
}

dumpe2fs_layout read_dumpe2fs(const std::string &image)
{
    const auto result = run("dumpe2fs '" + image + "'");
    EXPECT_EQ(result.status, 0) << result.err;
    dumpe2fs_layout layout;
    span_list blocks; // [first block, end block)
    uint64_t group = UINT64_MAX, a = 0, b = 0, descriptor_size = 32;
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("Block size:", 0) == 0)
            read_after(line, "Block size:", layout.block_size);
        if (line.rfind("Block count:", 0) == 0)
            read_after(line, "Block count:", layout.block_count);
        if (line.rfind("Group descriptor size:", 0) == 0)
            read_after(line, "Group descriptor size:", descriptor_size);
        else if (line.rfind("Group ", 0) == 0 && read_after(line, "Group ", group))
            layout.groups++;
        if (read_after(line, "Primary superblock at ", a))
            blocks.emplace_back(0, a + 1);
        if (group == 0 && read_after(line, "Group descriptors at ", a, &b))
            blocks.emplace_back(a, b + 1);
        // meta_bg: the first group of each meta group holds its primary copy.
        if (group != UINT64_MAX && layout.block_size >= descriptor_size &&
            group % (layout.block_size / descriptor_size) == 0 &&
            read_after(line, "Group descriptor at ", a))
            blocks.emplace_back(a, a + 1);
        if (group == 0 && read_after(line, "Reserved GDT blocks at ", a, &b))
            blocks.emplace_back(a, b + 1);
        if (read_after(line, "Block bitmap at ", a))
            blocks.emplace_back(a, a + 1);
        if (read_after(line, "Inode bitmap at ", a))
            blocks.emplace_back(a, a + 1);
        if (read_after(line, "Inode table at ", a, &b))
            blocks.emplace_back(a, b + 1);
    }
    for (span &s : blocks)
        s = {s.first * layout.block_size, s.second * layout.block_size};
    layout.metadata = union_of(blocks);
    return layout;
}

// What xfs_db reports about an xfs image.
struct xfs_db_layout {
    uint64_t blocksize = 0, agblocks = 0, agcount = 0, dblocks = 0;
    span_list metadata() const
    {
        span_list spans;
        for (uint64_t g = 0; g < agcount; ++g)
            spans.emplace_back(g * agblocks * blocksize, (g * agblocks + 7) * blocksize);
        return union_of(spans);
    }
};

xfs_db_layout read_xfs_db(const std::string &image)
{
    const auto result =
        run("xfs_db -r -c 'sb 0' -c 'p blocksize agblocks agcount dblocks' '" + image + "'");
    EXPECT_EQ(result.status, 0) << result.err;
    xfs_db_layout layout;
    std::istringstream lines(result.out);
    std::string name, equals;
    uint64_t value = 0;
    while (lines >> name >> equals >> value) {
        if (name == "blocksize")
            layout.blocksize = value;
        else if (name == "agblocks")
            layout.agblocks = value;
        else if (name == "agcount")
            layout.agcount = value;
        else if (name == "dblocks")
            layout.dblocks = value;
    }
    EXPECT_NE(layout.blocksize, 0u) << result.out;
    return layout;
}

class FsParserImages : public ::testing::Test {
  protected:
    void SetUp() override
    {
        REQUIRE_OR_SKIP(
            test_support::have_program("mkfs.ext4") && test_support::have_program("dumpe2fs") &&
                test_support::have_program("mkfs.xfs") && test_support::have_program("xfs_db"),
            "e2fsprogs and xfsprogs are needed");
        load_fake_kallsyms(dir.path(), true, true);
    }

    // A sparse file of the given size formatted by the given mkfs command line.
    std::string make_image(const std::string &name, const std::string &size,
                           const std::string &mkfs)
    {
        const std::string path = (dir.path() / name).string();
        const auto result =
            run("truncate -s " + size + " '" + path + "' && " + mkfs + " '" + path + "'");
        EXPECT_EQ(result.status, 0) << mkfs << ": " << result.err;
        return path;
    }

    std::string make_ext4(const std::string &name, const std::string &size,
                          const std::string &options = "")
    {
        return make_image(name, size, "mkfs.ext4 -q -F -E lazy_itable_init=1,nodiscard " + options);
    }

    std::string make_xfs(const std::string &name, const std::string &size,
                         const std::string &options = "")
    {
        return make_image(name, size, "mkfs.xfs -q -f -K " + options);
    }

    static std::vector<fs_range> ranges_of(const std::string &path, bool whole = false)
    {
        std::vector<fs_range> ranges;
        fs_range module{};
        get_fs_ranges(path, ranges, module, whole);
        return ranges;
    }

    static void expect_type(const std::vector<fs_range> &ranges, ENUM_FS_TYPE type)
    {
        for (const fs_range &r : ranges) {
            EXPECT_EQ(r.type, type);
            EXPECT_EQ(r.mount_sb, 0u);
        }
    }

    // The ext4 map equals what dumpe2fs lists; returns dumpe2fs's view.
    dumpe2fs_layout expect_ext4_matches_dumpe2fs(const std::string &path)
    {
        const dumpe2fs_layout layout = read_dumpe2fs(path);
        const std::vector<fs_range> ranges = ranges_of(path);
        expect_type(ranges, ENUM_FS_TYPE_EXT4);
        EXPECT_EQ(spans_of(ranges), layout.metadata);
        EXPECT_EQ(spans_of(ranges_of(path, true)),
                  span_list({{0, layout.block_count * layout.block_size}}));
        return layout;
    }

    void expect_xfs_matches_xfs_db(const std::string &path, uint64_t blocksize, uint64_t agcount)
    {
        const xfs_db_layout layout = read_xfs_db(path);
        EXPECT_EQ(layout.blocksize, blocksize);
        EXPECT_EQ(layout.agcount, agcount);
        const std::vector<fs_range> ranges = ranges_of(path);
        expect_type(ranges, ENUM_FS_TYPE_XFS);
        EXPECT_EQ(spans_of(ranges), layout.metadata());
        EXPECT_EQ(spans_of(ranges_of(path, true)),
                  span_list({{0, layout.blocksize * layout.dblocks}}));
    }

    temp_dir dir;
};

} // namespace

TEST_F(FsParserImages, Ext4Default64bit)
{
    const std::string path = make_ext4("default.img", "1G");
    ASSERT_EQ(run("dumpe2fs -h '" + path + "' | grep -q '64bit'").status, 0);
    const dumpe2fs_layout layout = expect_ext4_matches_dumpe2fs(path);
    EXPECT_EQ(layout.block_size, 4096u);
}

TEST_F(FsParserImages, Ext4OneKibBlocks)
{
    const std::string path = make_ext4("1k.img", "256M", "-b 1024");
    const dumpe2fs_layout layout = expect_ext4_matches_dumpe2fs(path);
    EXPECT_EQ(layout.block_size, 1024u);
    // Boot block and superblock, then the descriptor table from block 2.
    EXPECT_EQ(ranges_of(path).front().first, 0u);
    // bigalloc numbers the first data block 0, yet the superblock still fills block 1.
    expect_ext4_matches_dumpe2fs(
        make_ext4("1k-bigalloc.img", "1G", "-b 1024 -O bigalloc -C 16384"));
}

TEST_F(FsParserImages, Ext4Without64bit)
{
    expect_ext4_matches_dumpe2fs(make_ext4("no64.img", "1G", "-O ^64bit"));
    expect_ext4_matches_dumpe2fs(make_ext4("no64-1k.img", "256M", "-b 1024 -O ^64bit"));
}

TEST_F(FsParserImages, Ext4OtherGeometries)
{
    expect_ext4_matches_dumpe2fs(make_ext4("2k.img", "512M", "-b 2048"));
    expect_ext4_matches_dumpe2fs(make_ext4("desc128.img", "1G", "-E desc_size=128"));
    expect_ext4_matches_dumpe2fs(make_ext4("bigalloc.img", "2G", "-O bigalloc"));
}

TEST_F(FsParserImages, Ext4MetaBg)
{
    // 1 KiB blocks: 16 descriptors per block, so 256 groups form 16 meta groups.
    const std::string one_k = make_ext4("meta1k.img", "2G", "-b 1024 -O meta_bg,^resize_inode");
    ASSERT_EQ(run("dumpe2fs -h '" + one_k + "' | grep -q 'meta_bg'").status, 0);
    expect_ext4_matches_dumpe2fs(one_k);
    expect_ext4_matches_dumpe2fs(
        make_ext4("meta1k-32.img", "2G", "-b 1024 -O meta_bg,^resize_inode,^64bit,^flex_bg"));
    expect_ext4_matches_dumpe2fs(make_ext4("meta4k.img", "12G", "-O meta_bg,^resize_inode"));
    // Without sparse_super every group keeps a superblock copy before its descriptors.
    expect_ext4_matches_dumpe2fs(
        make_ext4("meta-nosparse.img", "1G", "-b 1024 -O meta_bg,^resize_inode,^sparse_super"));
}

TEST_F(FsParserImages, Ext4WithoutFlexBgHasOneRangePerGroup)
{
    const std::string path = make_ext4("noflex.img", "2G", "-O ^flex_bg");
    const dumpe2fs_layout layout = expect_ext4_matches_dumpe2fs(path);
    EXPECT_EQ(layout.groups, 16u);
    EXPECT_EQ(ranges_of(path).size(), layout.groups);
}

TEST_F(FsParserImages, Ext4WithMoreThan128Ranges)
{
    const std::string path = make_ext4("many.img", "2G", "-b 1024 -O ^flex_bg,^resize_inode");
    const dumpe2fs_layout layout = expect_ext4_matches_dumpe2fs(path);
    EXPECT_GT(ranges_of(path).size(), 128u);
    EXPECT_EQ(ranges_of(path).size(), layout.groups);
}

TEST_F(FsParserImages, Ext4RecognisedBeforeAnXfsMagic)
{
    const std::string path = make_ext4("xfsb.img", "256M");
    const std::vector<fs_range> before = ranges_of(path);
    // ext4 leaves the first 1024 bytes alone: libblkid still sees ext4 there.
    ASSERT_EQ(run("printf XFSB | dd of='" + path + "' conv=notrunc status=none").status, 0);
    ASSERT_TRUE(is_xfs(path));
    ASSERT_TRUE(is_ext4(path));
    std::vector<fs_range> ranges;
    fs_range module{};
    get_fs_ranges(path, ranges, module, false);
    EXPECT_EQ(module.type, ENUM_FS_TYPE_EXT4);
    EXPECT_EQ(spans_of(ranges), spans_of(before));
    EXPECT_EQ(spans_of(ranges), read_dumpe2fs(path).metadata);
}

TEST_F(FsParserImages, Ext3AndExt2AreUnknown)
{
    for (const char *mkfs : {"mkfs.ext3", "mkfs.ext2"}) {
        const std::string path =
            make_image(std::string(mkfs) + ".img", "64M", std::string(mkfs) + " -q -F");
        EXPECT_FALSE(is_ext4(path));
        std::vector<fs_range> ranges;
        fs_range module{};
        try {
            get_fs_ranges(path, ranges, module, false);
            ADD_FAILURE() << mkfs << " image accepted";
        } catch (const fs_parser_exception &e) {
            EXPECT_STREQ(e.what(), "fs_parser error: unknown fs type.");
        }
    }
}

TEST_F(FsParserImages, XfsAllocationGroupCounts)
{
    for (uint64_t agcount : {2, 4, 7, 32}) {
        SCOPED_TRACE(agcount);
        const std::string path = make_xfs("ag" + std::to_string(agcount) + ".img", "8G",
                                          "-d agcount=" + std::to_string(agcount));
        expect_xfs_matches_xfs_db(path, 4096, agcount);
    }
}

TEST_F(FsParserImages, XfsOneKibBlocks)
{
    expect_xfs_matches_xfs_db(make_xfs("1k.img", "1G", "-b size=1024"), 1024, 4);
    expect_xfs_matches_xfs_db(make_xfs("1k-many.img", "20G", "-b size=1024 -d agcount=200"), 1024,
                              200);
}

TEST_F(FsParserImages, BlockDeviceGivesTheSameRangesAsItsImage)
{
    REQUIRE_OR_SKIP(test_support::loop_devices_available(), "needs root and loop devices");
    for (const std::string &path : {make_ext4("loop.ext4", "512M"), make_xfs("loop.xfs", "1G")}) {
        loop_device loop(path);
        ASSERT_TRUE(loop.ok());
        EXPECT_EQ(spans_of(ranges_of(loop.device())), spans_of(ranges_of(path)));
        EXPECT_EQ(spans_of(ranges_of(loop.device(), true)), spans_of(ranges_of(path, true)));
    }
}

// corvane itself on a loop device: the debug listing shows the map, cut to 128
// ranges. Loop devices resolve to no SCSI disk, so nothing is monitored.
TEST_F(FsParserImages, CorvaneListsTheMapOfALoopDevice)
{
    REQUIRE_OR_SKIP(test_support::loop_devices_available(), "needs root and loop devices");
    for (const std::string &path :
         {make_ext4("e2e.ext4", "2G", "-b 1024 -O ^flex_bg"), make_xfs("e2e.xfs", "1G")}) {
        SCOPED_TRACE(path);
        loop_device loop(path);
        ASSERT_TRUE(loop.ok());
        const auto result = run(std::string(CORVANE_BINARY) + " -m 1 " + loop.device());
        EXPECT_EQ(result.status, 0) << result.err;

        span_list listed;
        std::istringstream lines(result.out);
        std::string line;
        uint64_t first = 0, second = 0;
        while (std::getline(lines, line))
            if (line.rfind("fs range:[", 0) == 0 && read_after(line, "fs range:[", first) &&
                read_after(line, ", ", second) && line.back() == ')')
                listed.emplace_back(first, second);

        span_list expected = spans_of(ranges_of(path));
        if (expected.size() > MAX_RANGE_COUNT)
            expected.resize(MAX_RANGE_COUNT);
        EXPECT_EQ(listed, expected) << result.out;
        EXPECT_NE(result.out.find("dev num: 7:"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("module range:["), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("No file system needs to be monitored."), std::string::npos)
            << result.out;
    }
}
