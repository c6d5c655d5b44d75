// The kernel symbol table: parsing kallsyms text, lookups and module ranges.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "base/corvane.h"
#include "kallsyms_parser/kallsyms_parser.h"
#include "test_support.h"

namespace {

class KallsymsTest : public ::testing::Test {
  protected:
    // Parses text written to a temporary file; the table stays in table_.
    bool parse_text(const std::string &text)
    {
        std::ofstream(path()) << text;
        return table_.parse(path());
    }
    std::string path() const { return (dir_.path() / "kallsyms").string(); }

    test_support::temp_dir dir_;
    kallsyms_parser table_;
};

// A straightforward stream reader of the same format, to hold the hand-written
// tokeniser to.
std::vector<ksym> read_with_stream(const std::string &path)
{
    std::ifstream in(path);
    std::vector<ksym> symbols;
    ksym sym;
    in >> std::hex;
    while (in >> sym.addr >> sym.type >> sym.name) {
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        symbols.push_back(sym);
    }
    std::sort(symbols.begin(), symbols.end(), [](const ksym &a, const ksym &b) {
        return std::tie(a.addr, a.name, a.type) < std::tie(b.addr, b.name, b.type);
    });
    return symbols;
}

void expect_same_table(const kallsyms_parser &table, const std::vector<ksym> &reference)
{
    ASSERT_EQ(table.symbols().size(), reference.size());
    for (size_t i = 0; i < reference.size(); ++i) {
        ASSERT_EQ(table.symbols()[i].addr, reference[i].addr) << i;
        ASSERT_EQ(table.symbols()[i].name, reference[i].name) << i;
        ASSERT_EQ(table.symbols()[i].type, reference[i].type) << i;
    }
}

bool is_unknown(const ksym &sym)
{
    return &sym == &unknown_ksym;
}

TEST_F(KallsymsTest, ThreeLineExampleLookups)
{
    ASSERT_TRUE(parse_text("1000 T b\n1000 T a\n2000 t c")); // no final line feed
    ASSERT_EQ(table_.symbols().size(), 3u);
    EXPECT_EQ(table_.find_by_addr(0x1000).name, "a");
    EXPECT_EQ(table_.find_by_addr(0x1800).name, "b");
    EXPECT_EQ(table_.find_by_addr(0x2000).name, "c");
    EXPECT_EQ(table_.find_by_addr(0x9000).name, "c");
    EXPECT_TRUE(is_unknown(table_.find_by_addr(0xfff)));
    EXPECT_EQ(table_.find_by_name("c").addr, 0x2000u);
    EXPECT_EQ(table_.find_by_name("c").type, "t");
    EXPECT_TRUE(is_unknown(table_.find_by_name("d")));
}

TEST_F(KallsymsTest, DuplicateNamesResolveToHighestAddress)
{
    ASSERT_TRUE(parse_text("3000 t dup\n1000 t dup\nffffffff81000000 T dup\n2000 T other\n"));
    EXPECT_EQ(table_.symbols().size(), 4u);
    EXPECT_EQ(table_.find_by_name("dup").addr, 0xffffffff81000000u);
    EXPECT_EQ(table_.find_by_name("other").addr, 0x2000u);
}

TEST_F(KallsymsTest, NamesSortBytewise)
{
    // Bytes above 0x7f sort after ASCII; a prefix sorts before its extensions.
    ASSERT_TRUE(parse_text("1000 t \xc3\xa9t\n1000 t zz\n1000 t z\n1000 t Z\n"));
    std::vector<std::string> names;
    for (const ksym &sym : table_.symbols())
        names.push_back(sym.name);
    EXPECT_EQ(names, (std::vector<std::string>{"Z", "z", "zz", "\xc3\xa9t"}));
    EXPECT_EQ(table_.find_by_name("\xc3\xa9t").addr, 0x1000u);
}

TEST_F(KallsymsTest, ModuleColumnIsDropped)
{
    ASSERT_TRUE(parse_text("ffffffffc0201000 t ext4_fill_super\t[ext4]\n"
                           "ffffffffc0202000 T xfs_fs_fill_super   [xfs]\r\n"));
    ASSERT_EQ(table_.symbols().size(), 2u);
    EXPECT_EQ(table_.find_by_name("ext4_fill_super").addr, 0xffffffffc0201000u);
    EXPECT_EQ(table_.find_by_name("xfs_fs_fill_super").type, "T");
    EXPECT_TRUE(is_unknown(table_.find_by_name("[ext4]")));
}

TEST_F(KallsymsTest, BadLineEndsReadingButKeepsWhatCameBefore)
{
    for (const char *bad : {
             "zzzz t bad\n",              // not hexadecimal
             "10000000000000000 t big\n", // above 64 bits
             "12g4 t garbage\n",          // trailing garbage would shift the columns
             "5000 t\n",                  // no name: the next line must not become one
         }) {
        SCOPED_TRACE(bad);
        ASSERT_TRUE(parse_text(std::string("2000 t b\n1000 T a\n") + bad + "3000 t after\n"));
        ASSERT_EQ(table_.symbols().size(), 2u);
        EXPECT_EQ(table_.find_by_name("b").addr, 0x2000u);
        EXPECT_TRUE(is_unknown(table_.find_by_name("after")));
    }
}

TEST_F(KallsymsTest, EmptyFileGivesAndMissingFileLeavesAnEmptyTable)
{
    ASSERT_TRUE(parse_text(""));
    EXPECT_TRUE(table_.symbols().empty());
    EXPECT_TRUE(is_unknown(table_.find_by_addr(0x1000)));
    fs_range range = table_.find_module_range("ext4");
    EXPECT_EQ(range.first, UINT64_MAX);
    EXPECT_EQ(range.second, 0u);

    ASSERT_TRUE(parse_text("1000 t a\n"));
    ASSERT_EQ(table_.symbols().size(), 1u);
    EXPECT_FALSE(table_.parse((dir_.path() / "missing").string()));
    EXPECT_TRUE(table_.symbols().empty());
    EXPECT_TRUE(is_unknown(table_.find_by_name("a")));
    EXPECT_TRUE(is_unknown(table_.find_by_addr(0x1000)));
}

TEST_F(KallsymsTest, ModuleRangeKeepsOnlyRunTimeTextSymbols)
{
    ASSERT_TRUE(parse_text("ffffffffc0100000 t ext4_file_write_iter\t[ext4]\n"
                           "ffffffffc0100500 T ext4_fill_super\t[ext4]\n"
                           "ffffffffc0000000 t ext4_init_fs\t[ext4]\n"
                           "ffffffffc0f00000 t ext4_exit_fs\t[ext4]\n"
                           "ffffffffc0000010 t __SCT__ext4_x\n"
                           "ffffffffc0000020 t __PFX_ext4_file_write_iter\n"
                           "ffffffffc0000030 t ext4_trace_x\n"
                           "ffffffffc0000040 t __probestub_ext4_x\n"
                           "ffffffffc0000050 t ext4_xfs_dahash_test\n"
                           "ffffffffc0000060 t ext4_xfs_dqblk\n"
                           "ffffffffc0e00000 W ext4_weak\n"
                           "ffffffffc0e00010 d ext4_data\n"
                           "ffffffffc0e00020 D ext4_global\n"
                           "ffffffffc0e00030 t xfs_iomap_begin\t[xfs]\n"));
    fs_range range = table_.find_module_range("ext4");
    EXPECT_EQ(range.first, 0xffffffffc0100000u);
    EXPECT_EQ(range.second, 0xffffffffc0100500u);
    // The match is on the symbol name, never on the module column.
    EXPECT_EQ(table_.find_module_range("xfs").first, 0xffffffffc0e00030u);
}

TEST_F(KallsymsTest, ModuleRangeExclusionIsCaseSensitive)
{
    ASSERT_TRUE(parse_text("1000 t __pfx_ext4_a\n2000 t ext4_b\n3000 t EXT4_INIT\n"
                           "4000 t ext4_Init\n"));
    fs_range range = table_.find_module_range("ext4");
    EXPECT_EQ(range.first, 0x1000u);  // __pfx_ is not __PFX_
    EXPECT_EQ(range.second, 0x4000u); // Init is not init
    EXPECT_EQ(table_.find_module_range("EXT4").first, 0x3000u);
}

TEST_F(KallsymsTest, MatchesStreamReadingOnIrregularSpacing)
{
    std::mt19937 random(1);
    const char *separators[] = {" ", "\t", "  ", " \t ", "\v", "\f"};
    const char *line_ends[] = {"\n", "\r\n", "\t[ext4]\n", " [xfs] extra\n", "\n\n"};
    auto sep = [&] { return separators[random() % std::size(separators)]; };
    std::ostringstream text;
    for (int i = 0; i < 2000; ++i)
        text << sep() << std::hex << (random() % 64) * 16 << sep() << "tTdDbBrW"[random() % 8]
             << sep() << "sym_" << std::dec << random() % 500
             << line_ends[random() % std::size(line_ends)];
    ASSERT_TRUE(parse_text(text.str()));
    expect_same_table(table_, read_with_stream(path()));
}

TEST(KallsymsRealFile, MatchesStreamReadingAndFindsKernelFunctions)
{
    REQUIRE_OR_SKIP(access("/proc/kallsyms", R_OK) == 0, "/proc/kallsyms is not readable");
    kallsyms_parser table;
    ASSERT_TRUE(table.parse("/proc/kallsyms"));
    const ksym &submit_bio = table.find_by_name("submit_bio");
    REQUIRE_OR_SKIP(submit_bio.addr != 0, "kernel addresses are hidden (kptr_restrict)");

    // The list can change between two reads (modules loading), so compare only
    // when both reads saw the same number of lines.
    std::vector<ksym> reference = read_with_stream("/proc/kallsyms");
    if (reference.size() == table.symbols().size())
        expect_same_table(table, reference);
    EXPECT_EQ(table.find_by_addr(submit_bio.addr + 1).addr, submit_bio.addr);
}

} // namespace
