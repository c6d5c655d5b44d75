// SCSI persistent reservations of a disk: PERSISTENT RESERVE IN (READ KEYS,
// READ RESERVATION) through SG_IO. Another host's reservation or registered
// key tells that the LUN is shared.
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "check/check.h"

namespace {

constexpr uint8_t persistent_reserve_in = 0x5e;
constexpr uint8_t read_keys = 0x00;
constexpr uint8_t read_reservation = 0x01;
constexpr uint8_t check_condition = 0x02;

uint32_t be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

uint64_t be64(const uint8_t *p)
{
    return static_cast<uint64_t>(be32(p)) << 32 | be32(p + 4);
}

std::string hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%02x", value);
    return text;
}

// What the device answered instead of data.
std::string failure_text(const sg_io_hdr_t &io, const uint8_t *sense)
{
    std::string text = "SCSI status " + hex(io.status);
    if (io.status == check_condition && io.sb_len_wr >= 4) {
        const bool descriptor = (sense[0] & 0x7f) >= 0x72;
        const uint8_t key = (descriptor ? sense[1] : sense[2]) & 0x0f;
        const uint8_t asc = descriptor ? sense[2] : (io.sb_len_wr >= 14 ? sense[12] : 0);
        text += ", sense key " + hex(key) + ", ASC " + hex(asc);
        if (key == 0x05 && asc == 0x20)
            text += " (PERSISTENT RESERVE IN not supported)";
    }
    if (io.host_status != 0)
        text += ", host status " + hex(io.host_status);
    if (io.driver_status != 0)
        text += ", driver status " + hex(io.driver_status);
    return text;
}

bool reserve_in(int fd, uint8_t action, uint8_t *data, uint16_t size, size_t &received,
                std::string &error)
{
    uint8_t cdb[10] = {
        persistent_reserve_in,      action, 0, 0, 0, 0, 0, static_cast<uint8_t>(size >> 8),
        static_cast<uint8_t>(size), 0};
    uint8_t sense[32] = {};
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_FROM_DEV;
    io.cmd_len = sizeof(cdb);
    io.cmdp = cdb;
    io.dxferp = data;
    io.dxfer_len = size;
    io.mx_sb_len = sizeof(sense);
    io.sbp = sense;
    io.timeout = 5000; // ms
    if (ioctl(fd, SG_IO, &io) != 0) {
        error = std::string("SG_IO: ") + std::strerror(errno);
        if (errno == EPERM)
            error += " (needs CAP_SYS_RAWIO)";
        return false;
    }
    if ((io.info & SG_INFO_OK_MASK) != SG_INFO_OK) {
        error = failure_text(io, sense);
        return false;
    }
    received = size - static_cast<size_t>(io.resid > 0 ? io.resid : 0);
    return true;
}

} // namespace

bool parse_read_keys(const uint8_t *data, size_t size, reservation_state &out)
{
    if (size < 8)
        return false;
    out.generation = be32(data);
    const size_t listed = be32(data + 4);
    if (listed % 8 != 0 || size - 8 < listed)
        return false;
    out.keys.clear();
    for (size_t at = 8; at < 8 + listed; at += 8)
        out.keys.push_back(be64(data + at));
    return true;
}

bool parse_read_reservation(const uint8_t *data, size_t size, reservation_state &out)
{
    if (size < 8)
        return false;
    out.generation = be32(data);
    const uint32_t length = be32(data + 4);
    out.reserved = length != 0;
    if (!out.reserved)
        return true;
    if (length < 16 || size < 24)
        return false;
    out.holder = be64(data + 8);
    out.scope = data[21] >> 4;
    out.type = data[21] & 0x0f;
    return true;
}

const char *reservation_type_name(uint8_t type)
{
    switch (type) {
    case 1:
        return "Write Exclusive";
    case 3:
        return "Exclusive Access";
    case 5:
        return "Write Exclusive - Registrants Only";
    case 6:
        return "Exclusive Access - Registrants Only";
    case 7:
        return "Write Exclusive - All Registrants";
    case 8:
        return "Exclusive Access - All Registrants";
    default:
        return "unknown type";
    }
}

reservation_state read_reservation_state(const std::string &node)
{
    reservation_state state;
    const int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        state.error = node + ": " + std::strerror(errno);
        return state;
    }
    // Room for 1022 keys; a longer list is cut, and then refused as short.
    uint8_t data[8192];
    size_t received = 0;
    if (!reserve_in(fd, read_keys, data, sizeof(data), received, state.error)) {
        close(fd);
        return state;
    }
    if (!parse_read_keys(data, received, state)) {
        state.error = "READ KEYS answer of " + std::to_string(received) + " bytes is malformed";
        close(fd);
        return state;
    }
    if (!reserve_in(fd, read_reservation, data, sizeof(data), received, state.error) ||
        !parse_read_reservation(data, received, state)) {
        if (state.error.empty())
            state.error =
                "READ RESERVATION answer of " + std::to_string(received) + " bytes is malformed";
        close(fd);
        return state;
    }
    close(fd);
    state.readable = true;
    return state;
}
