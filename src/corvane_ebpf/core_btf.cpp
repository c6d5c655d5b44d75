#include "corvane_ebpf/core_btf.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include <bpf/btf.h>
#include <linux/btf.h>

namespace {

using btf_ptr = std::unique_ptr<btf, decltype(&btf__free)>;

// Moves a reference into the module's own id range to the range the module's
// types were appended at; references into the base stay.
struct id_remap {
    __u32 base_count; // first id of the module's own types
    __u32 first_new;  // where they start in the merged BTF
    void operator()(__u32 &id) const
    {
        if (id >= base_count)
            id = id - base_count + first_new;
    }
};

void remap_type_ids(btf_type *t, const id_remap &remap)
{
    switch (btf_kind(t)) {
    case BTF_KIND_PTR:
    case BTF_KIND_TYPEDEF:
    case BTF_KIND_VOLATILE:
    case BTF_KIND_CONST:
    case BTF_KIND_RESTRICT:
    case BTF_KIND_FUNC:
    case BTF_KIND_VAR:
    case BTF_KIND_TYPE_TAG:
    case BTF_KIND_DECL_TAG:
        remap(t->type);
        break;
    case BTF_KIND_ARRAY: {
        struct btf_array *a = btf_array(t);
        remap(a->type);
        remap(a->index_type);
        break;
    }
    case BTF_KIND_STRUCT:
    case BTF_KIND_UNION: {
        btf_member *m = btf_members(t);
        for (__u16 i = 0; i < btf_vlen(t); ++i)
            remap(m[i].type);
        break;
    }
    case BTF_KIND_FUNC_PROTO: {
        remap(t->type);
        btf_param *p = btf_params(t);
        for (__u16 i = 0; i < btf_vlen(t); ++i)
            remap(p[i].type);
        break;
    }
    case BTF_KIND_DATASEC: {
        btf_var_secinfo *v = btf_var_secinfos(t);
        for (__u16 i = 0; i < btf_vlen(t); ++i)
            remap(v[i].type);
        break;
    }
    default: // INT, ENUM, ENUM64, FWD, FLOAT refer to no type
        break;
    }
}

} // namespace

bool append_split_btf(btf *merged, const btf *base, const btf *module)
{
    const id_remap remap{btf__type_cnt(base), btf__type_cnt(merged)};
    const __u32 end = btf__type_cnt(module);
    for (__u32 id = remap.base_count; id < end; ++id) {
        const int new_id = btf__add_type(merged, module, btf__type_by_id(module, id));
        if (new_id < 0)
            return false;
        // The merged BTF is writable after btf__add_type; its type records are
        // patched in place.
        remap_type_ids(const_cast<btf_type *>(btf__type_by_id(merged, new_id)), remap);
    }
    return true;
}

const std::vector<std::string> &probe_btf_modules()
{
    static const std::vector<std::string> modules = {"scsi_mod", "sd_mod", "dm_mod", "dm_multipath",
                                                     "dm_crypt"};
    return modules;
}

std::vector<char> merge_kernel_btf(const std::string &dir, const std::vector<std::string> &modules)
{
    const std::string vmlinux = dir + "/vmlinux";
    btf_ptr base(btf__parse(vmlinux.c_str(), nullptr), btf__free);
    btf_ptr merged(btf__parse(vmlinux.c_str(), nullptr), btf__free);
    if (!base || !merged)
        return {};
    for (const auto &name : modules) {
        const std::string path = dir + "/" + name;
        if (access(path.c_str(), R_OK) != 0)
            continue; // built in, or not loaded
        btf_ptr module(btf__parse_split(path.c_str(), base.get()), btf__free);
        if (!module || !append_split_btf(merged.get(), base.get(), module.get()))
            return {};
    }
    __u32 size = 0;
    const char *raw = static_cast<const char *>(btf__raw_data(merged.get(), &size));
    if (!raw)
        return {};
    return std::vector<char>(raw, raw + size);
}

core_btf_file::~core_btf_file()
{
    if (fd_ >= 0)
        close(fd_);
}

bool core_btf_file::create()
{
    const std::vector<char> raw = merge_kernel_btf("/sys/kernel/btf", probe_btf_modules());
    if (raw.empty())
        return false;
    fd_ = memfd_create("corvane-btf", MFD_CLOEXEC);
    if (fd_ < 0)
        return false;
    size_t done = 0;
    while (done < raw.size()) {
        const ssize_t n = write(fd_, raw.data() + done, raw.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
    return access(path_.c_str(), R_OK) == 0;
}
