// fs_parser on file systems made by mkfs.ext4 and mkfs.xfs: the maps are
// checked against what dumpe2fs, debugfs and xfs_db read from the same
// images, never against this program's own arithmetic.
#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "base/corvane.h"
#include "fs_parser/fs_parser.h"
#include "test_support.h"

using test_support::loop_device;
using test_support::run;

namespace {

using span = std::pair<uint64_t, uint64_t>;
using span_list = std::vector<span>;
constexpr int ANY_KIND = -1;

span_list spans_of(const std::vector<fs_range> &ranges, int kind = ANY_KIND)
{
    span_list spans;
    for (const fs_range &r : ranges)
        if (kind == ANY_KIND || static_cast<int>(r.kind) == kind)
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

span_list blocks_to_bytes(const span_list &blocks, uint64_t block_size)
{
    span_list bytes;
    for (const span &b : blocks)
        bytes.emplace_back(b.first * block_size, b.second * block_size);
    return union_of(bytes);
}

// The number after label in line, and with last the one after a following
// '-' (dumpe2fs writes block spans as "first-last").
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
    if (last != nullptr)
        *last = *end == '-' ? std::strtoull(end + 1, nullptr, 10) : first;
    return true;
}

std::string get_error(const std::function<void()> &call)
{
    try {
        call();
    } catch (const fs_parser_exception &e) {
        return e.what();
    }
    return "";
}

fs_layout layout_of(const std::string &path, bool whole = false)
{
    return get_fs_ranges(device_file::open(path, false), whole);
}

// Every range has the file system's type, kind metadata and source 0.
void expect_plain_metadata(const fs_layout &layout, ENUM_FS_TYPE type)
{
    EXPECT_EQ(layout.type, type);
    for (const fs_range &r : layout.ranges) {
        ASSERT_EQ(std::tuple(r.type, r.kind, r.source),
                  std::tuple(type, __u32{RANGE_KIND_METADATA}, __u64{0}));
    }
}

// The whole map covers [0, size) with disjoint ranges of alternating kinds
// whose metadata ranges are those of the metadata map.
void expect_whole_cover(const fs_layout &whole, const fs_layout &metadata, uint64_t size)
{
    uint64_t covered = 0;
    for (size_t i = 0; i < whole.ranges.size(); ++i) {
        const fs_range &r = whole.ranges[i];
        ASSERT_EQ(r.first, covered) << i;
        ASSERT_LT(r.first, r.second) << i;
        ASSERT_EQ(r.type, metadata.type);
        if (i > 0) {
            ASSERT_NE(r.kind, whole.ranges[i - 1].kind) << i;
        }
        covered = r.second;
    }
    EXPECT_EQ(covered, size);
    EXPECT_EQ(spans_of(whole.ranges, RANGE_KIND_METADATA), spans_of(metadata.ranges));
    EXPECT_EQ(whole.note, metadata.note);
}

// What dumpe2fs and debugfs report about an ext4 image.
struct ext4_report {
    uint64_t block_size = 0, block_count = 0, groups = 0;
    std::string features;
    span_list metadata; // bytes the map must cover, and nothing else
};

// Blocks listed by debugfs "stat" for an inode: data blocks and the blocks of
// its mapping, e.g. "(ETB0):26247167, (0-32767):26247168-26279935" or
// "(IND):4396, (12-267):4397-4652".
span_list inode_blocks(const std::string &image, uint64_t inode)
{
    const auto result = run("debugfs -R 'stat <" + std::to_string(inode) + ">' '" + image + "'");
    EXPECT_EQ(result.status, 0) << result.err;
    const size_t list = result.out.find("EXTENTS:") != std::string::npos
                            ? result.out.find("EXTENTS:")
                            : result.out.find("BLOCKS:");
    span_list blocks;
    if (list == std::string::npos)
        return blocks;
    static const std::regex entry(R"(\([^)]*\):(\d+)(?:-(\d+))?)");
    const std::string text = result.out.substr(list);
    for (std::sregex_iterator it(text.begin(), text.end(), entry), end; it != end; ++it) {
        const uint64_t first = std::stoull((*it)[1]);
        const uint64_t last = (*it)[2].matched ? std::stoull((*it)[2]) : first;
        blocks.emplace_back(first, last + 1);
    }
    return blocks;
}

ext4_report read_ext4_report(const std::string &image)
{
    const auto result = run("dumpe2fs '" + image + "' 2>/dev/null");
    EXPECT_EQ(result.status, 0) << result.err;
    ext4_report report;
    span_list blocks; // [first block, end block)
    uint64_t a = 0, b = 0, journal_inode = 0;
    // Group lines: "Primary superblock at 0, Group descriptors at 1-1",
    // "Reserved GDT blocks at 2-256", "Block bitmap at 257 (+257)", ...
    const char *const group_labels[] = {"superblock at ",       "Group descriptors at ",
                                        "Group descriptor at ", "Reserved GDT blocks at ",
                                        "Block bitmap at ",     "Inode bitmap at ",
                                        "Inode table at "};
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("Block size:", 0) == 0)
            read_after(line, "Block size:", report.block_size);
        else if (line.rfind("Block count:", 0) == 0)
            read_after(line, "Block count:", report.block_count);
        else if (line.rfind("Filesystem features:", 0) == 0)
            report.features = line + " ";
        else if (line.rfind("Journal inode:", 0) == 0)
            read_after(line, "Journal inode:", journal_inode);
        else if (line.rfind("MMP block number:", 0) == 0 && read_after(line, ":", a))
            blocks.emplace_back(a, a + 1);
        else if (line.rfind("Group ", 0) == 0 && line.find("(Blocks") != std::string::npos)
            report.groups++;
        if (line.find(" at ") == std::string::npos) // free counts and lists
            continue;
        if (read_after(line, "Primary superblock at ", a))
            blocks.emplace_back(0, a); // the boot block(s) before it
        for (const char *label : group_labels)
            if (read_after(line, label, a, &b))
                blocks.emplace_back(a, b + 1);
    }
    if (journal_inode != 0)
        for (const span &s : inode_blocks(image, journal_inode))
            blocks.push_back(s);
    report.metadata = blocks_to_bytes(blocks, report.block_size);
    return report;
}

