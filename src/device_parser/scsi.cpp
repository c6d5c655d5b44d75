// SCSI disk identity: the end point of every resolution chain is a disk bound
// to the "sd" driver, named by the 16-byte NAA identifier that the in-kernel
// probes read from the same disk's VPD page 0x83.
#include <fstream>

#include "base/corvane.h"
#include "device_parser/device_parser.h"
#include "device_parser/internal.h"

namespace fs = std::filesystem;
using namespace device_parser;

namespace {

constexpr std::string_view naa_prefix = "naa.";
constexpr size_t wwid_text_length = 36; // "naa." and 32 hex digits

std::string read_first_word(const fs::path &path)
{
    std::ifstream in(path);
    std::string word;
    in >> word;
    return word;
}

} // namespace

bool is_scsi_device(const device_range &entry)
{
    fs::path link = block_device_dir(entry.major, entry.minor) / "device/driver";
    if (!fs::is_symlink(fs::symlink_status(link)))
        return false;
    // The link's parent passes through sysfs links itself, so the ".." of the
    // relative target must be applied after those links are resolved.
    fs::path driver = fs::canonical(link.parent_path() / fs::read_symlink(link));
    // Without the sd driver loaded there is no SCSI disk, and that is no error.
    std::error_code ec;
    bool same = fs::equivalent(driver, sysfs_path("sys/bus/scsi/drivers/sd"), ec);
    return !ec && same;
}

bool parse_wwid_text(std::string_view text, wwid_t &wwid)
{
    if (text.size() != wwid_text_length || !text.starts_with(naa_prefix))
        return false;
    wwid_t parsed{};
    for (size_t k = 0; k < sizeof(parsed.buf); ++k) {
        // Both characters must be hex digits: a half-converted pair would give
        // the disk an identifier that the kernel never reports for it.
        int high = hex_digit_value(text[4 + 2 * k]), low = hex_digit_value(text[5 + 2 * k]);
        if (high < 0 || low < 0)
            return false;
        parsed.buf[k] = static_cast<uint8_t>(high << 4 | low);
    }
    wwid = parsed;
    return true;
}

bool read_scsi_wwid(device_range &entry)
{
    if (!is_scsi_device(entry))
        return false;
    debug_line("------debug scsi------");

    std::string word = read_first_word(block_device_dir(entry.major, entry.minor) / "device/wwid");
    if (!parse_wwid_text(word, entry.wwid))
        return false;

    debug_line(dev_to_string(entry.major, entry.minor) + "'s wwid: " + wwid_to_string(entry.wwid));
    debug_line("---------------------------");
    return true;
}
