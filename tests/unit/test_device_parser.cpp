// Device resolution against sysfs trees laid out as the kernel lays them out
// (relative links from sys/dev/block into sys/devices, driver links into
// sys/bus), device-mapper tables given as text, and a real loop device.
#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "corvane.h"
#include "device_parser/device_parser.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr const char *wwid_a_text = "naa.6001405a1b2c3d4e5f60718293a4b5c6";
constexpr wwid_t wwid_a = {{0x60, 0x01, 0x40, 0x5a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71, 0x82,
                            0x93, 0xa4, 0xb5, 0xc6}};
constexpr const char *wwid_b_text = "naa.60014050000000000000000000000b0b";
constexpr uint64_t mount_mark = 0xffff888012345678;

void write_file(const fs::path &path, const std::string &text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

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
        fs_range &range = input.ranges.arr[input.ranges.cnt++];
        range.first = r.first;
        range.second = r.second;
        range.type = ENUM_FS_TYPE_EXT4;
        range.mount_sb = mount_mark;
    }
    return input;
}

std::vector<byte_range> ranges_of(const device_range &entry)
{
    std::vector<byte_range> ranges;
    for (uint64_t i = 0; i < entry.ranges.cnt; ++i)
        ranges.push_back({entry.ranges.arr[i].first, entry.ranges.arr[i].second});
    return ranges;
}

std::string device_of(const device_range &entry)
{
    return dev_to_string(entry.major, entry.minor);
}

// The message of the resolution's failure, or "" when it succeeded.
std::string failure_of(const device_range &input, std::vector<device_range> &out)
{
    try {
        resolve_device(input, out);
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

// A sysfs tree under a temporary root, used by the resolution for its lifetime.
class fake_sysfs {
  public:
    fake_sysfs() : sys_(dir_.path() / "sys")
    {
        fs::create_directories(sys_ / "dev/block");
        fs::create_directories(sys_ / "bus/scsi/drivers/sd");
        fs::create_directories(sys_ / "bus/scsi/drivers/sr");
        // Where a textual ".." after sys/dev/block/<dev> would land: a resolution
        // that does not follow the links reads this wrong disk.
        write_file(sys_ / "dev/block/dev", "1:1\n");
        device_parser::set_sysfs_root(dir_.path());
    }
    ~fake_sysfs() { device_parser::set_sysfs_root("/"); }

    const fs::path &sys() const { return sys_; }

    // A disk on its own SCSI logical unit, bound to the given SCSI driver.
    fs::path add_scsi_disk(const std::string &name, uint32_t major, uint32_t minor,
                           const std::string &wwid, uint64_t sector_size = 512,
                           const std::string &driver = "sd")
    {
        std::string lun_name = "0:0:0:" + std::to_string(luns_++);
        fs::path lun = sys_ / "devices/platform/host0/session1/target0:0:0" / lun_name;
        fs::path disk = lun / "block" / name;
        write_file(disk / "dev", dev_to_string(major, minor) + "\n");
        write_file(disk / "queue/hw_sector_size", std::to_string(sector_size) + "\n");
        fs::create_directory_symlink("../../../" + lun_name, disk / "device");
        fs::create_directory_symlink("../../../../../../bus/scsi/drivers/" + driver,
                                     lun / "driver");
        if (!wwid.empty())
            write_file(lun / "wwid", wwid + "\n");
        link_block(major, minor, disk);
        disks_[name] = disk;
        return lun;
    }

    void add_partition(const std::string &disk, const std::string &name, uint32_t major,
                       uint32_t minor, std::optional<uint64_t> start)
    {
        fs::path part = disks_.at(disk) / name;
        write_file(part / "dev", dev_to_string(major, minor) + "\n");
        write_file(part / "partition", std::to_string(minor) + "\n");
        if (start)
            write_file(part / "start", std::to_string(*start) + "\n");
        link_block(major, minor, part);
    }

    void add_dm(const std::string &name, uint32_t major, uint32_t minor)
    {
        fs::path dm = add_virtual(name, major, minor);
        write_file(dm / "dm/name", name + "\n");
    }

    fs::path add_virtual(const std::string &name, uint32_t major, uint32_t minor)
    {
        fs::path dir = sys_ / "devices/virtual/block" / name;
        write_file(dir / "dev", dev_to_string(major, minor) + "\n");
        link_block(major, minor, dir);
        return dir;
    }

  private:
    void link_block(uint32_t major, uint32_t minor, const fs::path &dir)
    {
        fs::create_directory_symlink(fs::path("../..") / dir.lexically_relative(sys_),
                                     sys_ / "dev/block" / dev_to_string(major, minor));
    }

    test_support::temp_dir dir_;
    fs::path sys_;
    std::map<std::string, fs::path> disks_;
    int luns_ = 0;
};

// Device-mapper tables as text, one target a line: "start length type params".
class fake_dm_tables {
  public:
    fake_dm_tables()
    {
        device_parser::set_dm_table_reader(
            [this](uint32_t major, uint32_t minor, std::vector<device_parser::dm_target> &targets) {
                return read(dev_to_string(major, minor), targets);
            });
    }
    ~fake_dm_tables() { device_parser::set_dm_table_reader(nullptr); }

    void set(const std::string &device, const std::string &table) { tables_[device] = table; }

  private:
    bool read(const std::string &device, std::vector<device_parser::dm_target> &targets)
    {
        targets.clear();
        auto table = tables_.find(device);
        if (table == tables_.end())
            return false;
        std::istringstream lines(table->second);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            device_parser::dm_target target{};
            words >> target.start >> target.length >> target.type;
            std::string params;
            if (std::getline(words >> std::ws, params))
                target.params = params;
            targets.push_back(target);
        }
        return true;
    }

    std::map<std::string, std::string> tables_;
};

class DeviceParser : public ::testing::Test {
  protected:
    void TearDown() override { mask = 0; }
    fake_sysfs sysfs;
    fake_dm_tables tables;
};

} // namespace

