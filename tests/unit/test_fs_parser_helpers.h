// Helpers of the fs_parser tests: handcrafted superblocks, a fake symbol table,
// and range lists in a form that prints readably when a comparison fails.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "common/common.h"
#include "corvane.h"
#include "kallsyms_parser/kallsyms_parser.h"

namespace fs_parser_test {

using span = std::pair<uint64_t, uint64_t>;
using span_list = std::vector<span>;

inline span_list spans_of(const std::vector<fs_range> &ranges)
{
    span_list spans;
    for (const fs_range &r : ranges)
        spans.emplace_back(r.first, r.second);
    return spans;
}

// Union of half-open spans, sorted; written independently of merge_fs_ranges.
inline span_list union_of(span_list spans)
{
    std::sort(spans.begin(), spans.end());
    span_list out;
    for (const span &s : spans) {
        if (!out.empty() && s.first <= out.back().second)
            out.back().second = std::max(out.back().second, s.second);
        else
            out.push_back(s);
    }
    return out;
}

inline void put_le(std::vector<uint8_t> &image, uint64_t offset, uint64_t value, int width)
{
    for (int i = 0; i < width; ++i)
        image.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

inline void put_be(std::vector<uint8_t> &image, uint64_t offset, uint64_t value, int width)
{
    for (int i = 0; i < width; ++i)
        image.at(offset + i) = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

inline void write_bytes(const std::filesystem::path &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

struct ext4_group {
    uint64_t block_bitmap, inode_bitmap, inode_table;
};

// A handcrafted ext4 superblock (by default: 4 KiB blocks, 64bit and extents,
// 8 groups of 8192 inodes of 256 bytes, 64-byte descriptors) with its
// descriptor table. libblkid calls it ext4 because of the extents feature.
struct ext4_image {
    uint32_t inodes = 65536;
    uint32_t blocks_lo = 262144;
    uint32_t blocks_hi = 0;
    uint32_t first_data_block = 0;
    uint32_t log_block_size = 2;
    uint32_t blocks_per_group = 32768;
    uint32_t inodes_per_group = 8192;
    uint16_t magic = 0xEF53;
    uint16_t state = 1;
    uint16_t inode_size = 256;
    uint32_t feature_incompat = 0x80 | 0x40; // 64bit | extents
    uint32_t feature_ro_compat = 0;
    uint16_t reserved_gdt_blocks = 0;
    uint16_t desc_size = 64;
    uint32_t first_meta_bg = 0;
    std::vector<ext4_group> groups;
    uint64_t size = 0; // image size; 0: up to the end of the descriptor table

    uint64_t block_size() const { return uint64_t{1024} << log_block_size; }
    uint32_t stride() const { return (feature_incompat & 0x80) ? desc_size : 32; }

    void put_descriptor(std::vector<uint8_t> &image, uint64_t at, const ext4_group &group) const
    {
        put_le(image, at + 0, group.block_bitmap, 4);
        put_le(image, at + 4, group.inode_bitmap, 4);
        put_le(image, at + 8, group.inode_table, 4);
        if (stride() >= 64) {
            put_le(image, at + 32, group.block_bitmap >> 32, 4);
            put_le(image, at + 36, group.inode_bitmap >> 32, 4);
            put_le(image, at + 40, group.inode_table >> 32, 4);
        }
    }

    std::vector<uint8_t> bytes() const
    {
        // The table follows the block that holds the superblock (byte 1024).
        const uint64_t table = (1024 / block_size() + 1) * block_size();
        const uint64_t table_end = table + groups.size() * stride();
        std::vector<uint8_t> image(size ? size : std::max<uint64_t>(table_end, 4096), 0);
        const uint64_t sb = 1024;
        put_le(image, sb + 0, inodes, 4);
        put_le(image, sb + 4, blocks_lo, 4);
        put_le(image, sb + 20, first_data_block, 4);
        put_le(image, sb + 24, log_block_size, 4);
        put_le(image, sb + 32, blocks_per_group, 4);
        put_le(image, sb + 40, inodes_per_group, 4);
        put_le(image, sb + 56, magic, 2);
        put_le(image, sb + 58, state, 2);
        put_le(image, sb + 76, 1, 4); // dynamic revision
        put_le(image, sb + 88, inode_size, 2);
        put_le(image, sb + 96, feature_incompat, 4);
        put_le(image, sb + 100, feature_ro_compat, 4);
        put_le(image, sb + 206, reserved_gdt_blocks, 2);
        put_le(image, sb + 254, desc_size, 2);
        put_le(image, sb + 260, first_meta_bg, 4);
        put_le(image, sb + 336, blocks_hi, 4);
        for (size_t g = 0; g < groups.size(); ++g) {
            if (table + (g + 1) * stride() > image.size())
                break;
            put_descriptor(image, table + g * stride(), groups[g]);
        }
        return image;
    }
};

// A handcrafted xfs superblock, big-endian as on disk.
struct xfs_image {
    const char *magic = "XFSB";
    uint32_t block_size = 4096;
    uint64_t data_blocks = 262144;
    uint32_t ag_blocks = 65536;
    uint32_t ag_count = 4;

    std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> image(4096, 0);
        for (int i = 0; i < 4; ++i)
            image[i] = static_cast<uint8_t>(magic[i]);
        put_be(image, 4, block_size, 4);
        put_be(image, 8, data_blocks, 8);
        put_be(image, 84, ag_blocks, 4);
        put_be(image, 88, ag_count, 4);
        return image;
    }
};

// Fills the process-wide symbol table from a small kallsyms file holding
// functions of the modules named.
inline void load_fake_kallsyms(const std::filesystem::path &dir, bool with_ext4, bool with_xfs)
{
    const std::filesystem::path file = dir / "kallsyms";
    std::ofstream out(file);
    out << "ffffffff81000000 T _stext\n";
    if (with_ext4)
        out << "ffffffffc0100000 t ext4_file_write_iter\t[ext4]\n"
               "ffffffffc0180000 T ext4_sync_fs\t[ext4]\n";
    if (with_xfs)
        out << "ffffffffc0200000 t xfs_file_write_iter\t[xfs]\n"
               "ffffffffc0280000 t xfs_fs_sync_fs\t[xfs]\n";
    out.close();
    kallsyms.parse(file.string());
}

} // namespace fs_parser_test

inline std::ostream &operator<<(std::ostream &out, const fs_range &r)
{
    return out << "{" << r.type << " [" << r.first << ", " << r.second << ")}";
}
