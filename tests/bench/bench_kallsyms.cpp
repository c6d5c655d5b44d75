// Start-up cost of reading /proc/kallsyms, the cost of lookups and of finding
// the file systems' code. Prints figures only. Compares the table's parser with the usual loader of
// tracing tools: fscanf line by line, then qsort by address.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/corvane.h"
#include "kallsyms_parser/kallsyms_parser.h"

namespace {

using bench_clock = std::chrono::steady_clock;

double elapsed_ms(bench_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(bench_clock::now() - start).count();
}

struct plain_ksym {
    unsigned long long addr;
    char *name;
};

int compare_plain_ksym(const void *a, const void *b)
{
    const auto *x = static_cast<const plain_ksym *>(a);
    const auto *y = static_cast<const plain_ksym *>(b);
    if (x->addr != y->addr)
        return x->addr < y->addr ? -1 : 1;
    return strcmp(x->name, y->name);
}

// The straightforward loader: one fscanf per line, strdup per name, qsort.
size_t load_with_fscanf(const char *path)
{
    FILE *f = fopen(path, "r");
    if (!f)
        return 0;
    std::vector<plain_ksym> syms;
    char type;
    char name[512];
    unsigned long long addr;
    while (fscanf(f, "%llx %c %511s%*[^\n]\n", &addr, &type, name) == 3)
        syms.push_back(plain_ksym{addr, strdup(name)});
    fclose(f);
    qsort(syms.data(), syms.size(), sizeof(plain_ksym), compare_plain_ksym);
    size_t count = syms.size();
    for (plain_ksym &sym : syms)
        free(sym.name);
    return count;
}

// Only the kernel's side of the cost: reading the file without parsing it.
size_t read_only(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    static char buffer[1 << 20];
    size_t total = 0;
    ssize_t got;
    while ((got = read(fd, buffer, sizeof(buffer))) > 0)
        total += static_cast<size_t>(got);
    close(fd);
    return total;
}

// Times of one loader over the rounds.
struct timing {
    const char *label;
    std::vector<double> ms;
    size_t items = 0;

    double best() const { return *std::min_element(ms.begin(), ms.end()); }
    double median() const
    {
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
    void print() const
    {
        std::printf("%-28s %8zu items  best %8.1f ms  median %8.1f ms  (%zu runs)\n", label, items,
                    best(), median(), ms.size());
    }
};

template <typename F> void time_once(timing &t, F load)
{
    auto start = bench_clock::now();
    t.items = load();
    t.ms.push_back(elapsed_ms(start));
}

void bench_lookups(const char *path)
{
    kallsyms_parser table;
    table.parse(path);
    if (table.size() == 0)
        return;
    std::mt19937_64 random(42);
    std::uniform_int_distribution<size_t> pick(0, table.size() - 1);
    std::uniform_int_distribution<uint64_t> offset(0, 4096);
    std::vector<uint64_t> addresses(1 << 20);
    for (uint64_t &a : addresses)
        a = table.symbol(pick(random)).addr + offset(random);

    uint64_t checksum = 0;
    auto start = bench_clock::now();
    for (uint64_t a : addresses)
        checksum += table.find_by_addr(a).addr;
    double ms = elapsed_ms(start);
    std::printf("find_by_addr                 %8.2f M lookups/s  (checksum %" PRIx64 ")\n",
                addresses.size() / ms / 1000.0, checksum);

    start = bench_clock::now();
    bool found_first = !is_unknown(table.find_by_name(table.symbol(0).name));
    std::printf("first find_by_name           %8.1f ms  (builds the name index; found %d)\n",
                elapsed_ms(start), found_first);

    std::vector<std::string_view> names(200000);
    for (std::string_view &name : names)
        name = table.symbol(pick(random)).name;
    start = bench_clock::now();
    size_t found = 0;
    for (std::string_view name : names)
        found += !is_unknown(table.find_by_name(name));
    ms = elapsed_ms(start);
    std::printf("find_by_name                 %8.2f M lookups/s  (%zu found)\n",
                names.size() / ms / 1000.0, found);

    for (ENUM_FS_TYPE type : {ENUM_FS_TYPE_EXT4, ENUM_FS_TYPE_XFS}) {
        start = bench_clock::now();
        std::vector<code_range_t> ranges = table.fs_code_ranges(type);
        ms = elapsed_ms(start);
        uint64_t bytes = 0;
        for (const code_range_t &range : ranges)
            bytes += range.second - range.first;
        std::printf("fs_code_ranges(%-4s)         %8.1f ms  %zu ranges, %" PRIu64 " KiB\n",
                    fs_type_name(type), ms, ranges.size(), bytes >> 10);
    }
}

} // namespace

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "/proc/kallsyms";
    const int rounds = 15;
    std::printf("source: %s\n", path);

    // The loaders take turns, so that a busy machine slows them alike.
    timing raw{"read only (kernel cost)", {}}, scanf{"fscanf + qsort loader", {}},
        parse{"kallsyms_parser::parse", {}};
    kallsyms_parser table;
    for (int round = 0; round < rounds; ++round) {
        time_once(raw, [&] { return read_only(path); });
        time_once(parse, [&] {
            table.parse(path);
            return table.size();
        });
        if (round % 3 == 0)
            time_once(scanf, [&] { return load_with_fscanf(path); });
    }
    for (const timing *t : {&raw, &scanf, &parse})
        t->print();
    std::printf("parse / read only            best %5.2fx  median %5.2fx\n",
                parse.best() / raw.best(), parse.median() / raw.median());
    std::printf("parse / fscanf loader        best %5.2fx  median %5.2fx\n",
                parse.best() / scanf.best(), parse.median() / scanf.median());
    bench_lookups(path);
    return 0;
}
