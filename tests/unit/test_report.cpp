// Report text of one event record: time stamp, kind line and symbolised stack.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <time.h>

#include "kallsyms_parser/kallsyms_parser.h"
#include "output/report.h"
#include "test_support.h"

namespace {

constexpr int64_t second_ns = 1000000000;
// 2024-05-01 13:45:07 UTC.
constexpr int64_t may_first_2024 = 1714571107;
const std::string kind_rest = "ext4's metadata: [4096, 8192) (+4096) on device wwid: "
                              "00112233445566778899aabbccddeeff";

class ReportTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        write_symbols("1200 T iomap_write_iter\n"
                      "2000 t submit_bio\n"
                      "3000 t ext4_buffered_write_iter\t[ext4]\n");
        base_.start_time = may_first_2024 * second_ns;
        base_.boot_time = 5000 * second_ns;
    }

    void write_symbols(const char *table)
    {
        std::string path = (dir_.path() / "kallsyms").string();
        std::ofstream(path) << table;
        ASSERT_TRUE(symbols_.parse(path));
    }

    // A buffered write by dd(4242) at exactly the base time, without stack.
    event_t make_event()
    {
        event_t event;
        std::memset(&event, 0xa5, sizeof(event)); // unfilled fields hold junk
        event.ptid = (uint64_t{4242} << 32) | 4243;
        event.nsec = base_.boot_time;
        event.stack_size = 0;
        event.range.first = 4096;
        event.range.second = 8192;
        event.range.type = ENUM_FS_TYPE_EXT4;
        event.type = ENUM_EVENT_TYPE_IOMAP_WRITE_ITER;
        std::memset(event.comm, 0, sizeof(event.comm));
        std::strcpy(event.comm, "dd");
        for (int i = 0; i < 16; ++i)
            event.wwid.buf[i] = static_cast<uint8_t>(i * 0x11);
        std::memset(event.ip, 0, sizeof(event.ip));
        return event;
    }

    std::vector<std::string> report_lines(const event_t &event)
    {
        std::string text = format_report(event, symbols_, base_);
        EXPECT_EQ(text.back(), '\n');
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    test_support::temp_dir dir_;
    kallsyms_parser symbols_;
    time_base base_{};
};

TEST_F(ReportTest, KindLinePerEventType)
{
    event_t event = make_event();
    event.mount_type = ENUM_FS_TYPE_XFS;
    event.detail[0] = static_cast<char>(0x93);
    struct {
        uint32_t type;
        uint32_t op;
        std::string prefix;
    } cases[] = {
        {ENUM_EVENT_TYPE_SUBMIT_BIO, 1, "direct write "},
        {ENUM_EVENT_TYPE_SUBMIT_BIO, 3, "discard "},
        {ENUM_EVENT_TYPE_SUBMIT_BIO, 5, "secure erase "},
        {ENUM_EVENT_TYPE_SUBMIT_BIO, 9, "write-zeroes "},
        {ENUM_EVENT_TYPE_SUBMIT_BIO, 13, "zone append "},
        {ENUM_EVENT_TYPE_IOMAP_WRITE_ITER, 0, "buffered write "},
        {ENUM_EVENT_TYPE_MMAP_WRITE, 0, "mmap write "},
        {ENUM_EVENT_TYPE_SCSI_COMMAND, 0x93, "SCSI WRITE SAME(16) "},
        {ENUM_EVENT_TYPE_MOUNT, 0, "wanna mount a xfs from "},
        {ENUM_EVENT_TYPE_MOUNT_TWICE, 0, "wanna mount a xfs from a mounted "},
        {ENUM_EVENT_TYPE_UNKNOWN, 0, ""},
        {77, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.prefix);
        std::memcpy(&event.type, &c.type, sizeof(event.type));
        event.op = c.op;
        EXPECT_EQ(report_lines(event).at(1), c.prefix + kind_rest);
    }
}

