// Device resolution against a sysfs tree laid out as the kernel lays it out
// (relative links from sys/dev/block into sys/devices, driver links into
// sys/bus), device-mapper tables given as text, and a real loop device.
#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>

#include "base/corvane.h"
#include "device_parser/device_parser.h"
#include "device_parser/dm_params.h"
#include "fake_sysfs.h"
#include "test_support.h"

namespace fs = std::filesystem;
using test_support::write_file;

namespace {

constexpr const char *wwid_a_text = "naa.6001405a1b2c3d4e5f60718293a4b5c6";
constexpr wwid_t wwid_a = {{0x60, 0x01, 0x40, 0x5a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71, 0x82,
                            0x93, 0xa4, 0xb5, 0xc6}};
constexpr const char *wwid_b_text = "naa.60014050000000000000000000000b0b";
constexpr wwid_t wwid_b = {{0x60, 0x01, 0x40, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0b, 0x0b}};
constexpr uint64_t mib = 1 << 20;
// Input range i carries source first_source + i and kind i % 2.
constexpr uint64_t first_source = 100;

bool same_wwid(const wwid_t &a, const wwid_t &b)
{
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

struct byte_range {
    uint64_t first;
    uint64_t second;
    bool operator==(const byte_range &) const = default;
};

device_range make_input(uint32_t major, uint32_t minor, const std::vector<byte_range> &ranges)
{
    device_range input{};
    input.major = major;
    input.minor = minor;
    for (const byte_range &r : ranges) {
        const uint64_t i = input.ranges.size();
        input.ranges.push_back(
            {r.first, r.second, ENUM_FS_TYPE_EXT4, static_cast<uint32_t>(i % 2), first_source + i});
    }
    return input;
}

std::vector<byte_range> ranges_of(const device_range &entry)
{
    std::vector<byte_range> ranges;
    for (const fs_range &range : entry.ranges)
        ranges.push_back({range.first, range.second});
    return ranges;
}

// Every piece keeps the type, kind and source of the range it came from, and
// the pieces of each range add up to its size.
void expect_pieces_keep_their_origin(const device_range &input,
                                     const std::vector<device_range> &out)
{
    std::map<uint64_t, uint64_t> bytes_per_source;
    for (const device_range &entry : out) {
        for (const fs_range &piece : entry.ranges) {
            ASSERT_GE(piece.source, first_source);
            ASSERT_LT(piece.source - first_source, input.ranges.size());
            const fs_range &origin = input.ranges[piece.source - first_source];
            EXPECT_EQ(piece.type, origin.type);
            EXPECT_EQ(piece.kind, origin.kind);
            bytes_per_source[piece.source] += piece.second - piece.first;
        }
    }
    for (const fs_range &origin : input.ranges)
        EXPECT_EQ(bytes_per_source[origin.source], origin.second - origin.first);
}

std::string device_of(const device_range &entry)
{
    return dev_to_string(entry.major, entry.minor);
}

// The message of the resolution's failure, or "" when it succeeded (and then
// with added, the count it returned).
std::string failure_of(const device_range &input, std::vector<device_range> &out,
                       int *added = nullptr)
{
    try {
        const int count = resolve_device(input, out);
        if (added)
            *added = count;
    } catch (const device_parser_exception &e) {
        return e.what();
    }
    return "";
}

std::string failure_of(const device_range &input)
{
    std::vector<device_range> out;
    return failure_of(input, out);
}

device_range input_of(const std::string &dev, const std::vector<byte_range> &ranges)
{
    const size_t colon = dev.find(':');
    return make_input(std::stoul(dev.substr(0, colon)), std::stoul(dev.substr(colon + 1)), ranges);
}

// One tree for all cases: sda (8:0, wwid a) with partitions at sectors 2048
// and 4096, one without start and one beyond 64-bit offsets; sdb (8:16, wwid
// b); sdc (8:32), a second path to sda's unit; sdd (8:48, wwid b) with
// 4096-byte sectors and a partition at 2048; a CD drive (sr driver), a loop
// device and three device-mapper devices, whose tables (one target a line:
// "start length type params") each case sets.
class DeviceParser : public ::testing::Test {
  protected:
    void SetUp() override
    {
        // Where a textual ".." after sys/dev/block/<dev> would land: a resolution
        // that does not follow the links reads this wrong disk.
        write_file(sys / "dev/block/dev", "1:1\n");
        sda_lun = tree.add_scsi_disk("sda", 8, 0, wwid_a_text);
        tree.add_partition(sda_lun, "sda1", 8, 1, 2048);
        tree.add_partition(sda_lun, "sda2", 8, 2, 4096);
        tree.add_partition(sda_lun, "sda3", 8, 3, std::nullopt);
        tree.add_partition(sda_lun, "sda4", 8, 4, uint64_t{1} << 56);
        tree.add_scsi_disk("sdb", 8, 16, wwid_b_text);
        tree.add_scsi_disk("sdc", 8, 32, wwid_a_text);
        tree.add_partition(tree.add_scsi_disk("sdd", 8, 48, wwid_b_text, 4096), "sdd1", 8, 49,
                           2048);
        tree.add_scsi_disk("sr0", 11, 0, wwid_a_text, 2048, "sr");
        tree.add_virtual("loop0", 7, 0);
        for (uint32_t i = 0; i < 3; ++i)
            tree.add_device_mapper("dm-" + std::to_string(i), 254, i);
    }
    void TearDown() override { mask = 0; }

    test_support::fake_sysfs tree;
    const fs::path &sys = tree.sys;
    std::map<std::string, std::string> &tables = tree.tables;
    fs::path sda_lun;
};

struct expected_entry {
    const char *dev;
    const wwid_t &wwid;
    std::vector<byte_range> ranges;
    const char *chain;
};

const std::string no_destination =
    "254:0 is a device mapper, but can not get it's destination device.";
const std::string size_changed =
    "254:0: The scope of monitoring changes during the calculation process";
const std::string unknown_254 = "254:0: unknown device type.";
std::string unreadable(const std::string &type)
{
    return "254:0 is a device mapper, but its " + type +
           " target has unreadable parameters, ignore this file system.";
}
const byte_range page{0, 4096};
constexpr uint64_t sector_100k = 100000 * 512;
constexpr uint64_t kib = 1024;
const char *multipath = "0 2097152 multipath 1 queue_if_no_path 1 alua 1 1 round-robin 0 2 1 "
                        "8:16 1 8:32 1";
const std::string crypt_key = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";

} // namespace

TEST_F(DeviceParser, ResolvesDownToScsiDisksOrNamesTheFailure)
{
    // 254:2 is a linear volume over 254:0 (first MiB) and sdb (second MiB).
    tables["254:2"] = "0 2048 linear 254:0 0\n2048 2048 linear 8:16 2048";
    const struct {
        const char *what, *dev;
        std::string table; // of 254:0; "-": unreadable
        std::vector<byte_range> in;
        std::vector<expected_entry> out; // when it resolves
        std::string failure = "";        // else the message after "device_parser error: "
    } cases[] = {
        // clang-format off
        {"whole disk", "8:0", "-", {page, {mib, 2 * mib}},
         {{"8:0", wwid_a, {page, {mib, 2 * mib}}, "8:0"}}},
        {"whole disk, no ranges", "8:0", "-", {}, {{"8:0", wwid_a, {}, "8:0"}}},
        // sysfs gives a partition's start in 512-byte sectors on every disk.
        {"partition", "8:1", "-", {page, {8192, 12288}},
         {{"8:0", wwid_a, {{mib, mib + 4096}, {mib + 8192, mib + 12288}}, "8:1 -> 8:0"}}},
        {"partition, 4096-byte sectors", "8:49", "-", {page, {8192, 12288}},
         {{"8:48", wwid_b, {{mib, mib + 4096}, {mib + 8192, mib + 12288}}, "8:49 -> 8:48"}}},
        {"partition without start", "8:3", "-", {page}, {{"8:0", wwid_a, {page}, "8:3 -> 8:0"}}},
        {"partition beyond 64 bits", "8:4", "-", {page}, {}, "8:4: unknown device type."},
        {"other scsi driver", "11:0", "-", {page}, {}, "11:0: unknown device type."},
        {"no device directory", "7:0", "-", {page}, {}, "7:0: unknown device type."},
        {"no such device", "7:9", "-", {page}, {}, "7:9: unknown device type."},
        {"linear", "254:0", "0 2097152 linear 8:16 2048", {{4096, 8192}},
         {{"8:16", wwid_b, {{mib + 4096, mib + 8192}}, "254:0 -> 8:16"}}},
        // The first MiB of the volume lies at sector 4096 (2 MiB), the second at
        // sector 100000.
        {"two linear targets, in table order", "254:0",
         "0 2048 linear 8:0 4096\n2048 2048 linear 8:0 100000",
         {page, {mib - 512, mib + 512}, {mib + 4096, 2 * mib}},
         {{"8:0", wwid_a, {{2 * mib, 2 * mib + 4096}, {3 * mib - 512, 3 * mib}}, "254:0 -> 8:0"},
          {"8:0", wwid_a, {{sector_100k, sector_100k + 512},
                           {sector_100k + 4096, sector_100k + mib}}, "254:0 -> 8:0"}}},
        {"target without watched bytes gives no entry", "254:0",
         "0 2048 linear 8:0 0\n2048 2048 linear 8:16 0", {{mib, mib + 4096}},
         {{"8:16", wwid_b, {page}, "254:0 -> 8:16"}}},
        {"target of no sectors gives no entry", "254:0",
         "2048 0 linear 8:0 0\n0 4096 linear 8:16 0", {{mib - 4096, mib + 4096}},
         {{"8:16", wwid_b, {{mib - 4096, mib + 4096}}, "254:0 -> 8:16"}}},
        {"linear over a partition", "254:0", "0 2097152 linear 8:2 2048", {page},
         {{"8:0", wwid_a, {{3 * mib, 3 * mib + 4096}}, "254:0 -> 8:2 -> 8:0"}}},
        {"multipath follows the first path", "254:0", multipath, {{4096, 8192}},
         {{"8:16", wwid_b, {{4096, 8192}}, "254:0 -> 8:16"}}},
        // A range beyond the device's end is clipped, so the size check refuses it.
        {"multipath, range beyond the end", "254:0", multipath,
         {{4096, 8192}, {1 << 29, (1 << 30) + 4096}}, {}, size_changed},
        // 8:16 reaches the head of the queue before 8:0, which needs one more step.
        {"device mapper over device mapper", "254:2",
         "0 4096 multipath 0 0 1 1 service-time 0 1 2 8:0 1 1", {page, {mib, mib + 4096}},
         {{"8:16", wwid_b, {{mib, mib + 4096}}, "254:2 -> 8:16"},
          {"8:0", wwid_a, {page}, "254:2 -> 254:0 -> 8:0"}}},
        // Chunks 0 and 2 (64 KiB each) are rows 0 and 1 of stripe 0, chunks 1
        // and 3 those of stripe 1; stripe 0 begins at sector 2048 of 8:0.
        {"striped, two stripes, range over four chunks", "254:0",
         "0 2097152 striped 2 128 8:0 2048 8:16 0", {{60 * kib, 200 * kib}},
         {{"8:0", wwid_a, {{mib + 60 * kib, mib + 128 * kib}}, "254:0 -> 8:0"},
          {"8:16", wwid_b, {{0, 72 * kib}}, "254:0 -> 8:16"}}},
        {"striped over partitions", "254:0", "0 2048 striped 2 8 8:1 0 8:2 0", {{0, 16 * kib}},
         {{"8:0", wwid_a, {{mib, mib + 8 * kib}}, "254:0 -> 8:1 -> 8:0"},
          {"8:0", wwid_a, {{2 * mib, 2 * mib + 8 * kib}}, "254:0 -> 8:2 -> 8:0"}}},
        {"striped after a linear target", "254:0",
         "0 2048 linear 8:0 0\n2048 4096 striped 2 8 8:16 0 8:32 0", {{mib - 4096, mib + 8192}},
         {{"8:0", wwid_a, {{mib - 4096, mib}}, "254:0 -> 8:0"},
          {"8:16", wwid_b, {page}, "254:0 -> 8:16"},
          {"8:32", wwid_a, {page}, "254:0 -> 8:32"}}},
        {"striped, length not a multiple of the stripes", "254:0",
         "0 2049 striped 2 8 8:0 0 8:16 0", {page}, {}, unreadable("striped")},
        {"striped, a stripe missing", "254:0", "0 2048 striped 3 8 8:0 0 8:16 0", {page}, {},
         unreadable("striped")},
        {"crypt", "254:0", "0 2097152 crypt aes-xts-plain64 " + crypt_key + " 0 8:16 4096",
         {page, {mib, mib + 4096}},
         {{"8:16", wwid_b, {{2 * mib, 2 * mib + 4096}, {3 * mib, 3 * mib + 4096}},
           "254:0 -> 8:16"}}},
        {"crypt with options, key in the keyring, over a partition", "254:0",
         "0 2097152 crypt aes-xts-plain64 :64:logon:cryptsetup:a1b2 7 8:1 32768 2 "
         "allow_discards sector_size:4096", {page},
         {{"8:0", wwid_a, {{17 * mib, 17 * mib + 4096}}, "254:0 -> 8:1 -> 8:0"}}},
        {"crypt, option count wrong", "254:0",
         "0 2097152 crypt aes-xts-plain64 " + crypt_key + " 0 8:16 4096 2 allow_discards", {page},
         {}, unreadable("crypt")},
        {"unreadable table", "254:0", "-", {page}, {}, no_destination},
        {"empty table", "254:0", "", {page}, {}, no_destination},
        {"no ranges", "254:0", "0 2048 linear 8:0 0", {}, {}, no_destination},
        {"no range in any target", "254:0", "0 2048 linear 8:0 0", {{mib, mib + 1}}, {},
         no_destination},
        {"other target type", "254:0", "0 2048 linear 8:0 0\n2048 2048 thin 253:4 1", {page},
         {}, "254:0 is a device mapper, but unknown type: thin, ignore this file system."},
        {"target without parameters", "254:0", "0 2048 linear", {page}, {},
         unreadable("linear")},
        // A target this far out cannot hold a byte of a 64-bit range.
        {"target beyond 64 bits", "254:0",
         "0 2048 linear 8:0 0\n36028797018963968 2048 linear 8:0 4096", {page},
         {{"8:0", wwid_a, {page}, "254:0 -> 8:0"}}},
        {"offset beyond 64 bits", "254:0", "0 2048 linear 8:0 36028797018963967", {page}, {},
         unknown_254},
        {"linear device with a leading zero", "254:0", "0 2048 linear 08:0 0", {page}, {},
         unreadable("linear")},
        {"multipath without paths", "254:0", "0 2048 multipath 0 0 1 1", {page}, {},
         unreadable("multipath")},
        {"multipath bad path", "254:0", "0 2048 multipath 1 8:x 2 1", {page}, {},
         unreadable("multipath")},
        // clang-format on
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.table != "-")
            tables["254:0"] = c.table;
        else
            tables.erase("254:0");
        const device_range input = input_of(c.dev, c.in);
        std::vector<device_range> out;
        int added = -1;
        const std::string failure = failure_of(input, out, &added);
        if (!c.failure.empty()) {
            EXPECT_EQ(failure, "device_parser error: " + c.failure);
            EXPECT_TRUE(out.empty());
            continue;
        }
        ASSERT_EQ(failure, "");
        ASSERT_EQ(out.size(), c.out.size());
        EXPECT_EQ(added, static_cast<int>(out.size()));
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(device_of(out[i]), c.out[i].dev);
            EXPECT_TRUE(same_wwid(out[i].wwid, c.out[i].wwid)) << wwid_to_string(out[i].wwid);
            EXPECT_EQ(ranges_of(out[i]), c.out[i].ranges);
            EXPECT_EQ(chain_text(out[i].chain), c.out[i].chain);
        }
        expect_pieces_keep_their_origin(input, out);
    }
}

