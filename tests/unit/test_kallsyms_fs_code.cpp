// Which code is a file system's own: ranges found in crafted tables, in the
// module tables of two Debian guests and in this machine's /proc/kallsyms.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "base/corvane.h"
#include "kallsyms_parser/kallsyms_parser.h"
#include "test_support.h"

namespace {

using range_list = std::vector<std::pair<uint64_t, uint64_t>>;

range_list as_pairs(const std::vector<code_range_t> &ranges)
{
    range_list pairs;
    for (const code_range_t &range : ranges)
        pairs.emplace_back(range.first, range.second);
    return pairs;
}

bool inside(const std::vector<code_range_t> &ranges, uint64_t addr)
{
    for (const code_range_t &range : ranges)
        if (addr >= range.first && addr < range.second)
            return true;
    return false;
}

void expect_well_formed(const std::vector<code_range_t> &ranges)
{
    EXPECT_LE(ranges.size(), size_t{MAX_CODE_RANGES});
    for (size_t i = 0; i < ranges.size(); ++i) {
        EXPECT_LT(ranges[i].first, ranges[i].second) << i;
        if (i > 0) {
            EXPECT_LT(ranges[i - 1].second, ranges[i].first) << i;
        }
    }
}

// Functions every writer goes through: never the file system's own.
const std::string core_functions =
    " vfs_write ksys_write submit_bio submit_bio_noacct blkdev_write_iter iomap_dio_rw wb_workfn"
    " kthread do_writepages __x64_sys_write generic_perform_write iomap_file_buffered_write"
    " write_cache_pages submit_bh worker_thread ret_from_fork process_one_work ";

// Every occurrence of each listed core function is outside every range.
void expect_no_core_function_inside(const kallsyms_parser &table,
                                    const std::vector<code_range_t> &ranges)
{
    size_t found = 0;
    for (size_t i = 0; i < table.size(); ++i) {
        ksym sym = table.symbol(i);
        if (core_functions.find(" " + std::string(sym.name) + " ") != std::string::npos) {
            ++found;
            EXPECT_FALSE(inside(ranges, sym.addr)) << sym.name;
        }
    }
    EXPECT_GE(found, 10u); // most are in every kernel
}

class FsCodeTest : public ::testing::Test {
  protected:
    std::vector<code_range_t> ranges_of(const std::string &text, ENUM_FS_TYPE type)
    {
        const std::string path = (dir_.path() / "kallsyms").string();
        std::ofstream(path) << text;
        EXPECT_TRUE(table_.parse(path));
        std::vector<code_range_t> ranges = table_.fs_code_ranges(type);
        expect_well_formed(ranges);
        return ranges;
    }

