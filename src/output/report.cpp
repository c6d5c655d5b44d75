#include "output/report.h"

#include <time.h>

#include <charconv>
#include <chrono>
#include <cstring>

#include "base/corvane.h"
#include "base/escape.h"
#include "base/scsi_names.h"
#include "kallsyms_parser/kallsyms_parser.h"

namespace {

constexpr int64_t ns_per_second = 1000000000;
constexpr int64_t ns_per_microsecond = 1000;

template <typename Enum> uint32_t raw_value(const Enum &field)
{
    static_assert(sizeof(Enum) == sizeof(uint32_t));
    uint32_t value;
    std::memcpy(&value, &field, sizeof(value));
    return value;
}

void append_unsigned(std::string &out, uint64_t value, int base = 10)
{
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof(digits), value, base);
    out.append(digits, result.ptr);
}

void append_wwid(std::string &out, const wwid_t &wwid)
{
    static const char digits[] = "0123456789abcdef";
    char text[32];
    for (size_t i = 0; i < sizeof(wwid.buf); ++i) {
        text[2 * i] = digits[wwid.buf[i] >> 4];
        text[2 * i + 1] = digits[wwid.buf[i] & 0xf];
    }
    out.append(text, sizeof(text));
}

// "YYYY-mm-dd HH:MM:SS" of whole seconds since the epoch, in local time.
std::string local_time_text(int64_t seconds)
{
    time_t when = static_cast<time_t>(seconds);
    tm local{};
    char text[64];
    if (localtime_r(&when, &local) == nullptr ||
        strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local) == 0)
        return std::to_string(seconds); // beyond what the calendar functions can express
    return text;
}

void append_zero_filled_microseconds(std::string &out, int64_t microseconds)
{
    char digits[8];
    auto result = std::to_chars(digits, digits + sizeof(digits), microseconds);
    out.append(6 - static_cast<size_t>(result.ptr - digits), '0');
    out.append(digits, result.ptr);
}

bool plain_ascii(std::string_view text)
{
    for (char c : text)
        if (c < 0x20 || c > 0x7e || c == '\\')
            return false;
    return true;
}

void append_header_line(std::string &out, const event_t &event, time_text &times,
                        const time_base &base)
{
    out += '[';
    times.append(out, event.nsec, base);
    out += "] ";
    append_process_name(out, event);
    out += '(';
    append_unsigned(out, event.ptid >> 32);
    out += ")\n";
}

void append_event_kind(std::string &out, const event_t &event)
{
    switch (event_type_of(event)) {
    case ENUM_EVENT_TYPE_SUBMIT_BIO:
        out += block_op_name(event.op);
        out += ' ';
        break;
    case ENUM_EVENT_TYPE_IOMAP_WRITE_ITER:
        out += "buffered write ";
        break;
    case ENUM_EVENT_TYPE_MMAP_WRITE:
        out += "mmap write ";
        break;
    case ENUM_EVENT_TYPE_SCSI_COMMAND:
        out += "SCSI ";
        out += scsi_command_name(reinterpret_cast<const uint8_t *>(event.detail));
        out += ' ';
        break;
    case ENUM_EVENT_TYPE_MOUNT:
        out += "wanna mount a ";
        out += fs_type_name(mount_type_of(event));
        out += " from ";
        break;
    case ENUM_EVENT_TYPE_MOUNT_TWICE:
        out += "wanna mount a ";
        out += fs_type_name(mount_type_of(event));
        out += " from a mounted ";
        break;
    default:
        break;
    }
}

// "<kind> <fs>'s metadata: [first, second)", the length when asked, then the disk.
void append_range_text(std::string &out, const event_t &event, bool with_length)
{
    append_event_kind(out, event);
    out += fs_type_name(range_type_of(event));
    out += "'s metadata: [";
    append_unsigned(out, event.range.first);
    out += ", ";
    append_unsigned(out, event.range.second);
    out += ')';
    if (with_length) {
        out += " (+";
        append_unsigned(out, event.range.second - event.range.first);
        out += ')';
    }
    out += " on device wwid: ";
    append_wwid(out, event.wwid);
}

