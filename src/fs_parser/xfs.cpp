// xfs layout: the device is cut into allocation groups of sb_agblocks blocks;
// each group starts with its header sectors (superblock copy, free-space and
// inode headers) followed by the roots of its btrees.
#include <endian.h>

#include <cstring>
#include <fstream>

#include "fs_parser/fs_parser.h"

namespace {

const char XFS_MAGIC[4] = {'X', 'F', 'S', 'B'};

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
         {&sb.sb_magicnum, &sb.sb_blocksize, &sb.sb_rextsize, &sb.sb_agblocks, &sb.sb_agcount,
          &sb.sb_rbmblocks, &sb.sb_logblocks, &sb.sb_inoalignmt, &sb.sb_unit, &sb.sb_width,
          &sb.sb_logsunit, &sb.sb_features2, &sb.sb_bad_features2, &sb.sb_features_compat,
          &sb.sb_features_ro_compat, &sb.sb_features_incompat, &sb.sb_features_log_incompat,
          &sb.sb_spino_align})
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

fs_range xfs_range(uint64_t first, uint64_t second)
{
    return fs_range{first, second, ENUM_FS_TYPE_XFS, 0, 0};
}

} // namespace

bool read_xfs_superblock(std::istream &stream, xfs_superblock &sb)
{
    if (!stream.seekg(0, std::ios::beg))
        return false;
    if (!stream.read(reinterpret_cast<char *>(&sb), sizeof(sb)))
        return false;
    const bool magic = std::memcmp(&sb.sb_magicnum, XFS_MAGIC, sizeof(XFS_MAGIC)) == 0;
    superblock_to_host(sb);
    return magic;
}

bool get_xfs_range(const std::string &device_path, std::vector<fs_range> &ranges)
{
    std::ifstream device(device_path, std::ios::in | std::ios::binary);
    xfs_superblock sb{};
    if (!read_xfs_superblock(device, sb))
        return false;
    ranges = {xfs_range(0, uint64_t{sb.sb_blocksize} * sb.sb_dblocks)};
    return true;
}

bool get_xfs_metadata_range(const std::string &device_path, std::vector<fs_range> &ranges)
{
    std::ifstream device(device_path, std::ios::in | std::ios::binary);
    xfs_superblock sb{};
    if (!read_xfs_superblock(device, sb))
        return false;
    const uint64_t block_size = sb.sb_blocksize;
    const uint64_t group_size = block_size * sb.sb_agblocks;
    const uint64_t header_size = AG_HEADER_BLOCKS * block_size;
    std::vector<fs_range> list;
    list.reserve(sb.sb_agcount);
    for (uint64_t group = 0; group < sb.sb_agcount; ++group)
        list.push_back(xfs_range(group * group_size, group * group_size + header_size));
    merge_fs_ranges(list);
    ranges = std::move(list);
    return true;
}