class FsParserImages : public ::testing::Test {
  protected:
    void SetUp() override
    {
        for (const char *tool : {"mkfs.ext4", "dumpe2fs", "debugfs", "mkfs.xfs", "xfs_db"})
            REQUIRE_OR_SKIP(test_support::have_program(tool), tool << " is needed");
    }

    // A sparse file of the given size formatted by the given command line.
    std::string make_image(const std::string &name, const std::string &size,
                           const std::string &mkfs, const std::filesystem::path &where = {})
    {
        const std::string path = ((where.empty() ? dir.path() : where) / name).string();
        const auto result =
            run("truncate -s " + size + " '" + path + "' && " + mkfs + " '" + path + "'");
        EXPECT_EQ(result.status, 0) << mkfs << ": " << result.err;
        return path;
    }

    // Checks both maps of an ext4 image against dumpe2fs and debugfs.
    static ext4_report check_ext4(const std::string &path)
    {
        const ext4_report report = read_ext4_report(path);
        const fs_layout metadata = layout_of(path);
        expect_plain_metadata(metadata, ENUM_FS_TYPE_EXT4);
        EXPECT_EQ(spans_of(metadata.ranges), report.metadata);
        expect_whole_cover(layout_of(path, true), metadata, report.block_count * report.block_size);
        return report;
    }

    test_support::temp_dir dir;
};

const std::string mkfs_ext4 = "mkfs.ext4 -q -F -E lazy_itable_init=1,lazy_journal_init=1,nodiscard";
const std::string mkfs_xfs = "mkfs.xfs -q -f -K ";

