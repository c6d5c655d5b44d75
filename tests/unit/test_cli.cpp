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

TEST(CommandLine, HelpAndUnusablePathsExitOne)
{
    test_support::temp_dir dir;
    const std::string missing = (dir.path() / "nope").string(), folder = dir.path().string();
    const struct {
        std::string args;
        bool on_stdout;
        std::string text;
    } cases[] = {
        {"-h", true, "Usage: " + corvane},
        {missing, false, "File does not exist: " + missing},
        {folder, false, "File is actually a directory: " + folder},
        {"", false, "path is required"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        command_result r = corvane_with(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE((c.on_stdout ? r.out : r.err).find(c.text), std::string::npos) << r.out << r.err;
    }
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
        // clang-format off
        {"-m 2", 0, false},  {"-m 0x1", 0, true}, {"--mask=01", 0, true},
        {"-m 18446744073709551615", 0, true},     {"-m 18446744073709551616", 1, false},
        {"-m 1x", 1, false}, {"-m -1", 1, false}, {"-m 0x", 1, false}, {"-m 09", 1, false},
        // clang-format on
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

// The file's settings under the command line's; --check-config prints them.
TEST(CommandLine, CheckConfigShowsTheFileUnderTheCommandLine)
{
    test_support::temp_dir dir;
    const std::string file = (dir.path() / "corvane.conf").string();
    std::ofstream(file) << "devices = [\"/dev/sdb\"]\nwhole = true\nmask = 1\n";
    std::filesystem::create_directories(dir.path() / "conf.d");
    std::ofstream(dir.path() / "conf.d/10-san.conf") << "mounted = true\n";

    command_result r =
        corvane_with("--config " + file + " --check-config --all=false -m 0 /dev/null");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "configuration valid: " + file + ", " +
                         (dir.path() / "conf.d/10-san.conf").string() +
                         "\ndevices = ['/dev/null']\nmounted = true\nwhole = false\ndaemon = "
                         "false\nmask = 0\nformat = 'text'\ncoalesce = 10\nreport_budget = 100\n");
}

// `corvane check --json`: one document whose "ready" agrees with the exit
// status and with "missing"; a device that cannot be resolved to SCSI disks
// still shows its analysis.
TEST(CommandLine, CheckJsonAgreesWithTheExitStatus)
{
    REQUIRE_OR_SKIP(test_support::loop_devices_available(), "needs root and loop devices");
    REQUIRE_OR_SKIP(test_support::have_program("python3"), "needs python3 to read JSON");
    test_support::temp_dir dir;
    std::string image = (dir.path() / "ext4.img").string();
    ASSERT_EQ(run("truncate -s 64M " + image + " && mkfs.ext4 -q -F -O mmp " + image).status, 0);
    test_support::loop_device loop(image);
    ASSERT_TRUE(loop.ok());

    const std::string reader =
        "import json, sys\n"
        "d = json.load(sys.stdin)\n"
        "assert set(d) == {'version', 'ready', 'missing', 'checks', 'attach', 'devices'}\n"
        "assert d['ready'] == (d['missing'] == [])\n"
        "for c in d['checks'].values(): assert set(c) == {'title', 'ok', 'required', 'detail'}\n"
        "for a in d['attach']: assert set(a) == {'probe', 'kind', 'function', 'required'}\n"
        "[dev] = d['devices']\n"
        "assert dev['type'] == 'ext4' and dev['ok'] is False and dev['error']\n"
        "assert dev['mmp']['state'] == 'clean'\n"
        "assert 'device ' + dev['path'] in d['missing']\n"
        "print('ready' if d['ready'] else 'not ready')\n";
    std::ofstream(dir.path() / "read.py") << reader;
    command_result json = corvane_with("check --json " + loop.device());
    std::ofstream(dir.path() / "check.json") << json.out;
    command_result read = run("python3 " + (dir.path() / "read.py").string() + " < " +
                              (dir.path() / "check.json").string());
    EXPECT_EQ(read.status, 0) << read.err << json.out;
    EXPECT_EQ(json.status, 1); // the loop device is no SCSI disk
    EXPECT_EQ(read.out, "not ready\n");

    command_result text = corvane_with("check " + loop.device());
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.out.find("  MMP: on, clean, last updated by node"), std::string::npos);
    const std::string last = text.out.substr(text.out.rfind('\n', text.out.size() - 2) + 1);
    EXPECT_EQ(last.rfind("not ready: missing ", 0), 0u) << last;
}