TEST_F(ReportTest, TimeTextZeroFillsMicrosecondsAlsoBeforeTheBase)
{
    EXPECT_EQ(format_event_time(base_.boot_time, base_), "2024-05-01 13:45:07.000000");
    EXPECT_EQ(format_event_time(base_.boot_time + 123456, base_), "2024-05-01 13:45:07.000123");
    // 1.5 s before the base: 13:45:05.500000, not 13:45:06 with a wrong fraction.
    EXPECT_EQ(format_event_time(base_.boot_time - 1500000000, base_), "2024-05-01 13:45:05.500000");
    // A clock set before the epoch: the fraction still counts forward from the second.
    time_base early{1 * second_ns, base_.boot_time};
    EXPECT_EQ(format_event_time(base_.boot_time - 2500000000, early), "1969-12-31 23:59:58.500000");
    // The cached text of a second is not reused for the next one.
    time_text times;
    std::string text;
    times.append(text, base_.boot_time + 999999999, base_);
    times.append(text, base_.boot_time + 1000000000, base_);
    EXPECT_EQ(text, "2024-05-01 13:45:07.9999992024-05-01 13:45:08.000000");
}

TEST_F(ReportTest, HeaderAndStackLines)
{
    event_t event = make_event();
    event.nsec += 123000;
    event.stack_size = 5;
    event.ip[0] = 0x1234;
    event.ip[1] = 0;    // skipped
    event.ip[2] = 0x10; // below every symbol
    event.ip[3] = 0x3000;
    event.ip[4] = 0xffffffff81234567; // above the last symbol
    event.ip[5] = 0x1200;             // past stack_size
    std::vector<std::string> lines = report_lines(event);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "[2024-05-01 13:45:07.000123] dd(4242)");
    EXPECT_EQ(lines[1], "buffered write " + kind_rest);
    EXPECT_EQ(lines[2], "0x1234 iomap_write_iter 0x1200+0x34");
    EXPECT_EQ(lines[3], "0x10 unknown_ksym 0x0+0x10");
    EXPECT_EQ(lines[4], "0x3000 ext4_buffered_write_iter 0x3000+0x0");
    EXPECT_EQ(lines[5], "0xffffffff81234567 ext4_buffered_write_iter 0x3000+0xffffffff81231567");
}

TEST_F(ReportTest, StackSizeAboveThirtyTwoReadsOnlyTheSlots)
{
    event_t event = make_event();
    for (int i = 0; i < PERF_MAX_STACK_DEPTH; ++i)
        event.ip[i] = 0x2000 + i;
    event.stack_size = UINT64_MAX;
    std::vector<std::string> lines = report_lines(event);
    ASSERT_EQ(lines.size(), 34u);
    EXPECT_EQ(lines.back(), "0x201f submit_bio 0x2000+0x1f");
}

TEST_F(ReportTest, TheProbedFunctionFirst)
{
    event_t event = make_event();
    event.type = ENUM_EVENT_TYPE_SUBMIT_BIO;
    // The frames before the probed function are the probe's own.
    event.stack_size = 3;
    event.ip[0] = 0x1234;
    event.ip[1] = 0x2008;
    event.ip[2] = 0x3004;
    event.func_ip = 0x2000;
    std::vector<std::string> lines = report_lines(event);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "0x2008 submit_bio 0x2000+0x8");
}

TEST_F(ReportTest, ProcessNamesAreEscapedAndBounded)
{
    const struct {
        const char *comm; // 16 bytes, not always terminated
        const char *header_name;
    } cases[] = {
        {"a\nb\\c\xff\x1b[\0\0\0\0\0\0\0", "a\\x0ab\\\\c\\xff\\x1b["},
        {"abcdefghijklmnop", "abcdefghijklmnop"},
        {"caf\xc3\xa9\0\0\0\0\0\0\0\0\0\0\0", "caf\xc3\xa9"},
    };
    for (const auto &c : cases) {
        event_t event = make_event();
        std::memcpy(event.comm, c.comm, sizeof(event.comm));
        EXPECT_EQ(report_lines(event).at(0),
                  std::string("[2024-05-01 13:45:07.000000] ") + c.header_name + "(4242)");
    }
}

// Cached frames go with the table they were looked up in.
TEST_F(ReportTest, FramesFollowTheSymbolTableWhenItIsReadAgain)
{
    frame_cache frames(symbols_);
    EXPECT_EQ(frames.lookup(0x2008).name(), "submit_bio");
    write_symbols("2000 t submit_bio_noacct\n");
    const frame_cache::frame &frame = frames.lookup(0x2008);
    EXPECT_EQ(frame.name(), "submit_bio_noacct");
    EXPECT_EQ(frame.line, "0x2008 submit_bio_noacct 0x2000+0x8\n");
}

} // namespace
