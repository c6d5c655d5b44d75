#include "report.h"

#include <syslog.h>
#include <time.h>

#include <charconv>
#include <chrono>
#include <cstring>
#include <iostream>

#include "base/corvane.h"
#include "base/escape.h"
#include "base/scsi_names.h"
#include "kallsyms_parser/kallsyms_parser.h"
#include "tables.h"

namespace {

constexpr int64_t ns_per_second = 1000000000;
constexpr int64_t ns_per_microsecond = 1000;

int64_t wall_clock_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The clock of the probes' time stamps (bpf_ktime_get_ns).
uint64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * ns_per_second + static_cast<uint64_t>(now.tv_nsec);
}

// Both clocks are sampled once, on the first report, and the offset between
// them is kept for the life of the process: later changes of the system clock
// do not move report times.
const time_base &init_time_base()
{
    static const time_base base = [] {
        time_base sampled{};
        sampled.start_time = wall_clock_ns();
        sampled.boot_time = monotonic_ns();
        if (debug_on()) {
            std::cout << "init start_time: " << sampled.start_time << std::endl;
            std::cout << "boot_time: " << sampled.boot_time << std::endl;
        }
        return sampled;
    }();
    return base;
}

// Enumeration fields of a record hold whatever the kernel side wrote; they are
// read as plain numbers, since a value outside the enumeration cannot be
// loaded through the enumeration type.
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

void append_header_line(std::string &out, const event_t &event, const std::string &time_text)
{
    out += '[';
    out += time_text;
    out += "] ";
    // bpf_get_current_comm terminates the name, but a record is never trusted
    // to: the copy stops at the end of the field. A task names itself, so
    // its name is escaped: it must not be able to write lines of its own.
    out += escape_text(std::string_view(event.comm, strnlen(event.comm, sizeof(event.comm))));
    out += '(';
    append_unsigned(out, event.ptid >> 32);
    out += ")\n";
}

void append_event_kind(std::string &out, const event_t &event)
{
    switch (raw_value(event.type)) {
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
        out += fs_type_name(raw_value(event.mount_type));
        out += " from ";
        break;
    case ENUM_EVENT_TYPE_MOUNT_TWICE:
        out += "wanna mount a ";
        out += fs_type_name(raw_value(event.mount_type));
        out += " from a mounted ";
        break;
    default:
        break;
    }
}

void append_range_line(std::string &out, const event_t &event)
{
    append_event_kind(out, event);
    out += fs_type_name(raw_value(event.range.type));
    out += "'s metadata: [";
    append_unsigned(out, event.range.first);
    out += ", ";
    append_unsigned(out, event.range.second);
    out += ") (+";
    append_unsigned(out, event.range.second - event.range.first);
    out += ") on device wwid: ";
    out += wwid_to_string(event.wwid);
    out += '\n';
}

// One "0x<address> <symbol> 0x<symbol start>+0x<offset>" line per non-zero frame,
// from the probed function on (the frames before it are the probe's own).
void append_stack_lines(std::string &out, const event_t &event, const kallsyms_parser &symbols)
{
    uint64_t frames = std::min<uint64_t>(event.stack_size, PERF_MAX_STACK_DEPTH);
    for (uint64_t i = first_shown_frame(event, symbols); i < frames; ++i) {
        uint64_t address = event.ip[i];
        if (address == 0)
            continue;
        const ksym &sym = symbols.find_by_addr(address);
        out += "0x";
        append_unsigned(out, address, 16);
        out += ' ';
        out += sym.name;
        out += " 0x";
        append_unsigned(out, sym.addr, 16);
        out += "+0x";
        append_unsigned(out, address - sym.addr, 16);
        out += '\n';
    }
}

} // namespace

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

uint64_t first_shown_frame(const event_t &event, const kallsyms_parser &symbols)
{
    const uint64_t frames = std::min<uint64_t>(event.stack_size, PERF_MAX_STACK_DEPTH);
    for (uint64_t i = 0; event.func_ip != 0 && i < frames; ++i)
        if (event.ip[i] != 0 && symbols.find_by_addr(event.ip[i]).addr == event.func_ip)
            return i;
    // No frame in the probed function: leave out the probe's own program and trampoline.
    uint64_t i = 0;
    while (i < frames && symbols.find_by_addr(event.ip[i]).name.starts_with("bpf_"))
        ++i;
    return i;
}

std::string format_event_time(uint64_t nsec, const time_base &base)
{
    // Unsigned arithmetic wraps where signed arithmetic would overflow on a
    // corrupt time stamp; the results are then read as signed nanoseconds.
    int64_t delta = static_cast<int64_t>(nsec - base.boot_time);
    if (debug_on())
        std::cout << "time_dalta = " << delta << std::endl;
    int64_t wall =
        static_cast<int64_t>(static_cast<uint64_t>(delta) + static_cast<uint64_t>(base.start_time));

    // Floor division, so that a time before the epoch keeps a fraction
    // counted forward from its whole second.
    int64_t seconds = wall / ns_per_second;
    int64_t fraction = wall % ns_per_second;
    if (fraction < 0) {
        seconds -= 1;
        fraction += ns_per_second;
    }

    std::string text = local_time_text(seconds);
    text += '.';
    append_zero_filled_microseconds(text, fraction / ns_per_microsecond);
    if (debug_on())
        std::cout << "date time: " << text << std::endl;
    return text;
}

std::string format_report(const event_t &event, const kallsyms_parser &symbols,
                          const time_base &base)
{
    std::string report;
    report.reserve(256 + 96 * PERF_MAX_STACK_DEPTH);
    append_header_line(report, event, format_event_time(event.nsec, base));
    append_range_line(report, event);
    append_stack_lines(report, event, symbols);
    return report;
}

void print_report(const event_t &event)
{
    const time_base &base = init_time_base();
    std::string report = format_report(event, kallsyms, base);
    if (daemon_flag)
        syslog(LOG_WARNING, "%s", report.c_str());
    std::cout << report;
}
