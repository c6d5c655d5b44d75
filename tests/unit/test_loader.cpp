// The loader's choices (attach mode and points, listing) and the embedded
// eBPF object as real libbpf opens it: map shapes and record layouts must
// agree with common.h. Nothing here loads a program into this machine's kernel.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <bpf/btf.h>
#include <bpf/libbpf.h>

#include "base/corvane.h"
#include "corvane_ebpf.skel.h"
#include "corvane_ebpf/loader.h"

namespace {

std::vector<std::string> attach_lines(attach_mode mode, const std::set<std::string> &functions)
{
    std::vector<std::string> lines;
    for (const auto &c :
         choose_attach_targets(mode, [&](const char *f) { return functions.count(f) > 0; }))
        lines.push_back(format_attach_choice(c));
    return lines;
}

// What Debian's 6.1 and 6.12 kernels offer (iomap_write_iter inlined), on
// x86_64 and on arm64.
const std::set<std::string> debian_functions = {
    "submit_bio_noacct",      "iomap_iter",      "blkdev_write_iter",
    "filemap_page_mkwrite",   "blk_execute_rq",  "blk_execute_rq_nowait",
    "blk_rq_map_user_iov",    "blk_rq_map_kern", "vfs_create_mount",
    "generic_shutdown_super", "blkdev_ioctl",    "security_file_ioctl",
    "__x64_sys_ioctl"};

std::set<std::string> on_arm64(std::set<std::string> functions)
{
    functions.erase("__x64_sys_ioctl");
    functions.insert("__arm64_sys_ioctl");
    return functions;
}

} // namespace

// Every point is found on Debian's kernels in both modes; an inlined function's
// caller is taken, and arm64's 6.1, without trampolines, keeps the entry of
// iomap_iter's return by a kprobe.
TEST(AttachTargets, DebianKernelsInBothModes)
{
    const auto fentry = attach_lines(attach_mode::fentry, debian_functions);
    const auto kprobe = attach_lines(attach_mode::kprobe, on_arm64(debian_functions));
    ASSERT_EQ(fentry.size(), 13u);
    ASSERT_EQ(kprobe.size(), 13u);
    for (const auto *lines : {&fentry, &kprobe})
        for (const std::string &line : *lines)
            EXPECT_FALSE(line.ends_with(": none")) << line;
    EXPECT_EQ(fentry[1], "attach monitor_iomap_write_iter: fexit iomap_iter");
    EXPECT_EQ(fentry[9], "attach monitor_shutdown_super: fexit generic_shutdown_super");
    EXPECT_EQ(fentry[12], "attach monitor_resize_done: fexit __x64_sys_ioctl");
    EXPECT_EQ(kprobe[1], "attach monitor_iomap_write_iter: kprobe+kretprobe iomap_iter");
    EXPECT_EQ(kprobe[9], "attach monitor_shutdown_super: kprobe generic_shutdown_super");
    EXPECT_EQ(kprobe[12], "attach monitor_resize_done: kretprobe __arm64_sys_ioctl");
}

TEST(AttachTargets, FallbacksAndMissingFunctions)
{
    // The out-of-line function first, the system-call exit of arm64; a missing
    // optional probe is "none".
    std::set<std::string> other = {"submit_bio_noacct", "iomap_write_iter", "iomap_iter",
                                   "vfs_create_mount",  "blkdev_ioctl",     "__arm64_sys_ioctl"};
    const auto lines = attach_lines(attach_mode::fentry, other);
    EXPECT_EQ(lines[1], "attach monitor_iomap_write_iter: fentry iomap_write_iter");
    EXPECT_EQ(lines[2], "attach monitor_blkdev_write_iter: none");
    EXPECT_EQ(lines[12], "attach monitor_resize_done: fexit __arm64_sys_ioctl");
    EXPECT_EQ(attach_lines(attach_mode::kprobe, other)[1],
              "attach monitor_iomap_write_iter: kprobe iomap_write_iter");

    // Without the block-layer entry, or the super block's teardown,
    // the monitor cannot work.
    for (attach_mode mode : {attach_mode::fentry, attach_mode::kprobe}) {
        const auto choices = choose_attach_targets(mode, [](const char *) { return false; });
        ASSERT_EQ(choices.size(), 13u);
        EXPECT_TRUE(choices[0].required && choices[0].program.empty());
    }
    const auto kprobes = choose_attach_targets(attach_mode::kprobe, [&](const char *f) {
        return debian_functions.count(f) > 0 && std::strcmp(f, "generic_shutdown_super") != 0;
    });
    EXPECT_TRUE(kprobes[9].required && kprobes[9].program.empty());
}

