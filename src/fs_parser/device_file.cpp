#include "fs_parser/device_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "fs_parser/fs_parser.h"

namespace {

std::string failure(const std::string &what, const std::string &path)
{
    return "can not " + what + " " + path + ": " + std::strerror(errno);
}

} // namespace

device_file::device_file(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

device_file::device_file(device_file &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), rdev_(other.rdev_),
      size_(other.size_)
{
}

device_file &device_file::operator=(device_file &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        rdev_ = other.rdev_;
        size_ = other.size_;
    }
    return *this;
}

device_file::~device_file()
{
    if (fd_ >= 0)
        ::close(fd_);
}

device_file device_file::open(const std::string &path, bool require_block_device)
{
    // O_NONBLOCK only for the open itself: a FIFO given by mistake must not
    // wait for a writer. It is cleared again before any read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw fs_parser_exception(failure("open", path));
    device_file device(fd, path); // closes fd if measuring throws
    device.measure(require_block_device);
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        throw fs_parser_exception(failure("set up", path));
    return device;
}

device_file device_file::from_bytes(const void *data, size_t length, uint64_t size,
                                    const std::string &name)
{
    const int fd = memfd_create(name.c_str(), MFD_CLOEXEC);
    if (fd < 0)
        throw fs_parser_exception(failure("create", name));
    device_file device(fd, name);
    const auto *bytes = static_cast<const char *>(data);
    for (size_t done = 0; done < length;) {
        const ssize_t written = ::write(fd, bytes + done, length - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            throw fs_parser_exception(failure("fill", name));
        done += static_cast<size_t>(written);
    }
    if (size > length && ftruncate(fd, static_cast<off_t>(size)) != 0)
        throw fs_parser_exception(failure("extend", name));
    device.measure(false);
    return device;
}

void device_file::measure(bool require_block_device)
{
    struct stat st {};
    if (fstat(fd_, &st) != 0)
        throw fs_parser_exception(failure("examine", path_));
    if (S_ISBLK(st.st_mode)) {
        rdev_ = st.st_rdev;
        if (ioctl(fd_, BLKGETSIZE64, &size_) != 0)
            throw fs_parser_exception(failure("measure", path_));
        return;
    }
    if (require_block_device || !S_ISREG(st.st_mode))
        throw fs_parser_exception("it is not a block device");
    size_ = static_cast<uint64_t>(st.st_size);
}

bool device_file::read_at(void *buf, size_t n, uint64_t offset) const
{
    if (offset > size_ || n > size_ - offset)
        return false;
    auto *out = static_cast<char *>(buf);
    while (n > 0) {
        const ssize_t got = pread(fd_, out, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        out += got;
        n -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}
