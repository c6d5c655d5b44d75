// Privilege reduction, run in forked children so the test process keeps its own rights.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/capability.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "drop_privilege/drop_privilege.h"
#include "test_support.h"

namespace {

struct child_outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::filesystem::path &path)
{
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs body in a child whose standard output and error go to files.
child_outcome in_child(const std::function<void()> &body)
{
    test_support::temp_dir dir;
    std::string out = (dir.path() / "out").string(), err = (dir.path() / "err").string();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, STDOUT_FILENO);
        dup2(e, STDERR_FILENO);
        body();
        fflush(nullptr);
        _exit(0);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    child_outcome r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

// The value of one "Name:\tvalue" line of /proc/self/status.
std::string status_field(const std::string &status, const std::string &name)
{
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    return "";
}

void print_own_status()
{
    std::cout << slurp("/proc/self/status") << std::flush;
}

// Removes the given capabilities from the permitted and effective sets.
void lose_caps(std::initializer_list<cap_value_t> caps)
{
    cap_t state = cap_get_proc();
    for (cap_value_t cap : caps) {
        cap_set_flag(state, CAP_PERMITTED, 1, &cap, CAP_CLEAR);
        cap_set_flag(state, CAP_EFFECTIVE, 1, &cap, CAP_CLEAR);
    }
    cap_set_proc(state);
    cap_free(state);
}

const char closing_line[] = "致命错误: 缺乏必要权限！请以 root 身份运行或赋予上述权限。\n";

bool have_all_four_caps()
{
    child_outcome probe = in_child(print_own_status);
    unsigned long long permitted = std::stoull(status_field(probe.out, "CapPrm"), nullptr, 16);
    const unsigned long long four = (1ull << 39) | (1ull << 38) | (1ull << 34) | (1ull << 2);
    return (permitted & four) == four;
}

} // namespace

TEST(DropPrivilege, KeepsExactlyTheFourCapabilities)
{
    REQUIRE_OR_SKIP(have_all_four_caps(),
                    "needs CAP_BPF, CAP_PERFMON, CAP_SYSLOG, CAP_DAC_READ_SEARCH");
    child_outcome r = in_child([] {
        drop_privilege();
        print_own_status();
    });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // CAP_SYS_ADMIN (bit 21) is gone too: only the resolver process keeps it.
    EXPECT_EQ(status_field(r.out, "CapPrm"), "000000c400000004");
    EXPECT_EQ(status_field(r.out, "CapEff"), "000000c400000004");
    EXPECT_EQ(status_field(r.out, "CapInh"), "0000000000000000");
    EXPECT_EQ(status_field(r.out, "NoNewPrivs"), "1");
    unsigned long long bounding = std::stoull(status_field(r.out, "CapBnd"), nullptr, 16);
    EXPECT_EQ(bounding & ((1ull << 41) - 1), 0xc400000004ull);
}

TEST(DropPrivilege, NamesAllMissingCapabilitiesInOrderAndChangesNothing)
{
    REQUIRE_OR_SKIP(have_all_four_caps(), "needs the four capabilities to remove them");
    child_outcome r = in_child([] {
        lose_caps({CAP_DAC_READ_SEARCH, CAP_SYSLOG, CAP_PERFMON, CAP_BPF});
        drop_privilege();
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("致命错误: 缺乏 cap_bpf 权限！\n"
                                 "致命错误: 缺乏 cap_perfmon 权限！\n"
                                 "致命错误: 缺乏 cap_syslog 权限！\n"
                                 "致命错误: 缺乏 cap_dac_read_search 权限！\n") +
                         closing_line);

    // The refusal happens before anything is dropped: other capabilities and
    // the no_new_privs attribute are as they were.
    child_outcome after = in_child([] {
        lose_caps({CAP_SYSLOG});
        pid_t pid = fork();
        if (pid == 0) {
            drop_privilege();
            _exit(0);
        }
        waitpid(pid, nullptr, 0);
        print_own_status();
    });
    EXPECT_EQ(status_field(after.out, "NoNewPrivs"), "0");
}

TEST(DropPrivilege, ClosesInheritedDescriptors)
{
    child_outcome r = in_child([] {
        int fd = open("/dev/null", O_RDONLY);
        int high = dup2(fd, 100);
        close_inherited_fds();
        std::cout << (fcntl(fd, F_GETFD) == -1 ? "closed" : "open") << " "
                  << (fcntl(high, F_GETFD) == -1 ? "closed" : "open") << " "
                  << (fcntl(STDERR_FILENO, F_GETFD) == -1 ? "closed" : "open");
    });
    EXPECT_EQ(r.out, "closed closed open");
}

// The binary itself, given a device to watch (the command line and the
// configuration are read before privileges are looked at): a non-root user
// holding the four capabilities passes the capability check and is then
// refused for not being root; without them it is refused by the capability
// check and the root check is never reached.
TEST(DropPrivilege, BinaryRefusesNonRootUsers)
{
    REQUIRE_OR_SKIP(getuid() == 0 && test_support::have_program("setpriv"),
                    "needs root and setpriv");
    const std::string corvane = CORVANE_BINARY;
    const std::string caps = "+bpf,+perfmon,+syslog,+dac_read_search";
    const std::string args = " --config /dev/null /dev/null";
    test_support::command_result with_caps =
        test_support::run("setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=" + caps +
                          " --ambient-caps=" + caps + " " + corvane + args);
    EXPECT_EQ(with_caps.status, 5);
    EXPECT_EQ(with_caps.err, corvane + " need run as root\n");

    test_support::command_result without =
        test_support::run("setpriv --reuid=65534 --regid=65534 --clear-groups " + corvane + args);
    EXPECT_EQ(without.status, 1);
    EXPECT_NE(without.err.find("致命错误: 缺乏 cap_bpf 权限！\n"), std::string::npos);
    EXPECT_EQ(without.err.find("need run as root"), std::string::npos);
}
