// The loader's pure parts (range merging, map listing, attach-point choice,
// lost-report warnings) and the embedded eBPF object as real libbpf opens it:
// names, order and record layouts must agree with common.h. Nothing here loads
// a program into this machine's kernel.
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

fs_range_set make_set(uint64_t count, uint64_t base, ENUM_FS_TYPE type)
{
    fs_range_set set{};
    set.cnt = count;
    for (uint64_t i = 0; i < count && i < MAX_RANGE_COUNT; ++i)
        set.arr[i] = fs_range{base + i * 4096, base + i * 4096 + 4096, type, 7, 0xdead};
    return set;
}

} // namespace

TEST(AppendRanges, TwoRecordsOfOneDiskAreCappedAt128)
{
    fs_range_set set{};
    EXPECT_TRUE(append_ranges(set, make_set(100, 0, ENUM_FS_TYPE_EXT4)));
    EXPECT_EQ(set.cnt, 100u);
    EXPECT_FALSE(append_ranges(set, make_set(50, 1 << 30, ENUM_FS_TYPE_XFS)));
    ASSERT_EQ(set.cnt, 128u);
    // All 100 of the first record, then the first 28 of the second, in order.
    EXPECT_EQ(set.arr[99].first, 99u * 4096);
    EXPECT_EQ(set.arr[100].first, 1u << 30);
    EXPECT_EQ(set.arr[100].type, ENUM_FS_TYPE_XFS);
    EXPECT_EQ(set.arr[127].first, (1u << 30) + 27u * 4096);
    for (uint64_t i = 0; i < set.cnt; ++i)
        EXPECT_EQ(set.arr[i].mount_sb, 0u) << i;
    // A full set takes nothing more and says so.
    EXPECT_FALSE(append_ranges(set, make_set(1, 0, ENUM_FS_TYPE_EXT4)));
    EXPECT_EQ(set.cnt, 128u);
}

TEST(AppendRanges, EmptyRecordStillGivesAnEntryAndBadCountsAreCapped)
{
    fs_range_set set{};
    EXPECT_TRUE(append_ranges(set, fs_range_set{}));
    EXPECT_EQ(set.cnt, 0u);
    fs_range_set bogus = make_set(MAX_RANGE_COUNT, 0, ENUM_FS_TYPE_EXT4);
    bogus.cnt = 1000; // never read beyond the array
    EXPECT_FALSE(append_ranges(set, bogus));
    EXPECT_EQ(set.cnt, 128u);
}

TEST(MapDump, DiskAndModuleLines)
{
    fs_range_set set{};
    set.cnt = 2;
    set.arr[0] = fs_range{0, 8192, ENUM_FS_TYPE_EXT4, 0, 0};
    set.arr[1] = fs_range{1048576, 1052672, ENUM_FS_TYPE_EXT4, 0, 0};
    wwid_t wwid{};
    for (int i = 0; i < 16; ++i)
        wwid.buf[i] = static_cast<uint8_t>(i * 0x11);
    EXPECT_EQ(format_wwid_dump(wwid, set), "wwid: 00112233445566778899aabbccddeeff\n"
                                           "ext4:[0, 8192) ext4:[1048576, 1052672) \n");
    EXPECT_EQ(format_wwid_dump(wwid, fs_range_set{}), "wwid: 00112233445566778899aabbccddeeff\n\n");
    fs_range module{0xffff800001230000ULL, 0xffff800001310000ULL, ENUM_FS_TYPE_EXT4, 0, 0};
    EXPECT_EQ(format_module_dump(ENUM_FS_TYPE_EXT4, module),
              "ext4 module's memory address range: [ffff800001230000, ffff800001310000)\n");
    EXPECT_EQ(format_module_dump(9, fs_range{16, 255, ENUM_FS_TYPE_XFS, 0, 0}),
              "unknown module's memory address range: [10, ff)\n");
}

TEST(AttachTargets, DesignatedFunctionsWhenTheKernelHasThem)
{
    const std::set<std::string> all = {"iomap_write_iter", "iomap_iter", "submit_bio",
                                       "vfs_create_mount", "do_umount",  "path_umount",
                                       "blkdev_write_iter"};
    const auto choices = choose_attach_targets([&](const char *f) { return all.count(f) > 0; });
    std::vector<std::string> lines;
    for (const auto &c : choices)
        lines.push_back(format_attach_choice(c));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "attach monitor_iomap_write_iter: fentry iomap_write_iter",
                         "attach monitor_submit_bio: fentry submit_bio",
                         "attach monitor_vfs_create_mount: fentry vfs_create_mount",
                         "attach monitor_do_umount: fexit do_umount",
                         "attach monitor_blkdev_write_iter: fentry blkdev_write_iter"}));
}

