// Device-mapper mapping: the ranges of a device-mapper device are carried down
// through its live table to the devices below, one new work-queue entry per
// linear or multipath target that holds watched bytes.
#include <libdevmapper.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <sstream>

#include "base/corvane.h"
#include "device_parser/device_parser.h"
#include "device_parser/internal.h"

namespace fs = std::filesystem;
using namespace device_parser;

namespace {

dm_table_reader &table_reader()
{
    static dm_table_reader reader = read_dm_table;
    return reader;
}

// Byte window [begin, end) of one target on the device-mapper device. Sector
// counts beyond 64-bit byte offsets cannot hold watched bytes, so the window is
// clipped to the 64-bit range rather than wrapped.
struct target_window {
    uint64_t begin;
    uint64_t end;
};

uint64_t sectors_to_bytes_clipped(uint64_t sectors)
{
    uint64_t bytes = 0;
    return __builtin_mul_overflow(sectors, uint64_t{SECTOR_SIZE}, &bytes) ? UINT64_MAX : bytes;
}

target_window window_of(uint64_t start, uint64_t length)
{
    uint64_t begin = sectors_to_bytes_clipped(start);
    uint64_t size = sectors_to_bytes_clipped(length);
    uint64_t end = 0;
    if (__builtin_add_overflow(begin, size, &end))
        end = UINT64_MAX;
    return {begin, end};
}

bool overlaps(const fs_range &range, const target_window &window)
{
    return range.first < window.end && window.begin < range.second;
}

// A new entry for the device below; every other field zero.
device_range lower_entry(uint32_t major, uint32_t minor)
{
    device_range lower{};
    lower.major = major;
    lower.minor = minor;
    return lower;
}

// The part [first, second) of range, placed on the device below; what the range
// holds and where it belongs stay.
void append_range(device_range &lower, uint64_t first, uint64_t second, const fs_range &range)
{
    lower.ranges.push_back(fs_range{first, second, range.type, range.kind, range.source});
}

// Queues the entry when it received ranges; returns their number.
int queue_if_used(device_range &lower, std::deque<device_range> &queue)
{
    int placed = static_cast<int>(lower.ranges.size());
    if (placed != 0)
        queue.push_back(lower);
    return placed;
}

// "major:minor offset" of a linear target. Anything else leaves the device at
// 0:0, which the resolution rejects, so no range lands on an unnamed device.
device_range parse_linear_params(const std::string &params, uint64_t &offset_sectors)
{
    std::istringstream words(params);
    std::string device, offset;
    uint32_t major = 0, minor = 0;
    offset_sectors = 0;
    if (!(words >> device >> offset) || !parse_device_number(device, major, minor) ||
        !parse_u64(offset, offset_sectors)) {
        offset_sectors = 0;
        return lower_entry(0, 0);
    }
    return lower_entry(major, minor);
}

// The first word with a colon is the first path of the first path group.
device_range parse_multipath_params(const std::string &params)
{
    std::istringstream words(params);
    std::string word;
    uint32_t major = 0, minor = 0;
    while (words >> word) {
        if (word.find(':') == std::string::npos)
            continue;
        if (!parse_device_number(word, major, minor))
            major = minor = 0;
        break;
    }
    return lower_entry(major, minor);
}

const std::string &params_of(const dm_target &target)
{
    if (!target.params)
        throw std::invalid_argument("device-mapper target without parameters");
    return *target.params;
}

} // namespace

