// The command line, exit statuses and per-device failure handling, checked by
// running the built binary the way an operator would.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "test_support.h"

using test_support::command_result;
using test_support::run;

namespace {

const std::string corvane = CORVANE_BINARY;

command_result corvane_with(const std::string &args)
{
    return run(corvane + " " + args);
}

std::string make_regular_file(const test_support::temp_dir &dir)
{
    std::string path = (dir.path() / "plain").string();
    std::ofstream(path) << "not a device\n";
    return path;
}

} // namespace

TEST(CommandLine, HelpPrintsDescriptionAndExitsOne)
{
    command_result r = corvane_with("-h");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("corvane monitors every write event on given devices, and reports on "
                         "those writes that could corrupt the file system."),
              std::string::npos);
    for (const char *text :
         {"-a,--all", "-d,--daemon", "-m,--mask UINT", "-M,--mounted", "--format TEXT",
          "--coalesce SECONDS", "--report-budget N", "path TEXT", "debug level, 0(default) or 1.",
          "output log to messages.",
          "Set the effective scope of corvane to the entire filesystem,  by "
          "default only the metadata area is monitored.",
          "Path to the device file where the file system is located."})
        EXPECT_NE(r.out.find(text), std::string::npos) << text;
    EXPECT_NE(r.out.find("Usage: " + corvane), std::string::npos) << r.out;
}

TEST(CommandLine, ValidatorRejectsMissingPathAndDirectory)
{
    test_support::temp_dir dir;
    command_result missing = corvane_with((dir.path() / "nope").string());
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("File does not exist: " + (dir.path() / "nope").string()),
              std::string::npos)
        << missing.err;

    command_result directory = corvane_with(dir.path().string());
    EXPECT_EQ(directory.status, 1);
    EXPECT_NE(directory.err.find("File is actually a directory: " + dir.path().string()),
              std::string::npos)
        << directory.err;

    command_result none = corvane_with("");
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("path is required"), std::string::npos) << none.err;
}

TEST(CommandLine, OnlyBitZeroOfAWholeUnsignedMaskSwitchesDebugOn)
{
    test_support::temp_dir dir;
    std::string file = make_regular_file(dir);
    const std::string banner = "!!!!!!!debug mode!!!!!!!\n";
    const struct {
        const char *option;
        int status; // 1: refused
        bool debug;
    } cases[] = {
        {"-m 2", 0, false},  {"-m 0", 0, false},    {"-m 3", 0, true},
        {"-m 0x1", 0, true}, {"-m 1", 0, true},     {"-m 01", 0, true},
        {"-m 0X3", 0, true}, {"--mask=1", 0, true}, {"-m 18446744073709551615", 0, true},
        {"-m 1x", 1, false}, {"-m abc", 1, false},  {"-m -1", 1, false},
        {"-m 0x", 1, false}, {"-m 09", 1, false},   {"-m 18446744073709551616", 1, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.option);
        command_result r = corvane_with(std::string(c.option) + " " + file);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out.rfind(banner, 0) == 0, c.debug) << r.out;
        if (c.status != 0) {
            EXPECT_FALSE(r.err.empty());
        }
    }
}

// Output options; with JSON, standard output is left to the records, so the
// start-up text goes to standard error.
TEST(CommandLine, OutputOptions)
{
    test_support::temp_dir dir;
    std::string file = make_regular_file(dir);
    const std::string nothing = "No file system needs to be monitored.\n";
    const struct {
        const char *options;
        int status; // 1: refused
        bool text_on_stdout;
    } cases[] = {
        {"--format text", 0, true},   {"--format json", 0, false},
        {"--format=xml", 1, false},   {"--coalesce 0 --report-budget 0", 0, true},
        {"--coalesce 3600", 0, true}, {"--coalesce -1", 1, false},
        {"--coalesce ten", 1, false}, {"--report-budget 4294967296", 1, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        command_result r = corvane_with(std::string(c.options) + " " + file);
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status != 0)
            continue;
        EXPECT_EQ(r.out.ends_with(nothing), c.text_on_stdout) << r.out;
        EXPECT_EQ(r.err.ends_with(nothing), !c.text_on_stdout) << r.err;
    }
}

// Each path that fails says why; none left means nothing to monitor.
TEST(CommandLine, EveryPathFailingMeansNothingToMonitor)
{
    test_support::temp_dir dir;
    std::string file = make_regular_file(dir);
    command_result r = corvane_with(file + " " + file + " /dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "fs_parser error: it is not a block device\n"
                     "fs_parser error: it is not a block device\n"
                     "fs_parser error: it is not a block device\n"
                     "No file system needs to be monitored.\n");
}

// A path that fails does not stop the next one: the ext4 on the loop device
// is still analysed (and then rejected by device resolution, since a loop
// device is no SCSI disk).
TEST(CommandLine, FailingPathDoesNotStopTheNext)
{
    REQUIRE_OR_SKIP(test_support::loop_devices_available(), "needs root and loop devices");
    test_support::temp_dir dir;
    std::string image = (dir.path() / "ext4.img").string();
    ASSERT_EQ(run("truncate -s 64M " + image + " && mkfs.ext4 -q -F " + image).status, 0);
    test_support::loop_device loop(image);
    ASSERT_TRUE(loop.ok());

    command_result r = corvane_with(make_regular_file(dir) + " " + loop.device());
    EXPECT_EQ(r.status, 0);
    std::string number = loop.device().substr(std::string("/dev/loop").size());
    EXPECT_NE(r.out.find("fs_parser error: it is not a block device\ndev num: 7:" + number + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("device_parser error: 7:" + number + ": unknown device type.\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("No file system needs to be monitored.\n"), std::string::npos);
}

// Every range of a large map goes on: there is no cap.
TEST(CommandLine, EveryRangeOfALargeMapGoesOn)
{
    REQUIRE_OR_SKIP(test_support::loop_devices_available(), "needs root and loop devices");
    test_support::temp_dir dir;
    std::string image = (dir.path() / "many.img").string();
    ASSERT_EQ(run("truncate -s 8G " + image +
                  " && mkfs.ext4 -q -F -O ^flex_bg,^resize_inode -g 8192 " + image)
                  .status,
              0);
    test_support::loop_device loop(image);
    ASSERT_TRUE(loop.ok());

    command_result r = corvane_with("-m 1 " + loop.device());
    EXPECT_EQ(r.out.find("too many extents"), std::string::npos);
    size_t lines = 0;
    for (size_t at = r.out.find("fs range:["); at != std::string::npos;
         at = r.out.find("fs range:[", at + 1))
        ++lines;
    EXPECT_GT(lines, 128u); // the 256 groups' ranges, far past the old limit of 128
}
