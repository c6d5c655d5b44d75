// ext4 analysis of arbitrary bytes. The device is the input followed by
// zeros up to DEVICE_SIZE (a sparse tail that costs no memory), so that the
// leading part of an image stands for the whole file system.
#include "fs_layout_check.h"

namespace {

constexpr uint64_t DEVICE_SIZE = uint64_t{1} << 30;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const device_file device = device_file::from_bytes(data, size, DEVICE_SIZE, "fuzz-ext4");
    fuzz_check::check_analysis(ENUM_FS_TYPE_EXT4, device);
    return 0;
}
