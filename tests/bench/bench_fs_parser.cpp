// Time and peak memory of mapping large ext4 file systems: a 16 TiB default
// one (131072 groups, a 1 GiB journal in an extent tree) and a 4 TiB one
// without flex_bg (every group its own bitmaps and inode table: over 100,000
// ranges), from a cold page cache where permitted and warm, through the image
// file and through a loop device. Each measurement runs in a child process of
// its own, so that its peak resident memory is its own. The 16 TiB image lives
// in /dev/shm (files on ext4 end before 16 TiB), where no cache can be dropped.
// Usage: bench_fs_parser [directory for the 4 TiB image, default /tmp]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "fs_parser/fs_parser.h"

namespace fs = std::filesystem;

namespace {

int shell(const std::string &command)
{
    return std::system(command.c_str());
}

// Drops the page cache so that the descriptor table comes from the disk.
bool drop_caches()
{
    sync();
    std::ofstream control("/proc/sys/vm/drop_caches");
    control << "3" << std::endl;
    return control.good();
}

long peak_rss_kib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Maps path in a child process and prints one line of figures.
void measure(const std::string &label, const std::string &path, bool whole, bool cold)
{
    const bool dropped = cold && drop_caches();
    std::fflush(stdout);
    const pid_t child = fork();
    if (child != 0) {
        int status = 0;
        waitpid(child, &status, 0);
        return;
    }
    const long rss_before = peak_rss_kib();
    const auto start = std::chrono::steady_clock::now();
    std::string outcome;
    size_t ranges = 0;
    try {
        const device_file device = device_file::open(path, false);
        ranges = get_fs_ranges(device, whole).ranges.size();
    } catch (const fs_parser_exception &e) {
        outcome = std::string("  ") + e.what();
    }
    const auto end = std::chrono::steady_clock::now();
    const double ms = std::chrono::duration<double, std::milli>(end - start).count();
    std::printf("  %-5s %-5s %-5s ranges %7zu  %9.2f ms  peak RSS %7ld KiB (%+ld KiB)%s\n",
                label.c_str(), whole ? "-a" : "meta", cold ? (dropped ? "cold" : "cold?") : "warm",
                ranges, ms, peak_rss_kib(), peak_rss_kib() - rss_before, outcome.c_str());
    std::fflush(stdout);
    _exit(0);
}

std::string attach_loop(const std::string &path)
{
    std::string loop;
    if (FILE *p = popen(("losetup --find --show '" + path + "' 2>/dev/null").c_str(), "r")) {
        char line[64] = {};
        if (std::fgets(line, sizeof(line), p))
            loop = std::string(line).substr(0, std::string(line).find('\n'));
        pclose(p);
    }
    return loop;
}

// Builds one image, measures its maps, removes it.
bool bench_image(const fs::path &dir, const std::string &size, const std::string &options)
{
    const fs::path image = dir / ("bench_fs_parser." + std::to_string(getpid()) + ".img");
    const std::string path = image.string();
    const std::string make = "truncate -s " + size + " '" + path + "' && mkfs.ext4 -q -F " +
                             options + " -E lazy_itable_init=1,lazy_journal_init=1,nodiscard '" +
                             path + "'";
    if (shell(make) != 0) {
        std::cerr << "cannot build the image: " << make << std::endl;
        fs::remove(image);
        return false;
    }
    std::printf("ext4 %s %s\n", size.c_str(), options.empty() ? "(defaults)" : options.c_str());
    for (bool whole : {false, true}) {
        measure("file", path, whole, true);
        measure("file", path, whole, false);
    }
    const std::string loop = attach_loop(path);
    if (!loop.empty()) {
        measure("loop", loop, false, true);
        measure("loop", loop, false, false);
        shell("losetup -d " + loop);
    } else {
        std::printf("  loop  (no loop device: skipped)\n");
    }
    fs::remove(image);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const fs::path dir = argc > 1 ? argv[1] : "/tmp";
    bool ok = bench_image("/dev/shm", "16T", "");
    ok = bench_image(dir, "4T", "-g 8192 -O ^flex_bg") && ok;
    return ok ? 0 : 1;
}