// --- SCSI disks ---------------------------------------------------------------

TEST_F(DeviceParser, WholeScsiDiskKeepsItsRangesAndGainsItsWwid)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    device_range input = make_input(8, 0, {{0, 4096}, {1 << 20, 2 << 20}});
    std::vector<device_range> out;

    ASSERT_EQ(resolve_device(input, out), 1);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(device_of(out[0]), "8:0");
    EXPECT_EQ(ranges_of(out[0]), ranges_of(input));
    EXPECT_EQ(out[0].ranges.arr[1].mount_sb, mount_mark);
    EXPECT_TRUE(same_wwid(out[0].wwid, wwid_a)) << wwid_to_string(out[0].wwid);
}

TEST_F(DeviceParser, EmptyRangeListOnScsiDiskGivesOneEntry)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    std::vector<device_range> out;
    ASSERT_EQ(resolve_device(make_input(8, 0, {}), out), 1);
    EXPECT_EQ(out[0].ranges.cnt, 0u);
}

TEST_F(DeviceParser, DeviceOfAnotherScsiDriverIsNoScsiDisk)
{
    sysfs.add_scsi_disk("sr0", 11, 0, wwid_a_text, 2048, "sr");
    EXPECT_FALSE(is_scsi_device(make_input(11, 0, {})));
    EXPECT_EQ(failure_of(make_input(11, 0, {{0, 4096}})),
              "device_parser error: 11:0: unknown device type.");
}

TEST_F(DeviceParser, MissingSdDriverMeansNoScsiDiskAndNoError)
{
    // Without the sd driver a disk is bound to another driver, or to none.
    sysfs.add_scsi_disk("sr0", 11, 0, wwid_a_text, 2048, "sr");
    fs::path lun = sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    fs::remove(lun / "driver");
    fs::remove_all(sysfs.sys() / "bus/scsi/drivers/sd");
    EXPECT_FALSE(is_scsi_device(make_input(11, 0, {})));
    EXPECT_FALSE(is_scsi_device(make_input(8, 0, {})));
    EXPECT_EQ(failure_of(make_input(8, 0, {{0, 4096}})),
              "device_parser error: 8:0: unknown device type.");
}

