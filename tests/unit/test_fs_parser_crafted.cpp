// fs_parser on damaged file systems: mkfs images with one field made
// impossible each. Every one is refused as corrupted, and all of them
// together within a fixed memory bound, whatever size the field claims.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "fs_parser/fs_parser.h"
#include "test_support.h"

using test_support::run;

namespace {

const std::string CORRUPTED = "fs_parser error: fs's superblock may have been corrupted.";
// Far above what the analysis of these small images needs, far below what
// trusting any of the fields would take (100,000,000 groups alone: 3 GiB).
constexpr long MAX_RSS_KIB = 256 * 1024;

// Writes value as width bytes at offset, little- or big-endian.
void poke(const std::string &path, uint64_t offset, uint64_t value, int width,
          bool big_endian = false)
{
    uint8_t bytes[8];
    for (int i = 0; i < width; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * (big_endian ? width - 1 - i : i)));
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(pwrite(fd, bytes, width, static_cast<off_t>(offset)), width);
    close(fd);
}

std::string analysis_error(const std::string &path, bool whole)
{
    try {
        get_fs_ranges(device_file::open(path, false), whole);
    } catch (const fs_parser_exception &e) {
        return e.what();
    }
    return "";
}

uint64_t number_after(const std::string &text, const std::string &label)
{
    const size_t at = text.find(label);
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + label.size()));
}

struct damage {
    const char *what;
    std::function<void(const std::string &)> apply;
};

class FsParserCrafted : public ::testing::Test {
  protected:
    void SetUp() override
    {
        for (const char *tool : {"mkfs.ext4", "dumpe2fs", "mkfs.xfs"})
            REQUIRE_OR_SKIP(test_support::have_program(tool), tool << " is needed");
    }

    // A fresh copy of a pristine image, so that each damage stands alone.
    std::string copy_of(const std::string &pristine, const std::string &name)
    {
        const std::string path = (dir.path() / name).string();
        EXPECT_EQ(run("cp --sparse=always '" + pristine + "' '" + path + "'").status, 0);
        return path;
    }

    void expect_all_refused(const std::string &pristine, const std::vector<damage> &damages)
    {
        ASSERT_EQ(analysis_error(pristine, false), "");
        for (const damage &d : damages) {
            SCOPED_TRACE(d.what);
            const std::string path = copy_of(pristine, "damaged");
            d.apply(path);
            EXPECT_EQ(analysis_error(path, false), CORRUPTED);
            EXPECT_EQ(analysis_error(path, true), CORRUPTED);
        }
    }

    test_support::temp_dir dir;
};

} // namespace

