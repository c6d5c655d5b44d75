#include "kallsyms_parser/kallsyms_parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <regex>
#include <string_view>
#include <tuple>

#include "base/corvane.h"

const ksym unknown_ksym{"unknown_ksym", 0, "unknown_ksym"};

namespace {

// One symbol as it stands in the file buffer, before it is copied into the table.
struct raw_symbol {
    uint64_t addr;
    std::string_view name;
    std::string_view type;
};

bool raw_symbol_less(const raw_symbol &a, const raw_symbol &b)
{
    // Ties on (addr, name) are broken by type only to make the order reproducible.
    return std::tie(a.addr, a.name, a.type) < std::tie(b.addr, b.name, b.type);
}

// The whole content of a file in one malloc'ed block. The block is not
// cleared before reading and realloc can grow a large block by remapping it,
// so reading the ~5 MB of /proc/kallsyms costs little beyond the kernel's side.
class file_content {
  public:
    file_content() = default;
    file_content(const file_content &) = delete;
    file_content &operator=(const file_content &) = delete;
    ~file_content() { std::free(data_); }

    bool read_from(const std::string &path);
    std::string_view text() const { return std::string_view(data_, size_); }

  private:
    bool reserve(size_t capacity);

    char *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

bool file_content::reserve(size_t capacity)
{
    if (capacity <= capacity_)
        return true;
    char *grown = static_cast<char *>(std::realloc(data_, capacity));
    if (grown == nullptr)
        return false;
    data_ = grown;
    capacity_ = capacity;
    return true;
}

// /proc/kallsyms reports a size of 0, so the file is read until end of file.
// A read error (or no memory) keeps what arrived, cut back to its last
// complete line so that no truncated name is taken for a real one.
bool file_content::read_from(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;

    constexpr size_t min_free = 256 << 10;
    size_t expected = 8 << 20; // a running kernel's list is 5 to 6 MB
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size > 0)
        expected = static_cast<size_t>(st.st_size) + min_free;

    size_ = 0;
    bool complete = false;
    for (;;) {
        if (capacity_ - size_ < min_free && !reserve(std::max(expected, capacity_ * 2)))
            break;
        ssize_t got = read(fd, data_ + size_, capacity_ - size_);
        if (got > 0) {
            size_ += static_cast<size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        complete = got == 0;
        break;
    }
    close(fd);

    if (!complete) {
        size_t last_newline = text().rfind('\n');
        size_ = last_newline == std::string_view::npos ? 0 : last_newline + 1;
    }
    return true;
}

// Character classes of the kallsyms text, by byte value: token separators are
// the C locale's white space, and only '\n' ends a line.
struct char_classes {
    bool space[256] = {};
    bool blank[256] = {};
    constexpr char_classes()
    {
        for (unsigned char c : {' ', '\t', '\v', '\f', '\r'})
            space[c] = blank[c] = true;
        space[static_cast<unsigned char>('\n')] = true;
    }
};
constexpr char_classes classes;

bool is_space(char c)
{
    return classes.space[static_cast<unsigned char>(c)];
}
bool is_blank(char c)
{
    return classes.blank[static_cast<unsigned char>(c)];
}

// Reads a whole token as an unsigned 64-bit hexadecimal number. Like a
// hexadecimal stream extraction, it accepts an optional "0x"/"0X" prefix and
// any number of leading zeros, and refuses values above 64 bits. Unlike it,
// a token with anything after its digits is refused instead of being split,
// because splitting would shift the type and name columns of the line.
bool parse_hex_address(std::string_view token, uint64_t &addr)
{
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X'))
        token.remove_prefix(2);
    if (token.empty())
        return false;
    uint64_t value = 0;
    for (char c : token) {
        int digit = hex_digit_value(c);
        if (digit < 0 || value > (UINT64_MAX >> 4))
            return false;
        value = (value << 4) | static_cast<uint64_t>(digit);
    }
    addr = value;
    return true;
}

// Tokeniser over the file buffer; each line is "address type name [module]".
class kallsyms_reader {
  public:
    explicit kallsyms_reader(std::string_view text) : pos_(text.data()), end_(pos_ + text.size()) {}

    // Next symbol line into sym; false at end of input or at the first line
    // that cannot be read (non-hexadecimal address, missing type or name).
    bool next(raw_symbol &sym)
    {
        skip_space_and_blank_lines();
        if (pos_ == end_)
            return false;
        if (!parse_hex_address(token(), sym.addr))
            return false;
        skip_blanks();
        if (at_line_end())
            return false;
        sym.type = token();
        skip_blanks();
        if (at_line_end())
            return false;
        sym.name = token();
        skip_rest_of_line();
        return true;
    }

  private:
    void skip_space_and_blank_lines()
    {
        while (pos_ != end_ && is_space(*pos_))
            ++pos_;
    }
    void skip_blanks()
    {
        while (pos_ != end_ && is_blank(*pos_))
            ++pos_;
    }
    bool at_line_end() const { return pos_ == end_ || *pos_ == '\n'; }
    std::string_view token()
    {
        const char *start = pos_;
        while (pos_ != end_ && !is_space(*pos_))
            ++pos_;
        return std::string_view(start, static_cast<size_t>(pos_ - start));
    }
    // Drops the module column, if any, and the line feed.
    void skip_rest_of_line()
    {
        const void *line_feed = std::memchr(pos_, '\n', static_cast<size_t>(end_ - pos_));
        pos_ = line_feed == nullptr ? end_ : static_cast<const char *>(line_feed) + 1;
    }