TEST(AttachTargets, DebianKernelsUseTheCallersAndTheSuperBlockTeardown)
{
    // Debian 6.1 and 6.12: iomap_write_iter and do_umount are inlined.
    const std::set<std::string> debian = {"iomap_iter",
                                          "submit_bio",
                                          "vfs_create_mount",
                                          "path_umount",
                                          "generic_shutdown_super",
                                          "blkdev_write_iter"};
    const auto choices = choose_attach_targets([&](const char *f) { return debian.count(f) > 0; });
    ASSERT_EQ(choices.size(), 5u);
    EXPECT_EQ(choices[0].program, "monitor_iomap_iter");
    EXPECT_EQ(format_attach_choice(choices[0]),
              "attach monitor_iomap_write_iter: fexit iomap_iter");
    EXPECT_EQ(choices[3].program, "monitor_shutdown_super");
    EXPECT_EQ(format_attach_choice(choices[3]),
              "attach monitor_do_umount: fexit generic_shutdown_super");
}

TEST(AttachTargets, UnmountReturnWithoutSuperBlockTeardown)
{
    const auto path_only =
        choose_attach_targets([](const char *f) { return std::strcmp(f, "path_umount") == 0; });
    EXPECT_EQ(format_attach_choice(path_only[0]), "attach monitor_iomap_write_iter: none");
    EXPECT_EQ(format_attach_choice(path_only[3]), "attach monitor_do_umount: fexit path_umount");
    EXPECT_EQ(path_only.size(), 4u); // no block-device write probe without blkdev_write_iter
}

TEST(LostEvents, WarnsOnlyWhenTheCountGrows)
{
    EXPECT_FALSE(lost_events_message(0, 0));
    EXPECT_FALSE(lost_events_message(5, 5));
    EXPECT_EQ(lost_events_message(5, 12).value_or(""),
              "warning: 7 reports lost, the ring buffer was full (12 in total)\n");
}

