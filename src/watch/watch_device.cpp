#include "watch/watch_device.h"

#include <sys/sysmacros.h>

#include <iostream>

#include "base/corvane.h"
#include "fs_parser/fs_parser.h"
#include "resolver/resolver.h"

void resolve_here(const device_range &input, std::vector<device_range> &out)
{
    resolve_device(input, out);
}

resolve_fn resolve_through(resolver_client &client)
{
    return [&client](const device_range &input, std::vector<device_range> &out) {
        std::string error;
        if (client.resolve(input, out, error))
            return;
        // The resolver answers with the whole message of its failure.
        const std::string prefix = "device_parser error: ";
        throw device_parser_exception(error.rfind(prefix, 0) == 0 ? error.substr(prefix.size())
                                                                  : error);
    };
}

namespace {

void print_debug_ranges(const std::vector<fs_range> &ranges, bool whole)
{
    std::cout << "is global? :" << (whole ? "true" : "false") << std::endl;
    for (const fs_range &range : ranges)
        std::cout << "fs range:[" << range.first << ", " << range.second << ")" << std::endl;
}

} // namespace

watched_fs watch_device(const std::string &path, bool whole,
                        const std::function<bool(ENUM_FS_TYPE)> &has_code,
                        const resolve_fn &resolve, bool quiet)
{
    // Opened once: the block-device check, detection and every read use the
    // same descriptor, so a path that changes meanwhile is not read twice.
    const device_file device = device_file::open(path);
    watched_fs fs;
    fs.path = path;
    fs.major = major(device.rdev());
    fs.minor = minor(device.rdev());
    if (!quiet)
        std::cout << "dev num: " << dev_to_string(fs.major, fs.minor) << std::endl;

    fs_layout layout = get_fs_ranges(device, whole);
    if (!layout.note.empty() && !quiet)
        std::cout << path << ": " << layout.note << std::endl;
    fs.type = layout.type;
    fs.ranges = std::move(layout.ranges);
    if (!has_code(fs.type))
        throw fs_parser_exception(std::string("can not get ") + fs_type_name(fs.type) +
                                  " module's address.");
    if (debug_on())
        print_debug_ranges(fs.ranges, whole);

    device_range input{};
    input.major = fs.major;
    input.minor = fs.minor;
    input.ranges = fs.ranges;
    resolve(input, fs.disks);
    return fs;
}
