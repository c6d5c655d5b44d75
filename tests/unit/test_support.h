// Helpers shared by the unit tests: temporary files, loop devices, running commands.
#pragma once

#include <filesystem>
#include <string>

namespace test_support {

struct command_result {
    int status = -1; // exit status, or -1 when the command did not exit normally
    std::string out;
    std::string err;
};

// Runs a shell command line; captures standard output and standard error.
command_result run(const std::string &command_line);

// A directory under /tmp removed with everything in it when the object dies.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::filesystem::path &path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Attaches an image file to a free loop device (read-write); detached on destruction.
class loop_device {
  public:
    explicit loop_device(const std::filesystem::path &image);
    ~loop_device();
    loop_device(const loop_device &) = delete;
    loop_device &operator=(const loop_device &) = delete;
    bool ok() const { return !device_.empty(); }
    const std::string &device() const { return device_; }

  private:
    std::string device_;
};

// True when loop devices can be attached here (root, losetup present, /dev/loop-control).
bool loop_devices_available();
// True when the given program is on PATH.
bool have_program(const std::string &name);

} // namespace test_support

// Skips the current test with a reason when the condition does not hold.
#define REQUIRE_OR_SKIP(cond, why)                                                                 \
    do {                                                                                           \
        if (!(cond))                                                                               \
            GTEST_SKIP() << why;                                                                   \
    } while (0)
