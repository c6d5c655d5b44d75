// The messages between the monitor and the resolver process (described in
// resolver/resolver.h): their encoding, the checks both ends apply, and their
// transfer in datagrams over a SOCK_SEQPACKET socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device_parser/device_parser.h"

namespace resolver_protocol {

constexpr uint32_t magic = 0x4e565243; // "CRVN" in memory order on little-endian hosts
constexpr uint32_t version = 1;
// Bytes per datagram at most: well within the default socket buffer, which
// bounds a SOCK_SEQPACKET datagram.
constexpr size_t frame_size = 32 * 1024;
constexpr size_t header_size = 16;
// Ranges in one request at most (32 bytes each on the wire).
constexpr size_t max_request_ranges = size_t{1} << 20;
// Payload bytes per message at most.
constexpr size_t max_payload = size_t{96} << 20;
constexpr uint32_t max_answer_entries = 1 << 16;
constexpr size_t max_answer_ranges = size_t{1} << 21;
constexpr uint32_t max_chain_length = 32;
constexpr uint32_t max_text_length = 4096;

enum message_kind : uint32_t {
    kind_ready = 1,
    kind_resolve = 2,
    kind_resolved = 3,
    kind_failed = 4,
};
constexpr uint32_t flag_debug = 1;

struct message {
    uint32_t kind = 0;
    std::vector<uint8_t> payload;
};

// Non-empty, of a known file-system type and range kind.
bool valid_range(const fs_range &range);
// Why a request for input cannot be sent, or "" when it can.
std::string request_problem(const device_range &input);
// Why these resolved entries cannot be answered, or "" when they can.
std::string answer_problem(const std::vector<device_range> &entries);

message encode_request(const device_range &input, uint32_t flags);
message encode_entries(const std::vector<device_range> &entries);
message encode_text(message_kind kind, const std::string &text);
message encode_ready();

// Each returns false with why set when the payload is not what its kind holds.
bool decode_request(const std::vector<uint8_t> &payload, device_range &input, uint32_t &flags,
                    std::string &why);
bool decode_entries(const std::vector<uint8_t> &payload, std::vector<device_range> &entries,
                    std::string &why);
bool decode_text(const std::vector<uint8_t> &payload, std::string &text, std::string &why);
bool decode_ready(const std::vector<uint8_t> &payload, std::string &why);

enum class io_status {
    ok,
    closed,    // the other end closed its socket
    timed_out, // the deadline passed
    malformed, // a datagram that is not part of a well-formed message
    failed,    // a socket error
};
struct io_result {
    io_status status = io_status::ok;
    std::string why;
};
// Without a deadline the calls block; with one they give up when it passes.
using deadline = std::optional<std::chrono::steady_clock::time_point>;

io_result send_message(int socket, const message &m, deadline until);
io_result receive_message(int socket, message &m, deadline until);

} // namespace resolver_protocol
