// The kernel symbol table read from /proc/kallsyms.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/common.h"

// One symbol. name and module view the table's copy of the file: they stay
// valid until the table is parsed again or destroyed.
struct ksym {
    std::string_view name;
    uint64_t addr;
    char type;
    // The module column without its brackets ("[ext4]" -> "ext4"); empty for
    // the core kernel.
    std::string_view module;
};

// Returned by every lookup that finds nothing.
extern const ksym unknown_ksym;
bool is_unknown(const ksym &sym);

class kallsyms_parser {
  public:
    kallsyms_parser() = default;
    kallsyms_parser(const kallsyms_parser &) = delete;
    kallsyms_parser &operator=(const kallsyms_parser &) = delete;

    // Rebuilds the table from path; false (and an empty table) when it cannot
    // be opened. Reading stops at the first line that is not "address type
    // name [module]". Not to be called while another thread looks symbols up.
    bool parse(const std::string &path);

    // Highest-addressed symbol of that exact name, or unknown_ksym.
    ksym find_by_name(std::string_view name) const;
    // Highest-addressed symbol of that name in that module ("" for the core
    // kernel), or unknown_ksym.
    ksym find_in_module(std::string_view name, std::string_view module) const;
    // Symbol whose start is the nearest at or below addr (of several at the
    // same address, the first in name order when addr is their start, else
    // the last), or unknown_ksym below every symbol.
    ksym find_by_addr(uint64_t addr) const;

    // The code of a file system (with jbd2 for ext4): sorted, disjoint,
    // non-empty ranges, at most MAX_CODE_RANGES of them; empty when the
    // kernel has none of it. See fs_code.cpp for the rules.
    std::vector<code_range_t> fs_code_ranges(ENUM_FS_TYPE type) const;

    // The symbols in address order (ties by name, type, module).
    size_t size() const { return entries_.size(); }
    ksym symbol(size_t position) const;
    // Changes with every parse(), so that what was looked up can be known stale.
    uint64_t generation() const { return generation_; }

  private:
    // One symbol as offsets into text_; 24 bytes, so that sorting moves little.
    struct entry {
        uint64_t addr;
        uint32_t name_offset;
        uint16_t name_size;
        char type;
        uint32_t module; // index into modules_, 0 for the core kernel
    };
    struct free_deleter {
        void operator()(char *p) const { std::free(p); }
    };
    // Name index: open addressing over hashes of the names, one slot per
    // distinct name holding its highest-addressed position; lower positions of
    // the same name are chained through lower_same_name_.
    struct name_slot {
        uint32_t hash;
        uint32_t position_plus_one; // 0: empty slot
    };

    void read_entries(std::string_view text);
    void sort_entries();
    void build_address_index();
    std::string_view name_of(const entry &e) const;
    uint32_t module_id(std::string_view module) const;
    void ensure_name_index() const;
    void build_name_index() const;
    // Position of the highest-addressed symbol of that name, or size().
    size_t highest_position_of(std::string_view name) const;

    uint64_t generation_ = 0;
    std::unique_ptr<char, free_deleter> text_;
    // Address index: entry position of the first symbol at or above each
    // 2^address_shift_-byte step from the lowest address on, so that a lookup
    // searches a few neighbouring entries instead of the whole table (the
    // binary search over all of it is cache misses, and a report makes 32).
    uint64_t address_base_ = 0;
    unsigned address_shift_ = 0;
    std::vector<uint32_t> address_steps_;
    std::vector<entry> entries_;
    std::vector<std::string_view> modules_;

    mutable std::mutex name_index_mutex_;
    mutable std::atomic<bool> name_index_built_{false};
    mutable std::vector<name_slot> name_slots_;
    mutable std::vector<uint32_t> lower_same_name_;
};
