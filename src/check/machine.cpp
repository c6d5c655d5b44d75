// What the machine offers the probes: kernel, BTF, BPF features, lockdown,
// drivers, symbols, privileges.
#include <sys/capability.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <bpf/btf.h>
#include <bpf/libbpf.h>

#include "check/check.h"
#include "kallsyms_parser/kallsyms_parser.h"

namespace {

std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? text.str() : std::string();
}

std::string first_line(const std::string &text)
{
    return text.substr(0, text.find('\n'));
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

finding make(const char *id, const char *title, bool required, bool ok, std::string detail)
{
    return {id, title, ok, required, std::move(detail)};
}

struct kernel_release {
    std::string release;
    int major = 0;
    int minor = 0;
};

kernel_release running_kernel()
{
    utsname names{};
    uname(&names);
    kernel_release kernel{names.release};
    std::sscanf(names.release, "%d.%d", &kernel.major, &kernel.minor);
    return kernel;
}

finding check_kernel()
{
    utsname names{};
    uname(&names);
    return make("kernel", "kernel", true, true,
                std::string(names.sysname) + " " + names.release + " " + names.machine + " " +
                    names.version);
}

finding check_btf(const btf *vmlinux)
{
    if (vmlinux)
        return make("btf", "kernel BTF", true, true, "/sys/kernel/btf/vmlinux");
    return make("btf", "kernel BTF", true, false,
                exists("/sys/kernel/btf/vmlinux")
                    ? "/sys/kernel/btf/vmlinux cannot be read"
                    : "/sys/kernel/btf/vmlinux is missing (kernel built without "
                      "CONFIG_DEBUG_INFO_BTF)");
}

// The probes need one of the two attach modes, trampolines or else kprobes: a
// mode that fails is missing only when the other fails too.
std::vector<finding> check_attachment()
{
    std::string fentry_error;
    const bool fentry = try_attach_self_check(fentry_error);
    const std::string kprobe_error = try_kprobe("submit_bio_noacct");
    const bool kprobe = kprobe_error.empty();
    return {
        make("fentry_attach", "fentry/fexit attachment", fentry || !kprobe, fentry,
             fentry ? "fentry/blkdev_ioctl loaded, attached and detached" : fentry_error),
        make("kprobe_attach", "kprobe attachment", kprobe || !fentry, kprobe,
             kprobe ? "kprobe on submit_bio_noacct created and removed" : kprobe_error),
    };
}

std::string probe_answer(int answer)
{
    if (answer == 1)
        return "available";
    if (answer == 0)
        return "not in this kernel";
    return std::string("cannot tell: ") + std::strerror(-answer);
}

finding check_bpf_loop()
{
    const int answer = libbpf_probe_bpf_helper(BPF_PROG_TYPE_SOCKET_FILTER, BPF_FUNC_loop, nullptr);
    return make("bpf_loop", "bpf_loop helper", true, answer == 1, probe_answer(answer));
}

finding check_ring_buffer()
{
    const int answer = libbpf_probe_bpf_map_type(BPF_MAP_TYPE_RINGBUF, nullptr);
    return make("ring_buffer", "BPF ring buffer", true, answer == 1, probe_answer(answer));
}

// The bracketed word of /sys/kernel/security/lockdown.
finding check_lockdown()
{
    const std::string text = first_line(read_text("/sys/kernel/security/lockdown"));
    const size_t open = text.find('['), close = text.find(']');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return make("lockdown", "kernel lockdown", true, true,
                    "not readable (/sys/kernel/security/lockdown absent: no lockdown or "
                    "securityfs not mounted)");
    const std::string mode = text.substr(open + 1, close - open - 1);
    if (mode == "confidentiality")
        return make("lockdown", "kernel lockdown", true, false,
                    "confidentiality: BPF programs may not read kernel memory");
    return make("lockdown", "kernel lockdown", true, true, mode);
}

finding check_symbols(const kallsyms_parser &symbols, bool parsed)
{
    if (!parsed)
        return make("kallsyms", "kernel symbols", true, false, "/proc/kallsyms cannot be read");
    if (symbols.find_by_name("submit_bio_noacct").addr == 0)
        return make("kallsyms", "kernel symbols", true, false,
                    "/proc/kallsyms shows no addresses (needs CAP_SYSLOG; kptr_restrict)");
    return make("kallsyms", "kernel symbols", true, true,
                std::to_string(symbols.size()) + " symbols with addresses");
}

// A driver the probes recognise disks by: loaded when its open function is known.
finding check_driver(const kallsyms_parser &symbols, const char *module, const char *function,
                     const char *id)
{
    const bool loaded = symbols.find_by_name(function).addr != 0;
    const std::string sysfs = std::string("/sys/module/") + module;
    std::string detail;
    if (loaded)
        detail = std::string("loaded (") + function + " known)";
    else if (exists(sysfs))
        detail = std::string("in ") + sysfs + " but " + function + " unknown";
    else
        detail = std::string("not loaded: modprobe ") + module;
    return make(id, module, true, loaded, detail);
}

finding check_attach_points(const std::vector<attach_choice> &choices, bool have_btf)
{
    std::string without;
    for (const attach_choice &choice : choices)
        if (choice.required && choice.program.empty())
            without += (without.empty() ? "" : ", ") + choice.probe;
    if (!have_btf)
        return make("attach_points", "probe attach points", true, false, "no BTF to look in");
    if (!without.empty())
        return make("attach_points", "probe attach points", true, false,
                    "no kernel function for " + without);
    return make("attach_points", "probe attach points", true, true,
                "every required probe has a function");
}

// Kernel build option from /boot/config-<release> or /proc/config.gz: "y",
// "n" (not set), or empty when neither file tells.
std::string kernel_config_value(const std::string &release, const std::string &option)
{
    std::string text = read_text("/boot/config-" + release);
    if (text.empty()) {
        if (gzFile gz = gzopen("/proc/config.gz", "rb")) {
            char buffer[65536];
            int n;
            while ((n = gzread(gz, buffer, sizeof(buffer))) > 0)
                text.append(buffer, static_cast<size_t>(n));
            gzclose(gz);
        }
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(option + "=", 0) == 0)
            return line.substr(option.size() + 1);
        if (line == "# " + option + " is not set")
            return "n";
    }
    return "";
}

