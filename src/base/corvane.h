// Process-wide settings and tables owned by the entry point, and the small
// helpers every subsystem shares.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/common.h"

// Option -m: bit 0 switches debug output on, here and in the eBPF programs.
extern uint64_t mask;
// Option -d: reports and the map listing also go to the system log.
extern bool daemon_flag;

inline bool debug_on()
{
    return (mask & 1) != 0;
}

// "major:minor" in decimal, e.g. 8:16.
std::string dev_to_string(uint32_t major, uint32_t minor);
// The 16 WWID bytes as 32 lowercase hex digits, byte 0 first.
std::string wwid_to_string(const wwid_t &wwid);
// "unknown", "ext4" or "xfs"; "unknown" for anything else.
const char *fs_type_name(uint32_t type);
// Value of one hexadecimal digit of either case, -1 for any other character.
constexpr int hex_digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
// st_rdev of path when it is a block device, else 0.
uint64_t get_block_device_number(const std::string &path);
