// A sysfs tree laid out as the kernel lays it out (relative links from
// sys/dev/block into sys/devices, driver links into sys/bus) and device-mapper
// tables given as text, installed as device resolution's sysfs root and table
// reader for the object's lifetime.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "base/corvane.h"
#include "device_parser/device_parser.h"
#include "test_support.h"

namespace test_support {

inline void write_file(const std::filesystem::path &path, const std::string &text)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

class fake_sysfs {
  public:
    fake_sysfs()
    {
        std::filesystem::create_directories(sys / "bus/scsi/drivers/sd");
        std::filesystem::create_directories(sys / "dev/block");
        device_parser::set_sysfs_root(dir.path());
        device_parser::set_dm_table_reader(
            [this](uint32_t major, uint32_t minor, std::vector<device_parser::dm_target> &targets) {
                return read_table(dev_to_string(major, minor), targets);
            });
    }
    ~fake_sysfs()
    {
        device_parser::set_sysfs_root("/");
        device_parser::set_dm_table_reader(nullptr);
    }
    fake_sysfs(const fake_sysfs &) = delete;
    fake_sysfs &operator=(const fake_sysfs &) = delete;

    // A disk on its own SCSI logical unit, bound to the given driver; returns the unit.
    std::filesystem::path add_scsi_disk(const std::string &name, uint32_t major, uint32_t minor,
                                        const std::string &wwid, uint64_t sector_size = 512,
                                        const std::string &driver = "sd")
    {
        std::string lun_name = "0:0:0:" + std::to_string(luns++);
        std::filesystem::path lun = sys / "devices/platform/host0/session1/target0:0:0" / lun_name;
        std::filesystem::path disk = lun / "block" / name;
        write_file(disk / "dev", dev_to_string(major, minor) + "\n");
        write_file(disk / "queue/hw_sector_size", std::to_string(sector_size) + "\n");
        std::filesystem::create_directory_symlink("../../../" + lun_name, disk / "device");
        std::filesystem::create_directories(sys / "bus/scsi/drivers" / driver);
        std::filesystem::create_directory_symlink("../../../../../../bus/scsi/drivers/" + driver,
                                                  lun / "driver");
        write_file(lun / "wwid", wwid + "\n");
        link_block(major, minor, disk);
        return lun;
    }

    void add_partition(const std::filesystem::path &lun, const std::string &name, uint32_t major,
                       uint32_t minor, std::optional<uint64_t> start)
    {
        std::filesystem::path disk = *std::filesystem::directory_iterator(lun / "block");
        std::filesystem::path part = disk / name;
        write_file(part / "dev", dev_to_string(major, minor) + "\n");
        write_file(part / "partition", std::to_string(minor) + "\n");
        if (start)
            write_file(part / "start", std::to_string(*start) + "\n");
        link_block(major, minor, part);
    }

    std::filesystem::path add_virtual(const std::string &name, uint32_t major, uint32_t minor)
    {
        std::filesystem::path device = sys / "devices/virtual/block" / name;
        write_file(device / "dev", dev_to_string(major, minor) + "\n");
        link_block(major, minor, device);
        return device;
    }

    // A device-mapper device whose table (one target a line: "start length
    // type params") tables[<major:minor>] holds.
    void add_device_mapper(const std::string &name, uint32_t major, uint32_t minor)
    {
        write_file(add_virtual(name, major, minor) / "dm/name", name + "\n");
    }

    test_support::temp_dir dir;
    std::filesystem::path sys = dir.path() / "sys";
    std::map<std::string, std::string> tables;

  private:
    void link_block(uint32_t major, uint32_t minor, const std::filesystem::path &device)
    {
        std::filesystem::create_directory_symlink(std::filesystem::path("../..") /
                                                      device.lexically_relative(sys),
                                                  sys / "dev/block" / dev_to_string(major, minor));
    }

    bool read_table(const std::string &device, std::vector<device_parser::dm_target> &targets)
    {
        targets.clear();
        auto table = tables.find(device);
        if (table == tables.end())
            return false;
        std::istringstream lines(table->second);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            device_parser::dm_target target{};
            words >> target.start >> target.length >> target.type;
            if (std::string params; std::getline(words >> std::ws, params))
                target.params = params;
            targets.push_back(target);
        }
        return true;
    }

    int luns = 0;
};

} // namespace test_support
