// ext4 on-disk records and the ext4 metadata map.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fs_parser/device_file.h"
#include "fs_parser/range_map.h"

// Byte offset of the primary superblock on the device, whatever the block size.
constexpr uint64_t EXT4_SUPERBLOCK_OFFSET = 1024;
constexpr uint16_t EXT4_SUPERBLOCK_MAGIC = 0xEF53;
// s_state bits.
constexpr uint16_t EXT4_VALID_FS = 1;
constexpr uint16_t EXT4_ERROR_FS = 2;
constexpr uint16_t EXT4_ORPHAN_FS = 4;
// Block sizes run from 1 KiB (exponent 0) to 64 KiB (exponent 6); clusters
// (bigalloc) up to 2^28 bytes.
constexpr uint32_t EXT4_MAX_LOG_BLOCK_SIZE = 6;
constexpr uint32_t EXT4_MAX_LOG_CLUSTER_SIZE = 18;
// Descriptor size of file systems without 64-bit block numbers.
constexpr uint32_t EXT4_MIN_DESC_SIZE = 32;
// Smallest descriptor that carries the high halves of the block numbers.
constexpr uint32_t EXT4_MIN_DESC_SIZE_64BIT = 64;
constexpr uint32_t EXT4_MAX_DESC_SIZE = 1024;
constexpr uint32_t EXT4_GOOD_OLD_INODE_SIZE = 128;
constexpr uint32_t EXT4_FEATURE_COMPAT_HAS_JOURNAL = 0x4;
constexpr uint32_t EXT4_FEATURE_COMPAT_SPARSE_SUPER2 = 0x200;
constexpr uint32_t EXT4_FEATURE_RO_COMPAT_SPARSE_SUPER = 0x1;
constexpr uint32_t EXT4_FEATURE_RO_COMPAT_BIGALLOC = 0x200;
constexpr uint32_t EXT4_FEATURE_INCOMPAT_META_BG = 0x10;
constexpr uint32_t EXT4_FEATURE_INCOMPAT_64BIT = 0x80;
constexpr uint32_t EXT4_FEATURE_INCOMPAT_MMP = 0x100;
// i_flags: the inode maps its blocks with an extent tree.
constexpr uint32_t EXT4_EXTENTS_FL = 0x80000;
constexpr uint16_t EXT4_EXTENT_MAGIC = 0xF30A;
constexpr uint32_t EXT4_MAX_EXTENT_DEPTH = 5;

// The primary superblock: 1024 bytes at byte 1024 of the device, little-endian.
// Only the fields this program reads are named; the rest is kept as padding.
struct ext4_superblock {
    uint32_t s_inodes_count;        // 0
    uint32_t s_blocks_count_lo;     // 4
    uint8_t pad_8[12];              // 8
    uint32_t s_first_data_block;    // 20
    uint32_t s_log_block_size;      // 24
    uint32_t s_log_cluster_size;    // 28
    uint32_t s_blocks_per_group;    // 32
    uint8_t pad_36[4];              // 36
    uint32_t s_inodes_per_group;    // 40
    uint8_t pad_44[12];             // 44
    uint16_t s_magic;               // 56
    uint16_t s_state;               // 58
    uint8_t pad_60[16];             // 60
    uint32_t s_rev_level;           // 76
    uint8_t pad_80[8];              // 80
    uint16_t s_inode_size;          // 88
    uint8_t pad_90[2];              // 90
    uint32_t s_feature_compat;      // 92
    uint32_t s_feature_incompat;    // 96
    uint32_t s_feature_ro_compat;   // 100
    uint8_t pad_104[102];           // 104
    uint16_t s_reserved_gdt_blocks; // 206
    uint8_t s_journal_uuid[16];     // 208
    uint32_t s_journal_inum;        // 224
    uint32_t s_journal_dev;         // 228
    uint8_t pad_232[22];            // 232
    uint16_t s_desc_size;           // 254
    uint8_t pad_256[4];             // 256
    uint32_t s_first_meta_bg;       // 260
    uint8_t pad_264[72];            // 264
    uint32_t s_blocks_count_hi;     // 336
    uint8_t pad_340[20];            // 340
    uint64_t s_mmp_block;           // 360
    uint8_t pad_368[220];           // 368
    uint32_t s_backup_bgs[2];       // 588
    uint8_t pad_596[428];           // 596
};
static_assert(sizeof(ext4_superblock) == 1024);
static_assert(offsetof(ext4_superblock, s_first_data_block) == 0x14);
static_assert(offsetof(ext4_superblock, s_inodes_per_group) == 0x28);
static_assert(offsetof(ext4_superblock, s_magic) == 0x38);
static_assert(offsetof(ext4_superblock, s_rev_level) == 0x4C);
static_assert(offsetof(ext4_superblock, s_inode_size) == 0x58);
static_assert(offsetof(ext4_superblock, s_feature_incompat) == 0x60);
static_assert(offsetof(ext4_superblock, s_reserved_gdt_blocks) == 0xCE);
static_assert(offsetof(ext4_superblock, s_journal_inum) == 0xE0);
static_assert(offsetof(ext4_superblock, s_desc_size) == 0xFE);
static_assert(offsetof(ext4_superblock, s_first_meta_bg) == 0x104);
static_assert(offsetof(ext4_superblock, s_blocks_count_hi) == 0x150);
static_assert(offsetof(ext4_superblock, s_mmp_block) == 0x168);
static_assert(offsetof(ext4_superblock, s_backup_bgs) == 0x24C);

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

// The start of an inode, as far as the journal needs it.
struct ext4_inode_head {
    uint16_t i_mode;      // 0
    uint8_t pad_2[2];     // 2
    uint32_t i_size_lo;   // 4
    uint8_t pad_8[24];    // 8
    uint32_t i_flags;     // 32
    uint8_t pad_36[4];    // 36
    uint32_t i_block[15]; // 40: extent tree root or block map
    uint8_t pad_100[8];   // 100
    uint32_t i_size_high; // 108
    uint8_t pad_112[16];  // 112
};
static_assert(sizeof(ext4_inode_head) == EXT4_GOOD_OLD_INODE_SIZE);
static_assert(offsetof(ext4_inode_head, i_block) == 0x28);
static_assert(offsetof(ext4_inode_head, i_size_high) == 0x6C);

// Reads and checks the ext4 on device. Fills metadata with every group's
// header blocks (superblock and descriptor copies, reserved descriptor
// blocks), bitmaps and inode table, the internal journal with its mapping
// blocks and the MMP block; size is blocks count times block size; note names
// a state other than clean and a journal on another device. Returns false when
// the device cannot be read where needed; throws fs_parser_exception for an
// impossible geometry.
bool read_ext4_metadata(const device_file &device, fs_metadata &metadata);
