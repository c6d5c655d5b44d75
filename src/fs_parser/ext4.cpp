// ext4 layout: the superblock at byte 1024, the group-descriptor table in the
// block after it, then the reserved descriptor blocks kept for online resize;
// each group's descriptor names its block bitmap, inode bitmap and inode table.
// With meta_bg (set by mkfs on request, or by an online resize that outgrew
// the reserved blocks) the table is cut into blocks stored in the groups they
// describe.
#include <endian.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>

#include "fs_parser/fs_parser.h"

namespace {

const char CORRUPTED_SUPERBLOCK[] = "fs's superblock may have been corrupted.";

// The descriptor table is read in one pass; a large buffer keeps that pass to
// few reads even for a hundred thousand groups, while a repositioning (once per
// meta group with meta_bg) discards no more than this.
constexpr size_t STREAM_BUFFER_SIZE = 1 << 16;

// A read-only device stream with its own large buffer; the device is closed
// when the object goes out of scope.
class device_stream {
  public:
    explicit device_stream(const std::string &path) : buffer_(new char[STREAM_BUFFER_SIZE])
    {
        stream_.rdbuf()->pubsetbuf(buffer_.get(), STREAM_BUFFER_SIZE);
        stream_.open(path, std::ios::in | std::ios::binary);
    }
    std::ifstream &get() { return stream_; }

