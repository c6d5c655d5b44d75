// The kernel symbol table read from /proc/kallsyms.
#pragma once

#include <cstdint>
#include <map>
#include <string>
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
    const std::vector<ksym> &symbols() const { return symbols_; }

  private:
    std::vector<ksym> symbols_;
    std::map<std::string, uint64_t> name_index_;
};
