// Throughput of report formatting with full 32-frame stacks. Prints figures only.
// Standard output goes to /dev/null so that only formatting and writing count.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>

#include "base/corvane.h"
#include "kallsyms_parser/kallsyms_parser.h"
#include "report.h"
#include "tables.h"

namespace {

using bench_clock = std::chrono::steady_clock;

double elapsed_s(bench_clock::time_point start)
{
    return std::chrono::duration<double>(bench_clock::now() - start).count();
}

// Events with 32 frames drawn from real symbol addresses, so every lookup
// walks the whole binary search.
std::vector<event_t> make_events(const kallsyms_parser &table, size_t count)
{
    std::mt19937_64 random(7);
    const size_t symbols = table.size();
    std::uniform_int_distribution<size_t> pick(0, symbols == 0 ? 0 : symbols - 1);
    std::vector<event_t> events(count);
    for (event_t &event : events) {
        std::memset(&event, 0, sizeof(event));
        event.ptid = (uint64_t{4242} << 32) | 4242;
        event.nsec = 1000000000ull + random() % 1000000000ull;
        event.stack_size = PERF_MAX_STACK_DEPTH;
        event.range = fs_range{4096, 8192, ENUM_FS_TYPE_EXT4, 0, 0};
        event.type = ENUM_EVENT_TYPE_SUBMIT_BIO;
        std::strcpy(event.comm, "dd");
        for (auto &ip : event.ip)
            ip = symbols == 0 ? 0xffffffff81000000ull + random() % 0x1000000
                              : table.symbol(pick(random)).addr + random() % 256;
    }
    return events;
}

} // namespace

int main()
{
    if (!kallsyms.parse("/proc/kallsyms") || kallsyms.size() == 0)
        std::fprintf(stderr, "/proc/kallsyms unreadable: every frame is unknown_ksym\n");
    std::fprintf(stderr, "symbols: %zu\n", kallsyms.size());

    std::vector<event_t> events = make_events(kallsyms, 4096);
    const time_base base{1714571107000000000ll, 1000000000ull};
    const int rounds = 25;

    size_t bytes = 0;
    auto start = bench_clock::now();
    for (int r = 0; r < rounds; ++r)
        for (const event_t &event : events)
            bytes += format_report(event, kallsyms, base).size();
    double seconds = elapsed_s(start);
    size_t reports = events.size() * rounds;
    std::fprintf(stderr, "format_report:        %9.0f reports/s  (%zu reports, %.0f bytes each)\n",
                 reports / seconds, reports, double(bytes) / reports);

    if (!std::freopen("/dev/null", "w", stdout)) {
        std::perror("/dev/null");
        return 1;
    }
    start = bench_clock::now();
    for (int r = 0; r < rounds; ++r)
        for (event_t &event : events)
            print_report(event);
    std::cout.flush();
    seconds = elapsed_s(start);
    std::fprintf(stderr, "print_report:         %9.0f reports/s  (stdout to /dev/null)\n",
                 reports / seconds);
    return 0;
}
