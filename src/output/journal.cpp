#include "output/journal.h"

#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>

#include <systemd/sd-journal.h>

#include "base/corvane.h"
#include "base/escape.h"
#include "base/scsi_names.h"

namespace {

void add(journal_entry &entry, std::string_view field, std::string_view value)
{
    std::string item;
    item.reserve(field.size() + 1 + value.size());
    item += field;
    item += '=';
    item += value;
    entry.push_back(std::move(item));
}

void add(journal_entry &entry, std::string_view field, uint64_t value)
{
    add(entry, field, std::to_string(value));
}

// The facts identical reports share.
void add_identity(journal_entry &entry, const event_t &event)
{
    if (const char *operation = operation_name(event))
        add(entry, "CORVANE_OPERATION", operation);
    if (event_type_of(event) == ENUM_EVENT_TYPE_SCSI_COMMAND)
        add(entry, "CORVANE_SCSI_COMMAND",
            scsi_command_name(reinterpret_cast<const uint8_t *>(event.detail)));
    std::string comm;
    append_process_name(comm, event);
    add(entry, "CORVANE_COMM", comm);
    add(entry, "CORVANE_PID", event.ptid >> 32);
    add(entry, "CORVANE_WWID", wwid_to_string(event.wwid));
    add(entry, "CORVANE_FS_TYPE", fs_type_name(range_type_of(event)));
    add(entry, "CORVANE_FIRST", event.range.first);
    add(entry, "CORVANE_SECOND", event.range.second);
    add(entry, "CORVANE_DEVICE", dev_to_string(event.device >> 20, event.device & 0xfffff));
}

} // namespace

bool journal_available(const char *socket_path)
{
    return access(socket_path, F_OK) == 0;
}

const char *journal_message_id(record_kind kind)
{
    switch (kind) {
    case record_kind::write:
        return "b16a68531b6646fcba589c9d7e4379b5";
    case record_kind::mount:
        return "a90a083e12da4453895dc0b1da80bbf1";
    case record_kind::double_mount:
        return "a9225a3be27940b1bb9896dab35cd00a";
    case record_kind::unmount:
        return "0f6d9325130740d09fa8d5b1d1671762";
    case record_kind::coalesced:
        return "5d217d323a884175b39595e503068190";
    case record_kind::held_back:
        return "80559e06c3ce4626a1014d571b4c2af0";
    case record_kind::started:
        return "87bdfb5bc82e41469e0cde0728a54c66";
    case record_kind::watched_set_changed:
        return "4350d985039f4603b54054ea68eb6c6c";
    case record_kind::lost:
        return "9f5ada7cbd5e4ca4951ea7e8fda8e5a9";
    case record_kind::stopped:
        return "893faf87aaa2494bba78df5e5394ce0c";
    case record_kind::unknown:
        break;
    }
    return "b2bf92a855004f9ba50368ef552927f3";
}

journal_entry journal_entry_of(record_kind kind, int priority, std::string_view message)
{
    journal_entry entry;
    entry.reserve(24);
    add(entry, "MESSAGE", message);
    add(entry, "MESSAGE_ID", journal_message_id(kind));
    add(entry, "PRIORITY", static_cast<uint64_t>(priority));
    add(entry, "SYSLOG_IDENTIFIER", "vorel-corvane");
    add(entry, "SYSLOG_FACILITY", static_cast<uint64_t>(LOG_DAEMON >> 3));
    add(entry, "CORVANE_KIND", record_kind_name(kind));
    return entry;
}

journal_entry journal_report_entry(const event_t &event, int priority, std::string_view message,
                                   std::string_view watched_path)
{
    const record_kind kind = kind_of(event);
    journal_entry entry = journal_entry_of(kind, priority, message);
    add_identity(entry, event);
    add(entry, "CORVANE_TID", event.ptid & 0xffffffffu);
    add(entry, "CORVANE_UID", event.uid);
    add(entry, "CORVANE_CGROUP_ID", event.cgroup_id);
    if (kind != record_kind::unmount) {
        add(entry, "CORVANE_WATCHED_FIRST", event.hit_first);
        add(entry, "CORVANE_WATCHED_SECOND", event.hit_second);
    }
    if (!watched_path.empty())
        add(entry, "CORVANE_WATCHED_PATH", watched_path);
    if (kind == record_kind::mount || kind == record_kind::double_mount) {
        add(entry, "CORVANE_MOUNT_SOURCE",
            escape_text(
                std::string_view(event.detail, strnlen(event.detail, sizeof(event.detail)))));
        add(entry, "CORVANE_MOUNT_FS_TYPE", fs_type_name(mount_type_of(event)));
    }
    return entry;
}

journal_entry journal_coalesced_entry(const coalesced_summary &summary, std::string_view message)
{
    journal_entry entry = journal_entry_of(record_kind::coalesced, LOG_WARNING, message);
    add(entry, "CORVANE_REPORT_KIND", record_kind_name(kind_of(summary.first)));
    add_identity(entry, summary.first);
    add(entry, "CORVANE_COUNT", summary.count);
    add(entry, "CORVANE_SECONDS", summary.seconds);
    return entry;
}

journal_entry journal_held_back_entry(const held_back_summary &summary, std::string_view message)
{
    journal_entry entry = journal_entry_of(record_kind::held_back, LOG_WARNING, message);
    add(entry, "CORVANE_COUNT", summary.count);
    add(entry, "CORVANE_BUDGET", summary.budget);
    return entry;
}

journal_entry journal_stopped_entry(const report_counts &counts, std::string_view message)
{
    journal_entry entry = journal_entry_of(record_kind::stopped, LOG_INFO, message);
    add(entry, "CORVANE_REPORTS", counts.reports);
    add(entry, "CORVANE_SHOWN", counts.shown);
    add(entry, "CORVANE_COALESCED", counts.coalesced);
    add(entry, "CORVANE_HELD_BACK", counts.held_back);
    add(entry, "CORVANE_LOST", counts.lost);
    return entry;
}

journal_entry journal_lost_entry(const loss_counts &losses, std::string_view message)
{
    journal_entry entry = journal_entry_of(record_kind::lost, LOG_WARNING, message);
    add(entry, "CORVANE_LOST", losses.reports_lost);
    add(entry, "CORVANE_LOST_TOTAL", losses.reports_lost_total);
    add(entry, "CORVANE_RUNS_MISSED", losses.runs_missed);
    add(entry, "CORVANE_RUNS_MISSED_TOTAL", losses.runs_missed_total);
    return entry;
}

bool send_journal_entry(const journal_entry &entry)
{
    std::vector<iovec> items(entry.size());
    for (size_t i = 0; i < entry.size(); ++i)
        items[i] = iovec{const_cast<char *>(entry[i].data()), entry[i].size()};
    return sd_journal_sendv(items.data(), static_cast<int>(items.size())) >= 0;
}