TEST_F(DeviceParser, DeviceWithoutDeviceDirectoryIsUnknown)
{
    sysfs.add_virtual("loop0", 7, 0);
    EXPECT_FALSE(is_scsi_device(make_input(7, 0, {})));
    EXPECT_EQ(failure_of(make_input(7, 0, {{0, 4096}})),
              "device_parser error: 7:0: unknown device type.");
    EXPECT_EQ(failure_of(make_input(7, 9, {{0, 4096}})),
              "device_parser error: 7:9: unknown device type.");
}

TEST_F(DeviceParser, DanglingDriverLinkFailsWithTheInputsDeviceText)
{
    fs::path lun = sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    sysfs.add_partition("sda", "sda1", 8, 1, 2048);
    fs::remove(lun / "driver");
    fs::create_directory_symlink("../../../../../../bus/scsi/drivers/gone", lun / "driver");
    EXPECT_EQ(failure_of(make_input(8, 1, {{0, 4096}})),
              "device_parser error: 8:1: unknown device type.");
}

struct wwid_case {
    const char *text;
    const char *failure; // tail after "device_parser error: 8:0", "" when accepted
};

TEST_F(DeviceParser, WwidTextForms)
{
    const std::string no_wwid = " is a scsi device , but can not identify it's wwid.";
    const wwid_case cases[] = {
        {"naa.6001405A1B2C3D4E5F60718293A4B5C6", ""},
        {"  naa.6001405a1b2c3d4e5f60718293a4b5c6  trailing words", ""},
        {"NAA.6001405a1b2c3d4e5f60718293a4b5c6", no_wwid.c_str()},
        {"t10.LIO-ORG disk0 6001405a1b2c3d4e5f6071", no_wwid.c_str()},
        {"eui.6001405a1b2c3d4e5f60718293a4b5c6", no_wwid.c_str()},
        {"naa.5000c500a1b2c3d4", no_wwid.c_str()},
        {"naa.6001405a1b2c3d4e5f60718293a4b5c6ff", no_wwid.c_str()},
        {"", no_wwid.c_str()},
        // "6g" would convert to 6 digit by digit; no disk has that identifier.
        {"naa.6g01405a1b2c3d4e5f60718293a4b5c6", ": unknown device type."},
        {"naa.-101405a1b2c3d4e5f60718293a4b5c6", ": unknown device type."},
    };
    for (const wwid_case &c : cases) {
        fake_sysfs tree;
        fs::path lun = tree.add_scsi_disk("sda", 8, 0, "");
        write_file(lun / "wwid", std::string(c.text) + "\n");
        std::vector<device_range> out;
        std::string failure = failure_of(make_input(8, 0, {{0, 4096}}), out);
        if (*c.failure == '\0') {
            EXPECT_EQ(failure, "") << c.text;
            ASSERT_EQ(out.size(), 1u) << c.text;
            EXPECT_TRUE(same_wwid(out[0].wwid, wwid_a)) << c.text;
        } else {
            EXPECT_EQ(failure, std::string("device_parser error: 8:0") + c.failure) << c.text;
            EXPECT_TRUE(out.empty()) << c.text;
        }
    }
}

TEST_F(DeviceParser, MissingWwidFileIsUnidentifiedScsiDisk)
{
    sysfs.add_scsi_disk("sda", 8, 0, "");
    device_range entry = make_input(8, 0, {});
    EXPECT_FALSE(read_scsi_wwid(entry));
    EXPECT_EQ(failure_of(make_input(8, 0, {{0, 4096}})),
              "device_parser error: 8:0 is a scsi device , but can not identify it's wwid.");
}

TEST_F(DeviceParser, BadWwidPairReportsTheInputNotTheDisk)
{
    sysfs.add_scsi_disk("sda", 8, 0, "naa.6001405a1b2c3d4e5f60718293a4b5zz");
    sysfs.add_partition("sda", "sda1", 8, 1, 2048);
    EXPECT_EQ(failure_of(make_input(8, 1, {{0, 4096}})),
              "device_parser error: 8:1: unknown device type.");
}

// --- partitions ---------------------------------------------------------------

