// JSON lines: one object per record, described field by field in
// docs/corvane-events.schema.json.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/common.h"
#include "output/host.h"
#include "output/lifecycle.h"
#include "output/report.h"
#include "output/storm.h"

class watch_set;
struct watched_fs;
struct device_range;

// Version of the record layout; grows only when a field changes meaning or goes.
constexpr int json_schema_version = 1;

using json_record = nlohmann::ordered_json;

// "2024-05-01T13:45:07.000123456Z" of ns since the epoch.
std::string rfc3339_time(int64_t wall_ns);
// "major:minor" of a device number in the kernel's encoding (major << 20 | minor).
std::string kernel_dev_text(uint32_t dev);
// How many CDB bytes a command has, from its opcode (at most what a record holds).
size_t cdb_length(const uint8_t *cdb);
// The disk of a watched file system that a record on that disk came through:
// the one whose chain holds the device written to, else the first with its WWID.
const device_range *disk_of(const watched_fs &fs, const event_t &event);

class json_formatter {
  public:
    // cgroups may be null: records then carry the cgroup id alone.
    json_formatter(host_identity host, const watch_set &watched, frame_cache &frames,
                   cgroup_paths *cgroups);

    // A write, mount, double mount or unmount record.
    json_record report(const event_t &event, const time_base &base);
    json_record coalesced(const coalesced_summary &summary, int64_t wall_ns);
    json_record held_back(const held_back_summary &summary, int64_t wall_ns);
    json_record started(int64_t wall_ns, const std::vector<attach_point> &probes,
                        json_record settings);
    json_record watched_set_changed(int64_t wall_ns, std::string_view reason);
    json_record lost(int64_t wall_ns, const loss_counts &losses);
    json_record stopped(int64_t wall_ns, const report_counts &counts);

    // The record as one line, newline included.
    static void append_line(std::string &out, const json_record &record);

  private:
    json_record header(record_kind kind, int64_t wall_ns) const;
    void add_identity(json_record &record, const event_t &event) const;
    json_record process(const event_t &event, bool in_full);
    json_record stack(const event_t &event);
    json_record watched_fs_of(const event_t &event) const;
    json_record watched_list() const;

    host_identity host_;
    const watch_set &watched_;
    frame_cache &frames_;
    cgroup_paths *cgroups_;
};