// One line per non-zero frame, from the probed function on (the frames
// before it are the probe's own).
void append_stack_lines(std::string &out, const event_t &event, frame_cache &frames)
{
    const uint64_t count = stack_frames(event);
    const uint64_t first = first_shown_frame(event, frames);
    frames.look_up_ahead(event.ip + first, count - first);
    for (uint64_t i = first; i < count; ++i)
        if (event.ip[i] != 0)
            out += frames.lookup(event.ip[i]).line;
}

} // namespace

uint32_t event_type_of(const event_t &event)
{
    return raw_value(event.type);
}

uint32_t mount_type_of(const event_t &event)
{
    return raw_value(event.mount_type);
}

uint32_t range_type_of(const event_t &event)
{
    return raw_value(event.range.type);
}

time_base sample_time_base()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    time_base base{};
    base.start_time = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    base.boot_time =
        static_cast<uint64_t>(now.tv_sec) * ns_per_second + static_cast<uint64_t>(now.tv_nsec);
    return base;
}

int64_t wall_time_ns(uint64_t nsec, const time_base &base)
{
    // Unsigned arithmetic wraps where signed arithmetic would overflow on a
    // corrupt time stamp; the result is then read as signed nanoseconds.
    return static_cast<int64_t>(nsec - base.boot_time + static_cast<uint64_t>(base.start_time));
}

frame_cache::frame_cache(const kallsyms_parser &symbols)
    : symbols_(symbols), located_names_(slot_count), generation_(symbols.generation()),
      slots_(slot_count)
{
}

frame_cache::frame &frame_cache::slot_of(uint64_t address)
{
    if (generation_ != symbols_.generation()) {
        slots_.assign(slot_count, frame{});
        generation_ = symbols_.generation();
    }
    // Fibonacci hashing: return addresses of one function differ in low bits.
    static_assert(slot_count == 1u << (64 - 51));
    return slots_[(address * 0x9e3779b97f4a7c15ull) >> 51];
}

void frame_cache::look_up_ahead(const __u64 *addresses, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const uint64_t address = addresses[i];
        if (address == 0)
            continue;
        frame &slot = slot_of(address);
        if ((slot.filled || slot.located) && slot.address == address)
            continue;
        const ksym sym = symbols_.find_by_addr(address);
        __builtin_prefetch(sym.name.data());
        slot.filled = false;
        slot.located = true;
        slot.address = address;
        slot.symbol_start = sym.addr;
        located_names_[static_cast<size_t>(&slot - slots_.data())] = sym.name;
    }
}

const frame_cache::frame &frame_cache::lookup(uint64_t address)
{
    frame &slot = slot_of(address);
    if (slot.filled && slot.address == address)
        return slot;

    std::string_view name;
    if (slot.located && slot.address == address) {
        name = located_names_[static_cast<size_t>(&slot - slots_.data())];
    } else {
        const ksym sym = symbols_.find_by_addr(address);
        slot.symbol_start = sym.addr;
        name = sym.name;
    }
    slot.filled = true;
    slot.located = false;
    slot.address = address;
    slot.probe_own = name.starts_with("bpf_");
    slot.line.clear();
    slot.line += "0x";
    append_unsigned(slot.line, address, 16);
    slot.line += ' ';
    slot.name_offset = static_cast<uint32_t>(slot.line.size());
    // A symbol table is text another program could have written.
    if (plain_ascii(name))
        slot.line += name;
    else
        slot.line += escape_text(name);
    slot.name_size = static_cast<uint32_t>(slot.line.size()) - slot.name_offset;
    slot.line += " 0x";
    append_unsigned(slot.line, slot.symbol_start, 16);
    slot.line += "+0x";
    append_unsigned(slot.line, address - slot.symbol_start, 16);
    slot.line += '\n';
    return slot;
}

void time_text::append(std::string &out, uint64_t nsec, const time_base &base)
{
    const int64_t wall = wall_time_ns(nsec, base);
    // Floor division, so that a time before the epoch keeps a fraction
    // counted forward from its whole second.
    int64_t seconds = wall / ns_per_second;
    int64_t fraction = wall % ns_per_second;
    if (fraction < 0) {
        seconds -= 1;
        fraction += ns_per_second;
    }
    if (!cached_ || seconds != cached_second_) {
        second_text_ = local_time_text(seconds);
        cached_second_ = seconds;
        cached_ = true;
    }
    out += second_text_;
    out += '.';
    append_zero_filled_microseconds(out, fraction / ns_per_microsecond);
}

