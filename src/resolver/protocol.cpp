#include "resolver/protocol.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <type_traits>

namespace resolver_protocol {

namespace {

class byte_writer {
  public:
    template <typename T> void put(const T &value)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        const auto *bytes = reinterpret_cast<const uint8_t *>(&value);
        bytes_.insert(bytes_.end(), bytes, bytes + sizeof(T));
    }
    void put_bytes(const void *data, size_t size)
    {
        const auto *bytes = static_cast<const uint8_t *>(data);
        bytes_.insert(bytes_.end(), bytes, bytes + size);
    }
    void reserve(size_t size) { bytes_.reserve(size); }
    std::vector<uint8_t> take() { return std::move(bytes_); }

  private:
    std::vector<uint8_t> bytes_;
};

// Reads values off a payload; every read checks that the bytes are there.
class byte_reader {
  public:
    explicit byte_reader(const std::vector<uint8_t> &bytes) : bytes_(bytes) {}
    template <typename T> bool get(T &value)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        if (bytes_.size() - offset_ < sizeof(T))
            return false;
        std::memcpy(&value, bytes_.data() + offset_, sizeof(T));
        offset_ += sizeof(T);
        return true;
    }
    bool get_bytes(void *data, size_t size)
    {
        if (bytes_.size() - offset_ < size)
            return false;
        std::memcpy(data, bytes_.data() + offset_, size);
        offset_ += size;
        return true;
    }
    size_t left() const { return bytes_.size() - offset_; }

  private:
    const std::vector<uint8_t> &bytes_;
    size_t offset_ = 0;
};

constexpr size_t range_wire_size = 32;

void put_range(byte_writer &out, const fs_range &range)
{
    out.put<uint64_t>(range.first);
    out.put<uint64_t>(range.second);
    out.put<uint32_t>(range.type);
    out.put<uint32_t>(range.kind);
    out.put<uint64_t>(range.source);
}

bool get_range(byte_reader &in, fs_range &range)
{
    uint64_t first = 0, second = 0, source = 0;
    uint32_t type = 0, kind = 0;
    if (!in.get(first) || !in.get(second) || !in.get(type) || !in.get(kind) || !in.get(source))
        return false;
    range = fs_range{first, second, static_cast<ENUM_FS_TYPE>(type), kind, source};
    return true;
}

// n ranges, after their count has been read; false with why set.
bool get_ranges(byte_reader &in, uint32_t count, std::vector<fs_range> &ranges, std::string &why)
{
    if (in.left() / range_wire_size < count) {
        why = "fewer ranges than counted";
        return false;
    }
    ranges.resize(count);
    for (fs_range &range : ranges) {
        get_range(in, range);
        if (!valid_range(range)) {
            why = "an empty range or one of unknown type or kind";
            return false;
        }
    }
    return true;
}

bool fail(std::string &why, const char *reason)
{
    why = reason;
    return false;
}

bool all_read(const byte_reader &in, std::string &why)
{
    return in.left() == 0 || fail(why, "bytes after the end of the message");
}

} // namespace

bool valid_range(const fs_range &range)
{
    return range.first < range.second && static_cast<uint32_t>(range.type) < FS_TYPE_COUNT &&
           range.kind <= RANGE_KIND_DATA;
}

std::string request_problem(const device_range &input)
{
    if (input.ranges.size() > max_request_ranges)
        return std::to_string(input.ranges.size()) + " ranges, more than the " +
               std::to_string(max_request_ranges) + " one request may hold";
    for (const fs_range &range : input.ranges)
        if (!valid_range(range))
            return "an empty range or one of unknown type or kind";
    return "";
}

std::string answer_problem(const std::vector<device_range> &entries)
{
    if (entries.size() > max_answer_entries)
        return "more than " + std::to_string(max_answer_entries) + " disks";
    size_t ranges = 0;
    for (const device_range &entry : entries) {
        if (entry.chain.empty() || entry.chain.size() > max_chain_length)
            return "a device chain longer than " + std::to_string(max_chain_length);
        ranges += entry.ranges.size();
    }
    if (ranges > max_answer_ranges)
        return "more than " + std::to_string(max_answer_ranges) + " ranges on the disks";
    return "";
}

message encode_request(const device_range &input, uint32_t flags)
{
    byte_writer out;
    out.reserve(16 + input.ranges.size() * range_wire_size);
    out.put<uint32_t>(flags);
    out.put<uint32_t>(input.major);
    out.put<uint32_t>(input.minor);
    out.put<uint32_t>(static_cast<uint32_t>(input.ranges.size()));
    for (const fs_range &range : input.ranges)
        put_range(out, range);
    return {kind_resolve, out.take()};
}