TEST_F(DeviceParser, WwidTextForms)
{
    const std::string no_wwid = "8:0 is a scsi device , but can not identify it's wwid.";
    const struct {
        const char *text; // nullptr: no wwid file
        std::string failure;
    } cases[] = {
        {"naa.6001405A1B2C3D4E5F60718293A4B5C6", ""},
        {"  naa.6001405a1b2c3d4e5f60718293a4b5c6  trailing words", ""},
        {"NAA.6001405a1b2c3d4e5f60718293a4b5c6", no_wwid},
        {"eui.6001405a1b2c3d4e5f60718293a4b5c6", no_wwid},
        {"naa.5000c500a1b2c3d4", no_wwid},
        {"naa.6001405a1b2c3d4e5f60718293a4b5c6ff", no_wwid},
        {"", no_wwid},
        {nullptr, no_wwid},
        // "6g" would convert to 6 digit by digit; no disk has that identifier.
        {"naa.6g01405a1b2c3d4e5f60718293a4b5c6", no_wwid},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text ? c.text : "no wwid file");
        if (c.text)
            write_file(sda_lun / "wwid", std::string(c.text) + "\n");
        else
            fs::remove(sda_lun / "wwid");
        std::vector<device_range> out;
        std::string failure = failure_of(make_input(8, 0, {{0, 4096}}), out);
        if (c.failure.empty()) {
            EXPECT_EQ(failure, "");
            ASSERT_EQ(out.size(), 1u);
            EXPECT_TRUE(same_wwid(out[0].wwid, wwid_a));
        } else {
            EXPECT_EQ(failure, "device_parser error: " + c.failure);
            EXPECT_TRUE(out.empty());
        }
    }
}

