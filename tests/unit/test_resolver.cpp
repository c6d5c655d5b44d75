// The resolver process over its real socket: answers, refusals, its end, and
// the privileges of both processes. Whatever starts a resolver runs in a forked
// child, as start_resolver() gives up CAP_SYS_ADMIN in the process that calls it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "drop_privilege/drop_privilege.h"
#include "fake_sysfs.h"
#include "resolver/internal.h"
#include "resolver/protocol.h"
#include "resolver/resolver.h"
#include "resolver/seccomp.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace resolver_protocol;

namespace {

const std::string crypt_key = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";

// Runs body in a child; its failures are reported there and fail the test here.
void in_child(const std::function<void()> &body)
{
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        body();
        fflush(nullptr);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child failed";
}

// The value of one "Name:\tvalue" line of /proc/<pid>/status.
std::string status_field(pid_t pid, const std::string &name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    return "";
}

std::set<std::string> open_descriptors(pid_t pid)
{
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        names.insert(entry.path().filename());
    return names;
}

bool gone(pid_t pid)
{
    return kill(pid, 0) == -1 && errno == ESRCH;
}

device_range input_of(uint32_t major, uint32_t minor, size_t count, uint64_t step = 8192)
{
    device_range input{};
    input.major = major;
    input.minor = minor;
    for (uint64_t i = 0; i < count; ++i)
        input.ranges.push_back(
            {i * step, i * step + 4096, ENUM_FS_TYPE_XFS, static_cast<uint32_t>(i % 2), 7 + i});
    return input;
}

void expect_same_entries(const std::vector<device_range> &got,
                         const std::vector<device_range> &expected)
{
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].major, expected[i].major);
        EXPECT_EQ(got[i].minor, expected[i].minor);
        EXPECT_EQ(std::memcmp(&got[i].wwid, &expected[i].wwid, sizeof(wwid_t)), 0);
        EXPECT_EQ(got[i].chain, expected[i].chain);
        ASSERT_EQ(got[i].ranges.size(), expected[i].ranges.size());
        for (size_t r = 0; r < got[i].ranges.size(); ++r)
            EXPECT_EQ(std::memcmp(&got[i].ranges[r], &expected[i].ranges[r], sizeof(fs_range)), 0);
    }
}

// sda (8:0) with a partition at sector 2048 (8:1), sdb (8:16); 254:0 stripes
// over the partition and sdb, 254:1 is a crypt volume on 254:0, 254:2 a
// target type that resolution does not follow.
class Resolver : public ::testing::Test {
  protected:
    void SetUp() override
    {
        fs::path lun = tree.add_scsi_disk("sda", 8, 0, "naa.6001405a1b2c3d4e5f60718293a4b5c6");
        tree.add_partition(lun, "sda1", 8, 1, 2048);
        tree.add_scsi_disk("sdb", 8, 16, "naa.60014050000000000000000000000b0b");
        for (uint32_t i = 0; i < 3; ++i)
            tree.add_device_mapper("dm-" + std::to_string(i), 254, i);
        tree.tables["254:0"] = "0 4194304 striped 2 128 8:1 0 8:16 2048";
        tree.tables["254:1"] = "0 4190208 crypt aes-xts-plain64 " + crypt_key + " 0 254:0 4096";
        tree.tables["254:2"] = "0 2048 thin 253:4 1";
    }
    void TearDown() override { mask = 0; }

    test_support::fake_sysfs tree;
};

bool root()
{
    return geteuid() == 0;
}

} // namespace

