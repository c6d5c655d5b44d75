// Cost of resolving a device through the resolver process rather than in
// process, from one range to the most one request may hold, over a striped
// device-mapper volume on a partition (a fake sysfs tree and table). Prints
// figures only; without root only the in-process figures.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fake_sysfs.h"
#include "resolver/resolver.h"

namespace {

using bench_clock = std::chrono::steady_clock;

device_range input_of(size_t count)
{
    device_range input{};
    input.major = 254;
    input.minor = 0;
    for (uint64_t i = 0; i < count; ++i)
        input.ranges.push_back({i * 16384, i * 16384 + 4096, ENUM_FS_TYPE_EXT4, 0, 1});
    return input;
}

// Milliseconds per resolution, the best of a few rounds.
double time_ms(resolver_client &client, const device_range &input, size_t &disks)
{
    double best = 1e30;
    for (int round = 0; round < 3; ++round) {
        std::vector<device_range> out;
        std::string error;
        auto start = bench_clock::now();
        if (!client.resolve(input, out, error)) {
            fprintf(stderr, "resolution failed: %s\n", error.c_str());
            return -1;
        }
        best = std::min(
            best, std::chrono::duration<double, std::milli>(bench_clock::now() - start).count());
        disks = out.size();
    }
    return best;
}

std::string status_line(pid_t pid, const std::string &name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    return "?";
}

long peak_rss_kib(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main()
{
    test_support::fake_sysfs tree;
    auto lun = tree.add_scsi_disk("sda", 8, 0, "naa.6001405a1b2c3d4e5f60718293a4b5c6");
    tree.add_partition(lun, "sda1", 8, 1, 2048);
    tree.add_scsi_disk("sdb", 8, 16, "naa.60014050000000000000000000000b0b");
    tree.add_device_mapper("dm-0", 254, 0);
    // 2^34 sectors (8 TiB): room for the largest request.
    tree.tables["254:0"] = "0 17179869184 striped 2 128 8:1 0 8:16 2048";

    resolver_client in_process;
    resolver_client remote = start_resolver();
    printf("resolver: %s\n", remote.in_process() ? remote.note().c_str() : "separate process");
    printf("%10s %8s %14s %14s\n", "ranges", "disks", "in process ms", "resolver ms");
    for (size_t count :
         {size_t{1}, size_t{100}, size_t{10000}, resolver_protocol::max_request_ranges}) {
        device_range input = input_of(count);
        size_t disks = 0;
        double local = time_ms(in_process, input, disks);
        double over_socket = remote.in_process() ? 0 : time_ms(remote, input, disks);
        printf("%10zu %8zu %14.3f %14.3f\n", count, disks, local, over_socket);
    }
    printf("peak resident memory: this process %ld KiB", peak_rss_kib(RUSAGE_SELF));
    if (!remote.in_process())
        printf(", resolver %s", status_line(remote.pid(), "VmHWM").c_str());
    printf("\n");
    return 0;
}
