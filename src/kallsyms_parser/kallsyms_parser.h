// The kernel symbol table read from /proc/kallsyms.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/common.h"

struct ksym {
    std::string name;
    uint64_t addr;
    std::string type;
};

// Returned by every lookup that finds nothing.
extern const ksym unknown_ksym;

class kallsyms_parser {
  public:
    kallsyms_parser() = default;
    kallsyms_parser(const kallsyms_parser &) = delete;
    kallsyms_parser &operator=(const kallsyms_parser &) = delete;

    // Rebuilds the table from path; false (and an empty table) when it cannot be opened.
    bool parse(const std::string &path);
    // Highest-addressed symbol of that exact name, or unknown_ksym.
    const ksym &find_by_name(const std::string &name) const;
    // Symbol whose start is the nearest at or below addr, or unknown_ksym.
    const ksym &find_by_addr(uint64_t addr) const;
    // [lowest, highest) start address of the text symbols whose name contains module.
    fs_range find_module_range(const std::string &module) const;
    // Address ranges of the file system's own code (temporary: the module range).
    std::vector<code_range_t> fs_code_ranges(ENUM_FS_TYPE type) const;
    const std::vector<ksym> &symbols() const { return symbols_; }

  private:
    // One entry of the name index: a name (viewing the string held in
    // symbols_), its last position in symbols_, and its first 16 bytes as two
    // big-endian numbers, which order most names without reading them.
    struct name_position {
        uint64_t prefix[2];
        std::string_view name;
        uint64_t position;
    };

    static name_position make_name_position(std::string_view name, uint64_t position);
    void build_name_index();

    std::vector<ksym> symbols_;
    // Ordered by name, one entry per distinct name: an ordered map kept as a
    // sorted array, which builds several times faster than a node-based map
    // for the ~120,000 names of a running kernel.
    std::vector<name_position> name_index_;
};