// The boot option's value as kstrtobool reads it: 1 true, 0 false, -1 absent.
int boot_option(const std::string &cmdline, const std::string &name)
{
    std::istringstream words(cmdline);
    int value = -1;
    for (std::string word; words >> word;) {
        if (word == "--")
            break;
        if (word.rfind(name + "=", 0) != 0)
            continue;
        const std::string v = word.substr(name.size() + 1);
        if (v == "1" || v[0] == 'y' || v[0] == 'Y' || v == "on" || v == "On" || v == "ON")
            value = 1;
        else if (v == "0" || v[0] == 'n' || v[0] == 'N' || v == "off" || v == "Off" || v == "OFF")
            value = 0;
    }
    return value;
}

finding check_write_mounted(const kernel_release &kernel, const kallsyms_parser &symbols)
{
    const char *id = "bdev_allow_write_mounted";
    const bool has_it = symbols.find_by_name(id).addr != 0 || kernel.major > 6 ||
                        (kernel.major == 6 && kernel.minor >= 8);
    if (!has_it)
        return make(id, id, false, true,
                    "not in this kernel: writes to mounted block devices are allowed");
    const int option = boot_option(read_text("/proc/cmdline"), id);
    if (option >= 0)
        return make(id, id, false, true,
                    std::string(option ? "allowed" : "blocked") +
                        ": writes to mounted block devices (boot option)");
    const std::string built = kernel_config_value(kernel.release, "CONFIG_BLK_DEV_WRITE_MOUNTED");
    if (built == "y" || built == "n")
        return make(id, id, false, true,
                    std::string(built == "y" ? "allowed" : "blocked") +
                        ": writes to mounted block devices (kernel build default)");
    return make(id, id, false, true, "unknown: no boot option and no kernel configuration found");
}

finding check_privileges()
{
    static const cap_value_t needed[] = {
        CAP_BPF, CAP_PERFMON, CAP_SYSLOG, CAP_DAC_READ_SEARCH, CAP_SYS_ADMIN, CAP_SETPCAP};
    cap_t state = cap_get_proc();
    std::string held, missing;
    for (cap_value_t cap : needed) {
        cap_flag_value_t value = CAP_CLEAR;
        const bool has =
            state && cap_get_flag(state, cap, CAP_PERMITTED, &value) == 0 && value == CAP_SET;
        char *name = cap_to_name(cap);
        std::string &list = has ? held : missing;
        list += (list.empty() ? "" : " ") + std::string(name ? name : "?");
        cap_free(name);
    }
    cap_free(state);
    const bool root = getuid() == 0;
    std::string detail =
        std::string(root ? "root" : "not root (uid " + std::to_string(getuid()) + ")") +
        "; held: " + (held.empty() ? "none" : held);
    if (!missing.empty())
        detail += "; missing: " + missing;
    return make("privileges", "privileges", true, root && missing.empty(), detail);
}

} // namespace

check_result check_machine(const check_options &options, const kallsyms_parser &symbols,
                           bool parsed)
{
    check_result result;
    const kernel_release kernel = running_kernel();
    btf *vmlinux = btf__load_vmlinux_btf();

    result.findings.push_back(check_kernel());
    result.findings.push_back(check_btf(vmlinux));
    for (finding &f : check_attachment())
        result.findings.push_back(std::move(f));
    result.findings.push_back(check_bpf_loop());
    result.findings.push_back(check_ring_buffer());
    result.findings.push_back(check_lockdown());
    result.findings.push_back(check_symbols(symbols, parsed));
    result.findings.push_back(check_driver(symbols, "sd_mod", "sd_open", "sd_mod"));
    result.findings.push_back(check_driver(symbols, "dm_mod", "dm_blk_open", "dm_mod"));
    result.attach =
        choose_attach_targets(probe_attach_mode(result.attach_mode), [&](const char *function) {
            return vmlinux && btf__find_by_name_kind(vmlinux, function, BTF_KIND_FUNC) >= 0;
        });
    result.findings.push_back(check_attach_points(result.attach, vmlinux != nullptr));
    result.findings.push_back(check_write_mounted(kernel, symbols));
    result.findings.push_back(check_privileges());
    std::string files;
    for (const std::string &file : options.config_files)
        files += (files.empty() ? "" : ", ") + file;
    result.findings.push_back(
        make("configuration", "configuration", true, options.config_error.empty(),
             options.config_error.empty() ? (files.empty() ? "no file: defaults" : files)
                                          : options.config_error));
    btf__free(vmlinux);
    return result;
}
