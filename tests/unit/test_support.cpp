#include "test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace test_support {

static std::string slurp(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

command_result run(const std::string &command_line)
{
    temp_dir dir;
    fs::path out = dir.path() / "out", err = dir.path() / "err";
    std::string full =
        "(" + command_line + ") >" + out.string() + " 2>" + err.string() + " </dev/null";
    int raw = std::system(full.c_str());
    command_result r;
    if (raw != -1 && WIFEXITED(raw))
        r.status = WEXITSTATUS(raw);
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

temp_dir::temp_dir()
{
    std::string pattern = (fs::temp_directory_path() / "corvane-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

loop_device::loop_device(const fs::path &image)
{
    command_result r = run("losetup --find --show '" + image.string() + "'");
    if (r.status == 0 && !r.out.empty())
        device_ = r.out.substr(0, r.out.find('\n'));
}

loop_device::~loop_device()
{
    if (!device_.empty())
        run("losetup -d " + device_);
}

bool have_program(const std::string &name)
{
    return run("command -v " + name).status == 0;
}

bool loop_devices_available()
{
    return geteuid() == 0 && have_program("losetup") && fs::exists("/dev/loop-control");
}

} // namespace test_support