TEST_F(FsParserCrafted, ImpossibleExt4GeometryIsRefused)
{
    // 4 KiB blocks, one group, a 1024-block journal in one extent.
    const std::string pristine = (dir.path() / "ext4.img").string();
    ASSERT_EQ(run("truncate -s 64M '" + pristine + "' && mkfs.ext4 -q -F -b 4096 -O 64bit '" +
                  pristine + "'")
                  .status,
              0);
    const auto dump = run("dumpe2fs '" + pristine + "' 2>/dev/null");
    const uint64_t block = 4096, blocks = number_after(dump.out, "Block count:");
    const uint64_t inode_table = number_after(dump.out, "Inode table at ");
    ASSERT_EQ(number_after(dump.out, "Journal inode:"), 8u);
    ASSERT_GT(inode_table, 0u);
    const uint64_t sb = 1024;
    // Inode 8 (256 bytes each): its i_block holds the extent tree root.
    const uint64_t journal = inode_table * block + 7 * 256;
    const uint64_t root = journal + 40, first_entry = root + 12;
    const uint64_t spare = blocks - 16; // a free block for a tree node

    auto field = [&](uint64_t offset, uint64_t value, int width) {
        return [=](const std::string &path) { poke(path, offset, value, width); };
    };
    // A root of the given depth whose one index entry leads to the spare
    // block, which holds the node written by node.
    auto tree = [&](uint16_t depth, const std::function<void(const std::string &)> &node) {
        return [=](const std::string &path) {
            poke(path, root + 2, 1, 2); // entries
            poke(path, root + 6, depth, 2);
            poke(path, first_entry, 0, 4);
            poke(path, first_entry + 4, spare, 4);
            poke(path, first_entry + 8, 0, 2);
            node(path);
        };
    };
    // A node in the spare block with one entry: an index entry to child, or
    // at depth 0 an extent of one block at child.
    auto node = [&](uint16_t depth, uint64_t child) {
        return [=](const std::string &path) {
            const uint64_t at = spare * block;
            poke(path, at, 0xF30A, 2);
            poke(path, at + 2, 1, 2);
            poke(path, at + 4, 340, 2);
            poke(path, at + 6, depth, 2);
            poke(path, at + 12, 0, 4);
            if (depth == 0) {
                poke(path, at + 16, 1, 2); // length
                poke(path, at + 18, 0, 2);
                poke(path, at + 20, child, 4);
            } else {
                poke(path, at + 16, child, 4);
                poke(path, at + 20, 0, 2);
            }
        };
    };

    // The same helpers make a tree that holds.
    const std::string valid = copy_of(pristine, "valid");
    tree(1, node(0, spare - 1))(valid);
    const fs_layout layout = get_fs_ranges(device_file::open(valid, false), false);
    EXPECT_TRUE(std::any_of(layout.ranges.begin(), layout.ranges.end(), [&](const fs_range &r) {
        return r.first <= (spare - 1) * block && (spare + 1) * block <= r.second;
    }));

    expect_all_refused(
        pristine,
        {
            {"inode count implying 2^29 groups", field(sb + 0, 0xFFFFFFF8, 4)},
            {"block size exponent 7", field(sb + 24, 7, 4)},
            {"block size exponent 2^32 - 1", field(sb + 24, 0xFFFFFFFF, 4)},
            {"block count past the device", field(sb + 4, 0xFFFFFFFF, 4)},
            {"high block count past the device", field(sb + 0x150, 0xFFFFFFFF, 4)},
            {"no blocks", field(sb + 4, 0, 4)},
            {"0 blocks per group", field(sb + 32, 0, 4)},
            {"8 blocks per group", field(sb + 32, 8, 4)},
            {"blocks per group beyond a bitmap", field(sb + 32, 0xFFFFFFF8, 4)},
            {"0 inodes per group", field(sb + 40, 0, 4)},
            {"inodes per group not a multiple of 8", field(sb + 40, 8191, 4)},
            {"inode size 0", field(sb + 88, 0, 2)},
            {"inode size 100", field(sb + 88, 100, 2)},
            {"inode size larger than a block", field(sb + 88, 8192, 2)},
            {"descriptor size 48", field(sb + 254, 48, 2)},
            {"descriptor size 2048", field(sb + 254, 2048, 2)},
            {"descriptor size 0", field(sb + 254, 0, 2)},
            {"65535 reserved descriptor blocks", field(sb + 206, 0xFFFF, 2)},
            {"first data block 5", field(sb + 20, 5, 4)},
            {"meta_bg with its first group past the table",
             [&](const std::string &path) {
                 poke(path, sb + 96, 0x10 | 0x2 | 0x40 | 0x80, 4); // meta_bg filetype extents 64bit
                 poke(path, sb + 260, 0xFFFFFFFF, 4);
             }},
            {"MMP block past the device",
             [&](const std::string &path) {
                 poke(path, sb + 96, 0x100 | 0x2 | 0x40 | 0x80, 4);
                 poke(path, sb + 360, uint64_t{1} << 40, 8);
             }},
            {"journal inode past the inode count", field(sb + 224, 0xFFFFFFFF, 4)},
            {"journal larger than the file system", field(journal + 108, 0xFFFF, 4)},
            {"journal of no size",
             [&](const std::string &path) {
                 poke(path, journal + 4, 0, 4);
                 poke(path, journal + 108, 0, 4);
             }},
            {"journal extent past the device", field(first_entry + 6, 0xFFFF, 2)},
            {"journal extent of no blocks", field(first_entry + 4, 0, 2)},
            {"journal extent past the journal's size", field(first_entry, 0x7FFFFFFF, 4)},
            {"extent root of depth 6", field(root + 6, 6, 2)},
            {"extent root with more entries than room", field(root + 2, 5, 2)},
            {"extent root with a bad magic", field(root, 0xF30B, 2)},
            {"extent tree looping to its own node", tree(2, node(1, spare))},
            {"extent node of the wrong depth", tree(1, node(1, spare - 1))},
            {"extent index to a block past the device", tree(1,
                                                             [&](const std::string &path) {
                                                                 node(0, spare - 1)(path);
                                                                 poke(path, first_entry + 8, 0xFFFF,
                                                                      2);
                                                             })},
            {"extent leaf past the device", tree(1, node(0, 0xFFFFFFFF))},
            {"extent index repeating one child",
             [&](const std::string &path) {
                 tree(1, node(0, spare - 1))(path);
                 poke(path, root + 2, 4, 2); // four entries, all from logical block 0
                 for (int i = 1; i < 4; ++i) {
                     poke(path, first_entry + 12 * i, 0, 4);
                     poke(path, first_entry + 12 * i + 4, spare, 4);
                 }
             }},
        });
}

