// xfs on-disk superblock and the xfs metadata map.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fs_parser/device_file.h"
#include "fs_parser/range_map.h"

// Geometry limits the kernel checks before it mounts (xfs_sb.c, xfs_fs.h).
constexpr uint32_t XFS_MIN_BLOCKSIZE = 512;
constexpr uint32_t XFS_MAX_BLOCKSIZE = 65536;
constexpr uint32_t XFS_MIN_SECTORSIZE = 512;
constexpr uint32_t XFS_MAX_SECTORSIZE = 32768;
constexpr uint64_t XFS_MIN_AG_BYTES = uint64_t{1} << 24;
constexpr uint64_t XFS_MAX_AG_BYTES = uint64_t{1} << 40;
constexpr uint64_t XFS_MIN_AG_BLOCKS = 64;
constexpr uint64_t XFS_MAX_LOG_BLOCKS = 1024 * 1024;
// Version 5 superblocks (CRCs) carry the read-only-compatible feature bits.
constexpr uint16_t XFS_SB_VERSION_NUMBITS = 0x000f;
constexpr uint16_t XFS_SB_VERSION_5 = 5;
constexpr uint32_t XFS_SB_FEAT_RO_COMPAT_FINOBT = 1 << 0;
constexpr uint32_t XFS_SB_FEAT_RO_COMPAT_RMAPBT = 1 << 1;
constexpr uint32_t XFS_SB_FEAT_RO_COMPAT_REFLINK = 1 << 2;
// Sectors at the start of every allocation group: superblock, AGF, AGI, AGFL.
constexpr uint64_t XFS_AG_HEADER_SECTORS = 4;

// The first 264 bytes of the device (version 5 superblock up to the metadata
// UUID). Big-endian on disk; read_xfs_superblock converts the integers to host
// order, except sb_magicnum, kept as its four characters, and sb_crc, which
// the format stores little-endian.
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

// Checks the xfs geometry on device and fills metadata with the header area
// of every allocation group and the internal log; size is data blocks times
// block size; note names a log on another device. Returns false when the
// device cannot be read; throws fs_parser_exception for an impossible geometry.
bool read_xfs_metadata(const device_file &device, fs_metadata &metadata);
