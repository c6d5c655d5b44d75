#include "cli_parser/cli_parser.h"

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include <CLI/CLI.hpp>

#include "base/corvane.h"

namespace {

// Reads the -m value like strtoull with base 0 (decimal, 0x hex, leading-zero octal);
// the whole text must be consumed, and an empty value means 0.
bool parse_mask_value(const std::string &text, uint64_t &value)
{
    if (text.empty()) {
        value = 0;
        return true;
    }
    if (text.front() == '-' || text.front() == '+' ||
        std::isspace(static_cast<unsigned char>(text.front())))
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end != text.c_str() + text.size())
        return false;
    value = parsed;
    return true;
}

void define_options(CLI::App &app, command_line &out)
{
    app.add_flag("-a,--all", out.whole,
                 "Set the effective scope of corvane to the entire filesystem,  by default only "
                 "the metadata area is monitored.");
    app.add_flag("-d,--daemon", out.daemon, "output log to messages.");
    app.add_option_function<std::string>(
           "-m,--mask",
           [&out](const std::string &text) {
               uint64_t value = 0;
               if (!parse_mask_value(text, value))
                   throw CLI::ConversionError(text, "--mask");
               out.mask = value;
           },
           "debug level, 0(default) or 1.")
        ->type_name("UINT");
    app.add_flag("-M,--mounted", out.mounted,
                 "Also watch every ext4 and xfs mounted from SCSI-backed storage, now and later.");
    app.add_option("--format", out.format,
                   "Report format: text (default) or json (one object per line on standard "
                   "output; other messages go to standard error).")
        ->check(CLI::IsMember({"text", "json"}));
    app.add_option("--coalesce", out.coalesce_seconds,
                   "Show identical reports (same process, kind, disk and byte range) once per "
                   "this many seconds and count the rest; 0 shows every one. Default 10.")
        ->type_name("SECONDS")
        ->check(CLI::Range(uint64_t{0}, uint64_t{UINT32_MAX}));
    app.add_option("--report-budget", out.report_budget,
                   "Show at most this many full reports per second and count the rest; 0: no "
                   "limit. Default 100.")
        ->type_name("N")
        ->check(CLI::Range(uint64_t{0}, uint64_t{UINT32_MAX}));
    app.add_option("path", out.paths, "Path to the device file where the file system is located.")
        ->type_name("TEXT")
        ->check(CLI::ExistingFile);
    app.add_option("--config", out.config_path,
                   "Configuration file (default /etc/corvane/corvane.conf; its drop-ins are "
                   "the *.conf files in the conf.d folder beside it).")
        ->type_name("PATH");
    app.add_flag("--check-config", out.check_config,
                 "Check the configuration, print the settings in effect and exit.");
    app.add_flag("--version", out.version, "Print the version and exit.");
}

void define_check(CLI::App &app, command_line &out)
{
    CLI::App *check = app.add_subcommand(
        "check", "Tell whether monitoring can work on this machine, and for each device given "
                 "(or configured) what would be watched.");
    // --config and the parent's other options are accepted after "check" too.
    check->fallthrough();
    check->add_flag("--json", out.json, "Print the result as one JSON document.");
    check->add_option("path", out.paths, "Device to analyse.")
        ->type_name("TEXT")
        ->check(CLI::ExistingFile);
}

// Long names of the options that were given, so that the configuration file
// does not override them.
void record_given(const CLI::App &app, std::set<std::string> &given)
{
    for (const CLI::Option *option : app.get_options()) {
        if (option->count() == 0)
            continue;
        if (option->get_positional())
            given.insert(option->get_name());
        for (const std::string &name : option->get_lnames())
            given.insert(name);
    }
}

} // namespace

bool parse_command_line(int argc, char **argv, command_line &out)
{
    CLI::App app{"corvane monitors every write event on given devices, and reports on those "
                 "writes that could corrupt the file system.",
                 ""};
    define_options(app, out);
    define_check(app, out);
    try {
        if (argc < 1)
            throw CLI::ArgumentMismatch("the argument vector is empty");
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return false;
    }
    record_given(app, out.given);
    if (CLI::App *check = app.get_subcommand("check"); check->parsed()) {
        out.check = true;
        record_given(*check, out.given);
    }
    return true;
}

bool has_something_to_watch(const command_line &cli)
{
    if (!cli.paths.empty() || cli.mounted)
        return true;
    std::cerr << "path is required: give devices on the command line, or devices or mounted in "
                 "the configuration file (see corvane.conf(5))"
              << std::endl;
    return false;
}
