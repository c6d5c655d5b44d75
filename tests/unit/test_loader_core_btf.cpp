// Merging module BTF into the vmlinux BTF for the probes' relocations: type ids
// of each module must be moved to where its types land, references into the
// base must stay. Built from small BTF objects with real libbpf.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include <bpf/btf.h>

#include "corvane_ebpf/core_btf.h"
#include "test_support.h"

namespace {

using btf_ptr = std::unique_ptr<btf, decltype(&btf__free)>;

// Base: [1] int, [2] struct gendisk { int minors; }.
btf_ptr make_base()
{
    btf_ptr base(btf__new_empty(), btf__free);
    const int int_id = btf__add_int(base.get(), "int", 4, BTF_INT_SIGNED);
    btf__add_struct(base.get(), "gendisk", 4);
    btf__add_field(base.get(), "minors", int_id, 0, 0);
    return base;
}

// A module: struct <name> { struct <name>_inner *inner; struct gendisk *disk; int n; }
// with struct <name>_inner { int x; } and pointers to its own and to base types.
btf_ptr make_module(btf *base, const std::string &name)
{
    btf_ptr mod(btf__new_empty_split(base), btf__free);
    const int inner = btf__add_struct(mod.get(), (name + "_inner").c_str(), 4);
    btf__add_field(mod.get(), "x", 1, 0, 0);
    const int inner_ptr = btf__add_ptr(mod.get(), inner);
    const int disk_ptr = btf__add_ptr(mod.get(), 2);
    btf__add_struct(mod.get(), name.c_str(), 20);
    btf__add_field(mod.get(), "inner", inner_ptr, 0, 0);
    btf__add_field(mod.get(), "disk", disk_ptr, 64, 0);
    btf__add_field(mod.get(), "n", 1, 128, 0);
    return mod;
}

// Name of the struct that member `member` of struct `name` points to.
std::string pointee_of(const btf *b, const std::string &name, int member)
{
    const int id = btf__find_by_name_kind(b, name.c_str(), BTF_KIND_STRUCT);
    if (id < 0)
        return "<no " + name + ">";
    const btf_type *t = btf__type_by_id(b, id);
    const btf_type *ptr = btf__type_by_id(b, btf_members(t)[member].type);
    if (!ptr || !btf_is_ptr(ptr))
        return "<not a pointer>";
    const btf_type *target = btf__type_by_id(b, ptr->type);
    return target ? btf__name_by_offset(b, target->name_off) : "<dangling>";
}

std::string write_raw(const btf *b, const std::filesystem::path &path)
{
    __u32 size = 0;
    const void *raw = btf__raw_data(b, &size);
    std::ofstream(path, std::ios::binary).write(static_cast<const char *>(raw), size);
    return path.string();
}

} // namespace

TEST(CoreBtf, TwoModulesKeepTheirOwnAndTheBaseReferences)
{
    btf_ptr base = make_base();
    btf_ptr merged(btf__new_empty(), btf__free);
    ASSERT_GE(btf__add_btf(merged.get(), base.get()), 0);
    btf_ptr dm = make_module(base.get(), "mapped_device");
    btf_ptr mp = make_module(base.get(), "multipath");
    ASSERT_TRUE(append_split_btf(merged.get(), base.get(), dm.get()));
    ASSERT_TRUE(append_split_btf(merged.get(), base.get(), mp.get()));

    EXPECT_EQ(pointee_of(merged.get(), "mapped_device", 0), "mapped_device_inner");
    EXPECT_EQ(pointee_of(merged.get(), "mapped_device", 1), "gendisk");
    // The second module's own ids moved past the first module's types.
    EXPECT_EQ(pointee_of(merged.get(), "multipath", 0), "multipath_inner");
    EXPECT_EQ(pointee_of(merged.get(), "multipath", 1), "gendisk");
    const int mp_id = btf__find_by_name_kind(merged.get(), "multipath", BTF_KIND_STRUCT);
    EXPECT_EQ(btf__resolve_size(merged.get(), mp_id), 20);
}

TEST(CoreBtf, MergesModuleFilesFoundInADirectoryAndSkipsAbsentOnes)
{
    test_support::temp_dir dir;
    btf_ptr base = make_base();
    write_raw(base.get(), dir.path() / "vmlinux");
    btf_ptr dm = make_module(base.get(), "mapped_device");
    write_raw(dm.get(), dir.path() / "dm_mod");

    const auto raw = merge_kernel_btf(dir.path().string(), {"scsi_mod", "dm_mod"});
    ASSERT_FALSE(raw.empty());
    btf_ptr merged(btf__new(raw.data(), raw.size()), btf__free);
    ASSERT_NE(merged, nullptr);
    EXPECT_EQ(pointee_of(merged.get(), "mapped_device", 0), "mapped_device_inner");
    EXPECT_EQ(pointee_of(merged.get(), "mapped_device", 1), "gendisk");

    EXPECT_TRUE(merge_kernel_btf((dir.path() / "none").string(), {"dm_mod"}).empty());
}

TEST(CoreBtf, ThisKernelsBtfMergesAndParses)
{
    REQUIRE_OR_SKIP(access("/sys/kernel/btf/vmlinux", R_OK) == 0, "no kernel BTF");
    core_btf_file file;
    ASSERT_TRUE(file.create());
    btf_ptr parsed(btf__parse(file.path().c_str(), nullptr), btf__free);
    ASSERT_NE(parsed, nullptr);
    EXPECT_GE(btf__find_by_name_kind(parsed.get(), "gendisk", BTF_KIND_STRUCT), 0);
}
