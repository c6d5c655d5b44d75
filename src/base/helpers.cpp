#include <sys/stat.h>

#include <cstdio>

#include "base/corvane.h"

std::string dev_to_string(uint32_t major, uint32_t minor)
{
    return std::to_string(major) + ":" + std::to_string(minor);
}

std::string wwid_to_string(const wwid_t &wwid)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(32);
    for (uint8_t byte : wwid.buf) {
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
    }
    return text;
}

const char *fs_type_name(uint32_t type)
{
    switch (type) {
    case ENUM_FS_TYPE_EXT4:
        return "ext4";
    case ENUM_FS_TYPE_XFS:
        return "xfs";
    default:
        return "unknown";
    }
}

uint64_t get_block_device_number(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return 0;
    return st.st_rdev;
}