// sysfs gives a partition's start in 512-byte sectors on every disk, so a
// 4096-byte-sector disk shifts by the same bytes as a 512-byte one.
TEST_F(DeviceParser, PartitionIsShiftedByItsStartIn512ByteSectors)
{
    struct {
        uint64_t sector_size;
        uint64_t shift;
    } disks[] = {{512, 1048576}, {4096, 1048576}};
    for (auto disk : disks) {
        fake_sysfs tree;
        tree.add_scsi_disk("sda", 8, 0, wwid_a_text, disk.sector_size);
        tree.add_partition("sda", "sda1", 8, 1, 2048);
        device_range input = make_input(8, 1, {{0, 4096}, {8192, 12288}});
        std::vector<device_range> out;
        ASSERT_EQ(resolve_device(input, out), 1);
        EXPECT_EQ(device_of(out[0]), "8:0");
        EXPECT_EQ(ranges_of(out[0]),
                  (std::vector<byte_range>{{disk.shift, disk.shift + 4096},
                                           {disk.shift + 8192, disk.shift + 12288}}));
        EXPECT_EQ(out[0].ranges.arr[0].type, ENUM_FS_TYPE_EXT4);
        EXPECT_EQ(out[0].ranges.arr[0].mount_sb, mount_mark);
        EXPECT_TRUE(same_wwid(out[0].wwid, wwid_a));
    }
}

TEST_F(DeviceParser, PartitionWithoutStartKeepsItsRangesOnTheDisk)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    sysfs.add_partition("sda", "sda1", 8, 1, std::nullopt);
    std::vector<device_range> out;
    ASSERT_EQ(resolve_device(make_input(8, 1, {{0, 4096}}), out), 1);
    EXPECT_EQ(device_of(out[0]), "8:0");
    EXPECT_EQ(ranges_of(out[0]), (std::vector<byte_range>{{0, 4096}}));
}

TEST_F(DeviceParser, PartitionRewrittenInPlaceIsNoLongerAPartition)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    sysfs.add_partition("sda", "sda1", 8, 1, 2048);
    device_range entry = make_input(8, 1, {});
    ASSERT_TRUE(is_partition(entry));
    ASSERT_TRUE(map_partition(entry));
    EXPECT_EQ(device_of(entry), "8:0");
    EXPECT_EQ(entry.ranges.cnt, 0u);
    EXPECT_FALSE(is_partition(entry));
    EXPECT_TRUE(is_scsi_device(entry));
}

TEST_F(DeviceParser, PartitionWhoseDiskHasNoDeviceNumber)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    sysfs.add_partition("sda", "sda1", 8, 1, 2048);
    fs::remove(fs::canonical(sysfs.sys() / "dev/block/8:0") / "dev");
    EXPECT_EQ(failure_of(make_input(8, 1, {{0, 4096}})),
              "device_parser error: 8:1 is a partition, but can not get it's destination device.");
}

TEST_F(DeviceParser, PartitionOffsetBeyond64BitsIsRefused)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    sysfs.add_partition("sda", "sda1", 8, 1, uint64_t{1} << 56);
    EXPECT_EQ(failure_of(make_input(8, 1, {{0, 4096}})),
              "device_parser error: 8:1: unknown device type.");
}

// --- device mapper ------------------------------------------------------------

TEST_F(DeviceParser, LinearTargetShiftsRangesOntoTheDiskBelow)
{
    sysfs.add_scsi_disk("sdb", 8, 16, wwid_a_text);
    sysfs.add_dm("dm-0", 254, 0);
    tables.set("254:0", "0 2097152 linear 8:16 2048");
    device_range input = make_input(254, 0, {{4096, 8192}});
    std::vector<device_range> out;
    ASSERT_EQ(resolve_device(input, out), 1);
    EXPECT_EQ(device_of(out[0]), "8:16");
    EXPECT_EQ(ranges_of(out[0]), (std::vector<byte_range>{{1052672, 1056768}}));
    EXPECT_EQ(out[0].ranges.arr[0].type, ENUM_FS_TYPE_EXT4);
    EXPECT_EQ(out[0].ranges.arr[0].mount_sb, 0u);
    EXPECT_TRUE(same_wwid(out[0].wwid, wwid_a));
}

