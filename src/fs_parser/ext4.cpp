// ext4 layout. The device is cut into groups of s_blocks_per_group blocks.
// Group 0 holds the superblock at byte 1024, the group-descriptor table after
// it and the reserved descriptor blocks kept for online resize; groups chosen
// by sparse_super / sparse_super2 keep copies of all three. With meta_bg the
// table is cut into blocks stored in the groups they describe (in the first
// group of each meta group, copied to its second and last). Each group's
// descriptor names its block bitmap, inode bitmap and inode table. The
// journal is an ordinary inode (normally 8) mapped by an extent tree or the
// old block map.
//
// Every superblock field that sizes the work is checked against the device
// and the others before it is used, by the kernel's own mount-time rules
// where it has them, so that work and memory follow the device, never a field.
#include "fs_parser/ext4.h"

#include <endian.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fs_parser/fs_parser.h"

namespace {

const char CORRUPTED_SUPERBLOCK[] = "fs's superblock may have been corrupted.";

void require(bool condition)
{
    if (!condition)
        throw fs_parser_exception(CORRUPTED_SUPERBLOCK);
}

// Consecutive descriptor blocks are read this many bytes at a time at most.
constexpr uint64_t DESCRIPTOR_READ_BYTES = 1 << 20;
// Direct block pointers of the old block map, and the slots after them of the
// single, double and triple indirect blocks.
constexpr int EXT4_DIRECT_BLOCKS = 12;
constexpr int EXT4_INDIRECT_LEVELS = 3;
constexpr size_t EXTENT_HEADER_SIZE = 12;
constexpr size_t EXTENT_ENTRY_SIZE = 12;

bool is_power_of_two(uint64_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

bool is_power_of(uint64_t number, uint64_t base)
{
    while (number > 1 && number % base == 0)
        number /= base;
    return number == 1;
}

uint16_t le16_at(const uint8_t *bytes)
{
    uint16_t value;
    std::memcpy(&value, bytes, sizeof(value));
    return le16toh(value);
}

uint32_t le32_at(const uint8_t *bytes)
{
    uint32_t value;
    std::memcpy(&value, bytes, sizeof(value));
    return le32toh(value);
}

// Geometry derived from the superblock, checked, in 64-bit arithmetic.
struct ext4_geometry {
    uint64_t block_size;
    uint64_t blocks_count;
    uint64_t first_data_block;
    uint64_t superblock_block; // block holding the primary superblock
    uint64_t blocks_per_group;
    uint64_t group_count;
    uint64_t descriptor_size;
    uint64_t descriptors_per_block;
    uint64_t descriptor_blocks; // descriptor blocks for all groups
    // Descriptor blocks kept in the table after the superblock (and in its
    // copies): all of them, or with meta_bg the first s_first_meta_bg.
    uint64_t table_blocks;
    uint64_t reserved_gdt_blocks;
    uint64_t inodes_count;
    uint64_t inodes_per_group;
    uint64_t inode_size;
    uint64_t inode_table_blocks; // per group
    bool meta_bg;
    uint64_t first_meta_bg;
    bool sparse_super;
    bool sparse_super2;
    uint64_t backup_groups[2]; // sparse_super2
};

uint64_t descriptor_size_of(const ext4_superblock &sb, bool has_64bit)
{
    if (!has_64bit)
        return EXT4_MIN_DESC_SIZE; // s_desc_size is meaningless then
    const uint64_t size = le16toh(sb.s_desc_size);
    require(size >= EXT4_MIN_DESC_SIZE_64BIT && size <= EXT4_MAX_DESC_SIZE &&
            is_power_of_two(size));
    return size;
}

// Blocks per cluster: 1, or with bigalloc 2^(cluster exponent - block exponent).
uint64_t cluster_ratio_of(const ext4_superblock &sb)
{
    if ((le32toh(sb.s_feature_ro_compat) & EXT4_FEATURE_RO_COMPAT_BIGALLOC) == 0)
        return 1;
    const uint32_t log_block = le32toh(sb.s_log_block_size);
    const uint32_t log_cluster = le32toh(sb.s_log_cluster_size);
    require(log_cluster >= log_block && log_cluster <= EXT4_MAX_LOG_CLUSTER_SIZE);
    return uint64_t{1} << (log_cluster - log_block);
}

// Block size, block count and first data block; the file system must fit on
// the device.
void check_size(const ext4_superblock &sb, uint64_t device_size, ext4_geometry &g)
{
    const uint32_t log_block_size = le32toh(sb.s_log_block_size);
    require(log_block_size <= EXT4_MAX_LOG_BLOCK_SIZE);
    g.block_size = uint64_t{1024} << log_block_size;
    const bool has_64bit = (le32toh(sb.s_feature_incompat) & EXT4_FEATURE_INCOMPAT_64BIT) != 0;
    g.blocks_count = le32toh(sb.s_blocks_count_lo);
    if (has_64bit)
        g.blocks_count |= uint64_t{le32toh(sb.s_blocks_count_hi)} << 32;
    require(g.blocks_count > 0 && g.blocks_count <= device_size / g.block_size);

    // The superblock fills block 1 with 1 KiB blocks, else block 0. Groups
    // start at s_first_data_block: the superblock's block, or 0 on 1 KiB
    // bigalloc file systems.
    g.superblock_block = EXT4_SUPERBLOCK_OFFSET / g.block_size;
    g.first_data_block = le32toh(sb.s_first_data_block);
    const bool bigalloc = (le32toh(sb.s_feature_ro_compat) & EXT4_FEATURE_RO_COMPAT_BIGALLOC) != 0;
    require(g.first_data_block == g.superblock_block || (bigalloc && g.first_data_block == 0));
    require(g.first_data_block < g.blocks_count);
    g.descriptor_size = descriptor_size_of(sb, has_64bit);
    g.descriptors_per_block = g.block_size / g.descriptor_size;
}

// Groups and inodes: the group count follows from the block count, and the
// inode count must agree with it.
void check_groups(const ext4_superblock &sb, ext4_geometry &g)
{
    g.blocks_per_group = le32toh(sb.s_blocks_per_group);
    require(g.blocks_per_group > 0 && g.blocks_per_group % 8 == 0 &&
            g.blocks_per_group <= 8 * g.block_size * cluster_ratio_of(sb));
    g.group_count =
        (g.blocks_count - g.first_data_block + g.blocks_per_group - 1) / g.blocks_per_group;
    require(g.group_count <= (uint64_t{1} << 32) - g.descriptors_per_block);

    g.inode_size =
        le32toh(sb.s_rev_level) == 0 ? EXT4_GOOD_OLD_INODE_SIZE : le16toh(sb.s_inode_size);
    require(g.inode_size >= EXT4_GOOD_OLD_INODE_SIZE && g.inode_size <= g.block_size &&
            is_power_of_two(g.inode_size));
    g.inodes_per_group = le32toh(sb.s_inodes_per_group);
    require(g.inodes_per_group >= g.block_size / g.inode_size &&
            g.inodes_per_group <= 8 * g.block_size && g.inodes_per_group % 8 == 0);
    g.inodes_count = le32toh(sb.s_inodes_count);
    require(g.inodes_count == g.group_count * g.inodes_per_group);
    g.inode_table_blocks = (g.inodes_per_group * g.inode_size + g.block_size - 1) / g.block_size;
}

// The descriptor table and the reserved blocks after it must fit in the file
// system, which bounds the descriptors read by the device size.
void check_descriptor_table(const ext4_superblock &sb, ext4_geometry &g)
{
    g.reserved_gdt_blocks = le16toh(sb.s_reserved_gdt_blocks);
    require(g.reserved_gdt_blocks <= g.block_size / 4);
    g.descriptor_blocks = (g.group_count + g.descriptors_per_block - 1) / g.descriptors_per_block;
    g.meta_bg = (le32toh(sb.s_feature_incompat) & EXT4_FEATURE_INCOMPAT_META_BG) != 0;
    g.first_meta_bg = le32toh(sb.s_first_meta_bg);
    if (g.meta_bg)
        require(g.first_meta_bg <= g.descriptor_blocks);
    g.table_blocks = g.meta_bg ? g.first_meta_bg : g.descriptor_blocks;
    require(g.superblock_block + 1 + g.table_blocks + g.reserved_gdt_blocks <= g.blocks_count);

    g.sparse_super = (le32toh(sb.s_feature_ro_compat) & EXT4_FEATURE_RO_COMPAT_SPARSE_SUPER) != 0;
    g.sparse_super2 = (le32toh(sb.s_feature_compat) & EXT4_FEATURE_COMPAT_SPARSE_SUPER2) != 0;
    g.backup_groups[0] = le32toh(sb.s_backup_bgs[0]);
    g.backup_groups[1] = le32toh(sb.s_backup_bgs[1]);
}

ext4_geometry geometry_of(const ext4_superblock &sb, uint64_t device_size)
{
    ext4_geometry g{};
    check_size(sb, device_size, g);
    check_groups(sb, g);
    check_descriptor_table(sb, g);
    return g;
}

// Whether a group starts with a copy of the superblock (the kernel's rule).
bool has_superblock(const ext4_geometry &g, uint64_t group)
{
    if (group == 0)
        return true;
    if (g.sparse_super2)
        return group == g.backup_groups[0] || group == g.backup_groups[1];
    if (group <= 1 || !g.sparse_super)
        return true;
    if (group % 2 == 0)
        return false;
    return is_power_of(group, 3) || is_power_of(group, 5) || is_power_of(group, 7);
}

// Blocks at the start of a group before its own bitmaps: the superblock copy,
// the descriptor table copy and the reserved descriptor blocks; or in a meta
// group the superblock copy and the meta group's descriptor block (first,
// second and last group only).
uint64_t header_blocks(const ext4_geometry &g, uint64_t group)
{
    const uint64_t superblock = has_superblock(g, group) ? 1 : 0;
    if (!g.meta_bg || group < g.first_meta_bg * g.descriptors_per_block)
        return superblock ? superblock + g.table_blocks + g.reserved_gdt_blocks : 0;
    const uint64_t index = group % g.descriptors_per_block;
    const bool holds_descriptors = index == 0 || index == 1 || index == g.descriptors_per_block - 1;
    return superblock + (holds_descriptors ? 1 : 0);
}

// First block of a group's header: the group's first block, except in group 0
// of a 1 KiB bigalloc file system, which starts at block 0 while the
// superblock still fills block 1.
uint64_t header_start(const ext4_geometry &g, uint64_t group)
{
    return group == 0 ? g.superblock_block : g.first_data_block + group * g.blocks_per_group;
}

// Block that holds descriptor block nr: in the table after the superblock, or
// with meta_bg after the superblock copy (if any) of the meta group's first group.
uint64_t descriptor_block(const ext4_geometry &g, uint64_t nr)
{
    if (!g.meta_bg || nr < g.first_meta_bg)
        return g.superblock_block + 1 + nr;
    const uint64_t group = nr * g.descriptors_per_block;
    return header_start(g, group) + (has_superblock(g, group) ? 1 : 0);
}

// Adds count blocks from block first, which must lie in the file system.
void add_blocks(range_collector &ranges, const ext4_geometry &g, uint64_t first, uint64_t count)
{
    require(first < g.blocks_count && count <= g.blocks_count - first);
    ranges.add(first * g.block_size, (first + count) * g.block_size);
}

// The boot block and superblock, then every group's header blocks.
void add_group_headers(const ext4_geometry &g, range_collector &ranges)
{
    add_blocks(ranges, g, 0, g.superblock_block + header_blocks(g, 0));
    for (uint64_t group = 1; group < g.group_count; ++group) {
        const uint64_t count = header_blocks(g, group);
        if (count != 0)
            add_blocks(ranges, g, header_start(g, group), count);
    }
}

uint64_t block_number(uint32_t low, uint32_t high, bool has_high)
{
    const uint64_t number = le32toh(low);
    return has_high ? number | (uint64_t{le32toh(high)} << 32) : number;
}

// Adds the bitmaps and the inode table of every group, reading the descriptor
// blocks in runs of consecutive blocks. Sets inode_table to the inode table
// of the given group. False when the device cannot be read.
bool add_group_tables(const device_file &device, const ext4_geometry &g, uint64_t table_group,
                      uint64_t &inode_table, range_collector &ranges)
{
    const uint64_t run_limit = std::max<uint64_t>(1, DESCRIPTOR_READ_BYTES / g.block_size);
    const bool has_high = g.descriptor_size >= EXT4_MIN_DESC_SIZE_64BIT;
    std::vector<uint8_t> buffer;
    for (uint64_t nr = 0; nr < g.descriptor_blocks;) {
        const uint64_t first_block = descriptor_block(g, nr);
        uint64_t run = 1;
        while (nr + run < g.descriptor_blocks && run < run_limit &&
               descriptor_block(g, nr + run) == first_block + run)
            ++run;
        require(first_block < g.blocks_count && run <= g.blocks_count - first_block);
        buffer.resize(run * g.block_size);
        if (!device.read_at(buffer.data(), buffer.size(), first_block * g.block_size))
            return false;

        const uint64_t first_group = nr * g.descriptors_per_block;
        const uint64_t groups =
            std::min(run * g.descriptors_per_block, g.group_count - first_group);
        for (uint64_t i = 0; i < groups; ++i) {
            ext4_group_desc desc{};
            std::memcpy(&desc, buffer.data() + i * g.descriptor_size,
                        std::min<size_t>(g.descriptor_size, sizeof(desc)));
            const uint64_t table =
                block_number(desc.bg_inode_table_lo, desc.bg_inode_table_hi, has_high);
            add_blocks(ranges, g,
                       block_number(desc.bg_block_bitmap_lo, desc.bg_block_bitmap_hi, has_high), 1);
            add_blocks(ranges, g,
                       block_number(desc.bg_inode_bitmap_lo, desc.bg_inode_bitmap_hi, has_high), 1);
            add_blocks(ranges, g, table, g.inode_table_blocks);
            if (first_group + i == table_group)
                inode_table = table;
        }
        nr += run;
    }
    return true;
}

// Walks the journal inode's block mapping and adds the journal's blocks and
// the blocks of its mapping (extent tree nodes or indirect blocks). Work is
// bounded by the journal's length (its size in blocks, itself bounded by the
// file system): every mapped block must lie below it, extents in increasing
// order, and each index entry covers its own part of the logical blocks, so a
// tree that loops or repeats itself is refused.
class journal_mapper {
  public:
    journal_mapper(const device_file &device, const ext4_geometry &g, uint64_t length,
                   range_collector &ranges)
        : device_(device), g_(g), length_(length), ranges_(ranges),
          buffers_(std::max<uint32_t>(EXT4_MAX_EXTENT_DEPTH, EXT4_INDIRECT_LEVELS),
                   std::vector<uint8_t>(g.block_size))
    {
    }

    bool map_extent_tree(const uint8_t *root, size_t root_size)
    {
        return walk_node(root, root_size, nullptr, 0, length_);
    }

    bool map_block_map(const uint32_t *i_block)
    {
        const uint64_t per_block = g_.block_size / sizeof(uint32_t);
        uint64_t logical = 0;
        for (int i = 0; i < EXT4_DIRECT_BLOCKS; ++i, ++logical)
            if (!map_pointer(le32toh(i_block[i]), 0, logical))
                return false;
        uint64_t span = 1;
        for (int level = 1; level <= EXT4_INDIRECT_LEVELS; ++level) {
            span *= per_block;
            if (!map_pointer(le32toh(i_block[EXT4_DIRECT_BLOCKS + level - 1]), level, logical))
                return false;
            logical += span;
        }
        return true;
    }

  private:
    // Reads a tree node or an indirect block into the buffer of its level.
    const uint8_t *read_block(uint64_t block, size_t level)
    {
        // The checks on depths and logical blocks bound the nodes of a tree by
        // its levels times the journal's length already; this keeps the bound
        // whatever a walk may miss.
        require(++blocks_read_ <= EXT4_MAX_EXTENT_DEPTH * length_);
        add_blocks(ranges_, g_, block, 1);
        std::vector<uint8_t> &buffer = buffers_.at(level);
        if (!device_.read_at(buffer.data(), buffer.size(), block * g_.block_size))
            return nullptr;
        return buffer.data();
    }

    // One extent tree node whose entries must lie in logical blocks [low,
    // high). expected_depth is null for the root (in the inode).
    bool walk_node(const uint8_t *node, size_t size, const uint32_t *expected_depth, uint64_t low,
                   uint64_t high)
    {
        const uint32_t entries = le16_at(node + 2), max = le16_at(node + 4);
        const uint32_t depth = le16_at(node + 6);
        require(le16_at(node) == EXT4_EXTENT_MAGIC && max > 0 &&
                max <= (size - EXTENT_HEADER_SIZE) / EXTENT_ENTRY_SIZE && entries <= max);
        require(expected_depth ? depth == *expected_depth : depth <= EXT4_MAX_EXTENT_DEPTH);
        const uint8_t *entry = node + EXTENT_HEADER_SIZE;
        if (depth == 0) {
            for (uint32_t i = 0; i < entries; ++i, entry += EXTENT_ENTRY_SIZE)
                add_extent(entry, low, high);
            return true;
        }
        require(entries > 0);
        const uint32_t child_depth = depth - 1;
        for (uint32_t i = 0; i < entries; ++i, entry += EXTENT_ENTRY_SIZE) {
            const uint64_t child_low = le32_at(entry);
            const uint64_t child_high = i + 1 < entries ? le32_at(entry + EXTENT_ENTRY_SIZE) : high;
            require(low <= child_low && child_low < child_high && child_high <= high);
            const uint64_t child = le32_at(entry + 4) | uint64_t{le16_at(entry + 8)} << 32;
            const uint8_t *child_node = read_block(child, child_depth);
            if (child_node == nullptr ||
                !walk_node(child_node, g_.block_size, &child_depth, child_low, child_high))
                return false;
        }
        return true;
    }

    void add_extent(const uint8_t *extent, uint64_t low, uint64_t high)
    {
        const uint64_t logical = le32_at(extent);
        uint64_t length = le16_at(extent + 4);
        // Longer than 32768: an unwritten extent of length - 32768 blocks.
        if (length > 32768)
            length -= 32768;
        const uint64_t physical = le32_at(extent + 8) | uint64_t{le16_at(extent + 6)} << 32;
        require(length > 0 && logical >= std::max(low, next_logical_) && logical < high &&
                length <= high - logical);
        next_logical_ = logical + length;
        add_blocks(ranges_, g_, physical, length);
    }

    // A block pointer of the old map: a data block (level 0) or an indirect
    // block of the given level, mapping from logical block logical on.
    bool map_pointer(uint32_t pointer, int level, uint64_t logical)
    {
        if (pointer == 0 || logical >= length_) // a hole, or past the journal
            return true;
        if (level == 0) {
            add_blocks(ranges_, g_, pointer, 1);
            return true;
        }
        const uint8_t *block = read_block(pointer, static_cast<size_t>(level - 1));
        if (block == nullptr)
            return false;
        const uint64_t per_block = g_.block_size / sizeof(uint32_t);
        uint64_t span = 1;
        for (int i = 1; i < level; ++i)
            span *= per_block;
        for (uint64_t i = 0; i < per_block && logical + i * span < length_; ++i)
            if (!map_pointer(le32_at(block + 4 * i), level - 1, logical + i * span))
                return false;
        return true;
    }

    const device_file &device_;
    const ext4_geometry &g_;
    uint64_t length_; // blocks
    range_collector &ranges_;
    std::vector<std::vector<uint8_t>> buffers_; // one per tree level
    uint64_t next_logical_ = 0;
    uint64_t blocks_read_ = 0;
};

// Adds the internal journal: the blocks of the journal inode and of its
// mapping. False when the device cannot be read.
bool add_journal(const device_file &device, const ext4_geometry &g, uint64_t journal_inode,
                 uint64_t inode_table, range_collector &ranges)
{
    const uint64_t index = (journal_inode - 1) % g.inodes_per_group;
    ext4_inode_head inode{};
    if (!device.read_at(&inode, sizeof(inode), inode_table * g.block_size + index * g.inode_size))
        return false;
    const uint64_t size = le32toh(inode.i_size_lo) | uint64_t{le32toh(inode.i_size_high)} << 32;
    const uint64_t length = size / g.block_size + (size % g.block_size != 0 ? 1 : 0);
    require(length > 0 && length <= g.blocks_count);
    journal_mapper mapper(device, g, length, ranges);
    if ((le32toh(inode.i_flags) & EXT4_EXTENTS_FL) != 0)
        return mapper.map_extent_tree(reinterpret_cast<const uint8_t *>(inode.i_block),
                                      sizeof(inode.i_block));
    return mapper.map_block_map(inode.i_block);
}

std::string state_note(uint16_t state)
{
    std::vector<std::string> parts;
    if ((state & EXT4_VALID_FS) == 0)
        parts.emplace_back("not clean");
    if ((state & EXT4_ERROR_FS) != 0)
        parts.emplace_back("errors recorded");
    if ((state & EXT4_ORPHAN_FS) != 0)
        parts.emplace_back("orphans being processed");
    std::string note;
    for (const std::string &part : parts)
        note += (note.empty() ? "ext4 state: " : ", ") + part;
    return note;
}

void append_note(std::string &note, const std::string &line)
{
    if (!line.empty())
        note += (note.empty() ? "" : "; ") + line;
}

} // namespace

bool read_ext4_metadata(const device_file &device, fs_metadata &metadata)
{
    ext4_superblock sb{};
    if (!device.read_at(&sb, sizeof(sb), EXT4_SUPERBLOCK_OFFSET))
        return false;
    require(le16toh(sb.s_magic) == EXT4_SUPERBLOCK_MAGIC);
    const ext4_geometry g = geometry_of(sb, device.size());

    const bool has_journal = (le32toh(sb.s_feature_compat) & EXT4_FEATURE_COMPAT_HAS_JOURNAL) != 0;
    const uint64_t journal_inode = has_journal ? le32toh(sb.s_journal_inum) : 0;
    require(journal_inode <= g.inodes_count);
    const uint64_t journal_group =
        journal_inode != 0 ? (journal_inode - 1) / g.inodes_per_group : UINT64_MAX;

    range_collector ranges(ENUM_FS_TYPE_EXT4);
    add_group_headers(g, ranges);
    uint64_t journal_table = 0;
    if (!add_group_tables(device, g, journal_group, journal_table, ranges))
        return false;
    if (journal_inode != 0 && !add_journal(device, g, journal_inode, journal_table, ranges))
        return false;
    if ((le32toh(sb.s_feature_incompat) & EXT4_FEATURE_INCOMPAT_MMP) != 0) {
        const uint64_t mmp_block = le64toh(sb.s_mmp_block);
        require(mmp_block >= g.first_data_block);
        add_blocks(ranges, g, mmp_block, 1);
    }

    metadata.ranges = ranges.take();
    metadata.size = g.blocks_count * g.block_size;
    metadata.note = state_note(le16toh(sb.s_state));
    if (has_journal && journal_inode == 0)
        append_note(metadata.note, "ext4 journal: on another device, not watched");
    return true;
}
