// The output: storm control (coalescing, budget), JSON records checked field
// by field and against the published schema, and journal entries, all with
// injected clocks and destinations.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "kallsyms_parser/kallsyms_parser.h"
#include "output/output.h"
#include "test_support.h"
#include "watch/watch_set.h"

namespace {

constexpr uint64_t second_ns = 1000000000;
constexpr uint64_t boot_ns = 5000 * second_ns;
// 2024-05-01 13:45:07 UTC.
constexpr int64_t wall_at_boot_ns = 1714571107 * int64_t{second_ns};
const std::string wwid_hex = "00112233445566778899aabbccddeeff";

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class OutputTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        std::string path = (dir_.path() / "kallsyms").string();
        std::ofstream(path) << "1000 t bpf_trampoline_6442\n"
                               "2000 t submit_bio_noacct\n"
                               "3000 t ext4_buffered_write_iter\t[ext4]\n";
        ASSERT_TRUE(symbols_.parse(path));

        watched_fs fs;
        fs.path = "/dev/sdb1";
        fs.major = 8;
        fs.minor = 17;
        fs.type = ENUM_FS_TYPE_EXT4;
        fs.ranges = {fs_range{0, 1 << 20, ENUM_FS_TYPE_EXT4, RANGE_KIND_METADATA, 0}};
        device_range disk{8, 16, fs.ranges, {}, {{8, 17}, {8, 16}}};
        for (int i = 0; i < 16; ++i)
            disk.wwid.buf[i] = static_cast<uint8_t>(i * 0x11);
        fs.disks = {disk};
        fs_id_ = watched_.add(fs);
    }

    output_environment environment()
    {
        output_environment env;
        env.write_out = [this](std::string_view text) {
            out_ += text;
            ++writes_;
        };
        env.write_err = [this](std::string_view text) { err_ += text; };
        env.syslog = [this](int priority, const std::string &message) {
            syslog_.push_back({priority, message});
        };
        env.journal = [this](const journal_entry &entry) { journal_.push_back(entry); };
        env.monotonic_ns = [this] { return now_; };
        env.wall_ns = [this] { return wall_at_boot_ns + static_cast<int64_t>(now_ - boot_ns); };
        env.host = host_identity{"sanhost", std::string(32, 'a'), std::string(32, 'b')};
        env.cgroup_paths = false;
        return env;
    }

    std::unique_ptr<output> make_output(output_options options)
    {
        return std::make_unique<output>(options, symbols_, watched_, environment());
    }

    // A direct write by dd(4242) into the first inode table, now, with a
    // stack that starts in the probe's trampoline.
    event_t write_event(uint64_t first = 4096, uint32_t tgid = 4242)
    {
        event_t event;
        std::memset(&event, 0, sizeof(event));
        event.ptid = (uint64_t{tgid} << 32) | (tgid + 1);
        event.nsec = now_;
        event.range = fs_range{first, first + 4096, ENUM_FS_TYPE_EXT4, RANGE_KIND_METADATA, fs_id_};
        event.hit_first = 0;
        event.hit_second = 1 << 20;
        event.type = ENUM_EVENT_TYPE_SUBMIT_BIO;
        event.op = 1;
        std::strcpy(event.comm, "dd");
        for (int i = 0; i < 16; ++i)
            event.wwid.buf[i] = static_cast<uint8_t>(i * 0x11);
        event.stack_size = 3;
        event.ip[0] = 0x1010;
        event.ip[1] = 0x2034;
        event.ip[2] = 0x3008;
        event.func_ip = 0x2000;
        event.uid = 1000;
        event.cgroup_id = 77;
        event.device = 8 << 20 | 17;
        return event;
    }

    size_t full_reports() const
    {
        size_t n = 0;
        for (const std::string &line : lines_of(out_))
            n += line.starts_with("[");
        return n;
    }

    test_support::temp_dir dir_;
    kallsyms_parser symbols_;
    watch_set watched_;
    uint64_t fs_id_ = 0;
    uint64_t now_ = boot_ns;
    std::string out_, err_;
    size_t writes_ = 0;
    std::vector<std::pair<int, std::string>> syslog_;
    std::vector<journal_entry> journal_;
};

