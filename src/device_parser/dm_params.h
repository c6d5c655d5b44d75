// Parameter text of the device-mapper targets that resolution follows, as the
// kernel's table status writes it, and the address arithmetic of a striped
// target (that of drivers/md/dm-stripe.c).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "device_parser/device_parser.h"

namespace device_parser {

// A device below a target and where the target begins on it, in 512-byte sectors.
struct dm_device_offset {
    device_number device;
    uint64_t offset;
};

// linear: "<dev> <offset>".
std::optional<dm_device_offset> parse_linear_params(std::string_view params);
// crypt: "<cipher> <key> <iv_offset> <dev> <offset> [<#opt> <opt>...]". The key
// is skipped over, never copied.
std::optional<dm_device_offset> parse_crypt_params(std::string_view params);
// multipath: the first path of the first path group.
std::optional<device_number> parse_multipath_params(std::string_view params);

struct dm_stripes {
    uint64_t chunk_sectors;
    std::vector<dm_device_offset> stripes;
};
// striped: "<#stripes> <chunk sectors> (<dev> <offset>)+", refused unless the
// kernel would accept it for a target of length sectors: both counts non-zero
// and 32-bit, length a multiple of the stripe count, each stripe's share a
// multiple of the chunk size, one device and offset per stripe.
std::optional<dm_stripes> parse_striped_params(std::string_view params, uint64_t length);

// The part of a byte range that lands on one stripe: [first, second) in bytes
// from the beginning of the target's area on that stripe.
struct stripe_piece {
    uint32_t stripe;
    uint64_t first;
    uint64_t second;
};
// Splits [first, second) (bytes from the target's start, first < second) over
// stripes of chunk_bytes each. Chunks of the range that land on the same stripe
// are consecutive there, so each stripe receives at most one piece; pieces come
// in the order of the stripes the range meets first.
std::vector<stripe_piece> split_over_stripes(uint64_t first, uint64_t second, uint64_t chunk_bytes,
                                             uint32_t stripes);

// The whitespace-separated words of text, as views into it (nothing is copied).
std::vector<std::string_view> split_words(std::string_view text);

} // namespace device_parser