  private:
    std::unique_ptr<char[]> buffer_; // outlives stream_, which is destroyed first
    std::ifstream stream_;
};

bool has_64bit(const ext4_superblock &sb)
{
    return (le32toh(sb.s_feature_incompat) & EXT4_FEATURE_INCOMPAT_64BIT) != 0;
}

uint64_t block_size_of(const ext4_superblock &sb)
{
    const uint32_t exponent = le32toh(sb.s_log_block_size);
    if (exponent > EXT4_MAX_LOG_BLOCK_SIZE)
        throw fs_parser_exception(CORRUPTED_SUPERBLOCK);
    return uint64_t{1024} << exponent;
}

// Size of one group descriptor. Without the 64bit feature the format fixes it
// at 32 bytes (s_desc_size is then meaningless); with it, s_desc_size must be a
// power of two from 64 to 1024, as the kernel requires before mounting.
uint32_t descriptor_size_of(const ext4_superblock &sb)
{
    if (!has_64bit(sb))
        return EXT4_MIN_DESC_SIZE;
    const uint32_t size = le16toh(sb.s_desc_size);
    if (size < EXT4_MIN_DESC_SIZE_64BIT || size > EXT4_MAX_DESC_SIZE || (size & (size - 1)) != 0)
        throw fs_parser_exception(CORRUPTED_SUPERBLOCK);
    return size;
}

// Block that holds the superblock: block 1 with 1 KiB blocks, else block 0.
// s_first_data_block names it, except on 1 KiB bigalloc file systems, where it
// is 0 while the superblock still fills block 1; any other value is damage.
uint64_t superblock_block_of(const ext4_superblock &sb, uint64_t block_size)
{
    const uint64_t superblock_block = EXT4_SUPERBLOCK_OFFSET / block_size;
    const bool bigalloc = (le32toh(sb.s_feature_ro_compat) & EXT4_FEATURE_RO_COMPAT_BIGALLOC) != 0;
    const uint64_t expected = bigalloc ? 0 : superblock_block;
    if (le32toh(sb.s_first_data_block) != expected)
        throw fs_parser_exception(CORRUPTED_SUPERBLOCK);
    return std::max<uint64_t>(le32toh(sb.s_first_data_block), superblock_block);
}

// Geometry derived from the superblock, all in 64-bit arithmetic.
struct ext4_layout {
    uint64_t block_size;
    uint64_t group_count;
    uint32_t descriptor_size;
    uint64_t descriptors_per_block;
    uint64_t first_data_block;
    uint64_t blocks_per_group;
    uint64_t table_block;        // first block of the primary descriptor table
    uint64_t table_blocks;       // blocks of that table
    uint64_t reserved_blocks;    // reserved descriptor blocks after the table
    uint64_t inode_table_blocks; // per group
    // With meta_bg the table holds only the first first_meta_bg descriptor
    // blocks; every later block lies inside the meta group it describes.
    bool meta_bg;
    uint64_t first_meta_bg;
};

ext4_layout layout_of(const ext4_superblock &sb)
{
    const uint64_t inodes_per_group = le32toh(sb.s_inodes_per_group);
    if (inodes_per_group == 0)
        throw fs_parser_exception(CORRUPTED_SUPERBLOCK);
    ext4_layout layout{};
    layout.block_size = block_size_of(sb);
    const uint64_t block_size = layout.block_size;
    layout.group_count = (le32toh(sb.s_inodes_count) + inodes_per_group - 1) / inodes_per_group;
    layout.descriptor_size = descriptor_size_of(sb);
    layout.descriptors_per_block = block_size / layout.descriptor_size;
    layout.first_data_block = le32toh(sb.s_first_data_block);
    layout.blocks_per_group = le32toh(sb.s_blocks_per_group);
    layout.table_block = superblock_block_of(sb, block_size) + 1;
    const uint64_t descriptor_blocks =
        (layout.group_count * layout.descriptor_size + block_size - 1) / block_size;
    layout.meta_bg = (le32toh(sb.s_feature_incompat) & EXT4_FEATURE_INCOMPAT_META_BG) != 0;
    layout.first_meta_bg = le32toh(sb.s_first_meta_bg);
    layout.table_blocks =
        layout.meta_bg ? std::min(descriptor_blocks, layout.first_meta_bg) : descriptor_blocks;
    if (layout.meta_bg && layout.blocks_per_group == 0)
        throw fs_parser_exception(CORRUPTED_SUPERBLOCK);
    layout.reserved_blocks = le16toh(sb.s_reserved_gdt_blocks);
    layout.inode_table_blocks =
        (le16toh(sb.s_inode_size) * inodes_per_group + block_size - 1) / block_size;
    return layout;
}

bool is_power_of(uint64_t number, uint64_t base)
{
    while (number > 1 && number % base == 0)
        number /= base;
    return number == 1;
}

// Whether a group starts with a copy of the superblock (the kernel's rule).
bool group_has_superblock(const ext4_superblock &sb, uint64_t group)
{
    if (group == 0)
        return true;
    if ((le32toh(sb.s_feature_compat) & EXT4_FEATURE_COMPAT_SPARSE_SUPER2) != 0)
        return group == le32toh(sb.s_backup_bgs[0]) || group == le32toh(sb.s_backup_bgs[1]);
    if (group <= 1 || (le32toh(sb.s_feature_ro_compat) & EXT4_FEATURE_RO_COMPAT_SPARSE_SUPER) == 0)
        return true;
    if (group % 2 == 0)
        return false;
    return is_power_of(group, 3) || is_power_of(group, 5) || is_power_of(group, 7);
}

// Block that holds descriptor block number nr: inside the primary table, or
// with meta_bg in the first group of its meta group, after the superblock copy.
uint64_t descriptor_block_of(const ext4_superblock &sb, const ext4_layout &layout, uint64_t nr)
{
    if (!layout.meta_bg || nr < layout.first_meta_bg)
        return layout.table_block + nr;
    const uint64_t group = nr * layout.descriptors_per_block;
    uint64_t block = layout.first_data_block + group * layout.blocks_per_group;
    if (group_has_superblock(sb, group))
        ++block;
    // 1 KiB bigalloc: group 0 starts at block 0, but the superblock fills block 1.
    if (nr == 0 && layout.block_size == 1024 && layout.first_data_block == 0)
        ++block;
    return block;
}

// Appends [first, second), extending the last range instead when the two touch
// or overlap: the normalisation would merge them anyway, and per-group ranges
// usually follow each other, so the list stays short on large file systems.
void append_range(std::vector<fs_range> &list, uint64_t first, uint64_t second)
{
    if (!list.empty()) {
        fs_range &last = list.back();
        if (last.first <= first && first <= last.second) {
            last.second = std::max<uint64_t>(last.second, second);
            return;
        }
    }
    list.push_back(fs_range{first, second, ENUM_FS_TYPE_EXT4, 0, 0});
}

uint64_t block_number(uint32_t low, uint32_t high, bool has_high)
{
    const uint64_t number = le32toh(low);
    return has_high ? number | (uint64_t{le32toh(high)} << 32) : number;
}

// One sequential pass over the descriptors. The stream is positioned only
// where the next descriptor block does not follow the previous one: once for
// an ordinary table, once per meta group with meta_bg. False when the device
// ends before the last descriptor.
bool append_group_ranges(std::istream &stream, const ext4_superblock &sb, const ext4_layout &layout,
                         std::vector<fs_range> &list)
{
    const uint64_t block_size = layout.block_size;
    const bool has_high = layout.descriptor_size >= EXT4_MIN_DESC_SIZE_64BIT;
    uint64_t stream_offset = UINT64_MAX; // where the next read starts
    char raw[EXT4_MAX_DESC_SIZE];
    for (uint64_t group = 0; group < layout.group_count; ++group) {
        if (group % layout.descriptors_per_block == 0) {
            const uint64_t nr = group / layout.descriptors_per_block;
            const uint64_t block = descriptor_block_of(sb, layout, nr);
            if (nr >= layout.table_blocks) // a meta group's own descriptor block
                append_range(list, block * block_size, (block + 1) * block_size);
            if (block * block_size != stream_offset) {
                stream_offset = block * block_size;
                if (!stream.seekg(static_cast<std::streamoff>(stream_offset), std::ios::beg))
                    return false;
            }
        }
        if (!stream.read(raw, layout.descriptor_size))
            return false;
        stream_offset += layout.descriptor_size;

        ext4_group_desc desc{};
        std::memcpy(&desc, raw, std::min<size_t>(layout.descriptor_size, sizeof(desc)));
        const uint64_t block_bitmap =
            block_number(desc.bg_block_bitmap_lo, desc.bg_block_bitmap_hi, has_high);
        const uint64_t inode_bitmap =
            block_number(desc.bg_inode_bitmap_lo, desc.bg_inode_bitmap_hi, has_high);
        const uint64_t inode_table =
            block_number(desc.bg_inode_table_lo, desc.bg_inode_table_hi, has_high);
        append_range(list, block_bitmap * block_size, (block_bitmap + 1) * block_size);
        append_range(list, inode_bitmap * block_size, (inode_bitmap + 1) * block_size);
        append_range(list, inode_table * block_size,
                     (inode_table + layout.inode_table_blocks) * block_size);
    }
    return true;
}

} // namespace

