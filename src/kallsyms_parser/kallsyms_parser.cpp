#include "kallsyms_parser/kallsyms_parser.h"

#include "base/corvane.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>
#include <unordered_map>

const ksym unknown_ksym{"unknown_ksym", 0, '?', ""};

bool is_unknown(const ksym &sym)
{
    return sym.name.data() == unknown_ksym.name.data();
}

namespace {

// Reads a whole file into one malloc'ed block. The block is not cleared and
// realloc can grow a large block by remapping it, so reading the ~5 MB of
// /proc/kallsyms costs little beyond the kernel's side. /proc/kallsyms reports
// a size of 0, so the file is read until end of file. A read error (or no
// memory) keeps what arrived, cut back to its last complete line so that no
// truncated name is taken for a real one.
class file_reader {
  public:
    ~file_reader() { std::free(data_); }

    bool read(const std::string &path);
    size_t size() const { return size_; }
    // Hands the block over (nullptr when the file was empty).
    char *release()
    {
        char *data = data_;
        data_ = nullptr;
        return data;
    }

  private:
    bool reserve(size_t capacity);
    void keep_complete_lines();

    char *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

bool file_reader::reserve(size_t capacity)
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

void file_reader::keep_complete_lines()
{
    while (size_ > 0 && data_[size_ - 1] != '\n')
        --size_;
}

bool file_reader::read(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;

    constexpr size_t min_free = 256 << 10;
    size_t expected = 8 << 20; // a running kernel's list is 5 to 7 MB
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size > 0)
        expected = static_cast<size_t>(st.st_size) + min_free;

    bool complete = false;
    for (;;) {
        if (capacity_ - size_ < min_free && !reserve(std::max(expected, capacity_ * 2)))
            break;
        ssize_t got = ::read(fd, data_ + size_, capacity_ - size_);
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
    if (!complete)
        keep_complete_lines();
    return true;
}

// Character classes of the kallsyms text, by byte value: token separators are
// the C locale's white space, and only '\n' ends a line.
struct char_classes {
    bool space[256] = {};
    bool blank[256] = {};
    int8_t hex[256] = {};
    constexpr char_classes()
    {
        for (unsigned char c : {' ', '\t', '\v', '\f', '\r'})
            space[c] = blank[c] = true;
        space[static_cast<unsigned char>('\n')] = true;
        for (int c = 0; c < 256; ++c)
            hex[c] = static_cast<int8_t>(hex_digit_value(static_cast<char>(c)));
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
int hex_digit(char c)
{
    return classes.hex[static_cast<unsigned char>(c)];
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
        int digit = hex_digit(c);
        if (digit < 0 || value > (UINT64_MAX >> 4))
            return false;
        value = (value << 4) | static_cast<uint64_t>(digit);
    }
    addr = value;
    return true;
}

// One line of the file as views into it.
struct line_fields {
    uint64_t addr;
    std::string_view type;
    std::string_view name;
    std::string_view module; // without brackets; empty when there is none
};

// Tokeniser over the file buffer; each line is "address type name [module]".
class kallsyms_reader {
  public:
    explicit kallsyms_reader(std::string_view text) : pos_(text.data()), end_(pos_ + text.size()) {}

    // Next symbol line into fields; false at end of input or at the first line
    // that cannot be read (non-hexadecimal address, missing type or name).
    bool next(line_fields &fields)
    {
        return next_as_the_kernel_writes(fields) || next_of_any_layout(fields);
    }

  private:
    // The kernel's own layout, "%016lx %c %s\n" or "%016lx %c %s\t[%s]\n",
    // read without tokenising; false (nothing consumed) for any other line.
    bool next_as_the_kernel_writes(line_fields &fields)
    {
        constexpr size_t digits = 16;
        if (static_cast<size_t>(end_ - pos_) < digits + 4 || pos_[digits] != ' ' ||
            is_space(pos_[digits + 1]) || pos_[digits + 2] != ' ')
            return false;
        uint64_t addr = 0;
        for (size_t i = 0; i < digits; ++i) {
            int digit = hex_digit(pos_[i]);
            if (digit < 0)
                return false;
            addr = (addr << 4) | static_cast<uint64_t>(digit);
        }
        const char *name = pos_ + digits + 3;
        const void *line_feed = std::memchr(name, '\n', static_cast<size_t>(end_ - name));
        if (line_feed == nullptr)
            return false;
        const char *line_end = static_cast<const char *>(line_feed);
        const char *name_end = name;
        while (name_end != line_end && !is_space(*name_end))
            ++name_end;
        if (name_end == name)
            return false;
        std::string_view module;
        if (name_end != line_end) {
            module = std::string_view(name_end + 1, static_cast<size_t>(line_end - name_end - 1));
            if (*name_end != '\t' || bracketed(module).empty() ||
                std::any_of(module.begin(), module.end(), is_space))
                return false;
            module = bracketed(module);
        }
        fields = line_fields{addr, std::string_view(pos_ + digits + 1, 1),
                             std::string_view(name, static_cast<size_t>(name_end - name)), module};
        pos_ = line_end + 1;
        return true;
    }

