// Device-mapper mapping: the ranges of a device-mapper device are carried down
// through its live table to the devices below, one new work-queue entry per
// device below (per stripe of a striped target) that receives watched bytes.
#include <libdevmapper.h>
#include <string.h>

#include <algorithm>
#include <iostream>
#include <memory>

#include "base/corvane.h"
#include "device_parser/device_parser.h"
#include "device_parser/dm_params.h"
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

// At least one byte in common (a target of no sectors holds none).
bool overlaps(const fs_range &range, const target_window &window)
{
    return std::max<uint64_t>(range.first, window.begin) <
           std::min<uint64_t>(range.second, window.end);
}

// The part of range inside the window, in bytes from the window's beginning.
std::pair<uint64_t, uint64_t> relative_overlap(const fs_range &range, const target_window &window)
{
    return {std::max<uint64_t>(range.first, window.begin) - window.begin,
            std::min<uint64_t>(range.second, window.end) - window.begin};
}

// A new entry for the device below, at the end of the entry's chain.
device_range lower_entry(const device_range &upper, device_number device)
{
    device_range lower{};
    lower.major = device.major;
    lower.minor = device.minor;
    lower.chain = upper.chain;
    lower.chain.push_back(device);
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
        queue.push_back(std::move(lower));
    return placed;
}

std::string device_text(device_number device)
{
    return dev_to_string(device.major, device.minor);
}

// The first lines of a range's trace: the range and the target's window.
// Callers build trace text only when debug output is on: a resolution may
// carry a million ranges.
void debug_range(const std::string &header, const device_range &entry, const fs_range &range,
                 const target_window &window)
{
    debug_line(header);
    debug_line("old dev: " + dev_to_string(entry.major, entry.minor) +
               ", old range: " + range_text(range.first, range.second));
    debug_line("old linear: " + range_text(window.begin, window.end));
}

std::string new_range_text(device_number device, uint64_t offset, uint64_t first, uint64_t second)
{
    return "new dev: " + device_text(device) + ", offset = " + std::to_string(offset) +
           ". new range: " + range_text(first, second);
}

[[noreturn]] void unreadable_params(const device_range &entry, const char *type)
{
    throw device_parser_exception(dev_to_string(entry.major, entry.minor) +
                                  " is a device mapper, but its " + type +
                                  " target has unreadable parameters, ignore this file system.");
}

// A target that maps its window one to one onto a device below, from a byte offset on.
int map_one_to_one(const device_range &entry, std::deque<device_range> &queue,
                   const target_window &window, device_number device, uint64_t offset,
                   const char *type)
{
    const std::string header = std::string("------debug ") + type + "------";
    device_range lower = lower_entry(entry, device);
    for (const fs_range &range : entry.ranges) {
        if (!overlaps(range, window))
            continue;
        auto [begin, end] = relative_overlap(range, window);
        uint64_t first = checked_add(begin, offset), second = checked_add(end, offset);
        append_range(lower, first, second, range);
        if (debug_on()) {
            debug_range(header, entry, range, window);
            debug_line(new_range_text(device, offset, first, second));
            debug_line(std::string(header.size(), '-'));
        }
    }
    return queue_if_used(lower, queue);
}

// The target's text without its key, for debug output.
std::string crypt_text_without_key(std::string_view params)
{
    std::vector<std::string_view> words = split_words(params);
    std::string text;
    for (size_t i = 0; i < words.size(); ++i) {
        text += i == 0 ? "" : " ";
        text += i == 1 ? std::string_view("<key>") : words[i];
    }
    return text;
}

const std::string &params_of(const device_range &entry, const dm_target &target)
{
    if (!target.params)
        unreadable_params(entry, target.type.c_str());
    return *target.params;
}

// The parameter text of a crypt target holds the volume key (or the name of
// the keyring entry holding it). Only the device and offset are needed here;
// the text is wiped as soon as it has been read so that no copy of the key
// outlives the resolution in this process's memory, where a core dump, swap
// or a later memory disclosure could reveal it. Every target's text is wiped,
// which costs nothing and leaves no type to be missed.
class params_wiper {
  public:
    explicit params_wiper(std::vector<dm_target> &targets) : targets_(targets) {}
    ~params_wiper()
    {
        for (dm_target &target : targets_)
            wipe(target);
    }
    static void wipe(dm_target &target)
    {
        if (target.params)
            explicit_bzero(target.params->data(), target.params->size());
    }
    params_wiper(const params_wiper &) = delete;
    params_wiper &operator=(const params_wiper &) = delete;

  private:
    std::vector<dm_target> &targets_;
};

int map_target(const device_range &entry, std::deque<device_range> &queue, const dm_target &target)
{
    using mapper = int (*)(const device_range &, std::deque<device_range> &, uint64_t, uint64_t,
                           std::string_view);
    static const std::pair<std::string_view, mapper> mappers[] = {
        {"linear", map_dm_linear},
        {"striped", map_dm_striped},
        {"crypt", map_dm_crypt},
        {"multipath", map_dm_multipath},
    };
    for (const auto &[type, map] : mappers) {
        if (target.type != type)
            continue;
        debug_line("is " + target.type);
        return map(entry, queue, target.start, target.length, params_of(entry, target));
    }
    throw device_parser_exception(dev_to_string(entry.major, entry.minor) +
                                  " is a device mapper, but unknown type: " + target.type +
                                  ", ignore this file system.");
}

} // namespace