namespace device_parser {

void set_dm_table_reader(dm_table_reader reader)
{
    table_reader() = reader ? std::move(reader) : dm_table_reader(read_dm_table);
}

bool read_dm_table(uint32_t major, uint32_t minor, std::vector<dm_target> &targets)
{
    targets.clear();
    std::unique_ptr<dm_task, decltype(&dm_task_destroy)> task(dm_task_create(DM_DEVICE_TABLE),
                                                              dm_task_destroy);
    if (!task) {
        std::cerr << "Failed to create dm_task" << std::endl;
        return false;
    }
    if (!dm_task_set_major_minor(task.get(), static_cast<int>(major), static_cast<int>(minor), 0)) {
        std::cerr << "Failed to set major:minor" << std::endl;
        return false;
    }
    if (!dm_task_run(task.get())) {
        std::cerr << "Failed to run DM task" << std::endl;
        return false;
    }
    struct dm_info info {};
    if (!dm_task_get_info(task.get(), &info)) {
        std::cerr << "Failed to get info" << std::endl;
        return false;
    }
    if (!info.exists) {
        std::cerr << "dev not exists" << std::endl;
        return false;
    }

    void *next = nullptr;
    do {
        uint64_t start = 0, length = 0;
        char *type = nullptr, *params = nullptr;
        next = dm_get_next_target(task.get(), next, &start, &length, &type, &params);
        if (type == nullptr) // an empty table
            continue;
        dm_target target{start, length, type, std::nullopt};
        if (params != nullptr)
            target.params = params;
        targets.push_back(std::move(target));
    } while (next != nullptr);
    return true;
}

} // namespace device_parser

bool is_dm_device(const device_range &entry)
{
    return fs::is_directory(block_device_dir(entry.major, entry.minor) / "dm");
}

int map_device_mapper(const device_range &entry, std::deque<device_range> &queue)
{
    if (!is_dm_device(entry))
        return 0;
    std::vector<dm_target> targets;
    if (!table_reader()(entry.major, entry.minor, targets))
        return 0;

    int placed = 0;
    for (const dm_target &target : targets) {
        if (target.type == "linear") {
            debug_line("is linear");
            placed += map_dm_linear(entry, queue, target.start, target.length, params_of(target));
        } else if (target.type == "multipath") {
            debug_line("is multipath");
            placed +=
                map_dm_multipath(entry, queue, target.start, target.length, params_of(target));
        } else {
            throw device_parser_exception(dev_to_string(entry.major, entry.minor) +
                                          " is a device mapper, but unknown type: " + target.type +
                                          ", ignore this file system.");
        }
    }
    return placed;
}

int map_dm_linear(const device_range &entry, std::deque<device_range> &queue, uint64_t start,
                  uint64_t length, const std::string &params)
{
    uint64_t offset_sectors = 0;
    device_range lower = parse_linear_params(params, offset_sectors);
    uint64_t offset = checked_mul(offset_sectors, SECTOR_SIZE);
    target_window window = window_of(start, length);

    for (const fs_range &range : entry.ranges) {
        if (!overlaps(range, window))
            continue;
        uint64_t first =
            checked_add(std::max<uint64_t>(range.first, window.begin) - window.begin, offset);
        uint64_t second =
            checked_add(std::min<uint64_t>(range.second, window.end) - window.begin, offset);
        append_range(lower, first, second, range);
        debug_line("------debug linear------");
        debug_line("old dev: " + dev_to_string(entry.major, entry.minor) +
                   ", old range: " + range_text(range.first, range.second));
        debug_line("old linear: " + range_text(window.begin, window.end));
        debug_line("new dev: " + dev_to_string(lower.major, lower.minor) + ", offset = " +
                   std::to_string(offset) + ". new range: " + range_text(first, second));
        debug_line("------------------------");
    }
    return queue_if_used(lower, queue);
}

int map_dm_multipath(const device_range &entry, std::deque<device_range> &queue, uint64_t start,
                     uint64_t length, const std::string &params)
{
    device_range lower = parse_multipath_params(params);
    target_window window = window_of(start, length);

    for (const fs_range &range : entry.ranges) {
        if (!overlaps(range, window))
            continue;
        uint64_t first = std::max<uint64_t>(range.first, window.begin);
        uint64_t second = std::min<uint64_t>(range.second, window.end);
        append_range(lower, first, second, range);
        debug_line("------debug multipath------");
        debug_line("old dev: " + dev_to_string(entry.major, entry.minor) +
                   ", old range: " + range_text(range.first, range.second));
        debug_line("old linear: " + range_text(window.begin, window.end));
        debug_line("new dev: " + dev_to_string(lower.major, lower.minor) +
                   ". new range: " + range_text(first, second));
        debug_line("---------------------------");
    }
    return queue_if_used(lower, queue);
}
