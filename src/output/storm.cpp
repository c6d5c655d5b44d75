#include "output/storm.h"

#include <cstring>
#include <string_view>

#include "output/report.h"

namespace {

constexpr uint64_t ns_per_second = 1000000000;
// Processes whose held-back reports are counted one by one in a second.
constexpr size_t followed_processes = 64;

} // namespace

bool report_key::operator==(const report_key &other) const
{
    return std::memcmp(this, &other, sizeof(*this)) == 0;
}

size_t storm_control::key_hash::operator()(const report_key &key) const
{
    return std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char *>(&key), sizeof(key)));
}

report_key key_of(const event_t &event)
{
    report_key key;
    std::memset(&key, 0, sizeof(key));
    key.first = event.range.first;
    key.second = event.range.second;
    key.tgid = static_cast<uint32_t>(event.ptid >> 32);
    key.type = event_type_of(event);
    key.fs_type = range_type_of(event);
    std::memcpy(key.wwid, event.wwid.buf, sizeof(key.wwid));
    std::memcpy(key.comm, event.comm, sizeof(key.comm));
    switch (key.type) {
    case ENUM_EVENT_TYPE_SUBMIT_BIO:
        key.op = event.op;
        break;
    case ENUM_EVENT_TYPE_SCSI_COMMAND: {
        const auto *cdb = reinterpret_cast<const uint8_t *>(event.detail);
        key.op = event.op;
        key.scsi[0] = cdb[0];
        key.scsi[1] = cdb[1];
        key.scsi[2] = cdb[9];
        break;
    }
    case ENUM_EVENT_TYPE_MOUNT:
    case ENUM_EVENT_TYPE_MOUNT_TWICE:
        key.mount_type = mount_type_of(event);
        break;
    default:
        break;
    }
    return key;
}

storm_control::storm_control(const storm_settings &settings, coalesced_sink on_coalesced,
                             held_back_sink on_held_back)
    : settings_(settings), on_coalesced_(std::move(on_coalesced)),
      on_held_back_(std::move(on_held_back))
{
    if (settings_.max_windows == 0)
        settings_.window_ns = 0;
}

storm_control::verdict storm_control::admit(const event_t &event, uint64_t now)
{
    expire(now);
    report_key key{};
    if (settings_.window_ns != 0) {
        key = key_of(event);
        auto it = by_key_.find(key);
        if (it != by_key_.end()) {
            ++it->second->count;
            return verdict::coalesced;
        }
    }
    if (!within_budget(event, now))
        return verdict::held_back;
    // Only a report shown opens a window: what is counted later refers to it.
    if (settings_.window_ns != 0)
        open_window(key, event, now);
    return verdict::show;
}

void storm_control::expire(uint64_t now)
{
    while (!windows_.empty() && now - windows_.front().opened >= settings_.window_ns)
        close_window(windows_.begin(), now);
    if (second_open_ && now - second_start_ >= ns_per_second)
        close_second();
}

void storm_control::close_all(uint64_t now)
{
    while (!windows_.empty())
        close_window(windows_.begin(), now);
    if (second_open_)
        close_second();
}

void storm_control::open_window(const report_key &key, const event_t &event, uint64_t now)
{
    // The table is bounded: the oldest window closes early, with its summary.
    if (windows_.size() >= settings_.max_windows)
        close_window(windows_.begin(), now);
    windows_.push_back(window{key, event, now, 0});
    by_key_.emplace(key, std::prev(windows_.end()));
}

void storm_control::close_window(std::list<window>::iterator it, uint64_t now)
{
    if (it->count > 0 && on_coalesced_) {
        const uint64_t window_seconds = (settings_.window_ns + ns_per_second - 1) / ns_per_second;
        const uint64_t open_for = (now - it->opened + ns_per_second - 1) / ns_per_second;
        on_coalesced_(coalesced_summary{it->first, it->count,
                                        std::max<uint64_t>(1, std::min(open_for, window_seconds))});
    }
    by_key_.erase(it->key);
    windows_.erase(it);
}

bool storm_control::within_budget(const event_t &event, uint64_t now)
{
    if (settings_.budget == 0)
        return true;
    if (!second_open_) {
        second_open_ = true;
        second_start_ = now;
        shown_this_second_ = 0;
        held_this_second_ = 0;
    }
    if (shown_this_second_ < settings_.budget) {
        ++shown_this_second_;
        return true;
    }
    ++held_this_second_;
    const uint32_t tgid = static_cast<uint32_t>(event.ptid >> 32);
    auto it = held_by_process_.find(tgid);
    if (it != held_by_process_.end())
        ++it->second.count;
    else if (held_by_process_.size() < followed_processes)
        held_by_process_.emplace(tgid, process_count{event, 1});
    return false;
}

void storm_control::close_second()
{
    second_open_ = false;
    if (held_this_second_ > 0 && on_held_back_) {
        held_back_summary summary{held_this_second_, settings_.budget, {}, 0};
        for (const auto &[tgid, held] : held_by_process_)
            if (held.count > summary.top_count) {
                summary.top = held.sample;
                summary.top_count = held.count;
            }
        on_held_back_(summary);
    }
    held_by_process_.clear();
}
