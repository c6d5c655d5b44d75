// The monitor's side: starting the resolver and asking it.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>

#include "base/corvane.h"
#include "drop_privilege/drop_privilege.h"
#include "resolver/internal.h"
#include "resolver/resolver.h"

using namespace resolver_protocol;

namespace {

constexpr auto reap_patience = std::chrono::seconds(2);

std::string exit_text(int status)
{
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    return "ended";
}

// Waits for the process to end, ending it after a while; how it ended.
std::string reap(pid_t pid)
{
    const auto give_up = std::chrono::steady_clock::now() + reap_patience;
    int status = 0;
    for (;;) {
        pid_t reaped = waitpid(pid, &status, WNOHANG);
        if (reaped == pid)
            return exit_text(status);
        if (reaped == -1 && errno != EINTR)
            return "ended (" + std::string(strerror(errno)) + ")";
        if (reaped == 0 && std::chrono::steady_clock::now() > give_up) {
            kill(pid, SIGKILL);
            if (waitpid(pid, &status, 0) == pid)
                return exit_text(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The helper shares standard output: what the monitor wrote comes first.
void flush_output()
{
    std::cout.flush();
    std::cerr.flush();
    fflush(nullptr);
}

} // namespace

resolver_client::~resolver_client()
{
    if (socket_ >= 0)
        end(false, "");
}

resolver_client::resolver_client(resolver_client &&other) noexcept
{
    *this = std::move(other);
}

resolver_client &resolver_client::operator=(resolver_client &&other) noexcept
{
    if (this != &other) {
        if (socket_ >= 0)
            end(false, "");
        in_process_ = other.in_process_;
        socket_ = other.socket_;
        pid_ = other.pid_;
        note_ = std::move(other.note_);
        timeout_ = other.timeout_;
        other.in_process_ = true;
        other.socket_ = -1;
        other.pid_ = -1;
    }
    return *this;
}

void resolver_client::end(bool force, const std::string &why)
{
    if (force && pid_ > 0)
        kill(pid_, SIGKILL);
    close(socket_);
    socket_ = -1;
    std::string how = reap(pid_);
    note_ = "resolver process ended: " + (why.empty() ? how : why);
}

bool resolver_client::resolve(const device_range &input, std::vector<device_range> &out,
                              std::string &error)
{
    if (std::string problem = request_problem(input); !problem.empty()) {
        error = "request refused: " + problem;
        return false;
    }
    if (!in_process_)
        return resolve_remotely(input, out, error);
    try {
        resolve_device(input, out);
        return true;
    } catch (const device_parser_exception &e) {
        error = e.what();
    } catch (const std::exception &e) {
        error = std::string("resolver: ") + e.what();
    }
    return false;
}

bool resolver_client::resolve_remotely(const device_range &input, std::vector<device_range> &out,
                                       std::string &error)
{
    auto fail = [&](bool force, const std::string &why) {
        if (socket_ >= 0)
            end(force, why);
        error = note_;
        return false;
    };
    // A failed exchange leaves the two ends out of step: the resolver is ended.
    auto fail_on = [&](const io_result &r) {
        switch (r.status) {
        case io_status::closed:
            return fail(false, "");
        case io_status::timed_out:
            return fail(true, "no answer within " + std::to_string(timeout_.count()) + " ms");
        default:
            return fail(true, r.why);
        }
    };
    if (socket_ < 0)
        return fail(false, "");

    flush_output();
    const deadline until = std::chrono::steady_clock::now() + timeout_;
    if (io_result sent =
            send_message(socket_, encode_request(input, debug_on() ? flag_debug : 0), until);
        sent.status != io_status::ok)
        return fail_on(sent);
    message answer;
    if (io_result received = receive_message(socket_, answer, until);
        received.status != io_status::ok)
        return fail_on(received);

    std::string why;
    if (answer.kind == kind_failed) {
        if (!decode_text(answer.payload, error, why))
            return fail(true, "malformed answer: " + why);
        return false;
    }
    std::vector<device_range> disks;
    if (answer.kind != kind_resolved || !decode_entries(answer.payload, disks, why))
        return fail(true, "malformed answer: " + (why.empty() ? "unknown kind" : why));
    out.insert(out.end(), std::make_move_iterator(disks.begin()),
               std::make_move_iterator(disks.end()));
    return true;
}

resolver_client start_resolver()
{
    resolver_client client;
    if (geteuid() != 0) {
        client.note_ = "not root";
        return client;
    }
    if (!holds_permitted(CAP_SYS_ADMIN) || !holds_permitted(CAP_SETPCAP)) {
        client.note_ = "CAP_SYS_ADMIN or CAP_SETPCAP not held";
        return client;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == -1) {
        client.note_ = std::string("socketpair failed: ") + strerror(errno);
        return client;
    }
    flush_output();
    const pid_t monitor = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        close(ends[0]);
        run_resolver(ends[1], monitor);
    }
    close(ends[1]);
    if (pid == -1) {
        close(ends[0]);
        client.note_ = std::string("fork failed: ") + strerror(errno);
        return client;
    }
    drop_device_mapper_privilege();
    // Tables are the resolver's to read from now on.
    device_parser::release_dm_control();

    client.in_process_ = false;
    client.socket_ = ends[0];
    client.pid_ = pid;
    message hello;
    std::string why, text;
    io_result received =
        receive_message(client.socket_, hello, std::chrono::steady_clock::now() + client.timeout_);
    if (received.status == io_status::closed)
        client.end(false, "");
    else if (received.status != io_status::ok)
        client.end(true,
                   received.status == io_status::timed_out ? "not ready in time" : received.why);
    else if (hello.kind == kind_failed && decode_text(hello.payload, text, why))
        client.end(false, "set-up failed: " + text);
    else if (hello.kind != kind_ready || !decode_ready(hello.payload, why))
        client.end(true, "malformed greeting: " + why);
    return client;
}
