// xfs layout: the data device is cut into allocation groups of sb_agblocks
// blocks (the last one may be shorter). Each group starts with its header
// sectors (superblock copy, free-space header AGF, inode header AGI, free list
// AGFL), followed by the roots of its btrees, all placed by mkfs at fixed
// blocks that the geometry determines. An internal log is one run of blocks
// inside one group.
//
// Every superblock field that sizes the work is checked against the device
// and the others before it is used, by the kernel's own mount-time rules
// (xfs_validate_sb_common()), so that work and memory follow the device.
#include "fs_parser/xfs.h"

#include <endian.h>

#include <algorithm>
#include <cstring>

#include "fs_parser/fs_parser.h"

namespace {

const char CORRUPTED_SUPERBLOCK[] = "fs's superblock may have been corrupted.";
const char XFS_MAGIC[4] = {'X', 'F', 'S', 'B'};

void require(bool condition)
{
    if (!condition)
        throw fs_parser_exception(CORRUPTED_SUPERBLOCK);
}

void to_host(uint16_t &field)
{
    field = be16toh(field);
}
void to_host(uint32_t &field)
{
    field = be32toh(field);
}
void to_host(uint64_t &field)
{
    field = be64toh(field);
}

// Converts every multi-byte integer from the on-disk big-endian order. sb_crc
// stays as stored: the format keeps the checksum little-endian.
void superblock_to_host(xfs_superblock &sb)
{
    for (uint32_t *field :
         {&sb.sb_blocksize, &sb.sb_rextsize, &sb.sb_agblocks, &sb.sb_agcount, &sb.sb_rbmblocks,
          &sb.sb_logblocks, &sb.sb_inoalignmt, &sb.sb_unit, &sb.sb_width, &sb.sb_logsunit,
          &sb.sb_features2, &sb.sb_bad_features2, &sb.sb_features_compat, &sb.sb_features_ro_compat,
          &sb.sb_features_incompat, &sb.sb_features_log_incompat, &sb.sb_spino_align})
        to_host(*field);
    for (uint64_t *field :
         {&sb.sb_dblocks, &sb.sb_rblocks, &sb.sb_rextents, &sb.sb_logstart, &sb.sb_rootino,
          &sb.sb_rbmino, &sb.sb_rsumino, &sb.sb_icount, &sb.sb_ifree, &sb.sb_fdblocks,
          &sb.sb_frextents, &sb.sb_uquotino, &sb.sb_gquotino, &sb.sb_pquotino, &sb.sb_lsn})
        to_host(*field);
    for (uint16_t *field : {&sb.sb_versionnum, &sb.sb_sectsize, &sb.sb_inodesize, &sb.sb_inopblock,
                            &sb.sb_qflags, &sb.sb_logsectsize})
        to_host(*field);
}

bool is_power_of_two(uint64_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

// A power of two within [low, high] that equals 2^log.
bool is_size(uint64_t size, uint8_t log, uint64_t low, uint64_t high)
{
    return is_power_of_two(size) && size >= low && size <= high && log < 64 &&
           size == uint64_t{1} << log;
}

// Blocks of allocation group ag (the last one holds what remains).
uint64_t ag_length(const xfs_superblock &sb, uint64_t ag)
{
    return std::min<uint64_t>(sb.sb_agblocks, sb.sb_dblocks - ag * sb.sb_agblocks);
}

// Block size, sector size, group size and count, data blocks: consistent with
// each other and the device, as xfs_validate_sb_common() requires.
void check_geometry(const xfs_superblock &sb, uint64_t device_size)
{
    require(is_size(sb.sb_blocksize, sb.sb_blocklog, XFS_MIN_BLOCKSIZE, XFS_MAX_BLOCKSIZE));
    require(is_size(sb.sb_sectsize, sb.sb_sectlog, XFS_MIN_SECTORSIZE, XFS_MAX_SECTORSIZE) &&
            sb.sb_sectsize <= sb.sb_blocksize);
    const uint64_t ag_bytes = uint64_t{sb.sb_agblocks} * sb.sb_blocksize;
    require(ag_bytes >= XFS_MIN_AG_BYTES && ag_bytes <= XFS_MAX_AG_BYTES);
    // sb_agblklog: bits of an in-group block number, so 2^(log-1) < agblocks <= 2^log.
    require(sb.sb_agblklog > 0 && sb.sb_agblklog < 32 &&
            uint64_t{sb.sb_agblocks} <= uint64_t{1} << sb.sb_agblklog &&
            uint64_t{sb.sb_agblocks} > uint64_t{1} << (sb.sb_agblklog - 1));
    require(sb.sb_dblocks > 0 && sb.sb_dblocks <= device_size / sb.sb_blocksize);
    const uint64_t ag_count = (sb.sb_dblocks + sb.sb_agblocks - 1) / sb.sb_agblocks;
    require(sb.sb_agcount == ag_count);
    require(sb.sb_dblocks - (ag_count - 1) * sb.sb_agblocks >= XFS_MIN_AG_BLOCKS);
}

// The internal log, [start, start + length) in bytes, inside one group.
void add_log(const xfs_superblock &sb, range_collector &ranges)
{
    const uint64_t ag = sb.sb_logstart >> sb.sb_agblklog;
    const uint64_t ag_block = sb.sb_logstart & ((uint64_t{1} << sb.sb_agblklog) - 1);
    require(sb.sb_logblocks > 0 && sb.sb_logblocks <= XFS_MAX_LOG_BLOCKS && ag < sb.sb_agcount &&
            ag_block < ag_length(sb, ag) && sb.sb_logblocks <= ag_length(sb, ag) - ag_block);
    const uint64_t start = (ag * sb.sb_agblocks + ag_block) * sb.sb_blocksize;
    ranges.add(start, start + uint64_t{sb.sb_logblocks} * sb.sb_blocksize);
}

// Reads the superblock at the start of device into sb in host order; false
// when the device is too short.
bool read_xfs_superblock(const device_file &device, xfs_superblock &sb)
{
    if (!device.read_at(&sb, sizeof(sb), 0))
        return false;
    superblock_to_host(sb);
    return true;
}

// Blocks at the start of every allocation group that mkfs fills before the
// first free block (the kernel's xfs_prealloc_blocks()): the header sectors,
// then the roots of the free-space btrees (by block, by size), the inode
// btree, and as the features have them the free-inode, reverse-mapping and
// reference-count btrees.
uint64_t ag_header_blocks(const xfs_superblock &sb)
{
    const bool v5 = (sb.sb_versionnum & XFS_SB_VERSION_NUMBITS) == XFS_SB_VERSION_5;
    const uint32_t features = v5 ? sb.sb_features_ro_compat : 0;
    // The free list fills the last header sector; the btree roots follow in
    // the next blocks, in this order.
    const uint64_t free_list_block =
        (XFS_AG_HEADER_SECTORS - 1) * uint64_t{sb.sb_sectsize} / sb.sb_blocksize;
    uint64_t roots = 3; // by-block and by-size free space, inodes
    for (uint32_t feature : {XFS_SB_FEAT_RO_COMPAT_FINOBT, XFS_SB_FEAT_RO_COMPAT_RMAPBT,
                             XFS_SB_FEAT_RO_COMPAT_REFLINK})
        if ((features & feature) != 0)
            ++roots;
    return free_list_block + 1 + roots;
}

} // namespace

bool read_xfs_metadata(const device_file &device, fs_metadata &metadata)
{
    xfs_superblock sb{};
    if (!read_xfs_superblock(device, sb))
        return false;
    require(std::memcmp(&sb.sb_magicnum, XFS_MAGIC, sizeof(XFS_MAGIC)) == 0);
    check_geometry(sb, device.size());

    range_collector ranges(ENUM_FS_TYPE_XFS);
    const uint64_t header_blocks = ag_header_blocks(sb);
    for (uint64_t ag = 0; ag < sb.sb_agcount; ++ag) {
        const uint64_t start = ag * sb.sb_agblocks * sb.sb_blocksize;
        ranges.add(start, start + std::min(header_blocks, ag_length(sb, ag)) * sb.sb_blocksize);
    }
    if (sb.sb_logstart != 0)
        add_log(sb, ranges);

    metadata.ranges = ranges.take();
    metadata.size = sb.sb_dblocks * sb.sb_blocksize;
    metadata.note = sb.sb_logstart != 0 ? "" : "xfs log: on another device, not watched";
    return true;
}
