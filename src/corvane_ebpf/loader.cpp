#include "corvane_ebpf/loader.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <sstream>

#include <bpf/bpf.h>
#include <bpf/btf.h>

#include "base/corvane.h"
#include "corvane_ebpf/core_btf.h"
#include "corvane_ebpf.skel.h"
#include "kallsyms_parser/kallsyms_parser.h"

namespace {

// Ranges shown per disk in the listing unless every one is asked for (-m 1).
constexpr size_t listed_ranges = 128;

bool fail(const char *message)
{
    std::fprintf(stderr, "%s\n", message);
    return false;
}

} // namespace

std::string format_disk_listing(const wwid_t &wwid, const std::vector<fs_range> &ranges, bool full)
{
    std::ostringstream out;
    out << "wwid: " << wwid_to_string(wwid) << "\n";
    const size_t shown = full ? ranges.size() : std::min(ranges.size(), listed_ranges);
    for (size_t i = 0; i < shown; ++i)
        out << fs_type_name(ranges[i].type) << ":[" << ranges[i].first << ", " << ranges[i].second
            << ") ";
    if (shown < ranges.size())
        out << "... (" << ranges.size() << " ranges in all; -m 1 lists every one)";
    out << "\n";
    return out.str();
}

std::string format_code_listing(uint32_t type, const std::vector<code_range_t> &ranges)
{
    std::ostringstream out;
    for (const code_range_t &range : ranges)
        out << fs_type_name(type) << " module's memory address range: [" << std::hex << range.first
            << ", " << range.second << ")" << std::dec << "\n";
    return out.str();
}

std::optional<std::string> lost_events_message(uint64_t previous, uint64_t now)
{
    if (now <= previous)
        return std::nullopt;
    return "warning: " + std::to_string(now - previous) +
           " reports lost, the ring buffer was full (" + std::to_string(now) + " in total)\n";
}

probe_control::~probe_control()
{
    stop();
}

namespace {

// Loads only the programs the plan chose, attached where it chose; prints
// the choices. False when a required probe has no place.
bool configure_attach_points(corvane_ebpf_bpf *obj, const attach_plan &plan)
{
    std::printf("%s\n", plan.mode_line.c_str());
    bpf_program *prog = nullptr;
    bpf_object__for_each_program(prog, obj->obj)
    {
        bpf_program__set_autoload(prog, false);
    }
    bool complete = true;
    for (const auto &choice : plan.choices) {
        std::printf("%s\n", format_attach_choice(choice).c_str());
        bpf_program *chosen = bpf_object__find_program_by_name(obj->obj, choice.program.c_str());
        if (!chosen) {
            if (choice.required) {
                std::fprintf(stderr, "the kernel has no function for %s\n", choice.probe.c_str());
                complete = false;
            }
            continue;
        }
        bpf_program__set_autoload(chosen, true);
        if (!choice.entry_program.empty())
            bpf_program__set_autoload(
                bpf_object__find_program_by_name(obj->obj, choice.entry_program.c_str()), true);
        if (plan.mode == attach_mode::fentry)
            bpf_program__set_attach_target(chosen, 0, choice.function.c_str());
    }
    std::fflush(stdout);
    return complete;
}

// A disk's range table. The kernel accepts a table in map_disks only when it
// matches the template the map was made with in everything but its size, its
// type information included, so the template is made here the same way.
int create_range_table(uint32_t entries)
{
    LIBBPF_OPTS(bpf_map_create_opts, opts, .map_flags = BPF_F_INNER_MAP);
    return bpf_map_create(BPF_MAP_TYPE_ARRAY, "corvane_ranges", sizeof(uint32_t), sizeof(fs_range),
                          entries, &opts);
}

corvane_ebpf_bpf *open_and_load_object(const attach_plan &plan)
{
    // Relocation target: vmlinux and the probed modules' BTF (see core_btf.h).
    core_btf_file kernel_btf;
    LIBBPF_OPTS(bpf_object_open_opts, opts);
    if (kernel_btf.create())
        opts.btf_custom_path = kernel_btf.path().c_str();
    corvane_ebpf_bpf *obj = corvane_ebpf_bpf__open_opts(&opts);
    if (!obj)
        return nullptr;
    const int model = create_range_table(1);
    if (!configure_attach_points(obj, plan) || model < 0 ||
        bpf_map__set_inner_map_fd(obj->maps.map_disks, model) != 0) {
        if (model >= 0)
            close(model);
        corvane_ebpf_bpf__destroy(obj);
        return nullptr;
    }
    const int err = corvane_ebpf_bpf__load(obj);
    close(model);
    if (err) {
        corvane_ebpf_bpf__destroy(obj);
        errno = -err;
        return nullptr;
    }
    return obj;
}

// How much the kernel's verifier walked through for each program.
void print_verified_sizes(corvane_ebpf_bpf *obj)
{
    bpf_program *prog = nullptr;
    bpf_object__for_each_program(prog, obj->obj)
    {
        bpf_prog_info info{};
        uint32_t length = sizeof(info);
        if (bpf_program__fd(prog) >= 0 &&
            bpf_obj_get_info_by_fd(bpf_program__fd(prog), &info, &length) == 0)
            std::printf("loaded %s: %u instructions verified\n", bpf_program__name(prog),
                        info.verified_insns);
    }
}

uint64_t page_shift_of_this_machine()
{
    uint64_t shift = 0;
    for (long size = sysconf(_SC_PAGESIZE); size > 1; size >>= 1)
        ++shift;
    return shift;
}

} // namespace