TEST_F(DeviceParser, TwoLinearTargetsOnOneDiskGiveTwoEntriesInTableOrder)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    sysfs.add_dm("dm-0", 254, 0);
    // The first MiB of the volume lies at sector 4096, the second MiB at sector 100000.
    tables.set("254:0", "0 2048 linear 8:0 4096\n2048 2048 linear 8:0 100000");
    const uint64_t mib = 1 << 20, first_at = 4096 * 512, second_at = 100000 * 512;
    device_range input =
        make_input(254, 0, {{0, 4096}, {mib - 512, mib + 512}, {mib + 4096, 2 * mib}});
    std::vector<device_range> out;
    ASSERT_EQ(resolve_device(input, out), 2);
    EXPECT_EQ(device_of(out[0]), "8:0");
    EXPECT_EQ(ranges_of(out[0]), (std::vector<byte_range>{{first_at, first_at + 4096},
                                                          {first_at + mib - 512, first_at + mib}}));
    EXPECT_EQ(device_of(out[1]), "8:0");
    EXPECT_EQ(ranges_of(out[1]), (std::vector<byte_range>{{second_at, second_at + 512},
                                                          {second_at + 4096, second_at + mib}}));
}

TEST_F(DeviceParser, TargetsWithoutWatchedBytesGiveNoEntry)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    sysfs.add_scsi_disk("sdb", 8, 16, wwid_b_text);
    sysfs.add_dm("dm-0", 254, 0);
    tables.set("254:0", "0 2048 linear 8:0 0\n2048 2048 linear 8:16 0");
    std::vector<device_range> out;
    ASSERT_EQ(resolve_device(make_input(254, 0, {{1 << 20, (1 << 20) + 4096}}), out), 1);
    EXPECT_EQ(device_of(out[0]), "8:16");
    EXPECT_EQ(ranges_of(out[0]), (std::vector<byte_range>{{0, 4096}}));
}

TEST_F(DeviceParser, LinearTargetOverAPartition)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    sysfs.add_partition("sda", "sda2", 8, 2, 4096);
    sysfs.add_dm("dm-0", 254, 0);
    tables.set("254:0", "0 2097152 linear 8:2 2048");
    std::vector<device_range> out;
    ASSERT_EQ(resolve_device(make_input(254, 0, {{0, 4096}}), out), 1);
    EXPECT_EQ(device_of(out[0]), "8:0");
    const uint64_t at = (4096 + 2048) * 512;
    EXPECT_EQ(ranges_of(out[0]), (std::vector<byte_range>{{at, at + 4096}}));
}

TEST_F(DeviceParser, MultipathFollowsTheFirstPathAndKeepsOffsets)
{
    sysfs.add_scsi_disk("sdb", 8, 16, wwid_a_text);
    sysfs.add_scsi_disk("sdc", 8, 32, wwid_a_text);
    sysfs.add_dm("dm-0", 254, 0);
    tables.set("254:0", "0 2097152 multipath 1 queue_if_no_path 1 alua 1 1 round-robin 0 2 1 "
                        "8:16 1 8:32 1");
    device_range input = make_input(254, 0, {{4096, 8192}, {1 << 29, (1 << 30) + 4096}});
    std::vector<device_range> out;
    ASSERT_EQ(resolve_device(make_input(254, 0, {{4096, 8192}}), out), 1);
    EXPECT_EQ(device_of(out[0]), "8:16");
    EXPECT_EQ(ranges_of(out[0]), (std::vector<byte_range>{{4096, 8192}}));
    // A range beyond the device's end is clipped, so the size check refuses it.
    EXPECT_EQ(failure_of(input), "device_parser error: 254:0: The scope of monitoring changes "
                                 "during the calculation process");
}

