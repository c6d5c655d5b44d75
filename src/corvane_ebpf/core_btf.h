// Kernel type information for the probes' CO-RE relocations.
//
// The probes read device-mapper and SCSI structures that live in module BTF
// (dm_mod, dm_multipath, sd_mod, scsi_mod). libbpf finds module BTF through
// the BPF_BTF_GET_NEXT_ID command, which needs CAP_SYS_ADMIN, a capability
// corvane does not keep. The same information is readable as files under
// /sys/kernel/btf, so corvane merges vmlinux and those modules into one BTF
// and hands it to libbpf as the relocation target.
#pragma once

#include <string>
#include <vector>

struct btf;

// Appends the split types of module (a split BTF on base) to merged, which
// started as a copy of base, remapping the module's own type ids to their new
// place. False (merged partly changed) on a libbpf failure.
bool append_split_btf(btf *merged, const btf *base, const btf *module);

// The vmlinux BTF at dir/vmlinux with the named modules found in dir appended,
// as raw BTF bytes; empty when vmlinux cannot be read.
std::vector<char> merge_kernel_btf(const std::string &dir, const std::vector<std::string> &modules);

// Modules whose structures the probes read.
const std::vector<std::string> &probe_btf_modules();

// The merged BTF kept in an anonymous memory file while the object loads.
class core_btf_file {
  public:
    core_btf_file() = default;
    ~core_btf_file();
    core_btf_file(const core_btf_file &) = delete;
    core_btf_file &operator=(const core_btf_file &) = delete;
    // Builds it from /sys/kernel/btf; false when not possible (libbpf then
    // falls back to its own search).
    bool create();
    // A path libbpf can open, valid while this object lives.
    const std::string &path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
};
