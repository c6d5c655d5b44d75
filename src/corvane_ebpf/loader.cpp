// User-side control of the eBPF object: open it from the program image, pick
// attach points that exist on the running kernel, load it, program its maps and
// globals, create the ring buffer, attach, and tear everything down again.
#include "corvane_ebpf/loader.h"

#include <syslog.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include <bpf/bpf.h>
#include <bpf/btf.h>

#include "base/corvane.h"
#include "corvane_ebpf/core_btf.h"
#include "corvane_ebpf.skel.h"
#include "device_parser/device_parser.h"
#include "kallsyms_parser/kallsyms_parser.h"

namespace {

corvane_ebpf_bpf *skel = nullptr;
ring_buffer *rb = nullptr;
// Reports lost so far, as last told to the user, and whether to tell syslog too.
uint64_t lost_reported = 0;
bool lost_to_syslog = false;

// Answers from the running kernel's BTF whether a function can be traced.
class kernel_functions {
  public:
    kernel_functions() : btf_(btf__load_vmlinux_btf()) {}
    ~kernel_functions() { btf__free(btf_); }
    kernel_functions(const kernel_functions &) = delete;
    kernel_functions &operator=(const kernel_functions &) = delete;
    bool has(const char *name) const
    {
        return btf_ && btf__find_by_name_kind(btf_, name, BTF_KIND_FUNC) >= 0;
    }

  private:
    btf *btf_;
};

// Sets the attach point of each probe and switches off the programs that are
// not used. Runs between open and load; what it writes into the .bss before
// load becomes the initial content of the loaded .bss.
void configure_attach_points(corvane_ebpf_bpf *obj)
{
    kernel_functions kernel;
    const auto choices = choose_attach_targets([&](const char *f) { return kernel.has(f); });
    bpf_program *prog = nullptr;
    bpf_object__for_each_program(prog, obj->obj)
    {
        bpf_program__set_autoload(prog, false);
    }
    for (const auto &choice : choices) {
        std::printf("%s\n", format_attach_choice(choice).c_str());
        bpf_program *chosen = bpf_object__find_program_by_name(obj->obj, choice.program.c_str());
        if (!chosen)
            continue;
        bpf_program__set_autoload(chosen, true);
        bpf_program__set_attach_target(chosen, 0, choice.function.c_str());
        if (choice.probe == "monitor_do_umount")
            obj->bss->umount_target_is_path = choice.function == "path_umount";
    }
    std::fflush(stdout);
}

corvane_ebpf_bpf *open_and_load_object()
{
    // Relocation target: vmlinux and the probed modules' BTF (see core_btf.h).
    core_btf_file kernel_btf;
    LIBBPF_OPTS(bpf_object_open_opts, opts);
    if (kernel_btf.create())
        opts.btf_custom_path = kernel_btf.path().c_str();
    corvane_ebpf_bpf *obj = corvane_ebpf_bpf__open_opts(&opts);
    if (!obj)
        return nullptr; // errno set by the skeleton
    configure_attach_points(obj);
    const int err = corvane_ebpf_bpf__load(obj);
    if (err) {
        corvane_ebpf_bpf__destroy(obj);
        errno = -err;
        return nullptr;
    }
    return obj;
}

bool fail(const char *message)
{
    std::fprintf(stderr, "%s\n", message);
    stop_bpf();
    return false;
}

void program_wwid_ranges(int fd, const std::vector<device_range> &wwid_ranges)
{
    for (const auto &d : wwid_ranges) {
        fs_range_set set{};
        if (bpf_map_lookup_elem(fd, &d.wwid, &set) != 0)
            set.cnt = 0;
        if (!append_ranges(set, d.ranges))
            std::fprintf(stderr, "warning: too much ranges on %s\n",
                         wwid_to_string(d.wwid).c_str());
        bpf_map_update_elem(fd, &d.wwid, &set, BPF_ANY);
    }
}

// Visits every key of a map in the kernel's order with its value, or with
// nullptr when the key vanished between listing and lookup.
template <typename Key, typename Value, typename Visit> void for_each_map_entry(int fd, Visit visit)
{
    Key key{}, next{};
    const void *prev = nullptr;
    while (bpf_map_get_next_key(fd, prev, &next) == 0) {
        key = next;
        prev = &key;
        Value value{};
        visit(key, bpf_map_lookup_elem(fd, &key, &value) == 0 ? &value : nullptr);
    }
}

void dump_wwid_ranges(int fd, std::string &dump)
{
    for_each_map_entry<wwid_t, fs_range_set>(fd, [&](const wwid_t &key, const fs_range_set *set) {
        if (set)
            dump += format_wwid_dump(key, *set);
        else
            std::fprintf(stderr, "can not find wwid: %s\n", wwid_to_string(key).c_str());
    });
}

void dump_module_ranges(int fd, std::string &dump)
{
    for_each_map_entry<uint32_t, fs_range>(fd, [&](uint32_t key, const fs_range *range) {
        if (range)
            dump += format_module_dump(key, *range);
        else
            std::fprintf(stderr, "can not find fs: %s\n", fs_type_name(key));
    });
}

uint64_t symbol_address(const kallsyms_parser &kallsyms, const char *name)
{
    return kallsyms.find_by_name(name).addr;
}

void report_lost_events()
{
    if (!skel || !skel->bss)
        return;
    const uint64_t now = __atomic_load_n(&skel->bss->dropped_events, __ATOMIC_RELAXED);
    const auto message = lost_events_message(lost_reported, now);
    if (!message)
        return;
    lost_reported = now;
    std::fprintf(stderr, "%s", message->c_str());
    if (lost_to_syslog)
        syslog(LOG_WARNING, "%s", message->c_str());
}

} // namespace