// A directory in memory for images too large for the file system under
// /tmp (ext4 files end before 16 TiB); only holes and metadata use memory.
struct memory_dir {
    memory_dir()
    {
        char pattern[] = "/dev/shm/corvane-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            path = pattern;
    }
    ~memory_dir()
    {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
    std::filesystem::path path;
};

} // namespace

TEST(MergeFsRanges, MergesTouchingRangesOfOneTypeAndKind)
{
    auto r = [](uint64_t first, uint64_t second, ENUM_FS_TYPE type = ENUM_FS_TYPE_EXT4,
                RANGE_KIND kind = RANGE_KIND_METADATA, uint64_t source = 0) {
        return fs_range{first, second, type, static_cast<__u32>(kind), source};
    };
    const fs_range data = r(5, 6, ENUM_FS_TYPE_EXT4, RANGE_KIND_DATA);
    const struct {
        const char *what;
        std::vector<fs_range> in, out;
    } cases[] = {
        {"touching", {r(4096, 8192), r(0, 4096)}, {r(0, 8192)}},
        {"contained", {r(8, 9), r(0, 100)}, {r(0, 100)}},
        {"gap", {r(10, 20), r(0, 9)}, {r(0, 9), r(10, 20)}},
        {"types stay apart",
         {r(0, 10, ENUM_FS_TYPE_XFS), r(5, 20)},
         {r(5, 20), r(0, 10, ENUM_FS_TYPE_XFS)}},
        {"another kind between does not split a run", {r(0, 10), data, r(8, 20)}, {r(0, 20), data}},
        {"source of the first part",
         {r(5, 30, ENUM_FS_TYPE_EXT4, RANGE_KIND_METADATA, 2), r(0, 10)},
         {r(0, 30)}},
    };
    auto fields = [](const std::vector<fs_range> &ranges) {
        std::vector<std::tuple<__u32, __u32, __u64, __u64, __u64>> all;
        for (const fs_range &x : ranges)
            all.emplace_back(x.type, x.kind, x.first, x.second, x.source);
        return all;
    };
    for (const auto &c : cases) {
        std::vector<fs_range> ranges = c.in;
        merge_fs_ranges(ranges);
        EXPECT_EQ(fields(ranges), fields(c.out)) << c.what;
    }
}

TEST(DeviceFile, OpensReadsAndRefuses)
{
    test_support::temp_dir dir;
    const std::string file = (dir.path() / "file").string();
    ASSERT_EQ(run("printf 0123456789 > '" + file + "'").status, 0);
    const device_file device = device_file::open(file, false);
    char buffer[4] = {};
    ASSERT_TRUE(device.read_at(buffer, 4, 6));
    EXPECT_EQ(std::string(buffer, 4), "6789");
    EXPECT_FALSE(device.read_at(buffer, 4, 7));
    EXPECT_FALSE(device.read_at(buffer, 1, UINT64_MAX));

    const device_file memory = device_file::from_bytes("abc", 3, 1 << 20);
    EXPECT_EQ(memory.size(), 1u << 20);
    ASSERT_TRUE(memory.read_at(buffer, 4, 1));
    EXPECT_EQ(std::string(buffer, 4), std::string("bc\0\0", 4));

    const std::string missing = (dir.path() / "missing").string();
    const struct {
        std::string path;
        bool require_block_device;
        std::string message;
    } failures[] = {
        {file, true, "it is not a block device"},
        {"/dev/null", false, "it is not a block device"},
        {missing, true, "can not open " + missing + ": No such file or directory"},
    };
    for (const auto &f : failures) {
        SCOPED_TRACE(f.path);
        EXPECT_EQ(get_error([&] { device_file::open(f.path, f.require_block_device); }),
                  "fs_parser error: " + f.message);
    }
}