    const char *pos_;
    const char *end_;
};

std::vector<raw_symbol> read_symbols(std::string_view text)
{
    std::vector<raw_symbol> raw;
    raw.reserve(text.size() / 32 + 16);
    kallsyms_reader reader(text);
    raw_symbol sym{};
    while (reader.next(sym))
        raw.push_back(sym);
    return raw;
}

bool is_text_symbol(const std::string &type)
{
    return type == "t" || type == "T";
}

// Names of start-up, tear-down, tracing and test code that lie outside the
// module's run-time code.
bool is_excluded_from_module_range(const std::string &name)
{
    static const std::regex excluded(
        "exit|init|__SCT__|__PFX_|_xfs_dqblk|xfs_dahash_test|trace|__probestub",
        std::regex::ECMAScript | std::regex::optimize);
    return std::regex_search(name, excluded);
}

// 8 bytes of a name from offset on, zero-padded, as a big-endian number:
// comparing two such numbers agrees with comparing the names byte-wise
// wherever the numbers differ.
uint64_t name_bytes(std::string_view name, size_t offset)
{
    uint64_t value = 0;
    for (size_t i = offset; i < offset + 8; ++i)
        value = (value << 8) | (i < name.size() ? static_cast<unsigned char>(name[i]) : 0u);
    return value;
}

void print_module_range(const std::string &module, const fs_range &range)
{
    std::cout << "find " << module << "'s module [" << std::hex << range.first << ", "
              << range.second << std::dec << ") function range in /proc/kallsyms." << std::endl;
}

} // namespace

bool kallsyms_parser::parse(const std::string &path)
{
    name_index_.clear();
    symbols_.clear();

    file_content content;
    if (!content.read_from(path))
        return false;

    std::vector<raw_symbol> raw = read_symbols(content.text());
    std::sort(raw.begin(), raw.end(), raw_symbol_less);

    symbols_.reserve(raw.size());
    for (const raw_symbol &sym : raw)
        symbols_.push_back(ksym{std::string(sym.name), sym.addr, std::string(sym.type)});

    build_name_index();
    return true;
}

kallsyms_parser::name_position kallsyms_parser::make_name_position(std::string_view name,
                                                                   uint64_t position)
{
    return name_position{{name_bytes(name, 0), name_bytes(name, 8)}, name, position};
}

// Each name maps to its last position in the address order, that is to its
// highest-addressed occurrence.
void kallsyms_parser::build_name_index()
{
    std::vector<name_position> all;
    all.reserve(symbols_.size());
    for (uint64_t i = 0; i < symbols_.size(); ++i)
        all.push_back(make_name_position(symbols_[i].name, i));
    std::sort(all.begin(), all.end(), [](const name_position &a, const name_position &b) {
        return std::tie(a.prefix[0], a.prefix[1], a.name, a.position) <
               std::tie(b.prefix[0], b.prefix[1], b.name, b.position);
    });

    name_index_.reserve(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        bool last_of_its_name = i + 1 == all.size() || all[i + 1].name != all[i].name;
        if (last_of_its_name)
            name_index_.push_back(all[i]);
    }
}

const ksym &kallsyms_parser::find_by_name(const std::string &name) const
{
    name_position key = make_name_position(name, 0);
    auto found = std::lower_bound(name_index_.begin(), name_index_.end(), key,
                                  [](const name_position &a, const name_position &b) {
                                      return std::tie(a.prefix[0], a.prefix[1], a.name) <
                                             std::tie(b.prefix[0], b.prefix[1], b.name);
                                  });
    if (found == name_index_.end() || found->name != name)
        return unknown_ksym;
    return symbols_[found->position];
}

const ksym &kallsyms_parser::find_by_addr(uint64_t addr) const
{
    if (symbols_.empty())
        return unknown_ksym;
    // First entry with a start address at or above addr.
    auto p = std::lower_bound(symbols_.begin(), symbols_.end(), addr,
                              [](const ksym &sym, uint64_t key) { return sym.addr < key; });
    if (p == symbols_.end())
        return symbols_.back();
    if (p->addr == addr)
        return *p;
    if (p == symbols_.begin())
        return unknown_ksym;
    return *(p - 1);
}

fs_range kallsyms_parser::find_module_range(const std::string &module) const
{
    fs_range range{};
    range.first = UINT64_MAX;
    range.second = 0;

    for (const ksym &sym : symbols_) {
        if (!is_text_symbol(sym.type))
            continue;
        if (!module.empty() && (sym.name.empty() || sym.name.find(module) == std::string::npos))
            continue;
        if (is_excluded_from_module_range(sym.name))
            continue;
        range.first = std::min<uint64_t>(range.first, sym.addr);
        range.second = std::max<uint64_t>(range.second, sym.addr);
    }

    if (debug_on())
        print_module_range(module, range);
    return range;
}

std::vector<code_range_t> kallsyms_parser::fs_code_ranges(ENUM_FS_TYPE type) const
{
    const char *name = type == ENUM_FS_TYPE_EXT4 ? "ext4" : type == ENUM_FS_TYPE_XFS ? "xfs" : "";
    if (!*name)
        return {};
    fs_range r = find_module_range(name);
    if (r.second == 0)
        return {};
    return {code_range_t{r.first, r.second}};
}