// One step of a storm: a report at a time (ms after the start) or a tick.
struct step {
    uint64_t at_ms;
    char what; // 'a', 'b' (other range), 'p' (other process), 'z' (discard), 't' (tick)
};

TEST_F(OutputTest, StormsAreCoalescedAndBudgeted)
{
    const std::string identity_a = "dd(4242) direct write ext4's metadata: [4096, 8192) on device "
                                   "wwid: " +
                                   wwid_hex;
    const struct {
        const char *name;
        uint32_t coalesce;
        uint32_t budget;
        size_t max_windows;
        bool debug;
        std::vector<step> steps;
        size_t shown;
        uint64_t coalesced;
        uint64_t held_back;
        std::vector<std::string> summaries; // in order, after stopped() too
    } cases[] = {
        // clang-format off
        {"identical within the window", 10, 0, 64, false,
         {{0, 'a'}, {1000, 'a'}, {5000, 'a'}, {10000, 't'}}, 1, 2, 0,
         {"coalesced: 2 more identical reports of " + identity_a + " in the last 10 s"}},
        {"a closed window opens anew with a full report", 10, 0, 64, false,
         {{0, 'a'}, {9999, 'a'}, {10000, 'a'}, {10500, 'a'}}, 2, 2, 0,
         {"coalesced: 1 more identical report of " + identity_a + " in the last 10 s",
          "coalesced: 1 more identical report of " + identity_a + " in the last 1 s"}},
        {"range, process and operation tell reports apart", 10, 0, 64, false,
         {{0, 'a'}, {1, 'b'}, {2, 'p'}, {3, 'z'}}, 4, 0, 0, {}},
        {"debug shows every report", 10, 0, 64, true, {{0, 'a'}, {1, 'a'}, {2, 'a'}}, 3, 0, 0, {}},
        {"a full table closes its oldest window", 10, 0, 2, false,
         {{0, 'a'}, {1, 'a'}, {2, 'b'}, {3, 'p'}}, 3, 1, 0,
         {"coalesced: 1 more identical report of " + identity_a + " in the last 1 s"}},
        {"the budget holds back what exceeds it, per second", 0, 2, 64, false,
         {{0, 'a'}, {1, 'b'}, {2, 'p'}, {3, 'a'}, {4, 'z'}, {1000, 't'}, {1001, 'a'}}, 3, 0, 3,
         {"held back: 3 reports in the last second (budget 2/s), 2 of them by dd(4242)"}},
        {"coalesced reports do not spend the budget", 10, 1, 64, false,
         {{0, 'a'}, {1, 'a'}, {2, 'a'}, {3, 'b'}}, 1, 2, 1,
         {"coalesced: 2 more identical reports of " + identity_a + " in the last 1 s",
          "held back: 1 report in the last second (budget 1/s), 1 of them by dd(4242)"}},
        // clang-format on
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        out_.clear();
        now_ = boot_ns;
        output_options options;
        options.coalesce_seconds = c.coalesce;
        options.report_budget = c.budget;
        options.max_open_windows = c.max_windows;
        options.debug = c.debug;
        auto out = make_output(options);
        size_t reports = 0;
        for (const step &s : c.steps) {
            now_ = boot_ns + s.at_ms * 1000000;
            event_t event = write_event();
            if (s.what == 'b')
                event.range.second += 512;
            else if (s.what == 'p')
                event.ptid = uint64_t{4343} << 32;
            else if (s.what == 'z')
                event.op = 3;
            if (s.what == 't') {
                out->tick();
            } else {
                out->report(event);
                ++reports;
            }
        }
        out->stopped(0);
        const report_counts counts = out->counts();
        EXPECT_EQ(full_reports(), c.shown);
        EXPECT_EQ(counts.shown, c.shown);
        EXPECT_EQ(counts.coalesced, c.coalesced);
        EXPECT_EQ(counts.held_back, c.held_back);
        EXPECT_EQ(counts.shown + counts.coalesced + counts.held_back, counts.reports);
        EXPECT_EQ(counts.reports, reports);
        std::vector<std::string> summaries;
        for (const std::string &line : lines_of(out_))
            if (line.starts_with("coalesced:") || line.starts_with("held back:"))
                summaries.push_back(line);
        EXPECT_EQ(summaries, c.summaries);
    }
}

