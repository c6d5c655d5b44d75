// The configuration file and its drop-ins: what is accepted, where each
// error is placed (file, line, key), and which file wins.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "config/config.h"
#include "test_support.h"

namespace {

void write_file(const std::filesystem::path &path, const std::string &text)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::string load_error(const std::string &path, bool required = true)
{
    try {
        load_configuration(path, required);
    } catch (const config_error &e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(Config, EveryKeyIsReadIntoItsSetting)
{
    test_support::temp_dir dir;
    const std::string main_file = (dir.path() / "corvane.conf").string();
    write_file(main_file, "# every key\n"
                          "devices = [\"/dev/mapper/mpatha\", \"/dev/sdc1\"]\n"
                          "mounted = true\nwhole = true\ndaemon = true\nmask = 0x1\n"
                          "format = \"json\"\ncoalesce = 30\nreport_budget = 1000\n");
    const configuration config = load_configuration(main_file, true);
    EXPECT_EQ(config.files, std::vector<std::string>{main_file});
    EXPECT_EQ(config.values.paths, (std::vector<std::string>{"/dev/mapper/mpatha", "/dev/sdc1"}));
    EXPECT_TRUE(config.values.mounted);
    EXPECT_TRUE(config.values.whole);
    EXPECT_TRUE(config.values.daemon);
    EXPECT_EQ(config.values.mask, 1u);
    EXPECT_EQ(config.values.format, "json");
    EXPECT_EQ(config.values.coalesce_seconds, 30u);
    EXPECT_EQ(config.values.report_budget, 1000u);
    EXPECT_EQ(config.keys.size(), config_keys().size());
}

TEST(Config, ErrorsNameFileLineAndKey)
{
    const struct {
        const char *text;
        const char *error; // after "<file>:"
    } cases[] = {
        {"report_budget = -1\n", "1: key \"report_budget\": expected a non-negative integer"},
        {"\n\nmask = \"1\"\n", "3: key \"mask\": expected a non-negative integer"},
        {"coalesce = 1.5\n", "1: key \"coalesce\": expected a non-negative integer"},
        {"whole = 1\n", "1: key \"whole\": expected true or false"},
        {"mounted = \"yes\"\n", "1: key \"mounted\": expected true or false"},
        {"format = \"xml\"\n",
         "1: key \"format\": expected one of \"text\", \"json\""},
        {"devices = \"/dev/sdb\"\n", "1: key \"devices\": expected an array of device paths, "
                                     "e.g. [\"/dev/mapper/mpatha\"]"},
        {"devices = [\n  \"/dev/sdb\",\n  \"sdc\",\n]\n",
         "3: key \"devices\": expected an absolute device path"},
        {"devices = [\"/dev/sdb\", 7]\n", "1: key \"devices\": expected an absolute device path"},
        {"whole = true\nbogus = 1\n", "2: key \"bogus\": unknown key"},
        {"[output]\nformat = \"json\"\n", "1: key \"output\": unknown key"},
        {"daemon = true\nsyslog = false\n",
         "2: key \"syslog\": sets what \"daemon\" set on line 1"},
        {"whole = true\nwhole = false\n",
         "2: Error while parsing key-value pair: cannot redefine existing boolean 'whole'"},
        {"whole = \n", "1: Error while parsing key-value pair"},
    };
    test_support::temp_dir dir;
    const std::string file = (dir.path() / "corvane.conf").string();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        write_file(file, c.text);
        EXPECT_EQ(load_error(file).rfind(file + ":" + c.error, 0), 0u) << load_error(file);
    }
}

TEST(Config, DropInsAreReadInNameOrderAndLaterKeysWin)
{
    test_support::temp_dir dir;
    const std::string main_file = (dir.path() / "corvane.conf").string();
    write_file(main_file, "devices = [\"/dev/sdb\"]\nreport_budget = 10\nmask = 1\n");
    write_file(dir.path() / "conf.d/20-late.conf", "report_budget = 30\n");
    write_file(dir.path() / "conf.d/10-early.conf",
               "report_budget = 20\ndevices = [\"/dev/sdc\"]\n");
    write_file(dir.path() / "conf.d/15-not-a-drop-in.toml", "bogus = 1\n");
    write_file(dir.path() / "conf.d/.30-hidden.conf", "bogus = 1\n");
    std::filesystem::create_directories(dir.path() / "conf.d/40-folder.conf");

    const configuration config = load_configuration(main_file, true);
    EXPECT_EQ(config.files,
              (std::vector<std::string>{main_file, (dir.path() / "conf.d/10-early.conf").string(),
                                        (dir.path() / "conf.d/20-late.conf").string()}));
    EXPECT_EQ(config.values.report_budget, 30u);
    EXPECT_EQ(config.values.paths, std::vector<std::string>{"/dev/sdc"}); // replaced, not appended
    EXPECT_EQ(config.values.mask, 1u);

    // An error in a drop-in names the drop-in.
    write_file(dir.path() / "conf.d/10-san.conf", "\n\nreport_budget = -5\n");
    EXPECT_EQ(load_error(main_file),
              (dir.path() / "conf.d/10-san.conf").string() +
                  ":3: key \"report_budget\": expected a non-negative integer");
}

TEST(Config, MissingFileIsAnErrorOnlyWhenNamed)
{
    test_support::temp_dir dir;
    const std::string missing = (dir.path() / "corvane.conf").string();
    EXPECT_EQ(load_error(missing), missing + ": cannot read: No such file or directory");
    EXPECT_EQ(load_error(missing, false), "");

    // The drop-ins of a missing default file still count.
    write_file(dir.path() / "conf.d/10-san.conf", "mounted = true\n");
    const configuration config = load_configuration(missing, false);
    EXPECT_TRUE(config.values.mounted);
    EXPECT_EQ(config.files.size(), 1u);
}

TEST(Config, CommandLineOptionsOverrideTheFile)
{
    configuration config;
    config.values.paths = {"/dev/sdb"};
    config.values.whole = true;
    config.values.report_budget = 50;
    config.keys = {"devices", "whole", "report_budget"};

    command_line cli;
    cli.paths = {"/dev/sdz"};
    cli.report_budget = 7;
    cli.given = {"path", "report-budget"};
    apply_configuration(config, cli);
    EXPECT_EQ(cli.paths, std::vector<std::string>{"/dev/sdz"});
    EXPECT_EQ(cli.report_budget, 7u);
    EXPECT_TRUE(cli.whole);  // from the file
    EXPECT_EQ(cli.mask, 0u); // set nowhere
}

TEST(Config, SettingsAreWrittenAsValidToml)
{
    command_line cli;
    cli.paths = {"/dev/disk/by-id/wwn-0x6001405\"odd\\name"};
    cli.format = "json";
    test_support::temp_dir dir;
    const std::string file = (dir.path() / "corvane.conf").string();
    write_file(file, format_settings(cli));
    const configuration again = load_configuration(file, true);
    EXPECT_EQ(again.values.paths, cli.paths);
    EXPECT_EQ(again.values.format, "json");
    EXPECT_EQ(again.keys.size(), config_keys().size());
}

// The installed file sets nothing; its example and its list of every key,
// uncommented, are valid, and the list gives the defaults.
TEST(Config, ShippedFileAndItsCommentedExamples)
{
    const std::string shipped = CORVANE_SOURCE_DIR "/packaging/corvane.conf";
    const configuration as_installed = load_configuration(shipped, true);
    EXPECT_TRUE(as_installed.keys.empty());

    std::ifstream in(shipped);
    std::string example, every_key, line;
    bool in_list = false;
    while (std::getline(in, line)) {
        in_list = in_list || line.find("Every key") != std::string::npos;
        if (line.rfind("# ", 0) == 0 && line.find(" = ") != std::string::npos)
            (in_list ? every_key : example) += line.substr(2) + "\n";
    }
    test_support::temp_dir dir;
    const std::string file = (dir.path() / "corvane.conf").string();
    write_file(file, example);
    EXPECT_EQ(load_configuration(file, true).keys.size(), 3u) << example;

    write_file(file, every_key);
    const configuration defaults = load_configuration(file, true);
    EXPECT_EQ(defaults.keys.size(), config_keys().size());
    EXPECT_EQ(format_settings(defaults.values), format_settings(command_line{}));
}
