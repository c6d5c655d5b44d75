#include "corvane_ebpf/attach.h"

#include <linux/perf_event.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <bpf/bpf.h>
#include <bpf/btf.h>
#include <bpf/libbpf.h>

namespace {

// A probe's role and, in order of preference, the programs that fill it in
// each attach mode.
struct attach_option {
    const char *program;
    const char *kind;
    const char *function;
    const char *entry_program = nullptr;
};
struct probe_role {
    const char *probe;
    bool required;
    std::vector<attach_option> fentry;
    std::vector<attach_option> kprobe;
};

const std::vector<probe_role> &probe_roles()
{
    static const std::vector<probe_role> roles = {
        // Every block I/O as it enters the block layer, also what stacking
        // drivers issue to the devices below.
        {"monitor_submit_bio",
         true,
         {{"monitor_submit_bio", "fentry", "submit_bio_noacct"}},
         {{"kprobe_submit_bio", "kprobe", "submit_bio_noacct"}}},
        // Buffered writes through file systems: iomap_write_iter is inlined on
        // many kernels; the return of iomap_iter then shows each new mapping.
        {"monitor_iomap_write_iter",
         false,
         {{"monitor_iomap_write_iter", "fentry", "iomap_write_iter"},
          {"monitor_iomap_iter", "fexit", "iomap_iter"}},
         {{"kprobe_iomap_write_iter", "kprobe", "iomap_write_iter"},
          {"kretprobe_iomap_iter", "kretprobe", "iomap_iter", "kprobe_iomap_iter"}}},
        {"monitor_blkdev_write_iter",
         false,
         {{"monitor_blkdev_write_iter", "fentry", "blkdev_write_iter"}},
         {{"kprobe_blkdev_write_iter", "kprobe", "blkdev_write_iter"}}},
        {"monitor_mmap_write",
         false,
         {{"monitor_mmap_write", "fentry", "filemap_page_mkwrite"}},
         {{"kprobe_mmap_write", "kprobe", "filemap_page_mkwrite"}}},
        {"monitor_scsi_command",
         false,
         {{"monitor_scsi_command", "fentry", "blk_execute_rq"}},
         {{"kprobe_scsi_command", "kprobe", "blk_execute_rq"}}},
        {"monitor_scsi_command_nowait",
         false,
         {{"monitor_scsi_command_nowait", "fentry", "blk_execute_rq_nowait"}},
         {{"kprobe_scsi_command_nowait", "kprobe", "blk_execute_rq_nowait"}}},
        {"monitor_scsi_unmap",
         false,
         {{"monitor_scsi_unmap", "fentry", "blk_rq_map_user_iov"}},
         {{"kprobe_scsi_unmap", "kprobe", "blk_rq_map_user_iov"}}},
        {"monitor_scsi_unmap_kern",
         false,
         {{"monitor_scsi_unmap_kern", "fentry", "blk_rq_map_kern"}},
         {{"kprobe_scsi_unmap_kern", "kprobe", "blk_rq_map_kern"}}},
        {"monitor_vfs_create_mount",
         true,
         {{"monitor_vfs_create_mount", "fentry", "vfs_create_mount"}},
         {{"kprobe_vfs_create_mount", "kprobe", "vfs_create_mount"}}},
        // Instances go when the super block is torn down, after its last
        // write.
        {"monitor_shutdown_super",
         true,
         {{"monitor_shutdown_super", "fexit", "generic_shutdown_super"}},
         {{"kprobe_shutdown_super", "kprobe", "generic_shutdown_super"}}},
        {"monitor_self_check",
         true,
         {{"monitor_self_check", "fentry", "blkdev_ioctl"}},
         {{"kprobe_self_check", "kprobe", "blkdev_ioctl"}}},
        {"monitor_resize",
         false,
         {{"monitor_resize", "fentry", "security_file_ioctl"}},
         {{"kprobe_resize", "kprobe", "security_file_ioctl"}}},
        {"monitor_resize_done",
         false,
         {{"monitor_resize_done", "fexit", "__x64_sys_ioctl"},
          {"monitor_resize_done", "fexit", "__arm64_sys_ioctl"}},
         {{"kretprobe_resize_done", "kretprobe", "__x64_sys_ioctl"},
          {"kretprobe_resize_done", "kretprobe", "__arm64_sys_ioctl"}}},
    };
    return roles;
}

// The running kernel's BTF: which functions it has (those neither inlined
// everywhere nor left out), for trampolines and kprobes alike.
class kernel_functions {
  public:
    kernel_functions() : btf_(btf__load_vmlinux_btf()) {}
    ~kernel_functions() { btf__free(btf_); }
    kernel_functions(const kernel_functions &) = delete;
    kernel_functions &operator=(const kernel_functions &) = delete;
    bool has(const char *name) const { return function_id(name) >= 0; }
    int function_id(const char *name) const
    {
        return btf_ ? btf__find_by_name_kind(btf_, name, BTF_KIND_FUNC) : -ENOENT;
    }