bool append_ranges(fs_range_set &set, const fs_range_set &more)
{
    uint64_t n = set.cnt > MAX_RANGE_COUNT ? MAX_RANGE_COUNT : set.cnt;
    bool all_fit = true;
    for (uint64_t i = 0; i < more.cnt && i < MAX_RANGE_COUNT; ++i) {
        if (n >= MAX_RANGE_COUNT) {
            all_fit = false;
            break;
        }
        set.arr[n] = more.arr[i];
        set.arr[n].pad = 0;
        set.arr[n].mount_sb = 0;
        ++n;
    }
    if (more.cnt > MAX_RANGE_COUNT)
        all_fit = false;
    set.cnt = n;
    return all_fit;
}

std::string format_wwid_dump(const wwid_t &wwid, const fs_range_set &set)
{
    std::ostringstream out;
    out << "wwid: " << wwid_to_string(wwid) << "\n";
    for (uint64_t i = 0; i < set.cnt && i < MAX_RANGE_COUNT; ++i)
        out << fs_type_name(set.arr[i].type) << ":[" << set.arr[i].first << ", "
            << set.arr[i].second << ") ";
    out << "\n";
    return out.str();
}

std::string format_module_dump(uint32_t type, const fs_range &range)
{
    std::ostringstream out;
    out << fs_type_name(type) << " module's memory address range: [" << std::hex << range.first
        << ", " << range.second << ")" << std::dec << "\n";
    return out.str();
}

std::vector<attach_choice>
choose_attach_targets(const std::function<bool(const char *)> &kernel_has)
{
    std::vector<attach_choice> choices;
    // Buffered writes: iomap_write_iter is inlined into iomap_file_buffered_write
    // on many kernels; the return of iomap_iter then shows each new mapping.
    if (kernel_has("iomap_write_iter"))
        choices.push_back(
            {"monitor_iomap_write_iter", "monitor_iomap_write_iter", "fentry", "iomap_write_iter"});
    else if (kernel_has("iomap_iter"))
        choices.push_back(
            {"monitor_iomap_write_iter", "monitor_iomap_iter", "fexit", "iomap_iter"});
    else
        choices.push_back({"monitor_iomap_write_iter", "", "", ""});
    choices.push_back({"monitor_submit_bio", "monitor_submit_bio", "fentry", "submit_bio"});
    choices.push_back(
        {"monitor_vfs_create_mount", "monitor_vfs_create_mount", "fentry", "vfs_create_mount"});
    // The marks of an instance go when it is torn down (generic_shutdown_super
    // returns after its last write); only without it at the unmount's return.
    // do_umount is inlined into path_umount on many kernels.
    if (kernel_has("generic_shutdown_super"))
        choices.push_back(
            {"monitor_do_umount", "monitor_shutdown_super", "fexit", "generic_shutdown_super"});
    else if (kernel_has("do_umount"))
        choices.push_back({"monitor_do_umount", "monitor_do_umount", "fexit", "do_umount"});
    else
        choices.push_back({"monitor_do_umount", "monitor_do_umount", "fexit", "path_umount"});
    // Buffered writes to block device files fill the device's page cache.
    if (kernel_has("blkdev_write_iter"))
        choices.push_back({"monitor_blkdev_write_iter", "monitor_blkdev_write_iter", "fentry",
                           "blkdev_write_iter"});
    return choices;
}

