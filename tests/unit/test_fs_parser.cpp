// fs_parser: range arithmetic and refusals on handcrafted superblocks, and the
// maps of file systems made by mkfs.ext4 and mkfs.xfs checked against what
// dumpe2fs and xfs_db read from the same images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <tuple>

#include "base/corvane.h"
#include "fs_parser/fs_parser.h"
#include "kallsyms_parser/kallsyms_parser.h"
#include "test_support.h"

using test_support::loop_device;
using test_support::run;

namespace {

using span = std::pair<uint64_t, uint64_t>;
using span_list = std::vector<span>;
// Everything of a range in a form gtest prints: type, first, second, mount mark.
using range_row = std::tuple<int, uint64_t, uint64_t, uint64_t>;

fs_range ext4(uint64_t first, uint64_t second, uint64_t mount_sb = 0)
{
    return {first, second, ENUM_FS_TYPE_EXT4, 0, mount_sb};
}
fs_range xfs(uint64_t first, uint64_t second)
{
    return {first, second, ENUM_FS_TYPE_XFS, 0, 0};
}

std::vector<range_row> rows_of(const std::vector<fs_range> &ranges)
{
    std::vector<range_row> rows;
    for (const fs_range &r : ranges)
        rows.emplace_back(r.type, r.first, r.second, r.mount_sb);
    return rows;
}

span_list spans_of(const std::vector<fs_range> &ranges)
{
    span_list spans;
    for (const fs_range &r : ranges)
        spans.emplace_back(r.first, r.second);
    return spans;
}

// Union of half-open spans, sorted; written independently of merge_fs_ranges.
span_list union_of(span_list spans)
{
    std::sort(spans.begin(), spans.end());
    span_list out;
    for (const span &s : spans) {
        if (!out.empty() && s.first <= out.back().second)
            out.back().second = std::max(out.back().second, s.second);
        else
            out.push_back(s);
    }
    return out;
}

const std::vector<fs_range> SENTINEL{ext4(1, 2)};

// ext4 stores its fields little-endian, xfs big-endian.
void put(std::vector<uint8_t> &image, uint64_t offset, uint64_t value, int width,
         bool big_endian = false)
{
    for (int i = 0; i < width; ++i)
        image.at(offset + i) =
            static_cast<uint8_t>(value >> (8 * (big_endian ? width - 1 - i : i)));
}

struct ext4_group {
    uint64_t block_bitmap, inode_bitmap, inode_table;
};

// A handcrafted ext4 superblock with its descriptor table. By default 4 KiB
// blocks, 64bit and extents (so libblkid calls it ext4), 8 groups of 8192
// inodes of 256 bytes (512 blocks of inode table), group g at 100 + 1000 g.
struct ext4_image {
    uint32_t blocks_lo = 262144, blocks_hi = 0;
    uint32_t log_block_size = 2;
    uint32_t inodes_per_group = 8192;
    uint16_t magic = 0xEF53, state = 1;
    uint32_t feature_incompat = 0x80 | 0x40; // 64bit | extents
    uint16_t desc_size = 64;
    std::vector<ext4_group> groups;
    uint64_t size = 0; // image size; 0: up to the end of the descriptor table

    ext4_image()
    {
        for (uint64_t g = 0; g < 8; ++g)
            groups.push_back({100 + 1000 * g, 101 + 1000 * g, 102 + 1000 * g});
    }

    std::vector<uint8_t> bytes() const
    {
        const uint64_t stride = (feature_incompat & 0x80) ? desc_size : 32;
        const uint64_t table = 4096, sb = 1024;
        std::vector<uint8_t> image(size ? size : table + groups.size() * stride, 0);
        put(image, sb + 0, inodes_per_group * 8, 4);
        put(image, sb + 4, blocks_lo, 4);
        put(image, sb + 24, log_block_size, 4);
        put(image, sb + 32, 32768, 4); // blocks per group
        put(image, sb + 40, inodes_per_group, 4);
        put(image, sb + 56, magic, 2);
        put(image, sb + 58, state, 2);
        put(image, sb + 76, 1, 4); // dynamic revision
        put(image, sb + 88, 256, 2);
        put(image, sb + 96, feature_incompat, 4);
        put(image, sb + 254, desc_size, 2);
        put(image, sb + 336, blocks_hi, 4);
        for (size_t g = 0; g < groups.size() && table + (g + 1) * stride <= image.size(); ++g) {
            const uint64_t at = table + g * stride;
            const uint64_t fields[] = {groups[g].block_bitmap, groups[g].inode_bitmap,
                                       groups[g].inode_table};
            for (int f = 0; f < 3; ++f) {
                put(image, at + 4 * f, fields[f], 4);
                if (stride >= 64)
                    put(image, at + 32 + 4 * f, fields[f] >> 32, 4);
            }
        }
        return image;
    }
};

// A handcrafted xfs superblock, big-endian as on disk.
struct xfs_image {
    const char *magic = "XFSB";
    uint64_t data_blocks = 262144;
    uint32_t ag_blocks = 65536, ag_count = 4;