bool try_attach_self_check(std::string &error)
{
    // libbpf's messages would repeat what error says.
    libbpf_print_fn_t previous = libbpf_set_print(nullptr);
    core_btf_file kernel_btf;
    LIBBPF_OPTS(bpf_object_open_opts, opts);
    if (kernel_btf.create())
        opts.btf_custom_path = kernel_btf.path().c_str();
    corvane_ebpf_bpf *obj = corvane_ebpf_bpf__open_opts(&opts);
    const int model = create_range_table(1);
    bpf_link *link = nullptr;
    if (!obj) {
        error = std::string("opening the object: ") + std::strerror(errno);
    } else if (model < 0 || bpf_map__set_inner_map_fd(obj->maps.map_disks, model) != 0) {
        error = std::string("creating a range table: ") + std::strerror(errno);
    } else {
        bpf_program *prog = nullptr;
        bpf_object__for_each_program(prog, obj->obj)
        {
            bpf_program__set_autoload(prog, prog == obj->progs.monitor_self_check);
        }
        bpf_program__set_attach_target(obj->progs.monitor_self_check, 0, "blkdev_ioctl");
        if (const int err = corvane_ebpf_bpf__load(obj); err != 0)
            error = std::string("loading fentry/blkdev_ioctl: ") + std::strerror(-err);
        else if (!(link = bpf_program__attach(obj->progs.monitor_self_check)))
            error = std::string("attaching fentry/blkdev_ioctl: ") + std::strerror(errno);
    }
    const bool attached = link != nullptr;
    bpf_link__destroy(link);
    if (model >= 0)
        close(model);
    corvane_ebpf_bpf__destroy(obj);
    libbpf_set_print(previous);
    return attached;
}