TEST_F(FsParserImages, Ext4MapsMatchDumpe2fs)
{
    const struct {
        const char *name, *size, *options;
        const char *features; // expected in dumpe2fs, each followed by a space
        const char *after;    // a command run on the image after mkfs
    } families[] = {
        {"default", "1G", "", "64bit flex_bg resize_inode sparse_super extent", nullptr},
        {"1k", "256M", "-b 1024", nullptr, nullptr},
        // bigalloc numbers the first data block 0, yet the superblock still fills block 1.
        {"1k-bigalloc", "1G", "-b 1024 -O bigalloc -C 16384", "bigalloc", nullptr},
        {"2k", "512M", "-b 2048", nullptr, nullptr},
        {"64k", "4G", "-b 65536", nullptr, nullptr},
        {"no64", "1G", "-O ^64bit", nullptr, nullptr},
        {"no64-1k", "256M", "-b 1024 -O ^64bit", nullptr, nullptr},
        {"desc128", "1G", "-E desc_size=128", nullptr, nullptr},
        {"bigalloc", "2G", "-O bigalloc", "bigalloc", nullptr},
        // 1 KiB blocks: 16 descriptors per block, so 256 groups form 16 meta groups.
        {"meta1k", "2G", "-b 1024 -O meta_bg,^resize_inode", "meta_bg", nullptr},
        {"meta1k-32", "2G", "-b 1024 -O meta_bg,^resize_inode,^64bit,^flex_bg", "meta_bg", nullptr},
        {"meta4k", "12G", "-O meta_bg,^resize_inode", "meta_bg", nullptr},
        {"meta-nosparse", "1G", "-b 1024 -O meta_bg,^resize_inode,^sparse_super", "meta_bg",
         nullptr},
        // What an online resize past the reserved blocks leaves: the first
        // meta group's descriptors in the old table.
        {"meta-first1", "2G", "-b 1024 -O meta_bg,^resize_inode", "meta_bg",
         "debugfs -w -R 'ssv first_meta_bg 1'"},
        {"nosparse", "1G", "-O ^sparse_super,^resize_inode", nullptr, nullptr},
        {"sparse2-0", "1G", "-O sparse_super2 -E num_backup_sb=0", "sparse_super2", nullptr},
        {"sparse2-2", "1G", "-O sparse_super2 -E num_backup_sb=2", "sparse_super2", nullptr},
        {"noflex", "2G", "-O ^flex_bg", nullptr, nullptr},
        // The journal in the old block map: direct, indirect and double indirect blocks.
        {"blockmap-1k", "64M", "-b 1024 -O ^extent,^64bit", nullptr, nullptr},
        {"blockmap-4k", "1G", "-O ^extent,^64bit", nullptr, nullptr},
        // 262144 journal blocks need 8 extents: a tree of depth 1.
        {"journal-tree", "8G", "-J size=1024", nullptr, nullptr},
        {"mmp", "256M", "-O mmp", "mmp", nullptr},
        {"no-journal", "256M", "-O ^has_journal", nullptr, nullptr},
    };
    for (const auto &f : families) {
        SCOPED_TRACE(f.name);
        const std::string path =
            make_image(std::string(f.name) + ".img", f.size, mkfs_ext4 + " " + f.options);
        if (f.after) {
            ASSERT_EQ(run(std::string(f.after) + " '" + path + "'").status, 0);
        }
        const ext4_report report = check_ext4(path);
        std::istringstream wanted(f.features ? f.features : "");
        for (std::string feature; wanted >> feature;)
            EXPECT_NE(report.features.find(" " + feature + " "), std::string::npos) << feature;
        EXPECT_EQ(layout_of(path).note, "");
    }
}

