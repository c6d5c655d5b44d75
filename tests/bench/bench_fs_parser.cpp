// Time to map a large ext4 file system whose every group has its own bitmaps
// and inode table (no flex_bg), from a cold page cache where permitted.
// Usage: bench_fs_parser [size, default 4T] [directory for the sparse images, default /tmp]
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

uint64_t group_count(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    ext4_superblock sb{};
    if (!read_ext4_superblock(in, sb) || sb.s_inodes_per_group == 0)
        return 0;
    return (uint64_t{sb.s_inodes_count} + sb.s_inodes_per_group - 1) / sb.s_inodes_per_group;
}

void time_map(const std::string &label, const std::string &path, bool cold)
{
    const bool dropped = cold && drop_caches();
    std::vector<fs_range> ranges;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = get_ext4_metadata_range(path, ranges);
    const auto end = std::chrono::steady_clock::now();
    const double ms = std::chrono::duration<double, std::milli>(end - start).count();
    std::printf("%-6s %-5s groups %8llu  ranges %8zu  %9.2f ms%s\n", label.c_str(),
                cold ? (dropped ? "cold" : "cold?") : "warm",
                static_cast<unsigned long long>(group_count(path)), ranges.size(), ms,
                ok ? "" : "  (map failed)");
}

// Builds one image with the given features, times its map, removes it.
bool bench_layout(const std::string &size, const fs::path &dir, const std::string &features)
{
    const fs::path image = dir / ("bench_fs_parser." + std::to_string(getpid()) + ".img");
    const std::string path = image.string();
    const std::string make = "truncate -s " + size + " '" + path + "' && mkfs.ext4 -q -F -O " +
                             features + " -E lazy_itable_init=1,lazy_journal_init=1,nodiscard '" +
                             path + "'";
    if (shell(make) != 0) {
        std::cerr << "cannot build the image: " << make << std::endl;
        fs::remove(image);
        return false;
    }
    std::printf("ext4 %s -O %s, image %s\n", size.c_str(), features.c_str(), path.c_str());
    time_map("file", path, true);
    time_map("file", path, false);

    // The same through a block device, as corvane reads it in production.
    std::string loop;
    if (FILE *p = popen(("losetup --find --show '" + path + "' 2>/dev/null").c_str(), "r")) {
        char line[64] = {};
        if (std::fgets(line, sizeof(line), p))
            loop = std::string(line).substr(0, std::string(line).find('\n'));
        pclose(p);
    }
    if (!loop.empty()) {
        time_map("loop", loop, true);
        time_map("loop", loop, false);
        shell("losetup -d " + loop);
    } else {
        std::printf("loop   (no loop device: skipped)\n");
    }
    fs::remove(image);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string size = argc > 1 ? argv[1] : "4T";
    const fs::path dir = argc > 2 ? argv[2] : "/tmp";
    // Every group with its own bitmaps and inode table; then the same with the
    // descriptors spread over the meta groups.
    bool ok = bench_layout(size, dir, "^flex_bg");
    ok = bench_layout(size, dir, "^flex_bg,meta_bg,^resize_inode") && ok;
    return ok ? 0 : 1;
}