bool probe_control::load(const kallsyms_parser &kallsyms, bool notify_mounts,
                         ring_buffer_sample_fn callback, void *ctx)
{
    libbpf_set_print(print_libbpf_message);
    plan_ = take_attach_plan();
    skel_ = open_and_load_object(plan_);
    if (!skel_)
        return stop(), fail("Failed to open and load BPF skeleton");

    const uint64_t sd_open = kallsyms.find_by_name("sd_open").addr;
    if (sd_open == 0)
        return stop(), fail("can not get sd_open addr.");
    if (kallsyms.find_by_name("dm_open").addr == 0)
        return stop(), fail("can not get dm_open addr.");
    const uint64_t dm_blk_open = kallsyms.find_by_name("dm_blk_open").addr;
    if (dm_blk_open == 0)
        return stop(), fail("can not get dm_blk_open addr.");
    if (debug_on())
        print_verified_sizes(skel_);
    skel_->bss->sd_open_addr = sd_open;
    skel_->bss->dm_blk_open_addr = dm_blk_open;
    skel_->bss->debug_mask = mask;
    skel_->bss->self_tgid = static_cast<uint32_t>(getpid());
    skel_->bss->notify_mounts = notify_mounts;
    skel_->bss->page_shift = static_cast<uint32_t>(page_shift_of_this_machine());
    refresh_symbols(kallsyms);

    ring_ = ring_buffer__new(bpf_map__fd(skel_->maps.events), callback, ctx, nullptr);
    if (!ring_)
        return stop(), fail("create ring buffer failed!");
    return true;
}

void probe_control::refresh_symbols(const kallsyms_parser &kallsyms)
{
    if (!skel_)
        return;
    skel_->bss->clone_endio_addr = kallsyms.find_in_module("clone_endio", "dm_mod").addr;
    skel_->bss->crypt_endio_addr = kallsyms.find_in_module("crypt_endio", "dm_crypt").addr;
}

bool probe_control::attach()
{
    if (!skel_)
        return false;
    for (const attach_choice &choice : plan_.choices)
        if (!choice.program.empty() && !attach_choice_programs(skel_->obj, choice, plan_, links_) &&
            choice.required)
            return fail("Failed to attach BPF skeleton");
    // Kprobes made for programs that could not be attached are not kept.
    close_kprobe_events(plan_);
    return true;
}

bool probe_control::set_code_ranges(uint32_t type, const std::vector<code_range_t> &ranges)
{
    if (!skel_ || ranges.size() > MAX_CODE_RANGES)
        return false;
    code_ranges_t value{};
    value.count = ranges.size();
    std::copy(ranges.begin(), ranges.end(), value.range);
    return bpf_map_update_elem(bpf_map__fd(skel_->maps.map_code), &type, &value, BPF_ANY) == 0;
}

namespace {

// Writes every element of a range table; batched where the kernel allows.
bool fill_range_table(int fd, const std::vector<fs_range> &entries)
{
    std::vector<uint32_t> keys(entries.size());
    for (uint32_t i = 0; i < keys.size(); ++i)
        keys[i] = i;
    LIBBPF_OPTS(bpf_map_batch_opts, opts);
    uint32_t count = static_cast<uint32_t>(entries.size());
    if (bpf_map_update_batch(fd, keys.data(), entries.data(), &count, &opts) == 0 &&
        count == entries.size())
        return true;
    for (uint32_t i = 0; i < entries.size(); ++i)
        if (bpf_map_update_elem(fd, &keys[i], &entries[i], BPF_ANY) != 0)
            return false;
    return true;
}

} // namespace

bool probe_control::set_disk_ranges(const wwid_t &wwid, const std::vector<fs_range> &ranges,
                                    std::string &error)
{
    if (!skel_)
        return false;
    std::vector<fs_range> entries;
    entries.reserve(ranges.size() + 1);
    fs_range header{};
    header.first = ranges.size();
    entries.push_back(header);
    entries.insert(entries.end(), ranges.begin(), ranges.end());

    const int table = create_range_table(static_cast<uint32_t>(entries.size()));
    if (table < 0) {
        error = std::string("cannot create its range table: ") + std::strerror(errno);
        return false;
    }
    bool done = fill_range_table(table, entries);
    if (!done)
        error = std::string("cannot fill its range table: ") + std::strerror(errno);
    // The outer map keeps its own reference; the swap is one update.
    if (done && bpf_map_update_elem(bpf_map__fd(skel_->maps.map_disks), &wwid, &table, BPF_ANY)) {
        error = std::string("cannot install its range table: ") + std::strerror(errno);
        done = false;
    }
    close(table);
    forget_unwatched_disks();
    return done;
}