bool decode_request(const std::vector<uint8_t> &payload, device_range &input, uint32_t &flags,
                    std::string &why)
{
    byte_reader in(payload);
    uint32_t count = 0;
    input = device_range{};
    if (!in.get(flags) || !in.get(input.major) || !in.get(input.minor) || !in.get(count))
        return fail(why, "request shorter than its header");
    if ((flags & ~flag_debug) != 0)
        return fail(why, "unknown request flags");
    if (count > max_request_ranges)
        return fail(why, "too many ranges");
    return get_ranges(in, count, input.ranges, why) && all_read(in, why);
}

message encode_entries(const std::vector<device_range> &entries)
{
    byte_writer out;
    size_t size = 4;
    for (const device_range &entry : entries)
        size += 32 + entry.chain.size() * 8 + entry.ranges.size() * range_wire_size;
    out.reserve(size);
    out.put<uint32_t>(static_cast<uint32_t>(entries.size()));
    for (const device_range &entry : entries) {
        out.put<uint32_t>(entry.major);
        out.put<uint32_t>(entry.minor);
        out.put_bytes(entry.wwid.buf, sizeof(entry.wwid.buf));
        out.put<uint32_t>(static_cast<uint32_t>(entry.chain.size()));
        for (const device_number &device : entry.chain) {
            out.put<uint32_t>(device.major);
            out.put<uint32_t>(device.minor);
        }
        out.put<uint32_t>(static_cast<uint32_t>(entry.ranges.size()));
        for (const fs_range &range : entry.ranges)
            put_range(out, range);
    }
    return {kind_resolved, out.take()};
}

bool decode_entries(const std::vector<uint8_t> &payload, std::vector<device_range> &entries,
                    std::string &why)
{
    byte_reader in(payload);
    uint32_t count = 0;
    if (!in.get(count))
        return fail(why, "answer shorter than its header");
    if (count > max_answer_entries)
        return fail(why, "too many entries");
    entries.clear();
    size_t total_ranges = 0;
    for (uint32_t i = 0; i < count; ++i) {
        device_range entry{};
        uint32_t chain_length = 0, range_count = 0;
        if (!in.get(entry.major) || !in.get(entry.minor) ||
            !in.get_bytes(entry.wwid.buf, sizeof(entry.wwid.buf)) || !in.get(chain_length))
            return fail(why, "entry cut short");
        if (chain_length == 0 || chain_length > max_chain_length)
            return fail(why, "device chain empty or too long");
        entry.chain.resize(chain_length);
        for (device_number &device : entry.chain)
            if (!in.get(device.major) || !in.get(device.minor))
                return fail(why, "entry cut short");
        if (!in.get(range_count))
            return fail(why, "entry cut short");
        total_ranges += range_count;
        if (total_ranges > max_answer_ranges)
            return fail(why, "too many ranges");
        if (!get_ranges(in, range_count, entry.ranges, why))
            return false;
        entries.push_back(std::move(entry));
    }
    return all_read(in, why);
}

message encode_text(message_kind kind, const std::string &text)
{
    byte_writer out;
    const size_t length = std::min<size_t>(text.size(), max_text_length);
    out.put<uint32_t>(static_cast<uint32_t>(length));
    out.put_bytes(text.data(), length);
    return {kind, out.take()};
}

bool decode_text(const std::vector<uint8_t> &payload, std::string &text, std::string &why)
{
    byte_reader in(payload);
    uint32_t length = 0;
    if (!in.get(length) || length > max_text_length || in.left() != length)
        return fail(why, "text of the wrong length");
    text.resize(length);
    in.get_bytes(text.data(), length);
    return true;
}

message encode_ready()
{
    byte_writer out;
    out.put<uint32_t>(version);
    return {kind_ready, out.take()};
}

bool decode_ready(const std::vector<uint8_t> &payload, std::string &why)
{
    byte_reader in(payload);
    uint32_t their_version = 0;
    if (!in.get(their_version) || their_version != version)
        return fail(why, "not the protocol version of this program");
    return all_read(in, why);
}

// --- datagrams ---------------------------------------------------------------

