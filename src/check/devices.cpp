// Each device: what would be watched, on which disks, and what the disks and
// the file system say about other users (SCSI reservations, ext4 MMP).
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/corvane.h"
#include "base/escape.h"
#include "check/check.h"
#include "device_parser/device_parser.h"
#include "fs_parser/fs_parser.h"
#include "kallsyms_parser/kallsyms_parser.h"
#include "watch/mountinfo.h"

namespace {

constexpr uint32_t mmp_magic = 0x004D4D50;
constexpr uint32_t mmp_seq_clean = 0xFF4D4D50;
constexpr uint32_t mmp_seq_fsck = 0xE24D4D50;
constexpr uint32_t mmp_seq_max = 0xE24D4D4F;
constexpr uint32_t ext4_incompat_mmp = 0x0100;

uint16_t le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(le16(p)) | static_cast<uint32_t>(le16(p + 2)) << 16;
}

uint64_t le64(const uint8_t *p)
{
    return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}

std::string text_field(const uint8_t *p, size_t size)
{
    size_t n = 0;
    while (n < size && p[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char *>(p), n);
}

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};

// Reads size bytes at offset bypassing the page cache where the device allows
// it, so that what another host wrote is seen; else through it.
bool read_fresh(const std::string &path, uint8_t *out, size_t size, uint64_t offset)
{
    constexpr size_t align = 4096;
    const uint64_t start = offset / align * align;
    const size_t span = (offset - start + size + align - 1) / align * align;
    void *raw = nullptr;
    if (posix_memalign(&raw, align, span) != 0)
        return false;
    std::unique_ptr<void, free_deleter> buffer(raw);
    for (int flags : {O_RDONLY | O_CLOEXEC | O_DIRECT, O_RDONLY | O_CLOEXEC}) {
        const int fd = open(path.c_str(), flags);
        if (fd < 0)
            continue;
        const ssize_t n = pread(fd, raw, span, static_cast<off_t>(start));
        close(fd);
        if (n >= static_cast<ssize_t>(offset - start + size)) {
            std::memcpy(out, static_cast<uint8_t *>(raw) + (offset - start), size);
            return true;
        }
    }
    return false;
}

void check_one_device(const std::string &path, bool whole, const kallsyms_parser &symbols,
                      device_finding &found)
{
    const device_file device = device_file::open(path);
    const fs_layout layout = get_fs_ranges(device, whole);
    found.type = fs_type_name(layout.type);
    found.ranges = layout.ranges.size();
    found.note = layout.note;
    if (layout.type == ENUM_FS_TYPE_EXT4) {
        uint8_t superblock[1024];
        if (read_fresh(path, superblock, sizeof(superblock), 1024)) {
            found.mmp = read_mmp_state(path, superblock);
        } else {
            found.mmp.emplace();
            found.mmp->error = "superblock not readable";
        }
    }
    if (symbols.fs_code_ranges(layout.type).empty())
        throw fs_parser_exception(std::string("can not get ") + found.type + " module's address.");

    device_range input{};
    input.major = major(device.rdev());
    input.minor = minor(device.rdev());
    input.ranges = layout.ranges;
    std::vector<device_range> disks;
    resolve_device(input, disks);
    for (const device_range &disk : disks) {
        disk_finding d;
        d.major = disk.major;
        d.minor = disk.minor;
        d.wwid = wwid_to_string(disk.wwid);
        d.chain = chain_text(disk.chain);
        d.ranges = disk.ranges.size();
        const std::string node = device_node(disk.major, disk.minor);
        if (node.empty())
            d.reservation.error = "no device node";
        else
            d.reservation = read_reservation_state(node);
        found.disks.push_back(std::move(d));
    }
}

} // namespace

const char *mmp_sequence_meaning(uint32_t sequence)
{
    if (sequence == mmp_seq_clean)
        return "clean";
    if (sequence == mmp_seq_fsck)
        return "fsck";
    if (sequence <= mmp_seq_max)
        return "in use";
    return "invalid sequence";
}

mmp_state read_mmp_state(const std::string &path, const uint8_t *superblock)
{
    mmp_state state;
    state.enabled = (le32(superblock + 0x60) & ext4_incompat_mmp) != 0;
    if (!state.enabled)
        return state;
    state.update_interval = le16(superblock + 0x166);
    const uint64_t block = le64(superblock + 0x168);
    const uint32_t log_block_size = le32(superblock + 0x18);
    if (log_block_size > 6) {
        state.error = "block size out of range";
        return state;
    }
    uint8_t mmp[1024];
    if (!read_fresh(path, mmp, sizeof(mmp), block << (10 + log_block_size))) {
        state.error = "MMP block " + std::to_string(block) + " not readable";
        return state;
    }
    if (le32(mmp) != mmp_magic) {
        state.error = "MMP block " + std::to_string(block) + " has no MMP magic";
        return state;
    }
    state.readable = true;
    state.sequence = le32(mmp + 4);
    state.time = le64(mmp + 8);
    state.node = escape_text(text_field(mmp + 16, 64));
    state.device = escape_text(text_field(mmp + 80, 32));
    state.check_interval = le16(mmp + 112);
    return state;
}

void check_devices(const check_options &options, const kallsyms_parser &symbols,
                   check_result &result)
{
    for (const std::string &path : options.devices) {
        device_finding found;
        found.path = path;
        try {
            check_one_device(path, options.whole, symbols, found);
            found.ok = true;
        } catch (const fs_parser_exception &e) {
            found.error = e.what();
        } catch (const device_parser_exception &e) {
            found.error = e.what();
        }
        result.devices.push_back(std::move(found));
    }
}