  private:
    btf *btf_;
};

// Whether a trivial fentry program attaches to function: 0, or the negative
// error of its load or its attachment (-ENOTSUPP, 524, where the kernel has
// no ftrace direct calls for BPF trampolines). It is detached at once.
int try_fentry(const kernel_functions &kernel, const char *function)
{
    const int id = kernel.function_id(function);
    if (id < 0)
        return -ENOENT;
    // r0 = 0; exit
    const bpf_insn return_zero[] = {
        {BPF_ALU64 | BPF_MOV | BPF_K, BPF_REG_0, 0, 0, 0},
        {BPF_JMP | BPF_EXIT, 0, 0, 0, 0},
    };
    LIBBPF_OPTS(bpf_prog_load_opts, opts, .expected_attach_type = BPF_TRACE_FENTRY,
                .attach_btf_id = static_cast<uint32_t>(id));
    const int prog = bpf_prog_load(BPF_PROG_TYPE_TRACING, "corvane_fentry", "Dual BSD/GPL",
                                   return_zero, 2, &opts);
    if (prog < 0)
        return prog;
    const int link = bpf_raw_tracepoint_open(nullptr, prog);
    if (link >= 0)
        close(link);
    close(prog);
    return link < 0 ? link : 0;
}

std::string error_text(int err)
{
    if (err == -524) // ENOTSUPP, internal to the kernel
        return "not supported by this kernel (ENOTSUPP)";
    return std::strerror(-err);
}

attach_mode choose_attach_mode(const kernel_functions &kernel, std::string &line)
{
    const char *asked = std::getenv("CORVANE_ATTACH_MODE");
    if (const auto mode = attach_mode_asked(asked)) {
        line = std::string("attach mode: ") +
               (*mode == attach_mode::fentry ? "fentry/fexit" : "kprobe") +
               " (CORVANE_ATTACH_MODE)";
        return *mode;
    }
    if (asked)
        std::fprintf(stderr, "warning: CORVANE_ATTACH_MODE=%s is neither fentry nor kprobe\n",
                     asked);
    const int err = try_fentry(kernel, "submit_bio_noacct");
    if (err == 0) {
        line = "attach mode: fentry/fexit";
        return attach_mode::fentry;
    }
    line = "attach mode: kprobe (fentry/fexit: " + error_text(err) + ")";
    return attach_mode::kprobe;
}

std::string kprobe_event_key(const std::string &kind, const std::string &function)
{
    return kind + " " + function;
}

// A number from a file of the kernel's perf event source "kprobe", or -1.
int kprobe_pmu_value(const char *file, const char *prefix)
{
    std::ifstream in(std::string("/sys/bus/event_source/devices/kprobe/") + file);
    std::string text;
    if (!(in >> text) || text.compare(0, std::strlen(prefix), prefix) != 0)
        return -1;
    return std::atoi(text.c_str() + std::strlen(prefix));
}

// A kprobe (or kretprobe) on function from the kernel's perf event source
// "kprobe", as libbpf makes it but disabled (libbpf enables it once its
// program is attached): its descriptor, or -1 (errno set).
int open_kprobe_event(const std::string &function, bool retprobe)
{
    const int type = kprobe_pmu_value("type", "");
    const int retprobe_bit = kprobe_pmu_value("format/retprobe", "config:");
    if (type < 0 || (retprobe && retprobe_bit < 0)) {
        errno = ENOENT;
        return -1;
    }
    perf_event_attr attr{};
    attr.size = sizeof(attr);
    attr.type = type;
    attr.config = retprobe ? 1ULL << retprobe_bit : 0;
    attr.disabled = 1;
    attr.config1 = reinterpret_cast<uintptr_t>(function.c_str()); // kprobe_func
    attr.config2 = 0;                                             // offset
    return static_cast<int>(syscall(__NR_perf_event_open, &attr, -1, 0, -1, PERF_FLAG_FD_CLOEXEC));
}

// The kprobes the choices need, created now; one that cannot be is made
// again when attaching, which then reports why.
void create_kprobe_events(attach_plan &plan)
{
    for (const attach_choice &choice : plan.choices) {
        if (choice.program.empty())
            continue;
        std::vector<std::string> kinds = {choice.kind};
        if (!choice.entry_program.empty())
            kinds.push_back("kprobe");
        for (const std::string &kind : kinds) {
            const int fd = open_kprobe_event(choice.function, kind == "kretprobe");
            if (fd >= 0)
                plan.kprobe_events[kprobe_event_key(kind, choice.function)] = fd;
        }
    }
}

attach_plan make_plan()
{
    kernel_functions kernel;
    attach_plan plan;
    plan.mode = choose_attach_mode(kernel, plan.mode_line);
    plan.choices = choose_attach_targets(plan.mode, [&](const char *f) { return kernel.has(f); });
    if (plan.mode == attach_mode::kprobe)
        create_kprobe_events(plan);
    return plan;
}

std::optional<attach_plan> &prepared_plan()
{
    static std::optional<attach_plan> plan;
    return plan;
}

bpf_link *attach_program(bpf_program *prog, const std::string &kind, const std::string &function,
                         attach_plan &plan)
{
    if (kind != "kprobe" && kind != "kretprobe")
        return bpf_program__attach_trace(prog);
    const auto event = plan.kprobe_events.find(kprobe_event_key(kind, function));
    if (event == plan.kprobe_events.end())
        return bpf_program__attach_kprobe(prog, kind == "kretprobe", function.c_str());
    bpf_link *link = bpf_program__attach_perf_event(prog, event->second);
    if (link) // the link owns the descriptor now
        plan.kprobe_events.erase(event);
    return link;
}

} // namespace

