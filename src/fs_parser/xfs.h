// xfs on-disk superblock and the xfs range maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "common/common.h"

// Leading blocks of every allocation group watched by the metadata map: the
// group's header sectors and the roots of its free-space and inode btrees.
constexpr uint64_t AG_HEADER_BLOCKS = 7;

// The first 264 bytes of the device (version 5 superblock up to the metadata
// UUID). Big-endian on disk; read_xfs_superblock converts the integers to host
// order, except sb_crc, which the format stores little-endian.
struct xfs_superblock {
    uint32_t sb_magicnum;              // 0
    uint32_t sb_blocksize;             // 4
    uint64_t sb_dblocks;               // 8
    uint64_t sb_rblocks;               // 16
    uint64_t sb_rextents;              // 24
    uint8_t sb_uuid[16];               // 32
    uint64_t sb_logstart;              // 48
    uint64_t sb_rootino;               // 56
    uint64_t sb_rbmino;                // 64
    uint64_t sb_rsumino;               // 72
    uint32_t sb_rextsize;              // 80
    uint32_t sb_agblocks;              // 84
    uint32_t sb_agcount;               // 88
    uint32_t sb_rbmblocks;             // 92
    uint32_t sb_logblocks;             // 96
    uint16_t sb_versionnum;            // 100
    uint16_t sb_sectsize;              // 102
    uint16_t sb_inodesize;             // 104
    uint16_t sb_inopblock;             // 106
    char sb_fname[12];                 // 108
    uint8_t sb_blocklog;               // 120
    uint8_t sb_sectlog;                // 121
    uint8_t sb_inodelog;               // 122
    uint8_t sb_inopblog;               // 123
    uint8_t sb_agblklog;               // 124
    uint8_t sb_rextslog;               // 125
    uint8_t sb_inprogress;             // 126
    uint8_t sb_imax_pct;               // 127
    uint64_t sb_icount;                // 128
    uint64_t sb_ifree;                 // 136
    uint64_t sb_fdblocks;              // 144
    uint64_t sb_frextents;             // 152
    uint64_t sb_uquotino;              // 160
    uint64_t sb_gquotino;              // 168
    uint16_t sb_qflags;                // 176
    uint8_t sb_flags;                  // 178
    uint8_t sb_shared_vn;              // 179
    uint32_t sb_inoalignmt;            // 180
    uint32_t sb_unit;                  // 184
    uint32_t sb_width;                 // 188
    uint8_t sb_dirblklog;              // 192
    uint8_t sb_logsectlog;             // 193
    uint16_t sb_logsectsize;           // 194
    uint32_t sb_logsunit;              // 196
    uint32_t sb_features2;             // 200
    uint32_t sb_bad_features2;         // 204
    uint32_t sb_features_compat;       // 208
    uint32_t sb_features_ro_compat;    // 212
    uint32_t sb_features_incompat;     // 216
    uint32_t sb_features_log_incompat; // 220
    uint32_t sb_crc;                   // 224
    uint32_t sb_spino_align;           // 228
    uint64_t sb_pquotino;              // 232
    uint64_t sb_lsn;                   // 240
    uint8_t sb_meta_uuid[16];          // 248
};
static_assert(sizeof(xfs_superblock) == 264);
static_assert(offsetof(xfs_superblock, sb_agblocks) == 84);
static_assert(offsetof(xfs_superblock, sb_agcount) == 88);
static_assert(offsetof(xfs_superblock, sb_icount) == 128);
static_assert(offsetof(xfs_superblock, sb_crc) == 224);
static_assert(offsetof(xfs_superblock, sb_meta_uuid) == 248);

// Reads the first 264 bytes of stream into sb in host order; true when they
// begin with "XFSB".
bool read_xfs_superblock(std::istream &stream, xfs_superblock &sb);

// The whole file system as one range: block size times data blocks.
bool get_xfs_range(const std::string &device_path, std::vector<fs_range> &ranges);

// The first AG_HEADER_BLOCKS blocks of every allocation group, normalised.
bool get_xfs_metadata_range(const std::string &device_path, std::vector<fs_range> &ranges);