    bool next_of_any_layout(line_fields &fields)
    {
        skip_space_and_blank_lines();
        if (pos_ == end_)
            return false;
        if (!parse_hex_address(token(), fields.addr))
            return false;
        skip_blanks();
        if (at_line_end())
            return false;
        fields.type = token();
        skip_blanks();
        if (at_line_end())
            return false;
        fields.name = token();
        skip_blanks();
        fields.module = at_line_end() ? std::string_view() : bracketed(token());
        skip_rest_of_line();
        return true;
    }

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
    // "[ext4]" -> "ext4"; anything else is no module column.
    static std::string_view bracketed(std::string_view token)
    {
        if (token.size() < 2 || token.front() != '[' || token.back() != ']')
            return {};
        return token.substr(1, token.size() - 2);
    }
    void skip_rest_of_line()
    {
        const void *line_feed = std::memchr(pos_, '\n', static_cast<size_t>(end_ - pos_));
        pos_ = line_feed == nullptr ? end_ : static_cast<const char *>(line_feed) + 1;
    }

    const char *pos_;
    const char *end_;
};

// Names of up to 512 bytes (KSYM_NAME_LEN) are stored with 16-bit lengths.
constexpr size_t max_name_size = UINT16_MAX;

// A fast non-cryptographic hash of a name, 8 bytes at a time.
uint64_t name_hash(std::string_view name)
{
    constexpr uint64_t multiplier = 0x9e3779b97f4a7c15ull;
    uint64_t hash = name.size() * multiplier;
    size_t i = 0;
    for (; i + 8 <= name.size(); i += 8) {
        uint64_t chunk;
        std::memcpy(&chunk, name.data() + i, 8);
        hash = (hash ^ chunk) * multiplier;
        hash ^= hash >> 29;
    }
    if (i < name.size()) {
        uint64_t chunk = 0;
        std::memcpy(&chunk, name.data() + i, name.size() - i);
        hash = (hash ^ chunk) * multiplier;
        hash ^= hash >> 29;
    }
    return hash * multiplier;
}

} // namespace

std::string_view kallsyms_parser::name_of(const entry &e) const
{
    return std::string_view(text_.get() + e.name_offset, e.name_size);
}

ksym kallsyms_parser::symbol(size_t position) const
{
    const entry &e = entries_[position];
    return ksym{name_of(e), e.addr, e.type, modules_[e.module]};
}

bool kallsyms_parser::parse(const std::string &path)
{
    ++generation_;
    entries_.clear();
    modules_.assign(1, std::string_view());
    name_index_built_.store(false, std::memory_order_relaxed);
    name_slots_.clear();
    lower_same_name_.clear();
    address_steps_.clear();
    text_.reset();

    file_reader reader;
    if (!reader.read(path))
        return false;
    size_t size = reader.size();
    text_.reset(reader.release());
    read_entries(std::string_view(text_.get(), size));
    sort_entries();
    build_address_index();
    return true;
}

void kallsyms_parser::read_entries(std::string_view text)
{
    entries_.reserve(text.size() / 40 + 16);
    std::unordered_map<std::string_view, uint32_t> module_ids;
    std::string_view last_module;
    uint32_t last_module_id = 0;

    kallsyms_reader reader(text);
    line_fields fields{};
    while (reader.next(fields)) {
        size_t name_offset = static_cast<size_t>(fields.name.data() - text.data());
        if (fields.type.size() != 1 || fields.name.size() > max_name_size ||
            name_offset > UINT32_MAX)
            break;
        if (fields.module != last_module || fields.module.empty()) {
            last_module = fields.module;
            if (fields.module.empty()) {
                last_module_id = 0;
            } else {
                auto [it, added] = module_ids.try_emplace(fields.module, modules_.size());
                if (added)
                    modules_.push_back(fields.module);
                last_module_id = it->second;
            }
        }
        entries_.push_back(entry{fields.addr, static_cast<uint32_t>(name_offset),
                                 static_cast<uint16_t>(fields.name.size()), fields.type[0],
                                 last_module_id});
    }
}

// The core kernel's part of /proc/kallsyms comes in address order, modules
// follow in their own order: only what follows the sorted beginning is sorted,
// then merged. Symbols at one address are then put in name order.
void kallsyms_parser::sort_entries()
{
    auto by_addr = [](const entry &a, const entry &b) { return a.addr < b.addr; };
    auto sorted_end = std::is_sorted_until(entries_.begin(), entries_.end(), by_addr);
    if (sorted_end != entries_.end()) {
        std::sort(sorted_end, entries_.end(), by_addr);
        std::inplace_merge(entries_.begin(), sorted_end, entries_.end(), by_addr);
    }

    auto by_name = [this](const entry &a, const entry &b) {
        return std::make_tuple(name_of(a), a.type, modules_[a.module]) <
               std::make_tuple(name_of(b), b.type, modules_[b.module]);
    };
    for (auto group = entries_.begin(); group != entries_.end();) {
        auto group_end = group + 1;
        while (group_end != entries_.end() && group_end->addr == group->addr)
            ++group_end;
        if (group_end - group > 1)
            std::sort(group, group_end, by_name);
        group = group_end;
    }
}

void kallsyms_parser::ensure_name_index() const
{
    if (name_index_built_.load(std::memory_order_acquire))
        return;
    std::lock_guard<std::mutex> lock(name_index_mutex_);
    if (name_index_built_.load(std::memory_order_relaxed))
        return;
    build_name_index();
    name_index_built_.store(true, std::memory_order_release);
}

// Positions are inserted in address order, so that each slot ends up holding
// the highest-addressed position of its name.
void kallsyms_parser::build_name_index() const
{
    size_t capacity = 16;
    while (capacity < entries_.size() * 2)
        capacity *= 2;
    name_slots_.assign(capacity, name_slot{0, 0});
    lower_same_name_.assign(entries_.size(), UINT32_MAX);
    const size_t mask = capacity - 1;

    for (size_t position = 0; position < entries_.size(); ++position) {
        std::string_view name = name_of(entries_[position]);
        uint64_t hash = name_hash(name);
        uint32_t tag = static_cast<uint32_t>(hash >> 32);
        for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            name_slot &s = name_slots_[slot];
            if (s.position_plus_one == 0) {
                s = name_slot{tag, static_cast<uint32_t>(position + 1)};
                break;
            }
            if (s.hash == tag && name_of(entries_[s.position_plus_one - 1]) == name) {
                lower_same_name_[position] = s.position_plus_one - 1;
                s.position_plus_one = static_cast<uint32_t>(position + 1);
                break;
            }
        }
    }
}

size_t kallsyms_parser::highest_position_of(std::string_view name) const
{
    ensure_name_index();
    if (name_slots_.empty())
        return entries_.size();
    const size_t mask = name_slots_.size() - 1;
    uint64_t hash = name_hash(name);
    uint32_t tag = static_cast<uint32_t>(hash >> 32);
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const name_slot &s = name_slots_[slot];
        if (s.position_plus_one == 0)
            return entries_.size();
        if (s.hash == tag && name_of(entries_[s.position_plus_one - 1]) == name)
            return s.position_plus_one - 1;
    }
}