void append_process_name(std::string &out, const event_t &event)
{
    // bpf_get_current_comm terminates the name, but a record is never trusted
    // to: the copy stops at the end of the field. A task names itself, so
    // its name is escaped: it must not be able to write lines of its own.
    const std::string_view name(event.comm, strnlen(event.comm, sizeof(event.comm)));
    if (plain_ascii(name))
        out += name;
    else
        out += escape_text(name);
}

void append_report(std::string &out, const event_t &event, frame_cache &frames, time_text &times,
                   const time_base &base)
{
    append_header_line(out, event, times, base);
    append_range_text(out, event, true);
    out += '\n';
    append_stack_lines(out, event, frames);
}

void append_report_identity(std::string &out, const event_t &event)
{
    append_process_name(out, event);
    out += '(';
    append_unsigned(out, event.ptid >> 32);
    out += ") ";
    append_range_text(out, event, false);
}

const char *block_op_name(uint32_t op)
{
    switch (op) {
    case 3:
        return "discard";
    case 5:
        return "secure erase";
    case 9:
        return "write-zeroes";
    case 13:
        return "zone append";
    default:
        return "direct write";
    }
}

uint64_t first_shown_frame(const event_t &event, frame_cache &frames)
{
    const uint64_t count = stack_frames(event);
    for (uint64_t i = 0; event.func_ip != 0 && i < count; ++i)
        if (event.ip[i] != 0 && frames.lookup(event.ip[i]).symbol_start == event.func_ip)
            return i;
    // No frame in the probed function: leave out the probe's own program and trampoline.
    uint64_t i = 0;
    while (i < count && frames.lookup(event.ip[i]).probe_own)
        ++i;
    return i;
}

std::string format_event_time(uint64_t nsec, const time_base &base)
{
    std::string text;
    time_text().append(text, nsec, base);
    return text;
}

std::string format_report(const event_t &event, const kallsyms_parser &symbols,
                          const time_base &base)
{
    frame_cache frames(symbols);
    time_text times;
    std::string report;
    append_report(report, event, frames, times, base);
    return report;
}

const char *record_kind_name(record_kind kind)
{
    switch (kind) {
    case record_kind::write:
        return "write";
    case record_kind::mount:
        return "mount";
    case record_kind::double_mount:
        return "double_mount";
    case record_kind::unmount:
        return "unmount";
    case record_kind::coalesced:
        return "coalesced";
    case record_kind::held_back:
        return "held_back";
    case record_kind::started:
        return "started";
    case record_kind::watched_set_changed:
        return "watched_set_changed";
    case record_kind::lost:
        return "lost";
    case record_kind::stopped:
        return "stopped";
    case record_kind::unknown:
        break;
    }
    return "unknown";
}

record_kind kind_of(const event_t &event)
{
    switch (event_type_of(event)) {
    case ENUM_EVENT_TYPE_SUBMIT_BIO:
    case ENUM_EVENT_TYPE_IOMAP_WRITE_ITER:
    case ENUM_EVENT_TYPE_MMAP_WRITE:
    case ENUM_EVENT_TYPE_SCSI_COMMAND:
        return record_kind::write;
    case ENUM_EVENT_TYPE_MOUNT:
        return record_kind::mount;
    case ENUM_EVENT_TYPE_MOUNT_TWICE:
        return record_kind::double_mount;
    case ENUM_EVENT_TYPE_UMOUNT:
        return record_kind::unmount;
    default:
        return record_kind::unknown;
    }
}

const char *operation_name(const event_t &event)
{
    switch (event_type_of(event)) {
    case ENUM_EVENT_TYPE_SUBMIT_BIO:
        switch (event.op) {
        case 3:
            return "discard";
        case 5:
            return "secure-erase";
        case 9:
            return "write-zeroes";
        case 13:
            return "zone-append";
        default:
            return "write";
        }
    case ENUM_EVENT_TYPE_IOMAP_WRITE_ITER:
        return "buffered-write";
    case ENUM_EVENT_TYPE_MMAP_WRITE:
        return "mmap-write";
    case ENUM_EVENT_TYPE_SCSI_COMMAND:
        return "scsi";
    default:
        return nullptr;
    }
}