TEST_F(DeviceParser, BrokenDriverLinksMeanNoScsiDisk)
{
    EXPECT_FALSE(is_scsi_device(make_input(11, 0, {})));
    EXPECT_FALSE(is_scsi_device(make_input(7, 0, {})));
    // A dangling driver link fails with the input's device text.
    fs::remove(sda_lun / "driver");
    fs::create_directory_symlink("../../../../../../bus/scsi/drivers/gone", sda_lun / "driver");
    EXPECT_EQ(failure_of(make_input(8, 1, {{0, 4096}})),
              "device_parser error: 8:1: unknown device type.");
    // Without the sd driver a disk is bound to another driver, or to none.
    fs::remove(sda_lun / "driver");
    fs::remove_all(sys / "bus/scsi/drivers/sd");
    EXPECT_FALSE(is_scsi_device(make_input(8, 0, {})));
    EXPECT_EQ(failure_of(make_input(8, 0, {{0, 4096}})),
              "device_parser error: 8:0: unknown device type.");
}

TEST_F(DeviceParser, PartitionWithoutItsDisk)
{
    fs::remove(fs::canonical(sys / "dev/block/8:0") / "dev");
    EXPECT_EQ(failure_of(make_input(8, 1, {{0, 4096}})),
              "device_parser error: 8:1 is a partition, but can not get it's destination device.");
}