bool read_ext4_superblock(std::istream &stream, ext4_superblock &sb)
{
    if (!stream.seekg(EXT4_SUPERBLOCK_OFFSET, std::ios::beg))
        return false;
    if (!stream.read(reinterpret_cast<char *>(&sb), sizeof(sb)))
        return false;
    return le16toh(sb.s_magic) == EXT4_SUPERBLOCK_MAGIC && le16toh(sb.s_state) == EXT4_VALID_FS;
}

bool get_ext4_range(const std::string &device_path, std::vector<fs_range> &ranges)
{
    std::ifstream device(device_path, std::ios::in | std::ios::binary);
    ext4_superblock sb{};
    if (!read_ext4_superblock(device, sb))
        return false;
    const uint64_t block_size = block_size_of(sb);
    const uint64_t blocks = block_number(sb.s_blocks_count_lo, sb.s_blocks_count_hi, has_64bit(sb));
    ranges = {fs_range{0, blocks * block_size, ENUM_FS_TYPE_EXT4, 0, 0}};
    return true;
}

bool get_ext4_metadata_range(const std::string &device_path, std::vector<fs_range> &ranges)
{
    device_stream device(device_path);
    std::istream &stream = device.get();
    ext4_superblock sb{};
    if (!read_ext4_superblock(stream, sb))
        return false;
    const ext4_layout layout = layout_of(sb);

    const uint64_t block_size = layout.block_size;
    const uint64_t table_start = layout.table_block * block_size;
    const uint64_t table_end = table_start + layout.table_blocks * block_size;
    const uint64_t reserved_end = table_end + layout.reserved_blocks * block_size;
    std::vector<fs_range> list;
    append_range(list, 0, table_start);
    append_range(list, table_start, table_end);
    append_range(list, table_end, reserved_end);
    if (!append_group_ranges(stream, sb, layout, list))
        return false;
    merge_fs_ranges(list);
    ranges = std::move(list);
    return true;
}