TEST_F(FsParserImages, Ext4EveryStateIsWatchedAndNamed)
{
    const std::string path = make_image("state.img", "256M", mkfs_ext4);
    const span_list clean = spans_of(layout_of(path).ranges);
    const std::pair<int, const char *> states[] = {
        {0, "ext4 state: not clean"},
        {1, ""},
        {6, "ext4 state: not clean, errors recorded, orphans being processed"},
        {7, "ext4 state: errors recorded, orphans being processed"},
    };
    for (const auto &[state, note] : states) {
        SCOPED_TRACE(state);
        // debugfs keeps the superblock checksum right.
        ASSERT_EQ(
            run("debugfs -w -R 'ssv state " + std::to_string(state) + "' '" + path + "'").status,
            0);
        const fs_layout layout = layout_of(path);
        EXPECT_EQ(layout.note, note);
        EXPECT_EQ(spans_of(layout.ranges), clean);
        EXPECT_EQ(layout_of(path, true).note, note);
    }
}

TEST_F(FsParserImages, Ext4ExternalJournalIsNotedNotWatched)
{
    REQUIRE_OR_SKIP(test_support::loop_devices_available(), "needs root and loop devices");
    const std::string journal =
        make_image("journal.img", "64M", "mke2fs -q -F -b 4096 -O journal_dev");
    loop_device journal_device(journal);
    ASSERT_TRUE(journal_device.ok());
    const std::string path = make_image(
        "external.img", "256M", mkfs_ext4 + " -b 4096 -J device=" + journal_device.device());
    const ext4_report report = check_ext4(path);
    EXPECT_NE(report.features.find(" has_journal "), std::string::npos);
    EXPECT_EQ(layout_of(path).note, "ext4 journal: on another device, not watched");

    ASSERT_EQ(run("debugfs -w -R 'ssv state 0' '" + path + "'").status, 0);
    EXPECT_EQ(layout_of(path).note,
              "ext4 state: not clean; ext4 journal: on another device, not watched");
}

// 131072 groups, a 1 GiB journal in a tree of depth 1, and every group's
// metadata and backup checked against dumpe2fs.
TEST_F(FsParserImages, Ext4Of16TiBIsWatchedEntirely)
{
    memory_dir memory;
    REQUIRE_OR_SKIP(!memory.path.empty(), "needs /dev/shm for a 16 TiB sparse file");
    const std::string path = make_image("16t.img", "16T", mkfs_ext4, memory.path);
    const ext4_report report = check_ext4(path);
    EXPECT_EQ(report.groups, 131072u);
    EXPECT_EQ(report.block_count, uint64_t{1} << 32);
}

TEST_F(FsParserImages, Ext4WithoutFlexBgMapsOver100000Ranges)
{
    const std::string path = make_image("noflex.img", "4T", mkfs_ext4 + " -g 8192 -O ^flex_bg");
    const ext4_report report = check_ext4(path);
    EXPECT_EQ(report.groups, 131072u);
    EXPECT_GT(layout_of(path).ranges.size(), 100000u);
}

namespace {

// xfs_db's answers for one image: the superblock and, per allocation group,
// the btree roots and the first free block.
struct xfs_report {
    std::map<std::string, uint64_t> sb;
    std::vector<std::vector<uint64_t>> roots; // per group
    std::vector<uint64_t> first_free;         // per group
};

xfs_report read_xfs_report(const std::string &image)
{
    xfs_report report;
    auto values = [&](const std::string &commands) {
        const auto result = run("xfs_db -r " + commands + " '" + image + "'");
        EXPECT_EQ(result.status, 0) << result.err;
        return result.out;
    };
    std::istringstream sb(values("-c 'sb 0' -c 'p blocksize sectsize agblocks agcount dblocks "
                                 "logstart logblocks agblklog'"));
    std::string name, equals;
    for (uint64_t value; sb >> name >> equals >> value;)
        report.sb[name] = value;

    std::string commands;
    for (uint64_t ag = 0; ag < report.sb["agcount"]; ++ag) {
        const std::string n = std::to_string(ag);
        commands += " -c 'echo group " + n + "' -c 'agf " + n +
                    "' -c 'p bnoroot cntroot rmaproot refcntroot' -c 'agi " + n +
                    "' -c 'p root free_root' -c 'agf " + n + "' -c 'addr bnoroot' -c 'p recs[1]'";
    }
    std::istringstream lines(values(commands));
    std::string line;
    uint64_t value = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("group ", 0) == 0) {
            report.roots.emplace_back();
            report.first_free.push_back(UINT64_MAX);
        } else if (line.rfind("1:[", 0) == 0 && read_after(line, "1:[", value)) {
            report.first_free.back() = value;
        } else if (read_after(line, " = ", value) && value != 0) {
            // An absent root prints nothing, or 0 (the superblock's block).
            report.roots.back().push_back(value);
        }
    }
    return report;
}

} // namespace

