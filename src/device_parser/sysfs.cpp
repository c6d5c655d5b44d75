#include <charconv>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include "base/corvane.h"
#include "device_parser/device_parser.h"
#include "device_parser/internal.h"

namespace fs = std::filesystem;

namespace device_parser {

namespace {

fs::path &root_directory()
{
    static fs::path root = "/";
    return root;
}

} // namespace

void set_sysfs_root(const fs::path &root)
{
    root_directory() = root;
}

const fs::path &sysfs_root()
{
    return root_directory();
}

fs::path sysfs_path(std::string_view relative)
{
    return sysfs_root() / relative;
}

fs::path block_device_dir(uint32_t major, uint32_t minor)
{
    return sysfs_path("sys/dev/block") / dev_to_string(major, minor);
}

bool parse_u64(std::string_view text, uint64_t &value)
{
    const char *end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && stop == end;
}

namespace {

// A 32-bit decimal number as the kernel's "%u" writes it: no leading zero, so
// that the text names one device number and that number names it back.
bool parse_kernel_u32(std::string_view text, uint64_t &value)
{
    return parse_u64(text, value) && value <= UINT32_MAX && (text.size() == 1 || text[0] != '0');
}

} // namespace

bool parse_device_number(std::string_view text, uint32_t &major, uint32_t &minor)
{
    size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return false;
    uint64_t high = 0, low = 0;
    if (!parse_kernel_u32(text.substr(0, colon), high) ||
        !parse_kernel_u32(text.substr(colon + 1), low))
        return false;
    major = static_cast<uint32_t>(high);
    minor = static_cast<uint32_t>(low);
    return true;
}

uint64_t checked_add(uint64_t a, uint64_t b)
{
    uint64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        throw std::overflow_error("byte offset beyond 64 bits");
    return sum;
}

uint64_t checked_mul(uint64_t a, uint64_t b)
{
    uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product))
        throw std::overflow_error("byte offset beyond 64 bits");
    return product;
}

void debug_line(const std::string &line)
{
    if (debug_on())
        std::cout << line << std::endl;
}

std::string range_text(uint64_t first, uint64_t second)
{
    return "[" + std::to_string(first) + ", " + std::to_string(second) + ")";
}

} // namespace device_parser

uint64_t read_sysfs_number(const fs::path &path)
{
    std::ifstream in(path);
    std::string word;
    if (!(in >> word))
        return 0;
    // The leading digits are the number; a value that does not fit counts as none.
    uint64_t value = 0;
    auto [stop, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    (void)stop;
    return error == std::errc() ? value : 0;
}