TEST_F(OutputTest, OneWritePerBatch)
{
    output_options options;
    options.coalesce_seconds = 0;
    auto out = make_output(options);
    for (uint64_t i = 0; i < 3; ++i)
        out->report(write_event(4096 * (i + 1)));
    EXPECT_EQ(writes_, 0u);
    out->flush();
    EXPECT_EQ(writes_, 1u);
    EXPECT_EQ(full_reports(), 3u);
}

TEST_F(OutputTest, SyslogGetsTheReportTextAndTheNoticesAsBefore)
{
    output_options options;
    options.syslog = true;
    auto out = make_output(options);
    out->started("wwid: " + wwid_hex + "\next4:[0, 1048576) \n", {});
    out->report(write_event());
    out->lost(loss_counts{5, 7, 0, 0});
    out->stopped(7);
    out->flush();
    ASSERT_EQ(syslog_.size(), 5u);
    EXPECT_EQ(syslog_[0], std::make_pair(LOG_INFO, "wwid: " + wwid_hex + "\next4:[0, 1048576) \n"));
    EXPECT_EQ(syslog_[1].first, LOG_WARNING);
    EXPECT_EQ(syslog_[1].second, out_.substr(out_.find("[2024"), syslog_[1].second.size()));
    EXPECT_TRUE(syslog_[1].second.ends_with("0x3008 ext4_buffered_write_iter 0x3000+0x8\n"));
    EXPECT_EQ(syslog_[2], std::make_pair(LOG_WARNING, std::string("warning: 5 reports lost, the "
                                                                  "ring buffer was full (7 in "
                                                                  "total)\n")));
    EXPECT_EQ(syslog_[3],
              std::make_pair(LOG_INFO, std::string("corvane stopped: 1 reports, 7 lost")));
    EXPECT_EQ(err_, syslog_[2].second);
    EXPECT_TRUE(journal_.empty());
}

nlohmann::json only_record(const std::string &text)
{
    const std::vector<std::string> lines = lines_of(text);
    EXPECT_EQ(lines.size(), 1u) << text;
    return nlohmann::json::parse(lines.at(0));
}

TEST_F(OutputTest, JsonRecordOfADirectWrite)
{
    output_options options;
    options.format = output_format::json;
    auto out = make_output(options);
    now_ += 123456789;
    out->report(write_event());
    out->flush();
    const nlohmann::json record = only_record(out_);
    const nlohmann::json expected = nlohmann::json::parse(R"({
        "schema": 1, "time": "2024-05-01T13:45:07.123456789Z", "host": "sanhost",
        "machine_id": "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
        "boot_id": "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb",
        "event": "write", "operation": "write", "fs_type": "ext4",
        "wwid": "00112233445566778899aabbccddeeff",
        "range": {"first": 4096, "second": 8192, "length": 4096},
        "watched_range": {"first": 0, "second": 1048576, "kind": "metadata"},
        "device": "8:17",
        "watched_fs": {"id": 1, "path": "/dev/sdb1", "device": "8:17", "chain": ["8:17", "8:16"]},
        "process": {"name": "dd", "pid": 4242, "tid": 4243, "uid": 1000, "cgroup_id": 77},
        "stack": [{"address": "0x2034", "symbol": "submit_bio_noacct", "offset": 52},
                  {"address": "0x3008", "symbol": "ext4_buffered_write_iter", "offset": 8}]
    })");
    EXPECT_EQ(record, expected) << record.dump(2);
    EXPECT_TRUE(err_.empty());
}

