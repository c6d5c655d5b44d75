#include "output/json_report.h"

#include <time.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "base/corvane.h"
#include "base/escape.h"
#include "base/scsi_names.h"
#include "watch/watch_set.h"

namespace {

constexpr int64_t ns_per_second = 1000000000;
// What the probes copy of a CDB into a record.
constexpr size_t recorded_cdb_bytes = 32;

std::string hex_bytes(const uint8_t *bytes, size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * count);
    for (size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xf];
    }
    return text;
}

std::string hex_address(uint64_t address)
{
    char text[24] = "0x";
    auto result = std::to_chars(text + 2, text + sizeof(text), address, 16);
    return std::string(text, result.ptr);
}

std::string process_name(const event_t &event)
{
    std::string name;
    append_process_name(name, event);
    return name;
}

json_record byte_range(uint64_t first, uint64_t second)
{
    return json_record{{"first", first}, {"second", second}, {"length", second - first}};
}

json_record device_chain(const std::vector<device_number> &chain)
{
    json_record list = json_record::array();
    for (const device_number &device : chain)
        list.push_back(dev_to_string(device.major, device.minor));
    return list;
}

} // namespace

std::string rfc3339_time(int64_t wall_ns)
{
    int64_t seconds = wall_ns / ns_per_second;
    int64_t fraction = wall_ns % ns_per_second;
    if (fraction < 0) {
        seconds -= 1;
        fraction += ns_per_second;
    }
    const time_t when = static_cast<time_t>(seconds);
    tm utc{};
    char text[64];
    if (gmtime_r(&when, &utc) == nullptr ||
        strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc) == 0 || utc.tm_year + 1900 < 0 ||
        utc.tm_year + 1900 > 9999)
        std::strcpy(text, "1970-01-01T00:00:00"); // beyond what RFC 3339 can express
    char digits[16];
    auto result = std::to_chars(digits, digits + sizeof(digits), fraction);
    std::string out = text;
    out += '.';
    out.append(9 - static_cast<size_t>(result.ptr - digits), '0');
    out.append(digits, result.ptr);
    out += 'Z';
    return out;
}

std::string kernel_dev_text(uint32_t dev)
{
    return dev_to_string(dev >> 20, dev & 0xfffff);
}

size_t cdb_length(const uint8_t *cdb)
{
    const uint8_t opcode = cdb[0];
    if (opcode < 0x20)
        return 6;
    if (opcode < 0x60)
        return 10;
    if (opcode == 0x7f) // variable length: 8 bytes and the additional length
        return std::min<size_t>(8 + cdb[7], recorded_cdb_bytes);
    if (opcode >= 0xa0 && opcode < 0xc0)
        return 12;
    return 16;
}

const device_range *disk_of(const watched_fs &fs, const event_t &event)
{
    const device_range *same_wwid = nullptr;
    for (const device_range &disk : fs.disks) {
        if (std::memcmp(disk.wwid.buf, event.wwid.buf, sizeof(disk.wwid.buf)) != 0)
            continue;
        for (const device_number &device : disk.chain)
            if ((device.major << 20 | device.minor) == event.device)
                return &disk;
        if (!same_wwid)
            same_wwid = &disk;
    }
    return same_wwid;
}

json_formatter::json_formatter(host_identity host, const watch_set &watched, frame_cache &frames,
                               cgroup_paths *cgroups)
    : host_(std::move(host)), watched_(watched), frames_(frames), cgroups_(cgroups)
{
}

void json_formatter::append_line(std::string &out, const json_record &record)
{
    // Every string was escaped into valid UTF-8 before; replacing is a last resort.
    out += record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    out += '\n';
}

json_record json_formatter::header(record_kind kind, int64_t wall_ns) const
{
    return json_record{{"schema", json_schema_version},
                       {"time", rfc3339_time(wall_ns)},
                       {"host", host_.host},
                       {"machine_id", host_.machine_id},
                       {"boot_id", host_.boot_id},
                       {"event", record_kind_name(kind)}};
}

// What identical reports share: the kind of write or mount, the file system
// and the byte ranges on the disk.
void json_formatter::add_identity(json_record &record, const event_t &event) const
{
    if (const char *operation = operation_name(event)) {
        record["operation"] = operation;
        if (event_type_of(event) == ENUM_EVENT_TYPE_SCSI_COMMAND) {
            const auto *cdb = reinterpret_cast<const uint8_t *>(event.detail);
            record["scsi_command"] = scsi_command_name(cdb);
            record["cdb"] = hex_bytes(cdb, cdb_length(cdb));
        }
    }
    const record_kind kind = kind_of(event);
    if (kind == record_kind::unknown)
        record["type"] = event_type_of(event);
    record["fs_type"] = fs_type_name(range_type_of(event));
    record["wwid"] = wwid_to_string(event.wwid);
    record["range"] = byte_range(event.range.first, event.range.second);
    if (kind != record_kind::unmount)
        record["watched_range"] = {
            {"first", event.hit_first},
            {"second", event.hit_second},
            {"kind", event.range.kind == RANGE_KIND_DATA ? "data" : "metadata"}};
    record["device"] = kernel_dev_text(event.device);
    if (kind == record_kind::mount || kind == record_kind::double_mount) {
        record["source"] = escape_text(
            std::string_view(event.detail, strnlen(event.detail, sizeof(event.detail))));
        record["mount_fs_type"] = fs_type_name(mount_type_of(event));
    }
}