TEST_F(FsParserImages, XfsMapsMatchXfsDb)
{
    const struct {
        const char *name, *size, *options;
        uint64_t roots; // btree roots per group
    } families[] = {
        {"default", "1G", "", 5}, // finobt and reflink
        {"ag7", "8G", "-d agcount=7", 5},
        {"rmapbt", "1G", "-m rmapbt=1", 6},
        {"no-reflink", "1G", "-m reflink=0", 4},
        {"no-finobt", "1G", "-m finobt=0,reflink=0", 3},
        {"rmapbt-no-finobt", "1G", "-m finobt=0,rmapbt=1,reflink=0", 4},
        {"v4", "1G", "-m crc=0", 3},
        {"sector4k", "1G", "-s size=4096", 5},
        {"sector4k-rmapbt", "1G", "-s size=4096 -m rmapbt=1", 6},
        {"1k", "1G", "-b size=1024", 5},
        {"1k-many", "20G", "-b size=1024 -d agcount=200", 5},
        {"64k", "4G", "-b size=65536", 5},
        {"last-group-short", "1100M", "-d agsize=256m", 5},
    };
    for (const auto &f : families) {
        SCOPED_TRACE(f.name);
        const std::string path =
            make_image(std::string(f.name) + ".img", f.size, mkfs_xfs + f.options);
        xfs_report report = read_xfs_report(path);
        const uint64_t block = report.sb["blocksize"], ag_blocks = report.sb["agblocks"];
        ASSERT_EQ(report.roots.size(), report.sb["agcount"]);

        // Each group's header area runs to its last btree root; the first
        // free block comes after it.
        span_list expected;
        for (uint64_t ag = 0; ag < report.roots.size(); ++ag) {
            const std::vector<uint64_t> &roots = report.roots[ag];
            ASSERT_EQ(roots.size(), f.roots) << ag;
            const uint64_t end = *std::max_element(roots.begin(), roots.end()) + 1;
            EXPECT_GE(end * report.sb["blocksize"], 4 * report.sb["sectsize"]);
            EXPECT_GE(report.first_free[ag], end) << ag;
            expected.emplace_back(ag * ag_blocks * block, (ag * ag_blocks + end) * block);
        }
        const uint64_t log_ag = report.sb["logstart"] >> report.sb["agblklog"];
        const uint64_t log_block = report.sb["logstart"] & ((1ull << report.sb["agblklog"]) - 1);
        const uint64_t log_start = (log_ag * ag_blocks + log_block) * block;
        expected.emplace_back(log_start, log_start + report.sb["logblocks"] * block);

        const fs_layout metadata = layout_of(path);
        expect_plain_metadata(metadata, ENUM_FS_TYPE_XFS);
        EXPECT_EQ(spans_of(metadata.ranges), union_of(expected));
        EXPECT_EQ(metadata.note, "");
        expect_whole_cover(layout_of(path, true), metadata, report.sb["dblocks"] * block);
    }
}

