#include "cli_parser/cli_parser.h"

#include <cerrno>
#include <cstdlib>

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
        ->type_name("SECONDS");
    app.add_option("--report-budget", out.report_budget,
                   "Show at most this many full reports per second and count the rest; 0: no "
                   "limit. Default 100.")
        ->type_name("N");
    app.add_option("path", out.paths, "Path to the device file where the file system is located.")
        ->type_name("TEXT")
        ->check(CLI::ExistingFile);
}

} // namespace

bool parse_command_line(int argc, char **argv, command_line &out)
{
    CLI::App app{"corvane monitors every write event on given devices, and reports on those "
                 "writes that could corrupt the file system.",
                 ""};
    define_options(app, out);
    try {
        if (argc < 1)
            throw CLI::ArgumentMismatch("the argument vector is empty");
        app.parse(argc, argv);
        // Device paths are needed unless mounted file systems are watched.
        if (out.paths.empty() && !out.mounted)
            throw CLI::RequiredError("path");
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return false;
    }
    return true;
}