namespace device_parser {

void set_dm_table_reader(dm_table_reader reader)
{
    table_reader() = reader ? std::move(reader) : dm_table_reader(read_dm_table);
}

void release_dm_control()
{
    dm_lib_release();
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
    // A crypt table holds its key: the kernel and libdevmapper wipe their
    // buffers of this request after use.
    if (!dm_task_secure_data(task.get()) ||
        !dm_task_set_major_minor(task.get(), static_cast<int>(major), static_cast<int>(minor), 0)) {
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
        // Built in place: the parameter text is copied once, from the task's buffer.
        dm_target &target = targets.emplace_back(dm_target{start, length, type, std::nullopt});
        if (params != nullptr)
            target.params.emplace(params);
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
    params_wiper wiper(targets);
    if (!table_reader()(entry.major, entry.minor, targets))
        return 0;

    int placed = 0;
    for (dm_target &target : targets) {
        placed += map_target(entry, queue, target);
        params_wiper::wipe(target);
    }
    return placed;
}

int map_dm_linear(const device_range &entry, std::deque<device_range> &queue, uint64_t start,
                  uint64_t length, std::string_view params)
{
    std::optional<dm_device_offset> below = parse_linear_params(params);
    if (!below)
        unreadable_params(entry, "linear");
    return map_one_to_one(entry, queue, window_of(start, length), below->device,
                          checked_mul(below->offset, SECTOR_SIZE), "linear");
}

int map_dm_crypt(const device_range &entry, std::deque<device_range> &queue, uint64_t start,
                 uint64_t length, std::string_view params)
{
    std::optional<dm_device_offset> below = parse_crypt_params(params);
    if (!below)
        unreadable_params(entry, "crypt");
    if (debug_on())
        debug_line("crypt target: " + crypt_text_without_key(params));
    return map_one_to_one(entry, queue, window_of(start, length), below->device,
                          checked_mul(below->offset, SECTOR_SIZE), "crypt");
}

int map_dm_multipath(const device_range &entry, std::deque<device_range> &queue, uint64_t start,
                     uint64_t length, std::string_view params)
{
    std::optional<device_number> path = parse_multipath_params(params);
    if (!path)
        unreadable_params(entry, "multipath");
    target_window window = window_of(start, length);
    device_range lower = lower_entry(entry, *path);

    for (const fs_range &range : entry.ranges) {
        if (!overlaps(range, window))
            continue;
        uint64_t first = std::max<uint64_t>(range.first, window.begin);
        uint64_t second = std::min<uint64_t>(range.second, window.end);
        append_range(lower, first, second, range);
        if (debug_on()) {
            debug_range("------debug multipath------", entry, range, window);
            debug_line("new dev: " + device_text(*path) +
                       ". new range: " + range_text(first, second));
            debug_line("---------------------------");
        }
    }
    return queue_if_used(lower, queue);
}

int map_dm_striped(const device_range &entry, std::deque<device_range> &queue, uint64_t start,
                   uint64_t length, std::string_view params)
{
    std::optional<dm_stripes> layout = parse_striped_params(params, length);
    if (!layout)
        unreadable_params(entry, "striped");
    const uint64_t chunk_bytes = layout->chunk_sectors * SECTOR_SIZE;
    const auto stripe_count = static_cast<uint32_t>(layout->stripes.size());
    target_window window = window_of(start, length);

    std::vector<device_range> lower;
    std::vector<uint64_t> offsets;
    for (const dm_device_offset &stripe : layout->stripes) {
        lower.push_back(lower_entry(entry, stripe.device));
        offsets.push_back(checked_mul(stripe.offset, SECTOR_SIZE));
    }
    for (const fs_range &range : entry.ranges) {
        if (!overlaps(range, window))
            continue;
        auto [begin, end] = relative_overlap(range, window);
        if (debug_on()) {
            debug_range("------debug striped------", entry, range, window);
            debug_line("stripes: " + std::to_string(stripe_count) +
                       ", chunk: " + std::to_string(chunk_bytes));
        }
        for (const stripe_piece &piece :
             split_over_stripes(begin, end, chunk_bytes, stripe_count)) {
            uint64_t offset = offsets[piece.stripe];
            uint64_t first = checked_add(piece.first, offset);
            uint64_t second = checked_add(piece.second, offset);
            append_range(lower[piece.stripe], first, second, range);
            if (debug_on())
                debug_line(
                    new_range_text(layout->stripes[piece.stripe].device, offset, first, second));
        }
        if (debug_on())
            debug_line("-------------------------");
    }
    int placed = 0;
    for (device_range &stripe : lower)
        placed += queue_if_used(stripe, queue);
    return placed;
}