TEST_F(DeviceParser, DeviceMapperOverDeviceMapper)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    sysfs.add_scsi_disk("sdb", 8, 16, wwid_b_text);
    sysfs.add_dm("dm-0", 254, 0);
    sysfs.add_dm("dm-1", 254, 1);
    sysfs.add_dm("dm-2", 254, 2);
    tables.set("254:2", "0 2048 linear 254:0 0\n2048 2048 linear 8:16 2048");
    tables.set("254:0", "0 4096 multipath 0 0 1 1 service-time 0 1 2 8:0 1 1");
    std::vector<device_range> out;
    ASSERT_EQ(resolve_device(make_input(254, 2, {{0, 4096}, {1 << 20, (1 << 20) + 4096}}), out), 2);
    // 8:16 reaches the head of the queue before 8:0, which needs one more step.
    EXPECT_EQ(device_of(out[0]), "8:16");
    EXPECT_EQ(ranges_of(out[0]), (std::vector<byte_range>{{1 << 20, (1 << 20) + 4096}}));
    EXPECT_EQ(device_of(out[1]), "8:0");
    EXPECT_EQ(ranges_of(out[1]), (std::vector<byte_range>{{0, 4096}}));
}

TEST_F(DeviceParser, DeviceMapperFailures)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    sysfs.add_dm("dm-0", 254, 0);
    const device_range input = make_input(254, 0, {{0, 4096}});
    const std::string no_destination =
        "device_parser error: 254:0 is a device mapper, but can not get it's destination device.";

    EXPECT_EQ(failure_of(input), no_destination) << "unreadable table";
    tables.set("254:0", "");
    EXPECT_EQ(failure_of(input), no_destination) << "empty table";
    tables.set("254:0", "0 2048 linear 8:0 0");
    EXPECT_EQ(failure_of(make_input(254, 0, {})), no_destination) << "no ranges";
    EXPECT_EQ(failure_of(make_input(254, 0, {{1 << 20, (1 << 20) + 1}})), no_destination)
        << "no range in any target";

    tables.set("254:0", "0 2048 linear 8:0 0\n2048 2048 striped 2 128 8:0 0 8:16 0");
    EXPECT_EQ(failure_of(input),
              "device_parser error: 254:0 is a device mapper, but unknown type: striped, ignore "
              "this file system.");

    tables.set("254:0", "0 2048 linear 8:0 0");
    EXPECT_EQ(failure_of(make_input(254, 0, {{0, 4096}, {1 << 20, (1 << 20) + 4096}})),
              "device_parser error: 254:0: The scope of monitoring changes during the calculation "
              "process");

    tables.set("254:0", "0 2048 linear");
    EXPECT_EQ(failure_of(input), "device_parser error: 254:0: unknown device type.")
        << "target without parameters";
}

TEST_F(DeviceParser, UnreadableTargetParametersNameNoDevice)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    sysfs.add_dm("dm-0", 254, 0);
    sysfs.add_dm("dm-1", 254, 1);
    const std::string rejected = "device_parser error: 0:0: unknown device type.";
    const char *tables_text[] = {
        "0 2048 linear 8:0",          "0 2048 linear 8:0 x",   "0 2048 linear 8 0 2048",
        "0 2048 linear -8:0 0",       "0 2048 linear 8:0:1 0", "0 2048 multipath 0 0 1 1",
        "0 2048 multipath 1 8:x 2 1",
    };
    for (const char *text : tables_text) {
        tables.set("254:1", text);
        EXPECT_EQ(failure_of(make_input(254, 1, {{0, 4096}})), rejected) << text;
    }
}

TEST_F(DeviceParser, OffsetsBeyond64BitsAreRefusedNotWrapped)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    sysfs.add_dm("dm-0", 254, 0);
    // A target this far out cannot hold a byte of a 64-bit range.
    tables.set("254:0", "0 2048 linear 8:0 0\n36028797018963968 2048 linear 8:0 4096");
    std::vector<device_range> out;
    ASSERT_EQ(resolve_device(make_input(254, 0, {{0, 4096}}), out), 1);
    EXPECT_EQ(ranges_of(out[0]), (std::vector<byte_range>{{0, 4096}}));

    tables.set("254:0", "0 2048 linear 8:0 36028797018963967");
    EXPECT_EQ(failure_of(make_input(254, 0, {{0, 4096}})),
              "device_parser error: 254:0: unknown device type.");
}

// --- the caller's list ----------------------------------------------------------

