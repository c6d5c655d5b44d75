// Fuzz target: the symbol table read from arbitrary text. Lookups must agree
// with the table and the code ranges must be well formed, whatever the input.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kallsyms_parser/kallsyms_parser.h"

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_kallsyms: %s\n", what);
        std::abort();
    }
}

// The input goes through a memory file, so that parse() reads it as it reads
// /proc/kallsyms.
int input_file()
{
    static int fd = memfd_create("fuzz_kallsyms", MFD_CLOEXEC);
    return fd;
}

void check_lookups(const kallsyms_parser &table)
{
    uint64_t previous = 0;
    for (size_t i = 0; i < table.size(); ++i) {
        ksym sym = table.symbol(i);
        check(i == 0 || sym.addr >= previous, "symbols out of address order");
        previous = sym.addr;
        check(table.find_by_addr(sym.addr).addr == sym.addr, "find_by_addr of a symbol's start");
        ksym by_name = table.find_by_name(sym.name);
        check(by_name.name == sym.name && by_name.addr >= sym.addr, "find_by_name");
        ksym in_module = table.find_in_module(sym.name, sym.module);
        check(in_module.name == sym.name && in_module.module == sym.module &&
                  in_module.addr >= sym.addr && in_module.addr <= by_name.addr,
              "find_in_module");
    }
    if (table.size() > 0 && table.symbol(0).addr > 0)
        check(is_unknown(table.find_by_addr(table.symbol(0).addr - 1)), "below every symbol");
}

void check_code_ranges(const kallsyms_parser &table)
{
    for (ENUM_FS_TYPE type : {ENUM_FS_TYPE_EXT4, ENUM_FS_TYPE_XFS, ENUM_FS_TYPE_UNKNOWN}) {
        std::vector<code_range_t> ranges = table.fs_code_ranges(type);
        check(ranges.size() <= MAX_CODE_RANGES, "too many code ranges");
        for (size_t i = 0; i < ranges.size(); ++i) {
            check(ranges[i].first < ranges[i].second, "empty code range");
            check(i == 0 || ranges[i - 1].second < ranges[i].first, "code ranges overlap");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = input_file();
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    kallsyms_parser table;
    check(table.parse("/proc/self/fd/" + std::to_string(fd)), "parse of a readable file");
    check_lookups(table);
    check_code_ranges(table);
    return 0;
}
