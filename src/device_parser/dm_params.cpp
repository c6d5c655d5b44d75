#include "device_parser/dm_params.h"

#include <algorithm>

#include "device_parser/internal.h"

namespace device_parser {

namespace {

std::optional<dm_device_offset> device_and_offset(std::string_view device, std::string_view offset)
{
    dm_device_offset result{};
    if (!parse_device_number(device, result.device.major, result.device.minor) ||
        !parse_u64(offset, result.offset))
        return std::nullopt;
    return result;
}

bool parse_u32(std::string_view text, uint64_t &value)
{
    return parse_u64(text, value) && value <= UINT32_MAX;
}

} // namespace

std::vector<std::string_view> split_words(std::string_view text)
{
    constexpr std::string_view blanks = " \t\n";
    std::vector<std::string_view> words;
    size_t begin = text.find_first_not_of(blanks);
    while (begin != std::string_view::npos) {
        size_t end = std::min(text.find_first_of(blanks, begin), text.size());
        words.push_back(text.substr(begin, end - begin));
        begin = text.find_first_not_of(blanks, end);
    }
    return words;
}

std::optional<dm_device_offset> parse_linear_params(std::string_view params)
{
    std::vector<std::string_view> words = split_words(params);
    if (words.size() != 2)
        return std::nullopt;
    return device_and_offset(words[0], words[1]);
}

std::optional<dm_device_offset> parse_crypt_params(std::string_view params)
{
    enum { cipher, key, iv_offset, device, offset, optional_count, fixed_words = optional_count };
    std::vector<std::string_view> words = split_words(params);
    if (words.size() < fixed_words)
        return std::nullopt;
    uint64_t ignored = 0;
    if (!parse_u64(words[iv_offset], ignored))
        return std::nullopt;
    if (words.size() > fixed_words) {
        // The optional parameters are counted; a count that disagrees means
        // the text is not what the kernel writes.
        uint64_t count = 0;
        if (!parse_u64(words[optional_count], count) || count != words.size() - fixed_words - 1)
            return std::nullopt;
    }
    return device_and_offset(words[device], words[offset]);
}

std::optional<device_number> parse_multipath_params(std::string_view params)
{
    // The first word with a colon is the first path of the first path group.
    for (std::string_view word : split_words(params)) {
        if (word.find(':') == std::string_view::npos)
            continue;
        device_number device{};
        if (!parse_device_number(word, device.major, device.minor))
            return std::nullopt;
        return device;
    }
    return std::nullopt;
}

std::optional<dm_stripes> parse_striped_params(std::string_view params, uint64_t length)
{
    std::vector<std::string_view> words = split_words(params);
    uint64_t count = 0, chunk = 0;
    if (words.size() < 2 || !parse_u32(words[0], count) || !parse_u32(words[1], chunk) ||
        count == 0 || chunk == 0)
        return std::nullopt;
    if ((words.size() - 2) / 2 != count || words.size() % 2 != 0)
        return std::nullopt;
    if (length % count != 0 || (length / count) % chunk != 0)
        return std::nullopt;

    dm_stripes result{chunk, {}};
    result.stripes.reserve(count);
    for (size_t word = 2; word < words.size(); word += 2) {
        std::optional<dm_device_offset> stripe = device_and_offset(words[word], words[word + 1]);
        if (!stripe)
            return std::nullopt;
        result.stripes.push_back(*stripe);
    }
    return result;
}

std::vector<stripe_piece> split_over_stripes(uint64_t first, uint64_t second, uint64_t chunk_bytes,
                                             uint32_t stripes)
{
    // Chunk c of the target lies on stripe c % stripes, as row c / stripes of
    // that stripe.
    auto on_stripe = [&](uint64_t byte) {
        uint64_t chunk = byte / chunk_bytes;
        return (chunk / stripes) * chunk_bytes + byte % chunk_bytes;
    };
    const uint64_t first_chunk = first / chunk_bytes, last_chunk = (second - 1) / chunk_bytes;
    const uint64_t chunks = std::min<uint64_t>(last_chunk - first_chunk + 1, stripes);

    std::vector<stripe_piece> pieces;
    pieces.reserve(chunks);
    for (uint64_t chunk = first_chunk; chunk < first_chunk + chunks; ++chunk) {
        // The range's first and last byte on this chunk's stripe: in this
        // chunk, and in the last chunk of the range on the same stripe.
        uint64_t last_on_stripe = chunk + (last_chunk - chunk) / stripes * stripes;
        uint64_t begin = chunk == first_chunk ? first : chunk * chunk_bytes;
        uint64_t end = last_on_stripe == last_chunk
                           ? second - 1
                           : last_on_stripe * chunk_bytes + chunk_bytes - 1;
        pieces.push_back(
            {static_cast<uint32_t>(chunk % stripes), on_stripe(begin), on_stripe(end) + 1});
    }
    return pieces;
}

} // namespace device_parser