void probe_control::remove_disk(const wwid_t &wwid)
{
    if (!skel_)
        return;
    bpf_map_delete_elem(bpf_map__fd(skel_->maps.map_disks), &wwid);
    forget_unwatched_disks();
}

// What the probes remember of disks without watched ranges holds for one
// generation of map_disks. A wrapped generation could match an old slot:
// the slots are cleared then.
void probe_control::forget_unwatched_disks()
{
    auto &generation = skel_->bss->disks_generation;
    constexpr unsigned long long mask = (1ULL << UNWATCHED_GENERATION_BITS) - 1;
    if (((__atomic_load_n(&generation, __ATOMIC_SEQ_CST) + 1) & mask) == 0)
        for (auto &slot : skel_->bss->unwatched_disks)
            __atomic_store_n(&slot, 0, __ATOMIC_SEQ_CST);
    __atomic_add_fetch(&generation, 1, __ATOMIC_SEQ_CST);
}

std::map<uint32_t, disk_check_t> probe_control::check_devices(const std::vector<int> &device_fds)
{
    std::map<uint32_t, disk_check_t> found;
    if (!skel_)
        return found;
    const int checks = bpf_map__fd(skel_->maps.map_disk_checks);
    __atomic_store_n(&skel_->bss->self_check_armed, 1, __ATOMIC_SEQ_CST);
    for (int fd : device_fds) {
        int sector_size = 0;
        ioctl(fd, BLKSSZGET, &sector_size);
    }
    __atomic_store_n(&skel_->bss->self_check_armed, 0, __ATOMIC_SEQ_CST);
    uint32_t key = 0, next = 0;
    const void *previous = nullptr;
    while (bpf_map_get_next_key(checks, previous, &next) == 0) {
        key = next;
        previous = &key;
        disk_check_t value{};
        if (bpf_map_lookup_elem(checks, &key, &value) == 0)
            found[key] = value;
    }
    for (const auto &[dev, value] : found)
        bpf_map_delete_elem(checks, &dev);
    return found;
}

int probe_control::ring_fd() const
{
    return ring_ ? ring_buffer__epoll_fd(ring_) : -1;
}

int probe_control::consume()
{
    return ring_ ? ring_buffer__consume(ring_) : 0;
}

uint64_t probe_control::lost_events() const
{
    return skel_ ? __atomic_load_n(&skel_->bss->dropped_events, __ATOMIC_RELAXED) : 0;
}

uint64_t probe_control::missed_runs() const
{
    uint64_t missed = 0;
    if (!skel_)
        return 0;
    bpf_program *prog = nullptr;
    bpf_object__for_each_program(prog, skel_->obj)
    {
        const int fd = bpf_program__fd(prog);
        if (fd < 0)
            continue;
        bpf_prog_info info{};
        uint32_t length = sizeof(info);
        if (bpf_obj_get_info_by_fd(fd, &info, &length) == 0)
            missed += info.recursion_misses;
    }
    return missed;
}

void probe_control::stop()
{
    for (bpf_link *link : links_)
        bpf_link__destroy(link);
    links_.clear();
    close_kprobe_events(plan_);
    plan_ = attach_plan{};
    if (ring_) {
        ring_buffer__free(ring_);
        ring_ = nullptr;
    }
    if (skel_) {
        corvane_ebpf_bpf__destroy(skel_);
        skel_ = nullptr;
    }
}

int print_libbpf_message(enum libbpf_print_level level, const char *format, va_list args)
{
    if (level == LIBBPF_DEBUG)
        return 0;
    return std::vfprintf(stderr, format, args);
}
