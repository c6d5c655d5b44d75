// corvane: watches every write reaching the disks under the given ext4/xfs
// file systems and reports those that could corrupt them.
#include <sys/sysmacros.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>

#include "cli_parser/cli_parser.h"
#include "base/corvane.h"
#include "corvane_ebpf/loader.h"
#include "device_parser/device_parser.h"
#include "drop_privilege/drop_privilege.h"
#include "fs_parser/fs_parser.h"
#include "kallsyms_parser/kallsyms_parser.h"
#include "report.h"

namespace {

constexpr const char *kallsyms_path = "/proc/kallsyms";
constexpr int poll_timeout_ms = 100;

enum exit_status {
    EXIT_NORMAL = 0,
    EXIT_BAD_COMMAND_LINE = 1,
    EXIT_NO_KERNEL_SYMBOLS = 2,
    EXIT_PROBES_FAILED = 3,
    EXIT_NOT_ROOT = 5,
};

device_range make_device_range(uint64_t rdev, const std::vector<fs_range> &ranges)
{
    device_range dr;
    std::memset(&dr, 0, sizeof(dr));
    dr.major = static_cast<uint32_t>(major(rdev));
    dr.minor = static_cast<uint32_t>(minor(rdev));
    dr.ranges.cnt = std::min<uint64_t>(ranges.size(), MAX_RANGE_COUNT);
    std::copy_n(ranges.begin(), dr.ranges.cnt, dr.ranges.arr);
    return dr;
}

void print_debug_ranges(const device_range &dr, bool whole)
{
    std::cout << "is global? :" << (whole ? "true" : "false") << std::endl;
    for (uint64_t i = 0; i < dr.ranges.cnt; ++i)
        std::cout << "fs range:[" << dr.ranges.arr[i].first << ", " << dr.ranges.arr[i].second
                  << ")" << std::endl;
}

// Analyses one device path and resolves it to disks. Throws the subsystems'
// exceptions; nothing of the path is kept when one is thrown.
void watch_device(const std::string &path, bool whole)
{
    const device_file device = device_file::open(path);
    const uint64_t rdev = device.rdev();
    std::cout << "dev num: " << dev_to_string(major(rdev), minor(rdev)) << std::endl;

    const fs_layout layout = get_fs_ranges(device, whole);
    if (!layout.note.empty())
        std::cout << path << ": " << layout.note << std::endl;
    const std::vector<fs_range> &ranges = layout.ranges;
    fs_range module_range{};
    module_range.type = layout.type;
    if (ranges.size() > MAX_RANGE_COUNT)
        std::cout << path
                  << ": This file system contains too many extents to monitor, only monitoring "
                     "the first "
                  << MAX_RANGE_COUNT << " intervals\n"
                  << "You can use -a to monitor the entire file system." << std::endl;

    device_range dr = make_device_range(rdev, ranges);
    if (debug_on())
        print_debug_ranges(dr, whole);
    resolve_device(dr, wwid_ranges);
    module_ranges[module_range.type] = module_range;
}

void watch_devices(const std::vector<std::string> &paths, bool whole)
{
    for (const std::string &path : paths) {
        try {
            watch_device(path, whole);
        } catch (const fs_parser_exception &e) {
            std::cout << e.what() << std::endl;
        } catch (const device_parser_exception &e) {
            std::cout << e.what() << std::endl;
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    close_inherited_fds();
    openlog("vorel-corvane", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    drop_privilege();
    if (getuid() != 0) {
        std::cerr << (argc > 0 ? argv[0] : "corvane") << " need run as root" << std::endl;
        return EXIT_NOT_ROOT;
    }

    std::vector<std::string> paths;
    bool whole = false;
    if (!parse_command_line(argc, argv, paths, whole, daemon_flag))
        return EXIT_BAD_COMMAND_LINE;
    if (debug_on())
        std::cout << "!!!!!!!debug mode!!!!!!!" << std::endl;

    if (!kallsyms.parse(kallsyms_path)) {
        std::cerr << "fail to read kernel symbol" << std::endl;
        return EXIT_NO_KERNEL_SYMBOLS;
    }

    watch_devices(paths, whole);
    drop_device_mapper_privilege();
    if (wwid_ranges.empty()) {
        std::cout << "No file system needs to be monitored." << std::endl;
        return EXIT_NORMAL;
    }

    if (!start_bpf(handle_report_event, kallsyms, wwid_ranges, module_ranges, daemon_flag)) {
        std::cerr << "start bpf failed" << std::endl;
        return EXIT_PROBES_FAILED;
    }
    std::cout << "start monitor!" << std::endl;
    // Symbols loaded since start-up (the probes' own among them) become nameable.
    if (!kallsyms.parse(kallsyms_path)) {
        std::cerr << "fail to flush kernel symbol" << std::endl;
        return EXIT_NO_KERNEL_SYMBOLS;
    }
    poll_events(poll_timeout_ms);
    stop_bpf();
    return EXIT_NORMAL;
}
