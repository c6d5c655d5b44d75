// Device resolution's text parsing and device-mapper arithmetic under libFuzzer:
// device numbers, WWIDs and target parameter text, raw or built from fuzzed
// numbers so that the mapping itself is reached.
//
// Properties: a parsed device number or WWID writes back as the same text;
// every mapped range lies inside the area its target occupies on the device
// below, and the mapped bytes add up to the watched bytes inside the target.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/corvane.h"
#include "device_parser/device_parser.h"
#include "device_parser/dm_params.h"
#include "device_parser/internal.h"

namespace {

using u128 = unsigned __int128;
using device_parser::dm_device_offset;

// Names the broken property before libFuzzer records the input.
#define require(property)                                                                          \
    do {                                                                                           \
        if (!(property)) {                                                                         \
            fprintf(stderr, "property broken: %s (line %d)\n", #property, __LINE__);               \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

void device_number_round_trip(const std::string &text)
{
    uint32_t major = 0, minor = 0;
    if (device_parser::parse_device_number(text, major, minor))
        require(dev_to_string(major, minor) == text);
}

void wwid_round_trip(const std::string &text)
{
    wwid_t wwid{};
    if (!parse_wwid_text(text, wwid))
        return;
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    require("naa." + wwid_to_string(wwid) == lower);
}

// A byte window on a device, wide enough not to wrap.
struct window {
    u128 begin;
    u128 end;
    bool holds(const fs_range &range) const
    {
        return range.first < range.second && begin <= range.first && range.second <= end;
    }
};

window sectors(uint64_t offset, uint64_t length)
{
    return {u128{offset} * SECTOR_SIZE, (u128{offset} + length) * SECTOR_SIZE};
}

// Where each device below may receive bytes, for the target's parameters.
std::vector<std::pair<device_number, window>>
areas_below(const std::string &type, const std::string &params, uint64_t start, uint64_t length)
{
    std::vector<std::pair<device_number, window>> areas;
    if (type == "striped") {
        if (auto layout = device_parser::parse_striped_params(params, length))
            for (const dm_device_offset &stripe : layout->stripes)
                areas.push_back(
                    {stripe.device, sectors(stripe.offset, length / layout->stripes.size())});
    } else if (type == "multipath") {
        if (auto path = device_parser::parse_multipath_params(params))
            areas.push_back({*path, sectors(start, length)});
    } else {
        auto below = type == "linear" ? device_parser::parse_linear_params(params)
                                      : device_parser::parse_crypt_params(params);
        if (below)
            areas.push_back({below->device, sectors(below->offset, length)});
    }
    return areas;
}

void check_mapping(const std::string &type, const std::string &params, uint64_t start,
                   uint64_t length, const device_range &upper)
{
    using mapper = int (*)(const device_range &, std::deque<device_range> &, uint64_t, uint64_t,
                           std::string_view);
    mapper map = type == "linear"    ? map_dm_linear
                 : type == "striped" ? map_dm_striped
                 : type == "crypt"   ? map_dm_crypt
                                     : map_dm_multipath;
    std::deque<device_range> queue;
    int placed = 0;
    try {
        placed = map(upper, queue, start, length, params);
    } catch (const device_parser_exception &) {
        return; // unreadable parameters
    } catch (const std::overflow_error &) {
        return; // an offset beyond 64-bit bytes
    }

    const std::vector<std::pair<device_number, window>> areas =
        areas_below(type, params, start, length);
    require(!areas.empty());
    int counted = 0;
    u128 mapped = 0;
    for (const device_range &lower : queue) {
        device_number device{lower.major, lower.minor};
        require(lower.chain.size() == upper.chain.size() + 1 && lower.chain.back() == device);
        for (const fs_range &range : lower.ranges) {
            require(std::any_of(areas.begin(), areas.end(), [&](const auto &area) {
                return area.first == device && area.second.holds(range);
            }));
            mapped += range.second - range.first;
            ++counted;
        }
    }
    require(counted == placed);

    window target = sectors(start, length);
    u128 watched = 0;
    for (const fs_range &range : upper.ranges) {
        u128 first = std::max<u128>(range.first, target.begin);
        u128 second = std::min<u128>(range.second, target.end);
        watched += first < second ? second - first : 0;
    }
    require(mapped == watched);
}

const char *const target_types[] = {"linear", "striped", "crypt", "multipath"};

std::string device_text(FuzzedDataProvider &data)
{
    return std::to_string(data.ConsumeIntegralInRange<uint32_t>(0, 300)) + ":" +
           std::to_string(data.ConsumeIntegralInRange<uint32_t>(0, 300));
}

// Parameter text the kernel could have written, for mostly small numbers.
std::string built_params(FuzzedDataProvider &data, const std::string &type, uint64_t &length)
{
    auto offset = [&] {
        return std::to_string(data.ConsumeIntegral<uint64_t>() >>
                              data.ConsumeIntegralInRange(0, 63));
    };
    if (type == "linear")
        return device_text(data) + " " + offset();
    if (type == "crypt")
        return "aes-xts-plain64 00ff 0 " + device_text(data) + " " + offset() +
               (data.ConsumeBool() ? " 1 allow_discards" : "");
    if (type == "multipath")
        return "0 0 1 1 round-robin 0 1 1 " + device_text(data) + " 1";
    uint32_t stripes = data.ConsumeIntegralInRange<uint32_t>(1, 9);
    uint32_t chunk = data.ConsumeIntegralInRange<uint32_t>(1, 1024);
    length = uint64_t{stripes} * chunk * data.ConsumeIntegralInRange<uint64_t>(1, 1 << 20);
    std::string text = std::to_string(stripes) + " " + std::to_string(chunk);
    for (uint32_t i = 0; i < stripes; ++i)
        text += " " + device_text(data) + " " + offset();
    return text;
}

void map_target(FuzzedDataProvider &data, bool build)
{
    const std::string type = data.PickValueInArray(target_types);
    uint64_t start = data.ConsumeIntegral<uint64_t>() >> data.ConsumeIntegralInRange(0, 63);
    uint64_t length = data.ConsumeIntegral<uint64_t>() >> data.ConsumeIntegralInRange(0, 63);
    device_range upper{};
    upper.major = 253;
    upper.chain = {{253, 0}};
    for (size_t n = data.ConsumeIntegralInRange(0, 6); n > 0; --n) {
        uint64_t a = data.ConsumeIntegral<uint64_t>() >> data.ConsumeIntegralInRange(0, 63);
        uint64_t b = data.ConsumeIntegral<uint64_t>() >> data.ConsumeIntegralInRange(0, 63);
        if (a != b)
            upper.ranges.push_back({std::min(a, b), std::max(a, b), ENUM_FS_TYPE_EXT4, 0, n});
    }
    std::string params =
        build ? built_params(data, type, length) : data.ConsumeRemainingBytesAsString();
    check_mapping(type, params, start, length, upper);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    switch (data.ConsumeIntegralInRange(0, 3)) {
    case 0:
        device_number_round_trip(data.ConsumeRemainingBytesAsString());
        break;
    case 1:
        wwid_round_trip(data.ConsumeRemainingBytesAsString());
        break;
    default:
        map_target(data, data.ConsumeBool());
        break;
    }
    return 0;
}