std::vector<attach_choice>
choose_attach_targets(attach_mode mode, const std::function<bool(const char *)> &kernel_has)
{
    std::vector<attach_choice> choices;
    for (const probe_role &role : probe_roles()) {
        attach_choice choice{role.probe, "", "", "", "", role.required};
        for (const attach_option &option :
             mode == attach_mode::fentry ? role.fentry : role.kprobe) {
            if (kernel_has(option.function)) {
                choice.program = option.program;
                choice.kind = option.kind;
                choice.function = option.function;
                choice.entry_program = option.entry_program ? option.entry_program : "";
                break;
            }
        }
        choices.push_back(choice);
    }
    return choices;
}

std::string format_attach_choice(const attach_choice &choice)
{
    if (choice.program.empty())
        return "attach " + choice.probe + ": none";
    const std::string kind = choice.entry_program.empty() ? choice.kind : "kprobe+" + choice.kind;
    return "attach " + choice.probe + ": " + kind + " " + choice.function;
}

std::optional<attach_mode> attach_mode_asked(const char *value)
{
    if (!value)
        return std::nullopt;
    if (std::strcmp(value, "fentry") == 0)
        return attach_mode::fentry;
    if (std::strcmp(value, "kprobe") == 0)
        return attach_mode::kprobe;
    return std::nullopt;
}

attach_mode probe_attach_mode(std::string &line)
{
    kernel_functions kernel;
    return choose_attach_mode(kernel, line);
}

std::string try_kprobe(const char *function)
{
    if (kprobe_pmu_value("type", "") < 0)
        return "no kprobe event source (/sys/bus/event_source/devices/kprobe; a kernel "
               "without CONFIG_KPROBE_EVENTS)";
    const int fd = open_kprobe_event(function, false);
    if (fd < 0)
        return std::string("kprobe on ") + function + ": " + std::strerror(errno);
    close(fd);
    return "";
}

void prepare_probe_attachment()
{
    if (prepared_plan())
        close_kprobe_events(*prepared_plan());
    prepared_plan() = make_plan();
}

attach_plan take_attach_plan()
{
    if (!prepared_plan())
        return make_plan();
    attach_plan plan = std::move(*prepared_plan());
    prepared_plan().reset();
    return plan;
}

void close_kprobe_events(attach_plan &plan)
{
    for (const auto &[key, fd] : plan.kprobe_events)
        close(fd);
    plan.kprobe_events.clear();
}

// The entry kprobe of a pair goes first, so that no return misses its entry.
bool attach_choice_programs(bpf_object *obj, const attach_choice &choice, attach_plan &plan,
                            std::vector<bpf_link *> &links)
{
    std::vector<std::pair<std::string, std::string>> programs; // name, kind
    if (!choice.entry_program.empty())
        programs.emplace_back(choice.entry_program, "kprobe");
    programs.emplace_back(choice.program, choice.kind);
    std::vector<bpf_link *> made;
    for (const auto &[name, kind] : programs) {
        bpf_program *prog = bpf_object__find_program_by_name(obj, name.c_str());
        bpf_link *link = prog ? attach_program(prog, kind, choice.function, plan) : nullptr;
        if (!link) {
            const int err = errno;
            std::fprintf(stderr, "%s %s: cannot attach %s to %s: %s\n",
                         choice.required ? "error:" : "warning:", choice.probe.c_str(),
                         name.c_str(), choice.function.c_str(), std::strerror(err));
            for (bpf_link *done : made)
                bpf_link__destroy(done);
            return false;
        }
        made.push_back(link);
    }
    links.insert(links.end(), made.begin(), made.end());
    return true;
}
