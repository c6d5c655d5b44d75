// corvane: watches every write reaching the disks under the given ext4/xfs
// file systems and reports those that could corrupt them.
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <iostream>

#include "base/corvane.h"
#include "check/check.h"
#include "cli_parser/cli_parser.h"
#include "config/config.h"
#include "device_parser/device_parser.h"
#include "drop_privilege/drop_privilege.h"
#include "fs_parser/fs_parser.h"
#include "kallsyms_parser/kallsyms_parser.h"
#include "monitor/monitor.h"
#include "resolver/resolver.h"
#include "tables.h"
#include "watch/watch_device.h"

namespace {

constexpr const char *kallsyms_path = "/proc/kallsyms";

enum exit_status {
    EXIT_NORMAL = 0,
    EXIT_BAD_COMMAND_LINE = 1,
    EXIT_NO_KERNEL_SYMBOLS = 2,
    EXIT_PROBES_FAILED = 3,
    EXIT_NOT_ROOT = 5,
};

bool has_code(ENUM_FS_TYPE type)
{
    return !kallsyms.fs_code_ranges(type).empty();
}

void watch_devices(watch_set &watched, const std::vector<std::string> &paths, bool whole,
                   const resolve_fn &resolve)
{
    for (const std::string &path : paths) {
        try {
            watched.add(watch_device(path, whole, has_code, resolve));
        } catch (const fs_parser_exception &e) {
            std::cout << e.what() << std::endl;
        } catch (const device_parser_exception &e) {
            std::cout << e.what() << std::endl;
        }
    }
}

// Applies the configuration files under the command line; false with the
// message in error when they are wrong.
bool configure(command_line &cli, std::vector<std::string> &files, std::string &error)
{
    const bool named = !cli.config_path.empty();
    try {
        configuration config =
            load_configuration(named ? cli.config_path : default_config_path, named);
        apply_configuration(config, cli);
        files = std::move(config.files);
        return true;
    } catch (const config_error &e) {
        error = e.what();
        return false;
    }
}

void block_stop_and_reload_signals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&signals, signal);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
}

void print_configuration(const command_line &cli, const std::vector<std::string> &files)
{
    std::cout << "configuration valid";
    for (size_t i = 0; i < files.size(); ++i)
        std::cout << (i == 0 ? ": " : ", ") << files[i];
    if (files.empty())
        std::cout << " (no file: defaults)";
    std::cout << "\n" << format_settings(cli) << std::flush;
}

} // namespace

int main(int argc, char **argv)
{
    close_inherited_fds();
    command_line cli;
    if (!parse_command_line(argc, argv, cli))
        return EXIT_BAD_COMMAND_LINE;
    if (cli.version) {
        std::cout << "corvane " << CORVANE_VERSION << std::endl;
        return EXIT_NORMAL;
    }
    std::vector<std::string> config_files;
    std::string config_error;
    const bool configured = configure(cli, config_files, config_error);
    if (cli.check)
        return run_check({cli.paths, cli.whole, cli.json, config_files, config_error});
    if (!configured) {
        std::cerr << config_error << std::endl;
        return EXIT_BAD_COMMAND_LINE;
    }
    if (cli.check_config) {
        print_configuration(cli, config_files);
        return EXIT_NORMAL;
    }
    if (!has_something_to_watch(cli))
        return EXIT_BAD_COMMAND_LINE;

    openlog("vorel-corvane", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    // Reading device-mapper tables needs CAP_SYS_ADMIN: a process of its own
    // keeps it; this one gives it up now.
    resolver_client resolver = start_resolver();
    drop_privilege();
    if (getuid() != 0) {
        std::cerr << (argc > 0 ? argv[0] : "corvane") << " need run as root" << std::endl;
        return EXIT_NOT_ROOT;
    }

    mask = cli.mask;
    daemon_flag = cli.daemon;
    monitor_options options;
    options.whole = cli.whole;
    options.daemon = cli.daemon;
    options.mounted = cli.mounted;
    if (debug_on())
        std::cout << "!!!!!!!debug mode!!!!!!!" << std::endl;

    if (!kallsyms.parse(kallsyms_path)) {
        std::cerr << "fail to read kernel symbol" << std::endl;
        return EXIT_NO_KERNEL_SYMBOLS;
    }

    watch_set watched;
    if (!resolver.note().empty() && debug_on())
        std::cout << "device resolution: " << resolver.note() << std::endl;
    watch_devices(watched, cli.paths, options.whole, resolve_through(resolver));
    if (watched.empty()) {
        std::cout << "No file system needs to be monitored." << std::endl;
        return EXIT_NORMAL;
    }

    // A stop or reload asked for while the probes start waits for the monitor
    // loop, which takes these signals: a stop then still ends with its closing line.
    block_stop_and_reload_signals();
    monitor running(watched, kallsyms, options, resolve_through(resolver));
    if (!running.start()) {
        std::cerr << "start bpf failed" << std::endl;
        return EXIT_PROBES_FAILED;
    }
    std::cout << "start monitor!" << std::endl;
    // Symbols loaded since start-up (the probes' own among them) become nameable.
    if (!kallsyms.parse(kallsyms_path)) {
        std::cerr << "fail to flush kernel symbol" << std::endl;
        return EXIT_NO_KERNEL_SYMBOLS;
    }
    return running.run();
}