TEST_F(OutputTest, JsonFieldsPerKindOfRecord)
{
    const struct {
        uint32_t type;
        uint32_t op;
        std::string detail;
        const char *field_checks; // JSON object whose members must be equal in the record
    } cases[] = {
        {ENUM_EVENT_TYPE_SUBMIT_BIO, 3, "", R"j({"event": "write", "operation": "discard"})j"},
        {ENUM_EVENT_TYPE_SUBMIT_BIO, 5, "", R"j({"operation": "secure-erase"})j"},
        {ENUM_EVENT_TYPE_SUBMIT_BIO, 9, "", R"j({"operation": "write-zeroes"})j"},
        {ENUM_EVENT_TYPE_SUBMIT_BIO, 13, "", R"j({"operation": "zone-append"})j"},
        {ENUM_EVENT_TYPE_IOMAP_WRITE_ITER, 0, "", R"j({"operation": "buffered-write"})j"},
        {ENUM_EVENT_TYPE_MMAP_WRITE, 0, "", R"j({"operation": "mmap-write"})j"},
        {ENUM_EVENT_TYPE_SCSI_COMMAND, 0x2a,
         std::string("\x2a\x00\x00\x00\x00\x08\x00\x00\x08\x00", 10),
         R"j({"operation": "scsi", "scsi_command": "WRITE(10)", "cdb": "2a000000000800000800"})j"},
        {ENUM_EVENT_TYPE_SCSI_COMMAND, 0x93, "\x93",
         R"j({"scsi_command": "WRITE SAME(16)", "cdb": "93000000000000000000000000000000"})j"},
        {ENUM_EVENT_TYPE_MOUNT, 0, "/dev/sdb1",
         R"j({"event": "mount", "source": "/dev/sdb1", "mount_fs_type": "xfs"})j"},
        {ENUM_EVENT_TYPE_MOUNT_TWICE, 0, "bad\nsource\xff",
         R"j({"event": "double_mount", "source": "bad\\x0asource\\xff"})j"},
        {ENUM_EVENT_TYPE_UMOUNT, 0, "", R"j({"event": "unmount"})j"},
        {77, 0, "", R"j({"event": "unknown", "type": 77})j"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.field_checks);
        out_.clear();
        output_options options;
        options.format = output_format::json;
        auto out = make_output(options);
        event_t event = write_event();
        std::memcpy(&event.type, &c.type, sizeof(event.type));
        event.op = c.op;
        event.mount_type = ENUM_FS_TYPE_XFS;
        std::memcpy(event.detail, c.detail.data(), c.detail.size());
        if (c.type == ENUM_EVENT_TYPE_UMOUNT)
            out->unmounted(event);
        else
            out->report(event);
        out->flush();
        const nlohmann::json record = only_record(out_);
        const nlohmann::json checks = nlohmann::json::parse(c.field_checks);
        for (const auto &[key, value] : checks.items())
            EXPECT_EQ(record[key], value) << key;
        const bool mount = c.type == ENUM_EVENT_TYPE_MOUNT || c.type == ENUM_EVENT_TYPE_MOUNT_TWICE;
        EXPECT_EQ(record.contains("source"), mount);
        EXPECT_EQ(record.contains("operation"), c.type <= ENUM_EVENT_TYPE_SCSI_COMMAND && !mount &&
                                                    c.type != ENUM_EVENT_TYPE_UMOUNT);
        EXPECT_EQ(record.contains("watched_range"), c.type != ENUM_EVENT_TYPE_UMOUNT);
    }
}