// A resolution that fails part way adds nothing to what earlier ones found.
TEST_F(DeviceParser, FailuresLeaveTheListAlone)
{
    tables["254:0"] = "0 2048 linear 8:16 0\n2048 2048 linear 8:16 8192";
    std::vector<device_range> out;
    ASSERT_EQ(resolve_device(make_input(8, 1, {{0, 4096}}), out), 1);
    ASSERT_EQ(resolve_device(make_input(254, 0, {{0, 2 << 20}}), out), 2);
    const std::vector<device_range> before = out;
    EXPECT_NE(failure_of(make_input(254, 0, {{0, 3 << 20}}), out), "");
    EXPECT_NE(failure_of(make_input(9, 9, {{0, 1}}), out), "");
    ASSERT_EQ(out.size(), before.size());
    for (size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(ranges_of(out[i]), ranges_of(before[i]));
}

// The volume key appears in no output, also when the resolution fails after
// the table was read.
TEST_F(DeviceParser, CryptKeyStaysOutOfEveryOutput)
{
    tables["254:1"] = "0 2048 crypt aes-xts-plain64 " + crypt_key + " 0 8:16 0 1 allow_discards";
    mask = 1;
    std::vector<device_range> out;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    resolve_device(make_input(254, 1, {{4096, 8192}}), out);
    const std::string failure = failure_of(make_input(254, 1, {{4096, 8192}, {mib, 2 * mib}}));
    const std::string text =
        testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    EXPECT_NE(text.find("crypt target: aes-xts-plain64 <key> 0 8:16 0 1 allow_discards\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(failure,
              "device_parser error: 254:1: The scope of monitoring changes during the calculation "
              "process");
    for (const std::string &output : {text, failure, chain_text(out.back().chain)})
        EXPECT_EQ(output.find(crypt_key.substr(0, 16)), std::string::npos);
}

namespace {

// stripe_map_sector() of drivers/md/dm-stripe.c, sector_div spelled out: where
// the kernel sends one sector of a striped target.
void kernel_stripe_map_sector(uint64_t chunk_size, uint32_t stripes, uint64_t sector,
                              uint32_t &stripe, uint64_t &result)
{
    uint64_t chunk = sector;
    uint64_t chunk_offset = chunk % chunk_size;
    chunk /= chunk_size;
    stripe = static_cast<uint32_t>(chunk % stripes);
    chunk /= stripes;
    chunk *= chunk_size;
    result = chunk + chunk_offset;
}

// The bytes of [first, second) on each stripe, sector by sector as the kernel
// maps them, adjacent pieces joined.
std::map<uint32_t, std::vector<byte_range>> kernel_pieces(uint64_t first, uint64_t second,
                                                          uint64_t chunk_size, uint32_t stripes)
{
    std::map<uint32_t, std::vector<byte_range>> pieces;
    for (uint64_t sector = first / 512; sector * 512 < second; ++sector) {
        uint32_t stripe = 0;
        uint64_t on_stripe = 0;
        kernel_stripe_map_sector(chunk_size, stripes, sector, stripe, on_stripe);
        uint64_t begin = std::max(first, sector * 512), end = std::min(second, sector * 512 + 512);
        byte_range bytes{on_stripe * 512 + begin % 512, on_stripe * 512 + (end - 1) % 512 + 1};
        std::vector<byte_range> &list = pieces[stripe];
        if (!list.empty() && list.back().second == bytes.first)
            list.back().second = bytes.second;
        else
            list.push_back(bytes);
    }
    return pieces;
}

} // namespace

// Power-of-two and other stripe counts and chunk sizes, ranges from one byte to
// several rows of chunks, at unaligned offsets: one piece per stripe, the bytes
// the kernel sends there.
TEST(StripedMapping, OnePiecePerStripeWhereTheKernelSendsTheBytes)
{
    std::mt19937_64 random(20240611);
    for (uint32_t stripes : {1u, 2u, 3u, 4u, 5u, 7u}) {
        for (uint64_t chunk_size : {1u, 3u, 8u, 24u, 128u}) {
            const uint64_t chunk_bytes = chunk_size * 512, row = chunk_bytes * stripes;
            for (int i = 0; i < 40; ++i) {
                uint64_t first = random() % (4 * row);
                uint64_t second = first + 1 + random() % (i % 2 ? 3 * row : chunk_bytes);
                SCOPED_TRACE(testing::Message() << stripes << " stripes of " << chunk_size
                                                << " sectors, [" << first << ", " << second << ")");
                std::map<uint32_t, std::vector<byte_range>> expected =
                    kernel_pieces(first, second, chunk_size, stripes);
                std::vector<device_parser::stripe_piece> pieces =
                    device_parser::split_over_stripes(first, second, chunk_bytes, stripes);
                ASSERT_EQ(pieces.size(), expected.size());
                for (const device_parser::stripe_piece &piece : pieces) {
                    ASSERT_EQ(expected[piece.stripe].size(), 1u);
                    EXPECT_EQ(byte_range({piece.first, piece.second}),
                              expected[piece.stripe].front());
                }
            }
        }
    }
}

TEST(DeviceParserSystem, LoopDeviceIsAnUnknownDeviceType)
{
    REQUIRE_OR_SKIP(test_support::loop_devices_available(), "needs root and loop devices");
    test_support::temp_dir dir;
    fs::path image = dir.path() / "image";
    std::ofstream(image).close();
    fs::resize_file(image, 1 << 20);
    test_support::loop_device loop(image);
    REQUIRE_OR_SKIP(loop.ok(), "no free loop device");

    ASSERT_EQ(device_parser::sysfs_root(), fs::path("/"));
    uint64_t rdev = get_block_device_number(loop.device());
    ASSERT_NE(rdev, 0u);
    EXPECT_EQ(failure_of(make_input(major(rdev), minor(rdev), {{0, 4096}})),
              "device_parser error: 7:" + std::to_string(minor(rdev)) + ": unknown device type.");
}
