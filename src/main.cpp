// corvane: watches every write reaching the disks under the given ext4/xfs
// file systems and reports those that could corrupt them.
#include <syslog.h>
#include <unistd.h>

#include <iostream>

#include "base/corvane.h"
#include "check/check.h"
#include "cli_parser/cli_parser.h"
#include "config/config.h"
#include "corvane_ebpf/attach.h"
#include "device_parser/device_parser.h"
#include "drop_privilege/drop_privilege.h"
#include "fs_parser/fs_parser.h"
#include "kallsyms_parser/kallsyms_parser.h"
#include "monitor/monitor.h"
#include "resolver/resolver.h"
#include "topology/live_watch.h"
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
    const bool configured = apply_configuration_files(cli, config_files, config_error);
    if (cli.check)
        return run_check({cli.paths, cli.whole, cli.json, config_files, config_error});
    if (!configured) {
        std::cerr << config_error << std::endl;
        return EXIT_BAD_COMMAND_LINE;
    }
    if (cli.check_config) {
        std::cout << configuration_summary(cli, config_files) << std::flush;
        return EXIT_NORMAL;
    }
    if (!has_something_to_watch(cli))
        return EXIT_BAD_COMMAND_LINE;

    openlog("vorel-corvane", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    // Kprobes, where the probes need them, can be created only with
    // CAP_SYS_ADMIN on some kernels: before it goes.
    prepare_probe_attachment();
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
    options.output = output_options_of(cli, debug_on());
    if (options.output.format == output_format::json)
        options.output.out_fd = set_aside_stdout_for_records();
    if (debug_on())
        std::cout << "!!!!!!!debug mode!!!!!!!" << std::endl;

    if (!kallsyms.parse(kallsyms_path)) {
        std::cerr << "fail to read kernel symbol" << std::endl;
        return EXIT_NO_KERNEL_SYMBOLS;
    }

    watch_set watched;
    if (!resolver.note().empty() && debug_on())
        std::cout << "device resolution: " << resolver.note() << std::endl;
    const resolve_fn resolve = resolve_through(resolver);
    watch_devices(watched, cli.paths, options.whole, resolve);
    if (options.mounted)
        live_watch::watch_mounted_now(watched, [&](const std::string &path) {
            return watch_device(path, options.whole, has_code, resolve, true);
        });
    if (watched.empty() && !options.mounted) {
        std::cout << "No file system needs to be monitored." << std::endl;
        return EXIT_NORMAL;
    }

    hold_signals();
    monitor running(watched, kallsyms, options, resolve);
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