namespace {

io_result result(io_status status, std::string why = "")
{
    return {status, std::move(why)};
}

// Waits until the socket is ready for events or the deadline passed.
io_result wait_for(int socket, short events, deadline until)
{
    if (!until)
        return {};
    for (;;) {
        auto left =
            std::chrono::ceil<std::chrono::milliseconds>(*until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return result(io_status::timed_out);
        pollfd entry{socket, events, 0};
        int ready = poll(&entry, 1, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
        if (ready > 0)
            return {};
        if (ready < 0 && errno != EINTR)
            return result(io_status::failed, std::string("poll: ") + strerror(errno));
    }
}

io_result send_datagram(int socket, const uint8_t *data, size_t size, deadline until)
{
    const int flags = MSG_NOSIGNAL | (until ? MSG_DONTWAIT : 0);
    for (;;) {
        if (io_result waited = wait_for(socket, POLLOUT, until); waited.status != io_status::ok)
            return waited;
        ssize_t sent = send(socket, data, size, flags);
        if (sent == static_cast<ssize_t>(size))
            return {};
        if (sent >= 0)
            return result(io_status::failed, "datagram sent in part");
        if (errno == EPIPE || errno == ECONNRESET)
            return result(io_status::closed);
        if (errno != EINTR && errno != EAGAIN)
            return result(io_status::failed, std::string("send: ") + strerror(errno));
    }
}

// One datagram into buffer (frame_size + 1 bytes, so that a larger one shows).
io_result receive_datagram(int socket, std::vector<uint8_t> &buffer, size_t &size, deadline until)
{
    const int flags = until ? MSG_DONTWAIT : 0;
    buffer.resize(frame_size + 1);
    for (;;) {
        if (io_result waited = wait_for(socket, POLLIN, until); waited.status != io_status::ok)
            return waited;
        ssize_t got = recv(socket, buffer.data(), buffer.size(), flags);
        if (got == 0)
            return result(io_status::closed);
        if (got > static_cast<ssize_t>(frame_size))
            return result(io_status::malformed, "datagram larger than a frame");
        if (got > 0) {
            size = static_cast<size_t>(got);
            return {};
        }
        if (errno == ECONNRESET)
            return result(io_status::closed);
        if (errno != EINTR && errno != EAGAIN)
            return result(io_status::failed, std::string("recv: ") + strerror(errno));
    }
}

} // namespace

io_result send_message(int socket, const message &m, deadline until)
{
    if (m.payload.size() > max_payload)
        return result(io_status::failed, "message too large to send");
    std::vector<uint8_t> first(header_size);
    const uint64_t length = m.payload.size();
    std::memcpy(first.data(), &magic, 4);
    std::memcpy(first.data() + 4, &m.kind, 4);
    std::memcpy(first.data() + 8, &length, 8);
    size_t sent = std::min(frame_size - header_size, m.payload.size());
    first.insert(first.end(), m.payload.begin(), m.payload.begin() + sent);
    io_result r = send_datagram(socket, first.data(), first.size(), until);
    while (r.status == io_status::ok && sent < m.payload.size()) {
        size_t part = std::min(frame_size, m.payload.size() - sent);
        r = send_datagram(socket, m.payload.data() + sent, part, until);
        sent += part;
    }
    return r;
}

io_result receive_message(int socket, message &m, deadline until)
{
    std::vector<uint8_t> buffer;
    size_t size = 0;
    if (io_result r = receive_datagram(socket, buffer, size, until); r.status != io_status::ok)
        return r;
    uint32_t their_magic = 0;
    uint64_t length = 0;
    if (size < header_size)
        return result(io_status::malformed, "datagram shorter than a message header");
    std::memcpy(&their_magic, buffer.data(), 4);
    std::memcpy(&m.kind, buffer.data() + 4, 4);
    std::memcpy(&length, buffer.data() + 8, 8);
    if (their_magic != magic)
        return result(io_status::malformed, "not a message header");
    if (length > max_payload)
        return result(io_status::malformed, "message of " + std::to_string(length) +
                                                " bytes, more than " + std::to_string(max_payload));
    // Each datagram carries as much as fits: any other size means the two
    // ends no longer agree on where a message begins.
    if (size - header_size != std::min<uint64_t>(frame_size - header_size, length))
        return result(io_status::malformed, "first datagram of the wrong size");
    m.payload.assign(buffer.begin() + header_size, buffer.begin() + size);
    while (m.payload.size() < length) {
        if (io_result r = receive_datagram(socket, buffer, size, until); r.status != io_status::ok)
            return r;
        if (size != std::min<uint64_t>(frame_size, length - m.payload.size()))
            return result(io_status::malformed, "datagram of the wrong size");
        m.payload.insert(m.payload.end(), buffer.begin(), buffer.begin() + size);
    }
    return {};
}

} // namespace resolver_protocol