TEST_F(FsParserCrafted, ImpossibleXfsGeometryIsRefused)
{
    const std::string pristine = (dir.path() / "xfs.img").string();
    ASSERT_EQ(
        run("truncate -s 1G '" + pristine + "' && mkfs.xfs -q -f -K '" + pristine + "'").status, 0);
    auto field = [](uint64_t offset, uint64_t value, int width) {
        return [=](const std::string &path) { poke(path, offset, value, width, true); };
    };
    expect_all_refused(pristine,
                       {
                           {"100,000,000 groups on a 4 KiB device",
                            [&](const std::string &path) {
                                poke(path, 88, 100000000, 4, true);
                                ASSERT_EQ(truncate(path.c_str(), 4096), 0);
                            }},
                           {"100,000,000 groups", field(88, 100000000, 4)},
                           {"2^32 - 1 groups", field(88, 0xFFFFFFFF, 4)},
                           {"no groups", field(88, 0, 4)},
                           {"block size 0", field(4, 0, 4)},
                           {"block size 2^31", field(4, 0x80000000, 4)},
                           {"block size 3", field(4, 3, 4)},
                           {"block size not 2^blocklog", field(120, 9, 1)},
                           {"sector size 0", field(102, 0, 2)},
                           {"sector size larger than a block", field(102, 8192, 2)},
                           {"0 blocks per group", field(84, 0, 4)},
                           {"1 block per group", field(84, 1, 4)},
                           {"2^32 - 1 blocks per group", field(84, 0xFFFFFFFF, 4)},
                           {"group block bits 0", field(124, 0, 1)},
                           {"group block bits 40", field(124, 40, 1)},
                           {"2^63 data blocks", field(8, uint64_t{1} << 63, 8)},
                           {"data blocks past the device", field(8, 262145 * 2, 8)},
                           {"log in a group past the last", field(48, uint64_t{100} << 16, 8)},
                           {"log past the end of its group", field(96, 70000, 4)},
                           {"log above the largest the kernel takes", field(96, 0xFFFFFF, 4)},
                           {"log of no blocks", field(96, 0, 4)},
                       });
}

// Last, so that it sees what every case above needed at its peak.
TEST_F(FsParserCrafted, MemoryStayedBounded)
{
    rusage usage{};
    ASSERT_EQ(getrusage(RUSAGE_SELF, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, MAX_RSS_KIB);
    std::printf("peak resident memory: %ld KiB\n", usage.ru_maxrss);
}