TEST(Listing, DiskRangesSummedUpUnlessAllAsked)
{
    wwid_t wwid{};
    for (int i = 0; i < 16; ++i)
        wwid.buf[i] = static_cast<uint8_t>(i * 0x11);
    const std::vector<fs_range> two = {{0, 8192, ENUM_FS_TYPE_EXT4, RANGE_KIND_METADATA, 1},
                                       {1048576, 1052672, ENUM_FS_TYPE_XFS, RANGE_KIND_DATA, 2}};
    EXPECT_EQ(format_disk_listing(wwid, two, false), "wwid: 00112233445566778899aabbccddeeff\n"
                                                     "ext4:[0, 8192) xfs:[1048576, 1052672) \n");

    // A large table is summed up unless every range is asked for.
    std::vector<fs_range> many(1000, fs_range{0, 1, ENUM_FS_TYPE_EXT4, 0, 0});
    const std::string summed = format_disk_listing(wwid, many, false);
    EXPECT_NE(summed.find("... (1000 ranges in all; -m 1 lists every one)"), std::string::npos);
    const std::string full = format_disk_listing(wwid, many, true);
    EXPECT_EQ(std::count(full.begin(), full.end(), '['), 1000);
}

// ---- the embedded object, opened (never loaded) by real libbpf --------------

class EmbeddedObject : public ::testing::Test {
  protected:
    void SetUp() override
    {
        skel_ = corvane_ebpf_bpf__open();
        ASSERT_NE(skel_, nullptr) << "libbpf could not open the embedded object";
        btf_ = bpf_object__btf(skel_->obj);
        ASSERT_NE(btf_, nullptr);
    }
    void TearDown() override { corvane_ebpf_bpf__destroy(skel_); }

    long long struct_size(const char *name)
    {
        const int id = btf__find_by_name_kind(btf_, name, BTF_KIND_STRUCT);
        return id < 0 ? -1 : btf__resolve_size(btf_, id);
    }

    corvane_ebpf_bpf *skel_ = nullptr;
    const btf *btf_ = nullptr;
};

TEST_F(EmbeddedObject, MapsAndRecordsMatchCommonH)
{
    const auto &m = skel_->maps;
    EXPECT_EQ(bpf_map__type(m.events), BPF_MAP_TYPE_RINGBUF);
    EXPECT_EQ(bpf_map__type(m.map_disks), BPF_MAP_TYPE_HASH_OF_MAPS);
    EXPECT_EQ(bpf_map__key_size(m.map_disks), sizeof(wwid_t));
    EXPECT_EQ(bpf_map__value_size(m.map_code), sizeof(code_ranges_t));
    EXPECT_EQ(bpf_map__max_entries(m.map_code), (unsigned)FS_TYPE_COUNT);
    EXPECT_EQ(bpf_map__key_size(m.map_instances), sizeof(wwid_t));
    EXPECT_EQ(bpf_map__value_size(m.map_instances), sizeof(disk_instances_t));
    EXPECT_EQ(bpf_map__value_size(m.map_disk_checks), sizeof(disk_check_t));
    EXPECT_EQ(bpf_map__max_entries(m.map_dest_infos), (unsigned)MAX_QUEUE_LENGTH);
    EXPECT_EQ(struct_size("report_event"), (long long)sizeof(event_t));
    EXPECT_EQ(struct_size("fs_range"), (long long)sizeof(fs_range_t));
    EXPECT_EQ(struct_size("disk_instances"), (long long)sizeof(disk_instances_t));
}

// Every program a choice names exists with the type and attach kind the
// loader attaches it with, and every program of the object is named by some
// choice.
TEST_F(EmbeddedObject, EveryChosenProgramExistsWithItsKind)
{
    const std::set<std::string> fallback = {"submit_bio_noacct", "iomap_write_iter", "path_umount",
                                            "vfs_create_mount", "blkdev_ioctl"};
    std::set<std::string> named;
    for (attach_mode mode : {attach_mode::fentry, attach_mode::kprobe})
        for (const auto *functions : {&debian_functions, &fallback})
            for (const auto &set : {*functions, on_arm64(*functions)})
                for (const auto &c :
                     choose_attach_targets(mode, [&](const char *f) { return set.count(f) > 0; })) {
                    if (c.program.empty())
                        continue;
                    std::vector<std::pair<std::string, std::string>> programs = {
                        {c.program, c.kind}};
                    if (!c.entry_program.empty())
                        programs.emplace_back(c.entry_program, "kprobe");
                    for (const auto &[name, kind] : programs) {
                        named.insert(name);
                        bpf_program *prog =
                            bpf_object__find_program_by_name(skel_->obj, name.c_str());
                        ASSERT_NE(prog, nullptr) << name;
                        if (mode == attach_mode::fentry) {
                            EXPECT_EQ(bpf_program__expected_attach_type(prog),
                                      kind == "fexit" ? BPF_TRACE_FEXIT : BPF_TRACE_FENTRY)
                                << name;
                        } else {
                            EXPECT_EQ(bpf_program__type(prog), BPF_PROG_TYPE_KPROBE) << name;
                            EXPECT_EQ(bpf_program__section_name(prog), kind) << name;
                        }
                    }
                }
    bpf_program *prog = nullptr;
    bpf_object__for_each_program(prog, skel_->obj)
    {
        EXPECT_TRUE(named.count(bpf_program__name(prog))) << bpf_program__name(prog);
    }
    size_t size = 0;
    const char *elf = static_cast<const char *>(corvane_ebpf_bpf__elf_bytes(&size));
    const char licence[] = "Dual BSD/GPL";
    EXPECT_NE(memmem(elf, size, licence, sizeof(licence)), nullptr);
}