TEST_F(DeviceParser, SuccessesAppendInOrderAndFailuresLeaveTheListAlone)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    sysfs.add_partition("sda", "sda1", 8, 1, 2048);
    sysfs.add_scsi_disk("sdb", 8, 16, wwid_b_text);
    sysfs.add_dm("dm-0", 254, 0);
    tables.set("254:0", "0 2048 linear 8:16 0\n2048 2048 linear 8:16 8192");
    std::vector<device_range> out;
    ASSERT_EQ(resolve_device(make_input(8, 1, {{0, 4096}}), out), 1);
    ASSERT_EQ(resolve_device(make_input(254, 0, {{0, 2 << 20}}), out), 2);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(device_of(out[0]), "8:0");
    EXPECT_EQ(device_of(out[1]), "8:16");
    EXPECT_EQ(device_of(out[2]), "8:16");

    std::vector<device_range> before = out;
    EXPECT_NE(failure_of(make_input(254, 0, {{0, 3 << 20}}), out), "");
    EXPECT_NE(failure_of(make_input(9, 9, {{0, 1}}), out), "");
    ASSERT_EQ(out.size(), before.size());
    EXPECT_EQ(std::memcmp(out.data(), before.data(), sizeof(device_range) * out.size()), 0);
}

TEST_F(DeviceParser, RangeCountBeyondCapacityIsRefused)
{
    sysfs.add_scsi_disk("sda", 8, 0, wwid_a_text);
    device_range input = make_input(8, 0, {{0, 4096}});
    input.ranges.cnt = MAX_RANGE_COUNT + 1;
    EXPECT_EQ(failure_of(input), "device_parser error: 8:0: unknown device type.");
}

// --- debug output -----------------------------------------------------------------

TEST_F(DeviceParser, DebugLinesTraceEachStep)
{
    sysfs.add_scsi_disk("sdb", 8, 16, wwid_a_text);
    sysfs.add_partition("sdb", "sdb1", 8, 17, 2048);
    sysfs.add_dm("dm-0", 254, 0);
    tables.set("254:0", "0 2097152 linear 8:17 2048");
    mask = 1;
    std::vector<device_range> out;
    testing::internal::CaptureStdout();
    resolve_device(make_input(254, 0, {{4096, 8192}}), out);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "device parser: check destination device for 254:0\n"
              "is device mapper\n"
              "is linear\n"
              "------debug linear------\n"
              "old dev: 254:0, old range: [4096, 8192)\n"
              "old linear: [0, 1073741824)\n"
              "new dev: 8:17, offset = 1048576. new range: [1052672, 1056768)\n"
              "------------------------\n"
              "device parser: check destination device for 8:17\n"
              "is partition\n"
              "------debug partition------\n"
              "old dev: 8:17\n"
              "new dev: 8:16\n"
              "old range: [1052672, 1056768)\n"
              "new range: [2101248, 2105344)\n"
              "---------------------------\n"
              "device parser: check destination device for 8:16\n"
              "is scsi\n"
              "------debug scsi------\n"
              "8:16's wwid: 6001405a1b2c3d4e5f60718293a4b5c6\n"
              "---------------------------\n");
}

TEST_F(DeviceParser, DebugLinesOfMultipath)
{
    sysfs.add_scsi_disk("sdb", 8, 16, wwid_a_text);
    sysfs.add_dm("dm-0", 254, 0);
    tables.set("254:0", "2048 2048 multipath 0 0 1 1 round-robin 0 1 1 8:16 1");
    mask = 1;
    std::vector<device_range> out;
    testing::internal::CaptureStdout();
    resolve_device(make_input(254, 0, {{1 << 20, (1 << 20) + 4096}}), out);
    std::string text = testing::internal::GetCapturedStdout();
    EXPECT_NE(text.find("is multipath\n"
                        "------debug multipath------\n"
                        "old dev: 254:0, old range: [1048576, 1052672)\n"
                        "old linear: [1048576, 2097152)\n"
                        "new dev: 8:16. new range: [1048576, 1052672)\n"
                        "---------------------------\n"),
              std::string::npos)
        << text;
}

// --- this machine's own sysfs -------------------------------------------------------

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
    device_range input = make_input(major(rdev), minor(rdev), {{0, 4096}});
    EXPECT_EQ(failure_of(input),
              "device_parser error: 7:" + std::to_string(minor(rdev)) + ": unknown device type.");
}
