// Entries for the systemd journal: the text syslog would get as MESSAGE, and
// the facts of the record as fields of their own, so that journalctl can
// select them (journalctl CORVANE_WWID=... or MESSAGE_ID=...).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/common.h"
#include "output/lifecycle.h"
#include "output/report.h"
#include "output/storm.h"

// "FIELD=value" items.
using journal_entry = std::vector<std::string>;

// True when a journal runs here: its socket exists.
bool journal_available(const char *socket_path = "/run/systemd/journal/socket");
// The fixed 128-bit MESSAGE_ID of each kind of record (32 hex digits).
const char *journal_message_id(record_kind kind);

// A record of that kind and priority (LOG_*) with the text as MESSAGE.
journal_entry journal_entry_of(record_kind kind, int priority, std::string_view message);
// A report (write, mount, double mount or unmount): the record's facts too.
// watched_path: the path of the watched file system, empty when unknown.
journal_entry journal_report_entry(const event_t &event, int priority, std::string_view message,
                                   std::string_view watched_path);
journal_entry journal_coalesced_entry(const coalesced_summary &summary, std::string_view message);
journal_entry journal_held_back_entry(const held_back_summary &summary, std::string_view message);
journal_entry journal_stopped_entry(const report_counts &counts, std::string_view message);
journal_entry journal_lost_entry(const loss_counts &losses, std::string_view message);

// Hands the entry to the journal (sd_journal_sendv); false when it was not taken.
bool send_journal_entry(const journal_entry &entry);
