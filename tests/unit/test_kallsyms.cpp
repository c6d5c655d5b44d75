// The kernel symbol table: reading kallsyms text and the lookups.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <random>
#include <sstream>
#include <tuple>

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

struct plain_symbol {
    uint64_t addr;
    std::string type;
    std::string name;
    std::string module;
    bool operator<(const plain_symbol &o) const
    {
        return std::tie(addr, name, type, module) < std::tie(o.addr, o.name, o.type, o.module);
    }
};

// A straightforward stream reader of the same format, to hold the hand-written
// tokeniser to.
std::vector<plain_symbol> read_with_stream(const std::string &path)
{
    std::ifstream in(path);
    std::vector<plain_symbol> symbols;
    plain_symbol sym;
    in >> std::hex;
    while (in >> sym.addr >> sym.type >> sym.name) {
        std::string rest, column;
        std::getline(in, rest);
        std::istringstream(rest) >> column;
        bool bracketed = column.size() >= 2 && column.front() == '[' && column.back() == ']';
        sym.module = bracketed ? column.substr(1, column.size() - 2) : "";
        symbols.push_back(sym);
    }
    std::sort(symbols.begin(), symbols.end());
    return symbols;
}

void expect_same_table(const kallsyms_parser &table, const std::vector<plain_symbol> &reference)
{
    ASSERT_EQ(table.size(), reference.size());
    for (size_t i = 0; i < reference.size(); ++i) {
        ksym sym = table.symbol(i);
        ASSERT_EQ(sym.addr, reference[i].addr) << i;
        ASSERT_EQ(sym.name, reference[i].name) << i;
        ASSERT_EQ(std::string(1, sym.type), reference[i].type) << i;
        ASSERT_EQ(sym.module, reference[i].module) << i;
    }
}

