// ext4 on-disk records and the ext4 range maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "common/common.h"

// Byte offset of the primary superblock on the device, whatever the block size.
constexpr uint64_t EXT4_SUPERBLOCK_OFFSET = 1024;
constexpr uint16_t EXT4_SUPERBLOCK_MAGIC = 0xEF53;
// s_state value of a cleanly unmounted file system without recorded errors.
constexpr uint16_t EXT4_VALID_FS = 1;
// Block sizes run from 1 KiB (exponent 0) to 64 KiB (exponent 6).
constexpr uint32_t EXT4_MAX_LOG_BLOCK_SIZE = 6;
// Descriptor size of file systems without 64-bit block numbers.
constexpr uint32_t EXT4_MIN_DESC_SIZE = 32;
// Smallest descriptor that carries the high halves of the block numbers.
constexpr uint32_t EXT4_MIN_DESC_SIZE_64BIT = 64;
constexpr uint32_t EXT4_MAX_DESC_SIZE = 1024;
constexpr uint32_t EXT4_FEATURE_COMPAT_SPARSE_SUPER2 = 0x200;
constexpr uint32_t EXT4_FEATURE_RO_COMPAT_SPARSE_SUPER = 0x1;
constexpr uint32_t EXT4_FEATURE_INCOMPAT_META_BG = 0x10;
constexpr uint32_t EXT4_FEATURE_INCOMPAT_64BIT = 0x80;
constexpr uint32_t EXT4_FEATURE_RO_COMPAT_BIGALLOC = 0x200;

// The primary superblock: 1024 bytes at byte 1024 of the device, little-endian.
// Only the fields this program reads are named; the rest is kept as padding.
struct ext4_superblock {
    uint32_t s_inodes_count;        // 0
    uint32_t s_blocks_count_lo;     // 4
    uint8_t pad_8[12];              // 8
    uint32_t s_first_data_block;    // 20
    uint32_t s_log_block_size;      // 24
    uint8_t pad_28[4];              // 28
    uint32_t s_blocks_per_group;    // 32
    uint8_t pad_36[4];              // 36
    uint32_t s_inodes_per_group;    // 40
    uint8_t pad_44[12];             // 44
    uint16_t s_magic;               // 56
    uint16_t s_state;               // 58
    uint8_t pad_60[28];             // 60
    uint16_t s_inode_size;          // 88
    uint8_t pad_90[2];              // 90
    uint32_t s_feature_compat;      // 92
    uint32_t s_feature_incompat;    // 96
    uint32_t s_feature_ro_compat;   // 100
    uint8_t pad_104[102];           // 104
    uint16_t s_reserved_gdt_blocks; // 206
    uint8_t pad_208[46];            // 208
    uint16_t s_desc_size;           // 254
    uint8_t pad_256[4];             // 256
    uint32_t s_first_meta_bg;       // 260
    uint8_t pad_264[72];            // 264
    uint32_t s_blocks_count_hi;     // 336
    uint8_t pad_340[248];           // 340
    uint32_t s_backup_bgs[2];       // 588
    uint8_t pad_596[428];           // 596
};
static_assert(sizeof(ext4_superblock) == 1024);
static_assert(offsetof(ext4_superblock, s_first_data_block) == 20);
static_assert(offsetof(ext4_superblock, s_inodes_per_group) == 40);
static_assert(offsetof(ext4_superblock, s_magic) == 56);
static_assert(offsetof(ext4_superblock, s_inode_size) == 88);
static_assert(offsetof(ext4_superblock, s_feature_incompat) == 96);
static_assert(offsetof(ext4_superblock, s_reserved_gdt_blocks) == 206);
static_assert(offsetof(ext4_superblock, s_desc_size) == 254);
static_assert(offsetof(ext4_superblock, s_first_meta_bg) == 260);
static_assert(offsetof(ext4_superblock, s_blocks_count_hi) == 336);
static_assert(offsetof(ext4_superblock, s_backup_bgs) == 588);

// The leading part of one group descriptor, little-endian. 32-byte descriptors
// end after the low halves; 64-byte ones (64bit feature) carry the high halves.
struct ext4_group_desc {
    uint32_t bg_block_bitmap_lo; // 0
    uint32_t bg_inode_bitmap_lo; // 4
    uint32_t bg_inode_table_lo;  // 8
    uint8_t pad_12[20];          // 12
    uint32_t bg_block_bitmap_hi; // 32
    uint32_t bg_inode_bitmap_hi; // 36
    uint32_t bg_inode_table_hi;  // 40
    uint8_t pad_44[20];          // 44
};
static_assert(sizeof(ext4_group_desc) == 64);
static_assert(offsetof(ext4_group_desc, bg_block_bitmap_hi) == 32);

// Reads the superblock at byte 1024 of stream; true when it is a clean ext4
// superblock (magic 0xEF53, state exactly 1).
bool read_ext4_superblock(std::istream &stream, ext4_superblock &sb);

// The whole file system as one range. Throws fs_parser_exception for a block
// size beyond 64 KiB.
bool get_ext4_range(const std::string &device_path, std::vector<fs_range> &ranges);

// The metadata ranges (first blocks up to the superblock, descriptor table,
// reserved descriptor blocks, every group's bitmaps and inode table; with
// meta_bg the primary descriptor block of every meta group), normalised. Throws fs_parser_exception
// for an implausible superblock.
bool get_ext4_metadata_range(const std::string &device_path, std::vector<fs_range> &ranges);
