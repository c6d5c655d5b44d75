// A block device (or, for tests and fuzzing, a regular file or bytes in memory)
// opened once, read-only; every look at the device goes through its descriptor.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

class device_file {
  public:
    // Opens path with O_RDONLY | O_CLOEXEC. Throws fs_parser_exception when it
    // cannot be opened or measured, and "it is not a block device" when it is
    // none while require_block_device is set (regular files are allowed only
    // without it).
    static device_file open(const std::string &path, bool require_block_device = true);
    // A memory-backed file holding the given bytes, followed by zeros up to
    // size bytes when size is larger (a sparse tail that costs no memory).
    static device_file from_bytes(const void *data, size_t length, uint64_t size,
                                  const std::string &name = "memory");

    device_file(device_file &&other) noexcept;
    device_file &operator=(device_file &&other) noexcept;
    device_file(const device_file &) = delete;
    device_file &operator=(const device_file &) = delete;
    ~device_file();

    int fd() const { return fd_; }
    const std::string &path() const { return path_; }
    // st_rdev: the device number of a block device, 0 for a file.
    dev_t rdev() const { return rdev_; }
    // Size in bytes: BLKGETSIZE64 for a block device, st_size for a file.
    uint64_t size() const { return size_; }

    // Reads exactly n bytes at offset; false on a short read, an error or a
    // range reaching past the end of the device.
    bool read_at(void *buf, size_t n, uint64_t offset) const;

  private:
    device_file(int fd, std::string path);
    void measure(bool require_block_device);

    int fd_ = -1;
    std::string path_;
    dev_t rdev_ = 0;
    uint64_t size_ = 0;
};