TEST_F(FsParserImages, XfsExternalLogIsNotedNotWatched)
{
    const std::string log = (dir.path() / "log.img").string();
    ASSERT_EQ(run("truncate -s 128M '" + log + "'").status, 0);
    const std::string path =
        make_image("external.img", "1G", mkfs_xfs + "-l logdev=" + log + ",size=64m");
    xfs_report report = read_xfs_report(path);
    ASSERT_EQ(report.sb["logstart"], 0u);
    const fs_layout layout = layout_of(path);
    EXPECT_EQ(layout.note, "xfs log: on another device, not watched");
    for (const fs_range &r : layout.ranges) // header areas only, no log
        EXPECT_LE(r.second - r.first, 16 * report.sb["blocksize"]);
    EXPECT_EQ(layout.ranges.size(), report.sb["agcount"]);
}

TEST_F(FsParserImages, RecognitionAndItsMessages)
{
    const std::string ext4 = make_image("ext4.img", "256M", mkfs_ext4);
    const span_list before = spans_of(layout_of(ext4).ranges);
    // ext4 leaves the first 1024 bytes alone: libblkid still sees ext4 there.
    ASSERT_EQ(run("printf XFSB | dd of='" + ext4 + "' conv=notrunc status=none").status, 0);
    ASSERT_TRUE(is_xfs(device_file::open(ext4, false)));
    const fs_layout layout = layout_of(ext4);
    EXPECT_EQ(layout.type, ENUM_FS_TYPE_EXT4);
    EXPECT_EQ(spans_of(layout.ranges), before);

    const std::string zeros = (dir.path() / "zeros").string();
    const std::string short_xfs = (dir.path() / "short-xfs").string();
    const std::string short_ext4 = (dir.path() / "short-ext4").string();
    ASSERT_EQ(run("truncate -s 1M '" + zeros + "' && printf XFSB > '" + short_xfs + "' && " +
                  "head -c 1500 '" + ext4 + "' > '" + short_ext4 + "'")
                  .status,
              0);
    const struct {
        std::string path;
        const char *mkfs; // made here when set
        bool whole;
        std::function<fs_layout(const device_file &, bool)> analyse;
        const char *message;
    } failures[] = {
        {zeros, nullptr, false, get_fs_ranges, "unknown fs type."},
        {"ext3", "mkfs.ext3 -q -F", false, get_fs_ranges, "unknown fs type."},
        {short_xfs, nullptr, false, get_fs_ranges, "can not get xfs's metadata range."},
        {short_xfs, nullptr, true, get_fs_ranges, "can not get xfs's range."},
        {short_ext4, nullptr, false,
         [](const device_file &d, bool w) { return get_fs_ranges_as(ENUM_FS_TYPE_EXT4, d, w); },
         "can not get ext4's metadata range."},
        {short_ext4, nullptr, true,
         [](const device_file &d, bool w) { return get_fs_ranges_as(ENUM_FS_TYPE_EXT4, d, w); },
         "can not get ext4's range."},
    };
    for (const auto &f : failures) {
        SCOPED_TRACE(f.path);
        const std::string path = f.mkfs ? make_image(f.path + ".img", "64M", f.mkfs) : f.path;
        EXPECT_EQ(get_error([&] { f.analyse(device_file::open(path, false), f.whole); }),
                  std::string("fs_parser error: ") + f.message);
    }
}

// Through a block device, as corvane reads it: the same maps as of the image.
TEST_F(FsParserImages, LoopDeviceGivesTheMapsOfItsImage)
{
    REQUIRE_OR_SKIP(test_support::loop_devices_available(), "needs root and loop devices");
    for (const std::string &path :
         {make_image("loop.ext4", "2G", mkfs_ext4 + " -b 1024 -O ^flex_bg"),
          make_image("loop.xfs", "1G", mkfs_xfs)}) {
        SCOPED_TRACE(path);
        loop_device loop(path);
        ASSERT_TRUE(loop.ok());
        const device_file device = device_file::open(loop.device());
        EXPECT_EQ(major(device.rdev()), 7u);
        EXPECT_EQ(device.size(), std::filesystem::file_size(path));
        for (bool whole : {false, true})
            EXPECT_EQ(spans_of(get_fs_ranges(device, whole).ranges),
                      spans_of(layout_of(path, whole).ranges));
    }
}