std::string format_attach_choice(const attach_choice &choice)
{
    if (choice.program.empty())
        return "attach " + choice.probe + ": none";
    return "attach " + choice.probe + ": " + choice.kind + " " + choice.function;
}

std::optional<std::string> lost_events_message(uint64_t previous, uint64_t now)
{
    if (now <= previous)
        return std::nullopt;
    return "warning: " + std::to_string(now - previous) +
           " reports lost, the ring buffer was full (" + std::to_string(now) + " in total)\n";
}

bool start_bpf(ring_buffer_sample_fn callback, const kallsyms_parser &kallsyms,
               const std::vector<device_range> &wwid_ranges,
               const std::map<ENUM_FS_TYPE, fs_range> &module_ranges, const bool &daemon)
{
    libbpf_set_print(print_libbpf_message);
    skel = open_and_load_object();
    if (!skel) {
        std::fprintf(stderr, "Failed to open and load BPF skeleton\n");
        return false;
    }

    std::string dump;
    const int wwid_fd = bpf_map__fd(skel->maps.map_wwid_ranges);
    if (wwid_fd < 0)
        return fail("Failed to get wwid_ranges map");
    program_wwid_ranges(wwid_fd, wwid_ranges);
    dump_wwid_ranges(wwid_fd, dump);

    const int module_fd = bpf_map__fd(skel->maps.map_module_ranges);
    if (module_fd < 0)
        return fail("Failed to get module_ranges map");
    for (const auto &[type, range] : module_ranges) {
        const uint32_t key = type;
        bpf_map_update_elem(module_fd, &key, &range, BPF_ANY);
    }
    dump_module_ranges(module_fd, dump);

    const uint64_t sd_open = symbol_address(kallsyms, "sd_open");
    if (sd_open == 0)
        return fail("can not get sd_open addr.");
    skel->bss->sd_open_addr = sd_open;
    const uint64_t dm_open = symbol_address(kallsyms, "dm_open");
    if (dm_open == 0)
        return fail("can not get dm_open addr.");
    skel->bss->dm_open_addr = dm_open;
    const uint64_t dm_blk_open = symbol_address(kallsyms, "dm_blk_open");
    if (dm_blk_open == 0)
        return fail("can not get dm_blk_open addr.");
    skel->bss->debug_mask = mask;
    skel->bss->dm_blk_open_addr = dm_blk_open;
    skel->bss->dropped_events = 0;
    lost_reported = 0;
    lost_to_syslog = daemon;

    rb = ring_buffer__new(bpf_map__fd(skel->maps.events), callback, nullptr, nullptr);
    if (!rb)
        return fail("create ring buffer failed!");
    if (corvane_ebpf_bpf__attach(skel) != 0)
        return fail("Failed to attach BPF skeleton");

    if (daemon)
        syslog(LOG_INFO, "%s", dump.c_str());
    std::fputs(dump.c_str(), stdout);
    return true;
}

void poll_events(int timeout_ms)
{
    if (!rb)
        return;
    for (;;) {
        const int err = ring_buffer__poll(rb, timeout_ms);
        // Reports must reach a log file or pipe when they happen, not when a
        // stream buffer happens to fill.
        if (err > 0) {
            std::cout.flush();
            std::fflush(stdout);
        }
        report_lost_events();
        if (err == -EINTR)
            return;
        if (err < 0) {
            std::fprintf(stderr, "Error polling ring buffer: %d\n", err);
            return;
        }
    }
}

bool stop_bpf()
{
    if (rb) {
        ring_buffer__free(rb);
        rb = nullptr;
    }
    if (skel) {
        corvane_ebpf_bpf__destroy(skel);
        skel = nullptr;
    }
    return true;
}

int print_libbpf_message(enum libbpf_print_level level, const char *format, va_list args)
{
    if (level == LIBBPF_DEBUG)
        return 0;
    return std::vfprintf(stderr, format, args);
}