TEST(Loader, PollAndStopWithoutStartDoNothing)
{
    poll_events(0);
    EXPECT_TRUE(stop_bpf());
    EXPECT_TRUE(stop_bpf());
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

TEST_F(EmbeddedObject, MapsInContractOrder)
{
    std::vector<std::string> names;
    bpf_map *map = nullptr;
    bpf_object__for_each_map(map, skel_->obj) names.push_back(bpf_map__name(map));
    const std::vector<std::string> expected = {
        "events",         "map_wwid_ranges",  "map_module_ranges", "map_dest_infos",
        "gendisk",        "mapped_device",    "dm_table",          "dm_target",
        "target_type",    "target_type_name", "linear_c",          "dm_dev",
        "block_device",   "open_fn",          "io_disk_info",      "multipath",
        "pgpath",         "dm_path",          "highs_index",       "dm_rule_sector_info",
        "dm_sector_info", "event_buf",        "corvane_.bss",      "corvane_.rodata"};
    EXPECT_EQ(names, expected);
}

TEST_F(EmbeddedObject, MapShapesMatchTheSharedRecords)
{
    EXPECT_EQ(bpf_map__type(skel_->maps.events), BPF_MAP_TYPE_RINGBUF);
    // Declared as 10 MiB; libbpf rounds a ring up to a power of two at open.
    EXPECT_EQ(bpf_map__max_entries(skel_->maps.events), 16777216u);
    EXPECT_EQ(bpf_map__type(skel_->maps.map_wwid_ranges), BPF_MAP_TYPE_HASH);
    EXPECT_EQ(bpf_map__key_size(skel_->maps.map_wwid_ranges), sizeof(wwid_t));
    EXPECT_EQ(bpf_map__value_size(skel_->maps.map_wwid_ranges), sizeof(fs_range_set_t));
    EXPECT_EQ(bpf_map__max_entries(skel_->maps.map_wwid_ranges), 32u);
    EXPECT_EQ(bpf_map__key_size(skel_->maps.map_module_ranges), 4u);
    EXPECT_EQ(bpf_map__value_size(skel_->maps.map_module_ranges), sizeof(fs_range_t));
    EXPECT_EQ(bpf_map__type(skel_->maps.map_dest_infos), BPF_MAP_TYPE_PERCPU_ARRAY);
    EXPECT_EQ(bpf_map__max_entries(skel_->maps.map_dest_infos), (unsigned)MAX_QUEUE_LENGTH);
    EXPECT_EQ(bpf_map__value_size(skel_->maps.map_dest_infos), 24u);
    EXPECT_EQ(bpf_map__max_entries(skel_->maps.io_disk_info), 2u);
    EXPECT_EQ(bpf_map__value_size(skel_->maps.event_buf), sizeof(event_t));
}

TEST_F(EmbeddedObject, RecordLayoutsInTheObjectAgreeWithCommonH)
{
    EXPECT_EQ(struct_size("report_event"), (long long)sizeof(event_t));
    EXPECT_EQ(struct_size("fs_range"), (long long)sizeof(fs_range_t));
    EXPECT_EQ(struct_size("fs_range_set"), (long long)sizeof(fs_range_set_t));
    EXPECT_EQ(struct_size("wwid_buf"), (long long)sizeof(wwid_t));
    EXPECT_EQ(struct_size("io_disk_info"), 24);
}

TEST_F(EmbeddedObject, GlobalsAtTheirOffsets)
{
    const int id = btf__find_by_name_kind(btf_, ".bss", BTF_KIND_DATASEC);
    ASSERT_GE(id, 0);
    const btf_type *sec = btf__type_by_id(btf_, id);
    const btf_var_secinfo *vars = btf_var_secinfos(sec);
    std::vector<std::pair<std::string, unsigned>> layout;
    for (unsigned i = 0; i < btf_vlen(sec); ++i) {
        const btf_type *var = btf__type_by_id(btf_, vars[i].type);
        layout.emplace_back(btf__name_by_offset(btf_, var->name_off), vars[i].offset);
    }
    ASSERT_GE(layout.size(), 4u);
    EXPECT_EQ(layout[0], std::make_pair(std::string("sd_open_addr"), 0u));
    EXPECT_EQ(layout[1], std::make_pair(std::string("dm_open_addr"), 8u));
    EXPECT_EQ(layout[2], std::make_pair(std::string("debug_mask"), 16u));
    EXPECT_EQ(layout[3], std::make_pair(std::string("dm_blk_open_addr"), 24u));
    EXPECT_EQ(offsetof(corvane_ebpf_bpf::corvane_ebpf_bpf__bss, dropped_events), 32u);
    EXPECT_EQ(bpf_map__value_size(skel_->maps.bss), sizeof(*skel_->bss));
}

TEST_F(EmbeddedObject, ProgramsAndLicence)
{
    std::vector<std::string> names;
    bpf_program *prog = nullptr;
    bpf_object__for_each_program(prog, skel_->obj) names.push_back(bpf_program__name(prog));
    ASSERT_GE(names.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 4),
              (std::vector<std::string>{"monitor_iomap_write_iter", "monitor_submit_bio",
                                        "monitor_vfs_create_mount", "monitor_do_umount"}));
    // Every program an attach choice can name exists in the object.
    const auto choices = choose_attach_targets([](const char *) { return true; });
    const auto fallbacks = choose_attach_targets([](const char *f) {
        return std::strcmp(f, "iomap_write_iter") != 0 && std::strcmp(f, "do_umount") != 0;
    });
    for (const auto *list : {&choices, &fallbacks})
        for (const auto &c : *list)
            EXPECT_NE(bpf_object__find_program_by_name(skel_->obj, c.program.c_str()), nullptr)
                << c.program;
    EXPECT_EQ(bpf_program__type(skel_->progs.monitor_submit_bio), BPF_PROG_TYPE_TRACING);
    EXPECT_EQ(bpf_program__expected_attach_type(skel_->progs.monitor_do_umount), BPF_TRACE_FEXIT);
    EXPECT_EQ(bpf_program__expected_attach_type(skel_->progs.monitor_iomap_iter), BPF_TRACE_FEXIT);

    size_t size = 0;
    const char *elf = static_cast<const char *>(corvane_ebpf_bpf__elf_bytes(&size));
    const char licence[] = "Dual BSD/GPL";
    EXPECT_NE(memmem(elf, size, licence, sizeof(licence)), nullptr);
}