TEST_F(OutputTest, JsonRecordsOfEveryKindMatchTheSchema)
{
    const std::string schema = std::string(CORVANE_SOURCE_DIR) + "/docs/corvane-events.schema.json";
    REQUIRE_OR_SKIP(test_support::run("python3 -c 'import jsonschema'").status == 0,
                    "python3-jsonschema is not installed");
    output_options options;
    options.format = output_format::json;
    options.report_budget = 1;
    auto out = make_output(options);
    out->started("listing\n", {{"monitor_submit_bio", "fentry", "submit_bio_noacct"},
                               {"monitor_scsi_command", "", ""}});
    event_t event = write_event();
    for (uint32_t type :
         std::initializer_list<uint32_t>{ENUM_EVENT_TYPE_SUBMIT_BIO, ENUM_EVENT_TYPE_SCSI_COMMAND,
                                         ENUM_EVENT_TYPE_MOUNT, ENUM_EVENT_TYPE_MOUNT_TWICE, 77u}) {
        now_ += 2 * second_ns; // a budget second of its own
        std::memcpy(&event.type, &type, sizeof(type));
        event.nsec = now_;
        out->report(event);
        out->report(event); // coalesced
    }
    event.type = ENUM_EVENT_TYPE_UMOUNT;
    event.range.source = 99; // no such watched file system
    out->unmounted(event);
    out->report(write_event(1 << 16, 9)); // held back
    out->watched_set_changed("reload");
    out->lost(loss_counts{1, 1, 2, 2});
    out->stopped(1);
    out->flush();

    std::set<std::string> kinds;
    for (const std::string &line : lines_of(out_))
        kinds.insert(nlohmann::json::parse(line)["event"]);
    EXPECT_EQ(kinds, (std::set<std::string>{"write", "mount", "double_mount", "unmount", "unknown",
                                            "coalesced", "held_back", "started",
                                            "watched_set_changed", "lost", "stopped"}));

    const std::string records = (dir_.path() / "records.jsonl").string();
    std::ofstream(records) << out_ << R"({"schema": 1, "event": "write"})"
                           << "\n";
    const std::string validate =
        "import json, sys, jsonschema\n"
        "schema = json.load(open(sys.argv[1]))\n"
        "jsonschema.Draft7Validator.check_schema(schema)\n"
        "v = jsonschema.Draft7Validator(schema)\n"
        "for n, line in enumerate(open(sys.argv[2]), 1):\n"
        "    errors = [e.message for e in v.iter_errors(json.loads(line))]\n"
        "    print(n, 'valid' if not errors else 'invalid: ' + '; '.join(errors))\n";
    std::ofstream((dir_.path() / "validate.py").string()) << validate;
    const auto result = test_support::run("python3 " + (dir_.path() / "validate.py").string() +
                                          " " + schema + " " + records);
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> verdicts = lines_of(result.out);
    ASSERT_EQ(verdicts.size(), lines_of(out_).size() + 1);
    for (size_t i = 0; i + 1 < verdicts.size(); ++i)
        EXPECT_EQ(verdicts[i], std::to_string(i + 1) + " valid") << lines_of(out_)[i];
    // The schema is no formality: a record without its fields fails.
    EXPECT_NE(verdicts.back().find("invalid"), std::string::npos);
}

// Beside JSON, the human lines go to standard error: standard output stays parseable.
TEST_F(OutputTest, JsonLeavesStandardOutputToRecords)
{
    output_options options;
    options.format = output_format::json;
    options.debug = true;
    auto out = make_output(options);
    out->started("wwid: x\n", {});
    out->report(write_event());
    out->stopped(0);
    for (const std::string &line : lines_of(out_))
        EXPECT_NO_THROW(nlohmann::json::parse(line)) << line;
    EXPECT_NE(err_.find("wwid: x\n"), std::string::npos);
    EXPECT_NE(err_.find("init start_time: "), std::string::npos);
    EXPECT_NE(err_.find("corvane stopped: 1 reports, 0 lost\n"), std::string::npos);
}

