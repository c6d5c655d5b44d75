// xfs analysis of arbitrary bytes. The device is the input followed by zeros
// up to DEVICE_SIZE (a sparse tail that costs no memory): the analysis reads
// the superblock only, so its first sector stands for the whole file system.
#include "fs_layout_check.h"

namespace {

constexpr uint64_t DEVICE_SIZE = uint64_t{2} << 30;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const device_file device = device_file::from_bytes(data, size, DEVICE_SIZE, "fuzz-xfs");
    fuzz_check::check_analysis(ENUM_FS_TYPE_XFS, device);
    return 0;
}
