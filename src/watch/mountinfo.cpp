#include "watch/mountinfo.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

#include "base/corvane.h"
#include "device_parser/device_parser.h"

namespace {

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string unescape_octal(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            const std::string digits = text.substr(i + 1, 3);
            if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

} // namespace

bool parse_mountinfo_line(const std::string &line, mounted_device &out)
{
    // id parent major:minor root mount-point options [optional fields...] - type source
    // super-options
    std::istringstream words(line);
    std::string id, parent, devno, root, mount_point, options, word;
    if (!(words >> id >> parent >> devno >> root >> mount_point >> options))
        return false;
    while (words >> word && word != "-") {
    }
    if (word != "-" || !(words >> out.fs_type >> out.source))
        return false;
    const size_t colon = devno.find(':');
    if (colon == std::string::npos)
        return false;
    try {
        out.major = static_cast<uint32_t>(std::stoul(devno.substr(0, colon)));
        out.minor = static_cast<uint32_t>(std::stoul(devno.substr(colon + 1)));
    } catch (const std::exception &) {
        return false;
    }
    out.mount_point = unescape_octal(mount_point);
    out.source = unescape_octal(out.source);
    return true;
}

std::vector<mounted_device> read_mountinfo(const std::string &path)
{
    std::vector<mounted_device> mounts;
    std::set<std::pair<uint32_t, uint32_t>> seen;
    std::ifstream in(path);
    std::string line;
    std::error_code ec;
    while (std::getline(in, line)) {
        mounted_device m;
        if (!parse_mountinfo_line(line, m) || m.major == 0)
            continue;
        if (!std::filesystem::exists((device_parser::sysfs_root() / "sys/dev/block") /
                                         dev_to_string(m.major, m.minor),
                                     ec))
            continue;
        if (seen.insert({m.major, m.minor}).second)
            mounts.push_back(std::move(m));
    }
    return mounts;
}

std::string device_node(uint32_t major, uint32_t minor)
{
    std::ifstream uevent((device_parser::sysfs_root() / "sys/dev/block") /
                         dev_to_string(major, minor) / "uevent");
    std::string line;
    while (std::getline(uevent, line))
        if (line.rfind("DEVNAME=", 0) == 0)
            return "/dev/" + line.substr(8);
    return "";
}