json_record json_formatter::process(const event_t &event, bool in_full)
{
    json_record process{{"name", process_name(event)}, {"pid", event.ptid >> 32}};
    if (!in_full)
        return process;
    process["tid"] = event.ptid & 0xffffffffu;
    process["uid"] = event.uid;
    process["cgroup_id"] = event.cgroup_id;
    if (cgroups_)
        if (auto path = cgroups_->path_of(event.cgroup_id))
            process["cgroup"] = *path;
    return process;
}

json_record json_formatter::stack(const event_t &event)
{
    json_record frames = json_record::array();
    const uint64_t count = stack_frames(event);
    frames.get_ref<json_record::array_t &>().reserve(count);
    const uint64_t first = first_shown_frame(event, frames_);
    frames_.look_up_ahead(event.ip + first, count - first);
    for (uint64_t i = first; i < count; ++i) {
        if (event.ip[i] == 0)
            continue;
        const frame_cache::frame &frame = frames_.lookup(event.ip[i]);
        // Built member by member: an initializer list would copy every value.
        json_record entry = json_record::object();
        entry["address"] = hex_address(frame.address);
        entry["symbol"] = frame.name();
        entry["offset"] = frame.address - frame.symbol_start;
        frames.push_back(std::move(entry));
    }
    return frames;
}

json_record json_formatter::watched_fs_of(const event_t &event) const
{
    const watched_fs *fs = watched_.find(event.range.source);
    if (!fs)
        return nullptr;
    json_record record{{"id", fs->id},
                       {"path", escape_text(fs->path)},
                       {"device", dev_to_string(fs->major, fs->minor)}};
    const device_range *disk = disk_of(*fs, event);
    record["chain"] = disk ? device_chain(disk->chain) : json_record::array();
    return record;
}

json_record json_formatter::report(const event_t &event, const time_base &base)
{
    json_record record = header(kind_of(event), wall_time_ns(event.nsec, base));
    add_identity(record, event);
    if (json_record fs = watched_fs_of(event); !fs.is_null())
        record["watched_fs"] = std::move(fs);
    record["process"] = process(event, true);
    record["stack"] = stack(event);
    return record;
}

json_record json_formatter::coalesced(const coalesced_summary &summary, int64_t wall_ns)
{
    json_record record = header(record_kind::coalesced, wall_ns);
    record["count"] = summary.count;
    record["seconds"] = summary.seconds;
    json_record first{{"event", record_kind_name(kind_of(summary.first))}};
    add_identity(first, summary.first);
    first["process"] = process(summary.first, false);
    record["report"] = std::move(first);
    return record;
}

json_record json_formatter::held_back(const held_back_summary &summary, int64_t wall_ns)
{
    json_record record = header(record_kind::held_back, wall_ns);
    record["count"] = summary.count;
    record["seconds"] = 1;
    record["budget"] = summary.budget;
    if (summary.top_count > 0) {
        json_record top = process(summary.top, false);
        top["count"] = summary.top_count;
        record["top_process"] = std::move(top);
    }
    return record;
}

json_record json_formatter::watched_list() const
{
    json_record list = json_record::array();
    for (const auto &[id, fs] : watched_.all()) {
        json_record disks = json_record::array();
        for (const device_range &disk : fs.disks)
            disks.push_back({{"wwid", wwid_to_string(disk.wwid)},
                             {"device", dev_to_string(disk.major, disk.minor)},
                             {"chain", device_chain(disk.chain)},
                             {"ranges", disk.ranges.size()}});
        list.push_back({{"id", id},
                        {"path", escape_text(fs.path)},
                        {"device", dev_to_string(fs.major, fs.minor)},
                        {"fs_type", fs_type_name(fs.type)},
                        {"ranges", fs.ranges.size()},
                        {"disks", std::move(disks)}});
    }
    return list;
}

json_record json_formatter::started(int64_t wall_ns, const std::vector<attach_point> &probes,
                                    json_record settings)
{
    json_record record = header(record_kind::started, wall_ns);
    record["watched"] = watched_list();
    json_record attached = json_record::array();
    for (const attach_point &point : probes) {
        json_record entry{{"probe", point.probe}};
        if (!point.function.empty()) {
            entry["kind"] = point.kind;
            entry["function"] = point.function;
        }
        attached.push_back(std::move(entry));
    }
    record["probes"] = std::move(attached);
    record["settings"] = std::move(settings);
    return record;
}

json_record json_formatter::watched_set_changed(int64_t wall_ns, std::string_view reason)
{
    json_record record = header(record_kind::watched_set_changed, wall_ns);
    record["reason"] = escape_text(reason);
    record["watched"] = watched_list();
    return record;
}

json_record json_formatter::lost(int64_t wall_ns, const loss_counts &losses)
{
    json_record record = header(record_kind::lost, wall_ns);
    record["reports_lost"] = losses.reports_lost;
    record["reports_lost_total"] = losses.reports_lost_total;
    record["runs_missed"] = losses.runs_missed;
    record["runs_missed_total"] = losses.runs_missed_total;
    return record;
}

json_record json_formatter::stopped(int64_t wall_ns, const report_counts &counts)
{
    json_record record = header(record_kind::stopped, wall_ns);
    record["reports"] = counts.reports;
    record["shown"] = counts.shown;
    record["coalesced"] = counts.coalesced;
    record["held_back"] = counts.held_back;
    record["lost"] = counts.lost;
    return record;
}