uint32_t kallsyms_parser::module_id(std::string_view module) const
{
    auto found = std::find(modules_.begin(), modules_.end(), module);
    return found == modules_.end() ? UINT32_MAX : static_cast<uint32_t>(found - modules_.begin());
}

ksym kallsyms_parser::find_by_name(std::string_view name) const
{
    size_t position = highest_position_of(name);
    return position == entries_.size() ? unknown_ksym : symbol(position);
}

ksym kallsyms_parser::find_in_module(std::string_view name, std::string_view module) const
{
    uint32_t wanted = module_id(module);
    if (wanted == UINT32_MAX)
        return unknown_ksym;
    size_t position = highest_position_of(name);
    if (position == entries_.size())
        return unknown_ksym;
    for (uint32_t p = static_cast<uint32_t>(position); p != UINT32_MAX; p = lower_same_name_[p]) {
        if (entries_[p].module == wanted)
            return symbol(p);
    }
    return unknown_ksym;
}

void kallsyms_parser::build_address_index()
{
    // At most 2^18 steps (1 MiB): on a real table a step then holds a few
    // dozen symbols.
    constexpr unsigned max_steps_log2 = 18;
    address_steps_.clear();
    if (entries_.empty())
        return;
    address_base_ = entries_.front().addr;
    const uint64_t span = entries_.back().addr - address_base_;
    address_shift_ = 0;
    while ((span >> address_shift_) >= (uint64_t{1} << max_steps_log2))
        ++address_shift_;
    const size_t steps = static_cast<size_t>(span >> address_shift_) + 1;
    address_steps_.resize(steps + 1);
    size_t position = 0;
    for (size_t step = 0; step < steps; ++step) {
        const uint64_t start = address_base_ + (uint64_t{step} << address_shift_);
        while (position < entries_.size() && entries_[position].addr < start)
            ++position;
        address_steps_[step] = static_cast<uint32_t>(position);
    }
    address_steps_[steps] = static_cast<uint32_t>(entries_.size());
}

ksym kallsyms_parser::find_by_addr(uint64_t addr) const
{
    // The entries whose start can be the first at or above addr: those of
    // addr's step, up to the first of the next step.
    auto first = entries_.begin();
    auto last = entries_.end();
    if (!address_steps_.empty() && addr >= address_base_) {
        const uint64_t step = (addr - address_base_) >> address_shift_;
        if (step + 1 < address_steps_.size()) {
            first = entries_.begin() + address_steps_[step];
            last = entries_.begin() + address_steps_[step + 1];
        } else {
            first = last; // above every symbol's start
        }
    }
    // First entry with a start address at or above addr.
    auto p = std::lower_bound(first, last, addr,
                              [](const entry &e, uint64_t key) { return e.addr < key; });
    if (p != entries_.end() && p->addr == addr)
        return symbol(static_cast<size_t>(p - entries_.begin()));
    if (p == entries_.begin())
        return unknown_ksym;
    return symbol(static_cast<size_t>(p - entries_.begin()) - 1);
}