TEST_F(Resolver, AnswersAsResolutionInProcessDoes)
{
    REQUIRE_OR_SKIP(root(), "needs root to start the resolver");
    in_child([] {
        resolver_client client = start_resolver();
        ASSERT_FALSE(client.in_process()) << client.note();
        ASSERT_TRUE(client.alive()) << client.note();
        // 20000 ranges take many datagrams each way.
        for (const device_range &input :
             {input_of(8, 1, 3), input_of(254, 1, 2), input_of(254, 1, 20000), input_of(8, 0, 0),
              input_of(254, 2, 1), input_of(7, 9, 1), input_of(254, 1, 1, uint64_t{1} << 40)}) {
            SCOPED_TRACE(dev_to_string(input.major, input.minor) + ", " +
                         std::to_string(input.ranges.size()) + " ranges");
            std::vector<device_range> expected, got = {device_range{}};
            std::string expected_error, error;
            try {
                resolve_device(input, expected);
            } catch (const device_parser_exception &e) {
                expected_error = e.what();
            }
            bool resolved = client.resolve(input, got, error);
            EXPECT_EQ(resolved, expected_error.empty());
            EXPECT_EQ(error, expected_error);
            ASSERT_FALSE(got.empty());
            got.erase(got.begin()); // appended after what was there
            expect_same_entries(got, expected);
        }
        EXPECT_TRUE(client.alive());
    });
}

TEST_F(Resolver, PrivilegesOfBothProcesses)
{
    REQUIRE_OR_SKIP(root(), "needs root to start the resolver");
    in_child([] {
        const pid_t monitor = getpid();
        const uint64_t held = std::stoull(status_field(monitor, "CapEff"), nullptr, 16);
        resolver_client client = start_resolver();
        ASSERT_FALSE(client.in_process()) << client.note();
        // CAP_SYS_ADMIN (bit 21) went right after the fork, the rest stayed.
        EXPECT_EQ(std::stoull(status_field(monitor, "CapEff"), nullptr, 16),
                  held & ~(uint64_t{1} << 21));
        drop_privilege();
        const pid_t resolver = client.pid();
        const std::string four = "000000c400000004", sys_admin = "0000000000200000";
        for (const char *set : {"CapEff", "CapPrm", "CapBnd"}) {
            EXPECT_EQ(status_field(monitor, set), four) << set;
            EXPECT_EQ(status_field(resolver, set), sys_admin) << set;
        }
        for (const char *set : {"CapInh", "CapAmb"})
            EXPECT_EQ(status_field(resolver, set), "0000000000000000") << set;
        EXPECT_EQ(status_field(resolver, "NoNewPrivs"), "1");
        EXPECT_EQ(status_field(resolver, "Seccomp"), "2");
        // Its socket, standard output and standard error.
        EXPECT_EQ(open_descriptors(resolver), (std::set<std::string>{"1", "2", "3"}));

        // The monitor reads no table any more; the resolver still does.
        std::vector<device_range> out;
        std::string error;
        EXPECT_TRUE(client.resolve(input_of(254, 1, 1), out, error)) << error;
    });
}

