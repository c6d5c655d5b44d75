#include "topology/uevents.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>

namespace {

bool parse_number(std::string_view text, uint32_t &value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

} // namespace

std::optional<block_uevent> parse_block_uevent(std::string_view datagram)
{
    block_uevent event;
    bool block = false, have_major = false, have_minor = false;
    // The header "action@devpath" comes first, then one KEY=value per field.
    size_t at = 0;
    while (at < datagram.size()) {
        size_t end = datagram.find('\0', at);
        if (end == std::string_view::npos)
            end = datagram.size();
        const std::string_view field = datagram.substr(at, end - at);
        at = end + 1;
        const size_t equals = field.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string_view key = field.substr(0, equals), value = field.substr(equals + 1);
        if (key == "ACTION")
            event.action = value;
        else if (key == "SUBSYSTEM")
            block = value == "block";
        else if (key == "MAJOR")
            have_major = parse_number(value, event.major);
        else if (key == "MINOR")
            have_minor = parse_number(value, event.minor);
        else if (key == "DEVNAME")
            event.devname = value;
        else if (key == "RESIZE")
            event.resized = value == "1";
    }
    if (!block || !have_major || !have_minor || event.action.empty())
        return std::nullopt;
    return event;
}

uevent_listener::~uevent_listener()
{
    if (fd_ >= 0)
        close(fd_);
}

bool uevent_listener::open()
{
    fd_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd_ < 0)
        return false;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1; // the kernel's own uevents
    if (bind(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        close(fd_);
        fd_ = -1;
        return false;
    }
    // Bursts (a multipath map with many paths) must not overflow the queue.
    const int size = 1 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    return true;
}

std::optional<block_uevent> uevent_listener::next()
{
    char buffer[8192];
    for (;;) {
        sockaddr_nl sender{};
        socklen_t length = sizeof(sender);
        const ssize_t n = recvfrom(fd_, buffer, sizeof(buffer), 0,
                                   reinterpret_cast<sockaddr *>(&sender), &length);
        if (n <= 0)
            return std::nullopt;
        // Only the kernel speaks on this group (port 0); anything else is ignored.
        if (sender.nl_pid != 0)
            continue;
        if (auto event = parse_block_uevent(std::string_view(buffer, static_cast<size_t>(n))))
            return event;
    }
}