TEST_F(OutputTest, JournalEntriesCarryTheRecordsFacts)
{
    output_options options;
    options.syslog = true;
    options.journal = true;
    options.report_budget = 1;
    auto out = make_output(options);
    event_t event = write_event();
    out->report(event);
    out->report(event);
    out->report(write_event(1 << 16));
    event.type = ENUM_EVENT_TYPE_MOUNT_TWICE;
    event.mount_type = ENUM_FS_TYPE_EXT4;
    std::strcpy(event.detail, "/dev/sdc");
    now_ += 2 * second_ns;
    out->report(event);
    out->stopped(0);
    EXPECT_TRUE(syslog_.empty());
    ASSERT_EQ(journal_.size(), 5u); // write, double mount, coalesced, held back, stopped

    auto fields_of = [](const journal_entry &entry) {
        std::map<std::string, std::string> fields;
        for (const std::string &item : entry)
            fields[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);
        return fields;
    };
    auto write = fields_of(journal_[0]);
    const std::map<std::string, std::string> expected_write = {
        // clang-format off
        {"MESSAGE_ID", "b16a68531b6646fcba589c9d7e4379b5"}, {"PRIORITY", "4"},
        {"SYSLOG_IDENTIFIER", "vorel-corvane"}, {"SYSLOG_FACILITY", "3"},
        {"CORVANE_KIND", "write"}, {"CORVANE_OPERATION", "write"}, {"CORVANE_COMM", "dd"},
        {"CORVANE_PID", "4242"}, {"CORVANE_TID", "4243"}, {"CORVANE_UID", "1000"},
        {"CORVANE_CGROUP_ID", "77"}, {"CORVANE_WWID", wwid_hex}, {"CORVANE_FS_TYPE", "ext4"},
        {"CORVANE_FIRST", "4096"}, {"CORVANE_SECOND", "8192"}, {"CORVANE_WATCHED_FIRST", "0"},
        {"CORVANE_WATCHED_SECOND", "1048576"}, {"CORVANE_DEVICE", "8:17"},
        {"CORVANE_WATCHED_PATH", "/dev/sdb1"},
        // clang-format on
    };
    for (const auto &[field, value] : expected_write)
        EXPECT_EQ(write[field], value) << field;
    EXPECT_TRUE(
        write["MESSAGE"].starts_with("[2024-05-01 13:45:07.000000] dd(4242)\ndirect write "));
    EXPECT_EQ(write.size(), expected_write.size() + 1);

    const struct {
        size_t index;
        const char *kind;
        const char *priority;
        std::map<std::string, std::string> fields;
    } others[] = {
        // clang-format off
        {1, "held_back", "4", {{"CORVANE_COUNT", "1"}, {"CORVANE_BUDGET", "1"}}},
        {2, "double_mount", "4",
         {{"CORVANE_MOUNT_SOURCE", "/dev/sdc"}, {"CORVANE_MOUNT_FS_TYPE", "ext4"}}},
        {3, "coalesced", "4",
         {{"CORVANE_COUNT", "1"}, {"CORVANE_REPORT_KIND", "write"}, {"CORVANE_FIRST", "4096"}}},
        {4, "stopped", "6", {{"CORVANE_REPORTS", "4"}, {"CORVANE_SHOWN", "2"}}},
        // clang-format on
    };
    for (const auto &other : others) {
        SCOPED_TRACE(other.kind);
        auto fields = fields_of(journal_[other.index]);
        EXPECT_EQ(fields["CORVANE_KIND"], other.kind);
        EXPECT_EQ(fields["PRIORITY"], other.priority);
        EXPECT_EQ(fields["MESSAGE_ID"].size(), 32u);
        for (const auto &[field, value] : other.fields)
            EXPECT_EQ(fields[field], value) << field;
    }
}

// Real cgroup ids of this machine: a cgroup made for the test, and the root.
TEST_F(OutputTest, CgroupPathsOfRealIds)
{
    cgroup_paths paths;
    REQUIRE_OR_SKIP(!paths.mount_point().empty(), "no cgroup2 mount");
    const std::filesystem::path made =
        std::filesystem::path(paths.mount_point()) / ("corvane-test-" + std::to_string(getpid()));
    REQUIRE_OR_SKIP(mkdir(made.c_str(), 0755) == 0, "cannot make a cgroup here");
    struct stat root_stat {};
    struct stat made_stat {};
    stat(paths.mount_point().c_str(), &root_stat);
    stat(made.c_str(), &made_stat);
    const auto root = paths.path_of(root_stat.st_ino);
    const auto child = paths.path_of(made_stat.st_ino);
    rmdir(made.c_str());
    REQUIRE_OR_SKIP(root.has_value(), "open_by_handle_at refused (CAP_DAC_READ_SEARCH?)");
    EXPECT_EQ(*root, "/");
    EXPECT_EQ(child, "/" + made.filename().string());
    EXPECT_FALSE(paths.path_of(made_stat.st_ino + (uint64_t{1} << 40)).has_value());
}

} // namespace