    std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> image(4096, 0);
        std::copy(magic, magic + 4, image.begin());
        put(image, 4, 4096, 4, true); // block size
        put(image, 8, data_blocks, 8, true);
        put(image, 84, ag_blocks, 4, true);
        put(image, 88, ag_count, 4, true);
        return image;
    }
};

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

class FsParser : public ::testing::Test {
  protected:
    void SetUp() override { load_kallsyms(true); }

    // Fills the process-wide symbol table, with or without ext4 and xfs functions.
    void load_kallsyms(bool with_modules)
    {
        const auto file = dir.path() / "kallsyms";
        std::ofstream out(file);
        out << "ffffffff81000000 T _stext\n";
        if (with_modules)
            out << "ffffffffc0100000 t ext4_file_write_iter\t[ext4]\n"
                   "ffffffffc0180000 T ext4_sync_fs\t[ext4]\n"
                   "ffffffffc0200000 t xfs_file_write_iter\t[xfs]\n";
        out.close();
        kallsyms.parse(file.string());
    }

    std::string image(const std::vector<uint8_t> &bytes, const std::string &name = "image")
    {
        const auto path = dir.path() / name;
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    test_support::temp_dir dir;
};

} // namespace

TEST(MergeFsRanges, NormalisesAsDocumented)
{
    const struct {
        const char *what;
        std::vector<fs_range> in, out;
    } cases[] = {
        {"touching", {ext4(0, 4096), ext4(4096, 8192)}, {ext4(0, 8192)}},
        {"types sort apart", {xfs(0, 10), ext4(5, 20)}, {ext4(5, 20), xfs(0, 10)}},
        {"empty tail", {ext4(0, 4096), ext4(4096, 4096)}, {ext4(0, 4096)}},
        {"contained", {ext4(8, 9), ext4(0, 100)}, {ext4(0, 100)}},
        {"gap", {ext4(10, 20), ext4(0, 9)}, {ext4(0, 9), ext4(10, 20)}},
        {"one inverted range stays", {ext4(7, 3)}, {ext4(7, 3)}},
        {"empty list", {}, {}},
        {"mount mark of the first", {ext4(5, 30, 0xbbb), ext4(0, 10, 0xaaa)}, {ext4(0, 30, 0xaaa)}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<fs_range> ranges = c.in;
        merge_fs_ranges(ranges);
        EXPECT_EQ(rows_of(ranges), rows_of(c.out));
    }
}

TEST_F(FsParser, Ext4HighHalvesAndBlockCountOnlyWith64bit)
{
    const uint64_t high = uint64_t{1} << 32;
    // The header (boot block, superblock, descriptors), then per group the two
    // bitmaps and 512 blocks of inode table.
    std::vector<fs_range> expected{ext4(0, 8192)};
    for (uint64_t g = 0; g < 8; ++g)
        expected.push_back(ext4((100 + 1000 * g) * 4096, (614 + 1000 * g) * 4096));
    std::vector<fs_range> with_high(expected.begin(), expected.end() - 1);
    with_high.push_back(ext4((high + 5) * 4096, (high + 7) * 4096));
    with_high.push_back(ext4((2 * high + 7) * 4096, (2 * high + 519) * 4096));

    ext4_image img;
    img.blocks_lo = 16;
    img.blocks_hi = 2;
    img.groups[7] = {high + 5, high + 6, 2 * high + 7};
    std::vector<fs_range> ranges;
    ASSERT_TRUE(get_ext4_metadata_range(image(img.bytes()), ranges));
    EXPECT_EQ(rows_of(ranges), rows_of(with_high));
    ASSERT_TRUE(get_ext4_range(image(img.bytes()), ranges));
    EXPECT_EQ(rows_of(ranges), rows_of({ext4(0, (2 * high + 16) * 4096)}));

    // Without 64bit descriptors are 32 bytes: bytes 32..43 belong to the next
    // descriptor, not to high halves, and the high block count is ignored.
    img.feature_incompat = 0x40;
    img.desc_size = 0;
    img.groups[7] = {7100, 7101, 7102};
    ASSERT_TRUE(get_ext4_metadata_range(image(img.bytes()), ranges));
    EXPECT_EQ(rows_of(ranges), rows_of(expected));
    ASSERT_TRUE(get_ext4_range(image(img.bytes()), ranges));
    EXPECT_EQ(rows_of(ranges), rows_of({ext4(0, 16 * 4096)}));
}

TEST_F(FsParser, XfsArithmeticAboveFourGiB)
{
    xfs_image img;
    img.ag_blocks = 2000000;
    img.data_blocks = uint64_t{1} << 33;
    std::vector<fs_range> ranges;
    ASSERT_TRUE(get_xfs_metadata_range(image(img.bytes()), ranges));
    EXPECT_EQ(rows_of(ranges),
              rows_of({xfs(0, 28672), xfs(8192000000, 8192028672), xfs(16384000000, 16384028672),
                       xfs(24576000000, 24576028672)}));
    ASSERT_TRUE(get_xfs_range(image(img.bytes()), ranges));
    EXPECT_EQ(rows_of(ranges), rows_of({xfs(0, uint64_t{1} << 45)}));
}

TEST_F(FsParser, DamagedSuperblocksAreRefusedAndLeaveRangesAlone)
{
    using reader = bool (*)(const std::string &, std::vector<fs_range> &);
    auto ext4_with = [](const std::function<void(ext4_image &)> &change) {
        ext4_image img;
        change(img);
        return img.bytes();
    };
    auto xfs_magic = [](const char *magic) {
        xfs_image img;
        img.magic = magic;
        return img.bytes();
    };
    const std::vector<uint8_t> state_0 = ext4_with([](ext4_image &i) { i.state = 0; }),
                               state_3 = ext4_with([](ext4_image &i) { i.state = 3; }),
                               bad_magic = ext4_with([](ext4_image &i) { i.magic = 0xEF54; }),
                               exponent_7 = ext4_with([](ext4_image &i) { i.log_block_size = 7; });
    const struct {
        const char *what;
        std::vector<uint8_t> bytes;
        reader read;
        bool throws; // else refused with false
    } cases[] = {
        {"state 0", state_0, get_ext4_metadata_range, false},
        {"state 0, whole", state_0, get_ext4_range, false},
        {"state 3", state_3, get_ext4_metadata_range, false},
        {"state 3, whole", state_3, get_ext4_range, false},
        {"bad magic", bad_magic, get_ext4_metadata_range, false},
        {"bad magic, whole", bad_magic, get_ext4_range, false},
        {"no file", {}, get_ext4_range, false},
        {"block size exponent 7", exponent_7, get_ext4_metadata_range, true},
        {"block size exponent 7, whole", exponent_7, get_ext4_range, true},
        {"0 inodes per group", ext4_with([](ext4_image &i) { i.inodes_per_group = 0; }),
         get_ext4_metadata_range, true},
        {"descriptor size 48", ext4_with([](ext4_image &i) { i.desc_size = 48, i.size = 1 << 20; }),
         get_ext4_metadata_range, true},
        {"descriptor size 2048",
         ext4_with([](ext4_image &i) { i.desc_size = 2048, i.size = 1 << 20; }),
         get_ext4_metadata_range, true},
        {"device shorter than the descriptor table",
         ext4_with([](ext4_image &i) { i.size = 4096 + 5 * 64 + 10; }), get_ext4_metadata_range,
         false},
        {"xfs bad magic", xfs_magic("XFSC"), get_xfs_metadata_range, false},
        {"xfs bad magic, whole", xfs_magic("XFSC"), get_xfs_range, false},
        {"xfs short device", {'X', 'F', 'S', 'B'}, get_xfs_metadata_range, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path =
            c.bytes.empty() ? (dir.path() / "missing").string() : image(c.bytes);
        std::vector<fs_range> ranges = SENTINEL;
        if (c.throws)
            EXPECT_THROW(c.read(path, ranges), fs_parser_exception);
        else
            EXPECT_FALSE(c.read(path, ranges));
        EXPECT_EQ(rows_of(ranges), rows_of(SENTINEL));
    }
}

TEST_F(FsParser, EntryPointMessagesAndModuleRange)
{
    std::vector<fs_range> ranges = SENTINEL;
    fs_range module{};
    ext4_image unclean;
    unclean.state = 3;
    ext4_image no_inodes_per_group;
    no_inodes_per_group.inodes_per_group = 0;
    const struct {
        std::string path;
        bool whole;
        const char *message;
    } failures[] = {
        {image(std::vector<uint8_t>(8192, 0), "zeros"), false, "unknown fs type."},
        {(dir.path() / "missing").string(), false, "unknown fs type."},
        {image(unclean.bytes(), "unclean"), false, "can not get ext4's metadata range."},
        {image(unclean.bytes(), "unclean"), true, "can not get ext4's range."},
        {image(no_inodes_per_group.bytes(), "no-ipg"), false,
         "fs's superblock may have been corrupted."},
    };
    for (const auto &f : failures) {
        SCOPED_TRACE(f.message);
        EXPECT_EQ(fs_ranges_error(f.path, ranges, module, f.whole),
                  std::string("fs_parser error: ") + f.message);
        EXPECT_EQ(rows_of(ranges), rows_of(SENTINEL));
    }

    EXPECT_EQ(fs_ranges_error(image(ext4_image().bytes()), ranges, module, false), "");
    EXPECT_EQ(ranges.size(), 9u);
    EXPECT_EQ(module.type, ENUM_FS_TYPE_EXT4);
    EXPECT_EQ(module.first, 0xffffffffc0100000u);
    EXPECT_EQ(module.second, 0xffffffffc0180000u);

    EXPECT_EQ(fs_ranges_error(image(xfs_image().bytes()), ranges, module, true), "");
    EXPECT_EQ(rows_of(ranges), rows_of({xfs(0, 262144ull * 4096)}));
    EXPECT_EQ(module.type, ENUM_FS_TYPE_XFS);
    EXPECT_EQ(module.first, 0xffffffffc0200000u);

#if !defined(__SANITIZE_ADDRESS__)
    // 2^32 - 1 groups need 128 GiB of ranges: the failed allocation must leave
    // get_fs_ranges as fs_parser_exception.
    xfs_image huge;
    huge.ag_count = UINT32_MAX;
    ranges = SENTINEL;
    EXPECT_EQ(fs_ranges_error(image(huge.bytes()), ranges, module, false),
              "fs_parser error: fs's superblock may have been corrupted.");
    EXPECT_EQ(rows_of(ranges), rows_of(SENTINEL));
#endif
}

TEST_F(FsParser, MissingModuleOverwritesModuleRangeButNotRanges)
{
    load_kallsyms(false);
    const std::string ext4_path = image(ext4_image().bytes(), "ext4");
    const std::string xfs_path = image(xfs_image().bytes(), "xfs");
    for (bool whole : {false, true}) {
        for (const auto &[path, name, type] : {std::tuple{ext4_path, "ext4", ENUM_FS_TYPE_EXT4},
                                               std::tuple{xfs_path, "xfs", ENUM_FS_TYPE_XFS}}) {
            SCOPED_TRACE(std::string(name) + (whole ? " whole" : ""));
            std::vector<fs_range> ranges = SENTINEL;
            fs_range module{1, 2, ENUM_FS_TYPE_UNKNOWN, 0, 0};
            EXPECT_EQ(fs_ranges_error(path, ranges, module, whole),
                      std::string("fs_parser error: can not get ") + name + " module's address.");
            EXPECT_EQ(module.first, UINT64_MAX);
            EXPECT_EQ(module.second, 0u);
            EXPECT_EQ(module.type, type);
            EXPECT_EQ(rows_of(ranges), rows_of(SENTINEL));
        }
    }
}

// --- file systems made by mkfs ----------------------------------------------

namespace {

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
    if (end == text || last == nullptr)
        return end != text;
    if (*end != '-')
        return false;
    text = end + 1;
    *last = std::strtoull(text, &end, 10);
    return end != text;
}

// What dumpe2fs reports about an ext4 image.
struct dumpe2fs_layout {
    uint64_t block_size = 0, block_count = 0, groups = 0;
    span_list metadata; // union of the ranges the map must cover
};

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

class FsParserImages : public FsParser {
  protected:
    void SetUp() override
    {
        for (const char *tool : {"mkfs.ext4", "dumpe2fs", "mkfs.xfs", "xfs_db"})
            REQUIRE_OR_SKIP(test_support::have_program(tool), tool << " is needed");
        FsParser::SetUp();
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

    static std::vector<fs_range> ranges_of(const std::string &path, bool whole = false)
    {
        std::vector<fs_range> ranges;
        fs_range module{};
        get_fs_ranges(path, ranges, module, whole);
        return ranges;
    }
};

const std::string mkfs_ext4 = "mkfs.ext4 -q -F -E lazy_itable_init=1,nodiscard ";
const std::string mkfs_xfs = "mkfs.xfs -q -f -K ";

} // namespace

TEST_F(FsParserImages, Ext4MapsMatchDumpe2fs)
{
    const struct {
        const char *name, *size, *options;
        uint64_t block_size;
        const char *feature; // must show in dumpe2fs -h, to be sure of the image
        uint64_t groups;     // when set: that many groups, each one range
    } families[] = {
        {"default", "1G", "", 4096, "64bit", 0},
        {"1k", "256M", "-b 1024", 1024, nullptr, 0},
        // bigalloc numbers the first data block 0, yet the superblock still fills block 1.
        {"1k-bigalloc", "1G", "-b 1024 -O bigalloc -C 16384", 1024, "bigalloc", 0},
        {"2k", "512M", "-b 2048", 2048, nullptr, 0},
        {"no64", "1G", "-O ^64bit", 4096, nullptr, 0},
        {"no64-1k", "256M", "-b 1024 -O ^64bit", 1024, nullptr, 0},
        {"desc128", "1G", "-E desc_size=128", 4096, nullptr, 0},
        {"bigalloc", "2G", "-O bigalloc", 4096, "bigalloc", 0},
        // 1 KiB blocks: 16 descriptors per block, so 256 groups form 16 meta groups.
        {"meta1k", "2G", "-b 1024 -O meta_bg,^resize_inode", 1024, "meta_bg", 0},
        {"meta1k-32", "2G", "-b 1024 -O meta_bg,^resize_inode,^64bit,^flex_bg", 1024, "meta_bg", 0},
        {"meta4k", "12G", "-O meta_bg,^resize_inode", 4096, "meta_bg", 0},
        // Without sparse_super every group keeps a superblock copy before its descriptors.
        {"meta-nosparse", "1G", "-b 1024 -O meta_bg,^resize_inode,^sparse_super", 1024, "meta_bg",
         0},
        {"noflex", "2G", "-O ^flex_bg", 4096, nullptr, 16},
        {"many-ranges", "2G", "-b 1024 -O ^flex_bg,^resize_inode", 1024, nullptr, 256},
    };
    for (const auto &f : families) {
        SCOPED_TRACE(f.name);
        const std::string path =
            make_image(std::string(f.name) + ".img", f.size, mkfs_ext4 + f.options);
        if (f.feature) {
            EXPECT_EQ(run("dumpe2fs -h '" + path + "' | grep -qw " + f.feature).status, 0);
        }
        const dumpe2fs_layout layout = read_dumpe2fs(path);
        EXPECT_EQ(layout.block_size, f.block_size);
        const std::vector<fs_range> ranges = ranges_of(path);
        for (const fs_range &r : ranges)
            ASSERT_EQ(std::tuple(r.type, r.mount_sb), std::tuple(ENUM_FS_TYPE_EXT4, 0ul));
        EXPECT_EQ(spans_of(ranges), layout.metadata);
        if (f.groups) {
            EXPECT_EQ(layout.groups, f.groups);
            EXPECT_EQ(ranges.size(), f.groups);
        }
        EXPECT_EQ(spans_of(ranges_of(path, true)),
                  span_list({{0, layout.block_count * layout.block_size}}));
    }
}

TEST_F(FsParserImages, XfsMapsMatchXfsDb)
{
    const struct {
        const char *name, *size, *options;
        uint64_t block_size, ag_count;
    } families[] = {
        {"ag2", "8G", "-d agcount=2", 4096, 2},
        {"ag4", "8G", "-d agcount=4", 4096, 4},
        {"ag7", "8G", "-d agcount=7", 4096, 7},
        {"ag32", "8G", "-d agcount=32", 4096, 32},
        {"1k", "1G", "-b size=1024", 1024, 4},
        {"1k-many", "20G", "-b size=1024 -d agcount=200", 1024, 200},
    };
    for (const auto &f : families) {
        SCOPED_TRACE(f.name);
        const std::string path =
            make_image(std::string(f.name) + ".img", f.size, mkfs_xfs + f.options);
        const auto db =
            run("xfs_db -r -c 'sb 0' -c 'p blocksize agblocks agcount dblocks' '" + path + "'");
        ASSERT_EQ(db.status, 0) << db.err;
        std::map<std::string, uint64_t> sb;
        std::istringstream words(db.out);
        std::string name, equals;
        for (uint64_t value; words >> name >> equals >> value;)
            sb[name] = value;
        EXPECT_EQ(sb["blocksize"], f.block_size);
        EXPECT_EQ(sb["agcount"], f.ag_count);
        span_list headers; // superblock, free space and inode headers: 7 blocks per group
        for (uint64_t g = 0; g < sb["agcount"]; ++g)
            headers.emplace_back(g * sb["agblocks"] * sb["blocksize"],
                                 (g * sb["agblocks"] + 7) * sb["blocksize"]);
        const std::vector<fs_range> ranges = ranges_of(path);
        for (const fs_range &r : ranges)
            ASSERT_EQ(std::tuple(r.type, r.mount_sb), std::tuple(ENUM_FS_TYPE_XFS, 0ul));
        EXPECT_EQ(spans_of(ranges), union_of(headers));
        EXPECT_EQ(spans_of(ranges_of(path, true)),
                  span_list({{0, sb["blocksize"] * sb["dblocks"]}}));
    }
}

TEST_F(FsParserImages, Ext4RecognisedBeforeAnXfsMagic)
{
    const std::string path = make_image("xfsb.img", "256M", mkfs_ext4);
    const span_list before = spans_of(ranges_of(path));
    // ext4 leaves the first 1024 bytes alone: libblkid still sees ext4 there.
    ASSERT_EQ(run("printf XFSB | dd of='" + path + "' conv=notrunc status=none").status, 0);
    ASSERT_TRUE(is_xfs(path));
    std::vector<fs_range> ranges;
    fs_range module{};
    get_fs_ranges(path, ranges, module, false);
    EXPECT_EQ(module.type, ENUM_FS_TYPE_EXT4);
    EXPECT_EQ(spans_of(ranges), before);
}

TEST_F(FsParserImages, Ext3AndExt2AreUnknown)
{
    for (const std::string mkfs : {"mkfs.ext3", "mkfs.ext2"}) {
        const std::string path = make_image(mkfs + ".img", "64M", mkfs + " -q -F");
        std::vector<fs_range> ranges;
        fs_range module{};
        EXPECT_EQ(fs_ranges_error(path, ranges, module, false), "fs_parser error: unknown fs type.")
            << mkfs;
    }
}

// corvane itself on a loop device: the debug listing shows the map of the
// device (the same as of its image), cut to 128 ranges. Loop devices resolve
// to no SCSI disk, so nothing is monitored.
TEST_F(FsParserImages, CorvaneListsTheMapOfALoopDevice)
{
    REQUIRE_OR_SKIP(test_support::loop_devices_available(), "needs root and loop devices");
    for (const std::string &path : {make_image("e2e.ext4", "2G", mkfs_ext4 + "-b 1024 -O ^flex_bg"),
                                    make_image("e2e.xfs", "1G", mkfs_xfs)}) {
        SCOPED_TRACE(path);
        loop_device loop(path);
        ASSERT_TRUE(loop.ok());
        EXPECT_EQ(spans_of(ranges_of(loop.device())), spans_of(ranges_of(path)));
        EXPECT_EQ(spans_of(ranges_of(loop.device(), true)), spans_of(ranges_of(path, true)));

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
        for (const char *text :
             {"dev num: 7:", "module range:[", "No file system needs to be monitored."})
            EXPECT_NE(result.out.find(text), std::string::npos) << text << "\n" << result.out;
    }
}