// Under the filter: reading and resolving work, creating, executing, forking,
// networking and the rest fail.
TEST_F(Resolver, SystemCallFilter)
{
    const fs::path existing = tree.sys / "dev/block/8:0/dev", created = tree.dir.path() / "new";
    in_child([&] {
        ASSERT_EQ(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
        ASSERT_EQ(install_resolver_seccomp(), "");
        struct outcome {
            long result;
            int error;
        };
        // Each call's errno, taken right after it.
        auto got = [](long result) { return outcome{result, result == -1 ? errno : 0}; };
        auto open_with = [](const fs::path &path, int flags) {
            int fd = open(path.c_str(), flags, 0600);
            if (fd >= 0)
                close(fd);
            return fd;
        };
        auto map_with = [](int protection) {
            void *p = mmap(nullptr, 4096, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            return p == MAP_FAILED ? -1L : 0L;
        };
        auto forked = [] {
            pid_t pid = fork();
            if (pid == 0)
                _exit(0);
            return pid;
        };
        termios terminal{};
        const struct {
            const char *what;
            outcome got;
            int error; // 0: the call succeeds
        } calls[] = {
            {"open to read", got(open_with(existing, O_RDONLY)), 0},
            {"open to read and write", got(open_with(existing, O_RDWR)), 0},
            {"open to truncate", got(open_with(existing, O_WRONLY | O_TRUNC)), EPERM},
            {"create a file", got(open_with(created, O_WRONLY | O_CREAT)), EPERM},
            {"create a directory", got(mkdir(created.c_str(), 0700)), EPERM},
            {"map memory", got(map_with(PROT_READ | PROT_WRITE)), 0},
            {"map executable memory", got(map_with(PROT_READ | PROT_EXEC)), EPERM},
            {"terminal ioctl", got(ioctl(STDIN_FILENO, TCGETS, &terminal)), ENOTTY},
            {"new socket", got(socket(AF_INET, SOCK_STREAM, 0)), EPERM},
            {"fork", got(forked()), EPERM},
            {"signal another process", got(kill(getppid(), 0)), EPERM},
            {"new namespace", got(unshare(CLONE_NEWNS)), EPERM},
            // Last: were it allowed, the child would become a program that fails.
            {"execute", got(execl("/bin/false", "false", nullptr)), EPERM},
        };
        for (const auto &call : calls) {
            SCOPED_TRACE(call.what);
            if (call.error == 0)
                EXPECT_GE(call.got.result, 0) << strerror(call.got.error);
            else
                EXPECT_EQ(call.got.error, call.error) << strerror(call.got.error);
        }
        std::vector<device_range> out;
        EXPECT_EQ(resolve_device(input_of(254, 1, 1), out), 1);
        EXPECT_FALSE(fs::exists(created));
    });
}

TEST_F(Resolver, KilledResolverIsReportedAndStaysEnded)
{
    REQUIRE_OR_SKIP(root(), "needs root to start the resolver");
    in_child([] {
        resolver_client client = start_resolver();
        ASSERT_FALSE(client.in_process()) << client.note();
        const pid_t pid = client.pid();
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        const std::string ended = "resolver process ended: killed by signal 9 (Killed)";
        for (int attempt = 0; attempt < 2; ++attempt) {
            std::vector<device_range> out;
            std::string error;
            EXPECT_FALSE(client.resolve(input_of(8, 1, 1), out, error));
            EXPECT_EQ(error, ended);
            EXPECT_TRUE(out.empty());
            EXPECT_FALSE(client.alive());
            EXPECT_EQ(client.note(), ended);
        }
        EXPECT_TRUE(gone(pid)) << "reaped";
    });
}

TEST_F(Resolver, ResolverThatDoesNotAnswerInTimeIsEnded)
{
    REQUIRE_OR_SKIP(root(), "needs root to start the resolver");
    in_child([] {
        device_parser::set_dm_table_reader([](uint32_t, uint32_t, auto &) {
            std::this_thread::sleep_for(std::chrono::seconds(30));
            return false;
        });
        resolver_client client = start_resolver();
        ASSERT_FALSE(client.in_process()) << client.note();
        client.set_timeout(std::chrono::milliseconds(300));
        std::vector<device_range> out;
        std::string error;
        const auto before = std::chrono::steady_clock::now();
        EXPECT_FALSE(client.resolve(input_of(254, 0, 1), out, error));
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
        EXPECT_EQ(error, "resolver process ended: no answer within 300 ms");
        EXPECT_FALSE(client.alive());
        EXPECT_TRUE(gone(client.pid()));
    });
}

// The monitor ending without a word: its socket closes when it exits (and the
// death signal is armed besides); the resolver ends too.
TEST_F(Resolver, EndsWithTheMonitor)
{
    REQUIRE_OR_SKIP(root(), "needs root to start the resolver");
    // The resolver, orphaned, becomes this process's child, so that its end can be seen.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0);
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    fflush(nullptr);
    pid_t monitor = fork();
    if (monitor == 0) {
        resolver_client client = start_resolver();
        pid_t pid = client.pid();
        ssize_t ignored = write(pipe_ends[1], &pid, sizeof(pid));
        (void)ignored;
        _exit(0);
    }
    close(pipe_ends[1]);
    pid_t resolver = -1;
    ASSERT_EQ(read(pipe_ends[0], &resolver, sizeof(resolver)),
              static_cast<ssize_t>(sizeof(resolver)));
    close(pipe_ends[0]);
    ASSERT_GT(resolver, 0);
    ASSERT_EQ(waitpid(monitor, nullptr, 0), monitor);

    int status = 0;
    pid_t reaped = 0;
    for (int i = 0; i < 400 && reaped == 0; ++i) {
        reaped = waitpid(resolver, &status, WNOHANG);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
    ASSERT_EQ(reaped, resolver) << "still running 2 s after the monitor";
    EXPECT_TRUE((WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
                (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL));
}

TEST_F(Resolver, InProcessWhenNotRoot)
{
    // The tree must be readable for the user it runs as.
    fs::permissions(tree.dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
    in_child([] {
        if (geteuid() == 0) {
            ASSERT_EQ(setresuid(65534, 65534, 65534), 0);
        }
        resolver_client client = start_resolver();
        EXPECT_TRUE(client.in_process());
        EXPECT_TRUE(client.alive());
        EXPECT_EQ(client.note(), "not root");
        EXPECT_EQ(client.pid(), -1);
        std::vector<device_range> out;
        std::string error;
        // One range on each stripe.
        EXPECT_TRUE(client.resolve(input_of(254, 1, 2, 65536), out, error)) << error;
        EXPECT_EQ(out.size(), 2u);
        EXPECT_FALSE(client.resolve(input_of(254, 2, 1), out, error));
        EXPECT_EQ(error, "device_parser error: 254:2 is a device mapper, but unknown type: thin, "
                         "ignore this file system.");
    });
}

// Requests the resolver would refuse are not sent: the resolver stays.
TEST_F(Resolver, RequestsOutOfBoundsAreRefusedBeforeSending)
{
    auto check = [](resolver_client &client) {
        device_range too_many = input_of(8, 1, max_request_ranges + 1, 1);
        device_range empty = input_of(8, 1, 2);
        empty.ranges[1].second = empty.ranges[1].first;
        device_range odd_type = input_of(8, 1, 1);
        odd_type.ranges[0].type = static_cast<ENUM_FS_TYPE>(FS_TYPE_COUNT);
        for (const device_range *input : {&too_many, &empty, &odd_type}) {
            std::vector<device_range> out;
            std::string error;
            EXPECT_FALSE(client.resolve(*input, out, error));
            EXPECT_TRUE(error.starts_with("request refused: ")) << error;
            EXPECT_TRUE(out.empty());
        }
        EXPECT_TRUE(client.alive());
    };
    resolver_client in_process;
    check(in_process);
    if (root())
        in_child([&] {
            resolver_client client = start_resolver();
            ASSERT_FALSE(client.in_process());
            check(client);
        });
}

namespace {

std::vector<uint8_t> frame(uint32_t kind, uint64_t length, const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> bytes(header_size + payload.size());
    std::memcpy(bytes.data(), &magic, 4);
    std::memcpy(bytes.data() + 4, &kind, 4);
    std::memcpy(bytes.data() + 8, &length, 8);
    std::copy(payload.begin(), payload.end(), bytes.begin() + header_size);
    return bytes;
}

std::vector<uint8_t> request_bytes(const device_range &input, uint32_t flags = 0)
{
    return encode_request(input, flags).payload;
}

// One datagram for a whole request.
std::vector<std::vector<uint8_t>> whole(const std::vector<uint8_t> &payload)
{
    return {frame(kind_resolve, payload.size(), payload)};
}

template <typename T> std::vector<uint8_t> patched(std::vector<uint8_t> bytes, size_t at, T value)
{
    std::memcpy(bytes.data() + at, &value, sizeof(T));
    return bytes;
}

} // namespace

// The request loop, fed datagrams no monitor of this program sends: it
// answers "failed" with the reason and exits with status 2.
TEST(ResolverProtocol, MalformedRequestsEndTheResolver)
{
    const std::vector<uint8_t> one = request_bytes(input_of(8, 1, 1));
    std::vector<uint8_t> with_tail = one;
    with_tail.push_back(0);
    const std::vector<uint8_t> big = request_bytes(input_of(8, 1, 2000));
    const struct {
        const char *what;
        std::vector<std::vector<uint8_t>> datagrams;
        std::string reason;
    } cases[] = {
        {"short header", {std::vector<uint8_t>(8)}, "datagram shorter than a message header"},
        {"wrong magic", {patched(whole(one)[0], 0, uint32_t{0})}, "not a message header"},
        {"datagram beyond a frame",
         {std::vector<uint8_t>(frame_size + 1)},
         "datagram larger than a frame"},
        {"length beyond the bound",
         {frame(kind_resolve, max_payload + 1, {})},
         "message of 100663297 bytes, more than 100663296"},
        {"first datagram short",
         {frame(kind_resolve, one.size() + 1, one)},
         "first datagram of the wrong size"},
        {"next datagram short",
         {frame(kind_resolve, big.size(), {big.begin(), big.begin() + frame_size - header_size}),
          {big.begin() + frame_size - header_size, big.begin() + frame_size}},
         "datagram of the wrong size"},
        {"not a request", {frame(kind_ready, 4, {1, 0, 0, 0})}, "not a resolve request"},
        {"header cut short", whole({1, 2, 3}), "request shorter than its header"},
        {"unknown flags", whole(request_bytes(input_of(8, 1, 1), 2)), "unknown request flags"},
        {"too many ranges", whole(patched(one, 12, uint32_t(max_request_ranges + 1))),
         "too many ranges"},
        {"fewer ranges than counted", whole(patched(one, 12, uint32_t{2})),
         "fewer ranges than counted"},
        {"empty range", whole(patched(one, 24, uint64_t{0})),
         "an empty range or one of unknown type or kind"},
        {"unknown type", whole(patched(one, 32, uint32_t{FS_TYPE_COUNT})),
         "an empty range or one of unknown type or kind"},
        {"unknown kind", whole(patched(one, 36, uint32_t{2})),
         "an empty range or one of unknown type or kind"},
        {"bytes after the end", whole(with_tail), "bytes after the end of the message"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            close(ends[0]);
            serve_resolver_requests(ends[1]);
        }
        close(ends[1]);
        for (const std::vector<uint8_t> &datagram : c.datagrams)
            ASSERT_EQ(send(ends[0], datagram.data(), datagram.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(datagram.size()));
        message answer;
        io_result received = receive_message(
            ends[0], answer, std::chrono::steady_clock::now() + std::chrono::seconds(10));
        close(ends[0]);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_EQ(received.status, io_status::ok) << received.why;
        std::string text, why;
        ASSERT_EQ(answer.kind, kind_failed);
        ASSERT_TRUE(decode_text(answer.payload, text, why)) << why;
        EXPECT_EQ(text, "malformed request: " + c.reason);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
    }
}

// What the monitor accepts as an answer.
TEST(ResolverProtocol, AnswersAreCheckedAsStrictly)
{
    device_range disk = input_of(8, 0, 2);
    disk.chain = {{254, 1}, {8, 0}};
    const std::vector<uint8_t> good = encode_entries({disk, disk}).payload;
    std::vector<device_range> entries;
    std::string why;
    ASSERT_TRUE(decode_entries(good, entries, why)) << why;
    expect_same_entries(entries, {disk, disk});

    // One entry: count, device, wwid, chain length at 28, chain, range count at 48.
    const std::vector<uint8_t> single = encode_entries({disk}).payload;
    const struct {
        const char *what;
        std::vector<uint8_t> payload;
        std::string reason;
    } cases[] = {
        {"empty", {}, "answer shorter than its header"},
        {"too many entries", patched(single, 0, uint32_t{max_answer_entries + 1}),
         "too many entries"},
        {"no chain", patched(single, 28, uint32_t{0}), "device chain empty or too long"},
        {"too many ranges", patched(single, 48, uint32_t(max_answer_ranges + 1)),
         "too many ranges"},
        {"range cut short", {single.begin(), single.end() - 1}, "fewer ranges than counted"},
        {"empty range", patched(single, 52 + 8, uint64_t{0}),
         "an empty range or one of unknown type or kind"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(decode_entries(c.payload, entries, why));
        EXPECT_EQ(why, c.reason);
    }
}
