// Device resolution driver: a first-in first-out work queue walks a device down
// through partitions and device-mapper tables to the SCSI disks below it.
#include "base/corvane.h"
#include "device_parser/device_parser.h"
#include "device_parser/internal.h"

using namespace device_parser;

namespace {

std::string device_text(const device_range &entry)
{
    return dev_to_string(entry.major, entry.minor);
}

// Total watched bytes, with wrapping 64-bit arithmetic on both sides of the check.
uint64_t watched_size(const device_range &entry)
{
    uint64_t size = 0;
    for (const fs_range &range : entry.ranges)
        size += range.second - range.first;
    return size;
}

// Replaces the head of the queue by what lies below it, or moves it to the
// result when it is a SCSI disk. Throws when the head cannot be resolved.
void resolve_head(std::deque<device_range> &queue, std::vector<device_range> &disks)
{
    // A reference to the head stays valid while the device-mapper step appends
    // to the back: a deque does not move its elements when it grows at the ends.
    device_range &head = queue.front();
    debug_line("device parser: check destination device for " + device_text(head));

    if (is_scsi_device(head)) {
        debug_line("is scsi");
        if (!read_scsi_wwid(head))
            throw device_parser_exception(device_text(head) +
                                          " is a scsi device , but can not identify it's wwid.");
        disks.push_back(std::move(head));
        queue.pop_front();
    } else if (is_partition(head)) {
        debug_line("is partition");
        // Rewritten in place into its whole disk, which the next pass examines.
        if (!map_partition(head))
            throw device_parser_exception(
                device_text(head) + " is a partition, but can not get it's destination device.");
    } else if (is_dm_device(head)) {
        debug_line("is device mapper");
        if (map_device_mapper(head, queue) == 0)
            throw device_parser_exception(
                device_text(head) +
                " is a device mapper, but can not get it's destination device.");
        queue.pop_front();
    } else {
        throw device_parser_exception(device_text(head) + ": unknown device type.");
    }
}

int resolve_into(const device_range &input, std::vector<device_range> &out)
{
    std::deque<device_range> queue{input};
    queue.front().chain = {{input.major, input.minor}};
    std::vector<device_range> disks;
    while (!queue.empty())
        resolve_head(queue, disks);

    uint64_t difference = watched_size(input);
    for (const device_range &disk : disks)
        difference -= watched_size(disk);
    if (difference != 0)
        throw device_parser_exception(
            device_text(input) +
            ": The scope of monitoring changes during the calculation process");

    // Reserving first means the append itself cannot fail half-way.
    out.reserve(out.size() + disks.size());
    out.insert(out.end(), std::make_move_iterator(disks.begin()),
               std::make_move_iterator(disks.end()));
    return static_cast<int>(disks.size());
}

} // namespace

int resolve_device(const device_range &input, std::vector<device_range> &out)
{
    try {
        return resolve_into(input, out);
    } catch (const device_parser_exception &e) {
        throw e;
    } catch (...) {
        throw device_parser_exception(device_text(input) + ": unknown device type.");
    }
}

std::string chain_text(const std::vector<device_number> &chain)
{
    std::string text;
    for (const device_number &device : chain)
        text += (text.empty() ? "" : " -> ") + dev_to_string(device.major, device.minor);
    return text;
}
