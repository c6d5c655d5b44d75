// Start-up cost of reading /proc/kallsyms and the cost of address lookups.
// Prints figures only. Compares the table's parser with the usual loader of
// tracing tools: fscanf line by line, then qsort by address.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

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

template <typename F> void time_runs(const char *label, int runs, F load)
{
    double best = 1e30, sum = 0;
    size_t count = 0;
    for (int i = 0; i < runs; ++i) {
        auto start = bench_clock::now();
        count = load();
        double ms = elapsed_ms(start);
        best = std::min(best, ms);
        sum += ms;
    }
    std::printf("%-28s %8zu items  best %8.1f ms  mean %8.1f ms  (%d runs)\n", label, count, best,
                sum / runs, runs);
}

void bench_lookups(const kallsyms_parser &table)
{
    const std::vector<ksym> &syms = table.symbols();
    if (syms.empty())
        return;
    std::mt19937_64 random(42);
    std::uniform_int_distribution<size_t> pick(0, syms.size() - 1);
    std::uniform_int_distribution<uint64_t> offset(0, 4096);
    std::vector<uint64_t> addresses(1 << 20);
    for (uint64_t &a : addresses)
        a = syms[pick(random)].addr + offset(random);

    uint64_t checksum = 0;
    auto start = bench_clock::now();
    for (uint64_t a : addresses)
        checksum += table.find_by_addr(a).addr;
    double ms = elapsed_ms(start);
    std::printf("find_by_addr                 %8.2f M lookups/s  (checksum %" PRIx64 ")\n",
                addresses.size() / ms / 1000.0, checksum);

    start = bench_clock::now();
    size_t found = 0;
    for (size_t i = 0; i < 200000; ++i)
        found += table.find_by_name(syms[pick(random)].name).addr != 0;
    ms = elapsed_ms(start);
    std::printf("find_by_name                 %8.2f M lookups/s  (%zu found)\n",
                200000 / ms / 1000.0, found);

    start = bench_clock::now();
    fs_range ext4 = table.find_module_range("ext4");
    std::printf("find_module_range(\"ext4\")    %8.1f ms  [%" PRIx64 ", %" PRIx64 ")\n",
                elapsed_ms(start), static_cast<uint64_t>(ext4.first),
                static_cast<uint64_t>(ext4.second));
}

} // namespace

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "/proc/kallsyms";
    const int runs = 5;
    std::printf("source: %s\n", path);

    time_runs("read only (kernel cost)", runs, [&] { return read_only(path); });
    time_runs("fscanf + qsort loader", runs, [&] { return load_with_fscanf(path); });
    kallsyms_parser table;
    time_runs("kallsyms_parser::parse", runs, [&] {
        table.parse(path);
        return table.symbols().size();
    });
    bench_lookups(table);
    return 0;
}