TEST_F(KallsymsTest, AddressLookupsAcrossTheWholeAddressSpace)
{
    // Ties in byte order of the names; no final line feed.
    ASSERT_TRUE(
        parse_text("0 t zero\n1000 T b\n1000 T a\n1000 t \xc3\xa9\n2000 t c\n"
                   "8000000000000000 t mid\n8000000000000000 t mid2\nffffffffffffffff t top"));
    const struct {
        uint64_t addr;
        const char *name;
    } cases[] = {
        {0, "zero"},
        {0xfff, "zero"},
        {0x1000, "a"},
        {0x1800, "\xc3\xa9"},
        {0x2000, "c"},
        {0x7fffffffffffffff, "c"},
        {0x8000000000000000, "mid"},
        {0x8000000000000001, "mid2"},
        {0xfffffffffffffffe, "mid2"},
        {0xffffffffffffffff, "top"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(table_.find_by_addr(c.addr).name, c.name) << std::hex << c.addr;
    EXPECT_EQ(table_.find_by_name("c").addr, 0x2000u);
    EXPECT_EQ(table_.find_by_name("c").type, 't');
    EXPECT_TRUE(is_unknown(table_.find_by_name("d")));
}

TEST_F(KallsymsTest, DuplicateNamesResolveToHighestAddressOverallOrInTheModule)
{
    ASSERT_TRUE(parse_text("3000 t dup\t[mod_a]\n1000 t dup\nffffffff81000000 T dup\t[mod_b]\n"
                           "2000 t dup\t[mod_a]\n4000 T other\n"));
    EXPECT_EQ(table_.size(), 5u);
    EXPECT_EQ(table_.find_by_name("dup").addr, 0xffffffff81000000u);
    EXPECT_EQ(table_.find_by_name("dup").module, "mod_b");
    EXPECT_EQ(table_.find_by_name("other").addr, 0x4000u);
    const struct {
        const char *name, *module;
        uint64_t addr; // 0: not found
    } cases[] = {
        {"dup", "mod_a", 0x3000}, {"dup", "mod_b", 0xffffffff81000000},
        {"dup", "", 0x1000},      {"other", "", 0x4000},
        {"dup", "mod_c", 0},      {"other", "mod_a", 0},
        {"dup", "mod", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " in [" + c.module + "]");
        ksym found = table_.find_in_module(c.name, c.module);
        EXPECT_EQ(found.addr, c.addr);
        EXPECT_EQ(is_unknown(found), c.addr == 0);
        if (c.addr != 0) {
            EXPECT_EQ(found.module, c.module);
        }
    }
}

TEST_F(KallsymsTest, BadLineEndsReadingButKeepsWhatCameBefore)
{
    for (const char *bad : {
             "zzzz t bad\n",              // not hexadecimal
             "10000000000000000 t big\n", // above 64 bits
             "12g4 t garbage\n",          // trailing garbage would shift the columns
             "5000 t\n",                  // no name: the next line must not become one
             "5000 tt two_letter_type\n",
         }) {
        SCOPED_TRACE(bad);
        ASSERT_TRUE(parse_text(std::string("2000 t b\n1000 T a\n") + bad + "3000 t after\n"));
        ASSERT_EQ(table_.size(), 2u);
        EXPECT_EQ(table_.find_by_name("b").addr, 0x2000u);
        EXPECT_TRUE(is_unknown(table_.find_by_name("after")));
    }
}

TEST_F(KallsymsTest, ParsingAgainReplacesTheTable)
{
    ASSERT_TRUE(parse_text("1000 t a\n"));
    ASSERT_TRUE(parse_text("2000 t a\t[m]\n3000 t b\n"));
    EXPECT_EQ(table_.find_by_name("a").addr, 0x2000u);
    EXPECT_EQ(table_.find_in_module("a", "m").addr, 0x2000u);
    EXPECT_TRUE(is_unknown(table_.find_by_addr(0x1000)));

    // An empty file gives, a missing one leaves, an empty table.
    ASSERT_TRUE(parse_text(""));
    EXPECT_EQ(table_.size(), 0u);
    ASSERT_TRUE(parse_text("1000 t a\n"));
    EXPECT_FALSE(table_.parse((dir_.path() / "missing").string()));
    EXPECT_EQ(table_.size(), 0u);
    EXPECT_TRUE(is_unknown(table_.find_by_name("a")));
    EXPECT_TRUE(is_unknown(table_.find_in_module("a", "")));
    EXPECT_TRUE(is_unknown(table_.find_by_addr(0x1000)));
}

TEST_F(KallsymsTest, MatchesStreamReadingOnIrregularSpacing)
{
    std::mt19937 random(1);
    const char *separators[] = {" ", " ", " ", "\t", "  ", " \t ", "\v", "\f"};
    // The module column loses its brackets; without both it is no module.
    const char *line_ends[] = {
        "\n",           "\n",   "\t[ext4]\n", "\r\n",      "\t[ext4] \n", " [xfs] extra\n",
        "   [xfs]\r\n", "\n\n", "\t[]\n",     "\t[ext4\n", " ext4\n"};
    auto sep = [&] { return separators[random() % std::size(separators)]; };
    std::ostringstream text;
    for (int i = 0; i < 4000; ++i) {
        // Half the addresses as the kernel writes them, 16 digits wide.
        text << (random() % 4 == 0 ? sep() : "") << std::hex << std::setw(random() % 2 ? 16 : 0)
             << std::setfill('0') << (random() % 64) * 16 << sep() << "tTdDbBrW"[random() % 8]
             << sep() << "sym_" << std::dec << random() % 500
             << line_ends[random() % std::size(line_ends)];
    }
    ASSERT_TRUE(parse_text(text.str()));
    expect_same_table(table_, read_with_stream(path()));
}

TEST(KallsymsRealFile, MatchesStreamReadingAndFindsEveryName)
{
    REQUIRE_OR_SKIP(access("/proc/kallsyms", R_OK) == 0, "/proc/kallsyms is not readable");
    kallsyms_parser table;
    ASSERT_TRUE(table.parse("/proc/kallsyms"));
    ksym submit_bio = table.find_by_name("submit_bio");
    REQUIRE_OR_SKIP(submit_bio.addr != 0, "kernel addresses are hidden (kptr_restrict)");

    // The list can change between two reads (modules loading), so compare only
    // when both reads saw the same number of lines.
    std::vector<plain_symbol> reference = read_with_stream("/proc/kallsyms");
    if (reference.size() == table.size())
        expect_same_table(table, reference);
    EXPECT_EQ(table.find_by_addr(submit_bio.addr + 1).addr, submit_bio.addr);
    EXPECT_EQ(table.find_in_module("submit_bio", "").addr, submit_bio.addr);

    for (size_t i = 0; i < table.size(); ++i) {
        ksym sym = table.symbol(i);
        // One byte in: the last symbol starting where it does, or one starting there.
        size_t last_at_start = i;
        while (last_at_start + 1 < table.size() && table.symbol(last_at_start + 1).addr == sym.addr)
            ++last_at_start;
        const size_t next = last_at_start + 1;
        const bool next_starts_there =
            next < table.size() && table.symbol(next).addr == sym.addr + 1;
        ASSERT_EQ(table.find_by_addr(sym.addr + 1).name,
                  table.symbol(next_starts_there ? next : last_at_start).name);
        ASSERT_EQ(table.find_by_addr(sym.addr).addr, sym.addr);
        ksym found = table.find_by_name(sym.name);
        ASSERT_EQ(found.name, sym.name);
        ASSERT_GE(found.addr, sym.addr);
        ASSERT_GE(table.find_in_module(sym.name, sym.module).addr, sym.addr);
    }
}

} // namespace