    test_support::temp_dir dir_;
    kallsyms_parser table_;
};

// count unprefixed core functions from addr on, 0x20 apart, each 0x10 after
// its padding.
std::string helpers(uint64_t addr, int count)
{
    std::ostringstream text;
    for (int i = 0; i < count; ++i, addr += 0x20)
        text << std::hex << addr << " t __pfx_helper_" << i << '\n'
             << addr + 0x10 << " t helper_" << i << '\n';
    return text.str();
}

TEST_F(FsCodeTest, CraftedTables)
{
    const struct {
        const char *what;
        ENUM_FS_TYPE type;
        std::string text;
        range_list expected;
    } cases[] = {
        {"a module's text reaches the next symbol, of whatever owner",
         ENUM_FS_TYPE_EXT4,
         "ffffffffc0100000 t ext4_a\t[ext4]\n"
         "ffffffffc0100100 t dx_probe\t[ext4]\n"
         "ffffffffc0100200 t ext4_b\t[ext4]\n"
         "ffffffffc0100300 t snd_open\t[snd]\n",
         {{0xffffffffc0100000, 0xffffffffc0100300}}},
        {"a name containing ext4 in another module is not ext4's",
         ENUM_FS_TYPE_EXT4,
         "ffffffffc0000000 t __uncore_umask_ext4_show\t[intel_uncore]\n"
         "ffffffffc0000040 t uncore_pci_probe\t[intel_uncore]\n"
         "ffffffffc0100000 t ext4_a\t[ext4]\n"
         "ffffffffc0100100 t jbd2_b\t[jbd2]\n"
         "ffffffffc0100200 d ext4_data\t[ext4]\n"
         "ffffffffc0200000 t __uncore_umask_ext4_show\n",
         {{0xffffffffc0100000, 0xffffffffc0100200}}},
        {"the module's data ends its code; the table's last function reaches 64 KiB",
         ENUM_FS_TYPE_XFS,
         "ffffffffc0100000 t xfs_a\t[xfs]\n"
         "ffffffffc0100100 r xfs_table\t[xfs]\n"
         "ffffffffc0100200 t xfs_b\t[xfs]\n",
         {{0xffffffffc0100000, 0xffffffffc0100100}, {0xffffffffc0100200, 0xffffffffc0110200}}},
        {"built in: a core function between two clusters splits them",
         ENUM_FS_TYPE_EXT4,
         "ffffffff81000000 T devpts_pty_kill\n"
         "ffffffff81000100 t ext4_a\n"
         "ffffffff81000200 t static_helper\n"
         "ffffffff81000300 T __ext4_b\n"
         "ffffffff81000400 T vfs_write\n"
         "ffffffff81000500 t ext4fs_c\n"
         "ffffffff81000600 t jbd2_d\n"
         "ffffffff81000700 t squashfs_bio_read\n",
         {{0xffffffff81000100, 0xffffffff81000400}, {0xffffffff81000500, 0xffffffff81000700}}},
        {"built in: 16 unprefixed functions between two clusters are taken in",
         ENUM_FS_TYPE_EXT4,
         "ffffffff81000000 t ext4_a\n" + helpers(0xffffffff81000100, 16) +
             "ffffffff81001000 t ext4_b\nffffffff81001100 t other\n",
         {{0xffffffff81000000, 0xffffffff81001100}}},
        {"built in: 17 are not",
         ENUM_FS_TYPE_EXT4,
         "ffffffff81000000 t ext4_a\n" + helpers(0xffffffff81000100, 17) +
             "ffffffff81001000 t ext4_b\nffffffff81001100 t other\n",
         {{0xffffffff81000000, 0xffffffff81000100}, {0xffffffff81001000, 0xffffffff81001100}}},
        {"built in: .cold parts form their own run, unprefixed ones between included",
         ENUM_FS_TYPE_EXT4,
         "ffffffff81200000 T __unlikely_text_start\n"
         "ffffffff81200010 t devpts_fill_super.cold\n"
         "ffffffff81200020 t ext4_fill_super.cold\n"
         "ffffffff81200030 t dx_insert_block.isra.0.cold\n"
         "ffffffff81200040 t jbd2_journal_commit_transaction.cold\n"
         "ffffffff81200050 t squashfs_read_data.cold\n"
         "ffffffff81210000 T __unlikely_text_end\n"
         "ffffffff817c1d00 t __pfx_ext4_has_free_clusters\n"
         "ffffffff817c1d10 t ext4_has_free_clusters\n"
         "ffffffff817c1f40 t kjournald2\n",
         {{0xffffffff81200020, 0xffffffff81200050}, {0xffffffff817c1d00, 0xffffffff817c1f40}}},
        {"built in: tracing code is the file system's, static-call trampolines are not",
         ENUM_FS_TYPE_EXT4,
         "ffffffff81000000 t ext4_a\n"
         "ffffffff81000100 t perf_trace_ext4_request_inode\n"
         "ffffffff81000200 T __traceiter_jbd2_checkpoint\n"
         "ffffffff81000300 t ext4_b\n"
         "ffffffff81000400 t iomap_zero_range\n"
         "ffffffff82255c90 T __SCT__tp_func_ext4_free_inode\n"
         "ffffffff82255c98 T __SCT__tp_func_hugetlbfs_setattr\n",
         {{0xffffffff81000000, 0xffffffff81000400}}},
        {"built in: a section marker, data and weak symbols end a run",
         ENUM_FS_TYPE_EXT4,
         "ffffffff81000000 t ext4_a\n"
         "ffffffff81000100 T __sched_text_start\n"
         "ffffffff81000200 t ext4_b\n"
         "ffffffff81000300 W arch_hook\n"
         "ffffffff81000400 t ext4_c\n"
         "ffffffff81000500 D ext4_data\n",
         {{0xffffffff81000000, 0xffffffff81000100},
          {0xffffffff81000200, 0xffffffff81000300},
          {0xffffffff81000400, 0xffffffff81000500}}},
        {"built in: start-up code is freed after boot and left out",
         ENUM_FS_TYPE_EXT4,
         "ffffffff81000000 t ext4_a\n"
         "ffffffff81000100 t other\n"
         "ffffffff83576000 T _sinittext\n"
         "ffffffff835c1f10 t ext4_init_fs\n"
         "ffffffff835c2250 T jbd2_journal_init_transaction_cache\n"
         "ffffffff835ec7b0 T _einittext\n",
         {{0xffffffff81000000, 0xffffffff81000100}}},
        {"built in xfs: its prefixes and helpers, another file system's functions end a run",
         ENUM_FS_TYPE_XFS,
         "ffffffff81000000 t xfs_a\n"
         "ffffffff81000100 t xlog_b\n"
         "ffffffff81000200 t asswarn\n"
         "ffffffff81000300 t xchk_c\n"
         "ffffffff81000400 t ext4_d\n"
         "ffffffff81000500 t __xfs_e\n"
         "ffffffff81000600 t copy_to_xfs_dqblk\n"
         "ffffffff81000700 t xmit_one\n",
         {{0xffffffff81000000, 0xffffffff81000400}, {0xffffffff81000500, 0xffffffff81000600}}},
        {"ext4 as a module with jbd2 built in",
         ENUM_FS_TYPE_EXT4,
         "ffffffff81000000 t jbd2_a\n"
         "ffffffff81000100 t other\n"
         "ffffffff81000200 t ext4_lookalike\n"
         "ffffffffc0100000 t ext4_b\t[ext4]\n"
         "ffffffffc0100100 t nfs_c\t[nfs]\n",
         {{0xffffffff81000000, 0xffffffff81000100}, {0xffffffffc0100000, 0xffffffffc0100100}}},
        {"a listed core function is cut out even from the module's own text",
         ENUM_FS_TYPE_EXT4,
         "ffffffffc0100000 t ext4_a\t[ext4]\n"
         "ffffffffc0100100 t submit_bio\t[ext4]\n"
         "ffffffffc0100200 t ext4_b\t[ext4]\n"
         "ffffffffc0100300 t nfs_c\t[nfs]\n",
         {{0xffffffffc0100000, 0xffffffffc0100100}, {0xffffffffc0100200, 0xffffffffc0100300}}},
        {"an unknown type", ENUM_FS_TYPE_UNKNOWN, "ffffffffc0100000 t ext4_a\t[ext4]\n", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(as_pairs(ranges_of(c.text, c.type)), c.expected);
    }
    EXPECT_FALSE(table_.parse((dir_.path() / "missing").string()));
    EXPECT_TRUE(table_.fs_code_ranges(ENUM_FS_TYPE_EXT4).empty());
}

// 70 clusters of ext4 functions, apart by more unprefixed functions than a
// run takes in, or by another module's functions.
std::string seventy_clusters(bool apart_by_another_module)
{
    std::ostringstream text;
    uint64_t addr = 0xffffffffc0100000;
    for (int i = 0; i < 70; ++i) {
        text << std::hex << addr << " t ext4_f" << std::dec << i
             << (apart_by_another_module ? "\t[ext4]\n" : "\n");
        addr += 0x100 + 0x10 * i; // clusters and gaps grow: the first are smallest
        if (apart_by_another_module) {
            text << std::hex << addr << " t nfs_f" << std::dec << i << "\t[nfs]\n";
            addr += 0x100 + 0x10 * i;
        } else {
            text << helpers(addr, 20);
            addr += 20 * 0x20 + 0x10 * i;
        }
    }
    text << std::hex << addr << " t end_of_text\t[nfs]\n";
    return text.str();
}

TEST_F(FsCodeTest, TooManyRangesAreJoinedOverNeutralGapsElseTheLargestKeptWithAWarning)
{
    auto own = [&](int i) { return table_.find_by_name("ext4_f" + std::to_string(i)).addr; };
    std::vector<code_range_t> ranges = ranges_of(seventy_clusters(false), ENUM_FS_TYPE_EXT4);
    ASSERT_EQ(ranges.size(), size_t{MAX_CODE_RANGES});
    for (int i = 0; i < 70; ++i)
        EXPECT_TRUE(inside(ranges, own(i))) << i;
    // The six smallest gaps are the first six: the first range runs through them.
    EXPECT_EQ(ranges[1].first, own(7));

    testing::internal::CaptureStderr();
    ranges = ranges_of(seventy_clusters(true), ENUM_FS_TYPE_EXT4);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(ranges.size(), size_t{MAX_CODE_RANGES});
    EXPECT_NE(err.find("warning: the code of ext4 needs 70 address ranges"), std::string::npos)
        << err;
    // The six smallest, the first six, are dropped; no nfs function is inside.
    EXPECT_FALSE(inside(ranges, own(5)));
    EXPECT_TRUE(inside(ranges, own(6)));
    for (int i = 0; i < 70; ++i)
        EXPECT_FALSE(inside(ranges, table_.find_by_name("nfs_f" + std::to_string(i)).addr));
}

// --- real tables --------------------------------------------------------------

// Properties every real table shows for its ext4 and xfs ranges, whether the
// file systems are built in or modules.
void expect_real_table_properties(const kallsyms_parser &table)
{
    std::vector<code_range_t> ext4 = table.fs_code_ranges(ENUM_FS_TYPE_EXT4);
    std::vector<code_range_t> xfs = table.fs_code_ranges(ENUM_FS_TYPE_XFS);
    expect_well_formed(ext4);
    expect_well_formed(xfs);
    expect_no_core_function_inside(table, ext4);
    expect_no_core_function_inside(table, xfs);

    const struct {
        const char *name;
        const std::vector<code_range_t> &ranges;
    } named_inside[] = {
        {"ext4_file_write_iter", ext4},
        {"ext4_writepages", ext4},
        {"dx_probe", ext4}, // static, unprefixed (fs/ext4/namei.c)
        {"jbd2_journal_commit_transaction", ext4},
        {"kjournald2", ext4}, // static, unprefixed (fs/jbd2/journal.c)
        {"xfs_file_write_iter", xfs},
        {"xfsaild", xfs},
        {"xlog_cil_push_work", xfs},
    };
    for (const auto &n : named_inside) {
        ksym sym = table.find_by_name(n.name);
        if (!is_unknown(sym)) {
            EXPECT_TRUE(inside(n.ranges, sym.addr)) << n.name;
        }
    }

    // .cold parts of ext4's and jbd2's functions, prefixed or not.
    size_t cold_parts = 0;
    for (size_t i = 0; i < table.size(); ++i) {
        ksym sym = table.symbol(i);
        if (sym.name.ends_with(".cold") &&
            (sym.name.starts_with("ext4_") || sym.name.starts_with("jbd2_") ||
             sym.name.starts_with("dx_insert_block") || sym.name == "jread.cold")) {
            ++cold_parts;
            EXPECT_TRUE(inside(ext4, sym.addr)) << sym.name;
        }
    }
    std::printf("ext4: %zu ranges, xfs: %zu ranges, %zu ext4 .cold parts\n", ext4.size(),
                xfs.size(), cold_parts);
}

TEST(FsCodeRealTables, ThisMachine)
{
    REQUIRE_OR_SKIP(access("/proc/kallsyms", R_OK) == 0, "/proc/kallsyms is not readable");
    kallsyms_parser table;
    ASSERT_TRUE(table.parse("/proc/kallsyms"));
    REQUIRE_OR_SKIP(table.find_by_name("submit_bio").addr != 0,
                    "kernel addresses are hidden (kptr_restrict)");
    expect_real_table_properties(table);

    // With ext4 built in, all its functions are inside but start-up code;
    // nothing of the objects linked around it is.
    ksym stext = table.find_by_name("_sinittext"), etext = table.find_by_name("_einittext");
    std::vector<code_range_t> ext4 = table.fs_code_ranges(ENUM_FS_TYPE_EXT4);
    if (!table.find_in_module("ext4_file_write_iter", "").addr)
        return;
    for (size_t i = 0; i < table.size(); ++i) {
        ksym sym = table.symbol(i);
        if (sym.type != 't' && sym.type != 'T')
            continue;
        bool own = sym.name.starts_with("ext4_") || sym.name.starts_with("jbd2_") ||
                   sym.name.starts_with("__ext4_") || sym.name.starts_with("__jbd2_");
        bool start_up = sym.addr >= stext.addr && sym.addr < etext.addr;
        if (own && sym.module.empty() && !start_up) {
            EXPECT_TRUE(inside(ext4, sym.addr)) << sym.name;
        }
        bool other = sym.name.starts_with("squashfs_") || sym.name.starts_with("devpts_") ||
                     sym.name.starts_with("ovl_") || sym.name.starts_with("debugfs_") ||
                     sym.name.starts_with("iomap_") || sym.name.starts_with("vfs_");
        if (other) {
            EXPECT_FALSE(inside(ext4, sym.addr)) << sym.name;
        }
    }
}

// Trimmed copies of the module tables of Debian's 6.1 and 6.12 kernels booted
// with ext4, jbd2, xfs and mbcache as modules: the lines around each module's
// text, some of their functions, the core functions of the write paths and
// every other line naming ext4 or xfs, kept as the kernel wrote them.
class FsCodeDebianGuest : public ::testing::TestWithParam<const char *> {};

TEST_P(FsCodeDebianGuest, ModulesGiveTheirTextAndNothingElse)
{
    kallsyms_parser table;
    ASSERT_TRUE(table.parse(std::string(CORVANE_SOURCE_DIR) + "/tests/unit/data/kallsyms_debian_" +
                            GetParam() + ".txt"));
    ASSERT_GT(table.size(), 80u);
    expect_real_table_properties(table);

    std::vector<code_range_t> ext4 = table.fs_code_ranges(ENUM_FS_TYPE_EXT4);
    std::vector<code_range_t> xfs = table.fs_code_ranges(ENUM_FS_TYPE_XFS);
    EXPECT_EQ(ext4.size(), 2u); // the text of jbd2, then of ext4
    EXPECT_EQ(xfs.size(), 1u);
    for (size_t i = 0; i < table.size(); ++i) {
        ksym sym = table.symbol(i);
        bool ext4_text =
            (sym.module == "ext4" || sym.module == "jbd2") && (sym.type == 't' || sym.type == 'T');
        bool xfs_text = sym.module == "xfs" && (sym.type == 't' || sym.type == 'T');
        EXPECT_EQ(inside(ext4, sym.addr), ext4_text) << sym.name << " [" << sym.module << "]";
        EXPECT_EQ(inside(xfs, sym.addr), xfs_text) << sym.name << " [" << sym.module << "]";
    }
    EXPECT_FALSE(is_unknown(table.find_in_module("dm_submit_bio", "dm_mod")));
    EXPECT_TRUE(is_unknown(table.find_in_module("dm_submit_bio", "")));
}

INSTANTIATE_TEST_SUITE_P(Kernels, FsCodeDebianGuest, ::testing::Values("6.1", "6.12"),
                         [](const auto &info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

} // namespace
