// The resolver process: set-up after the fork, then one request at a time.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "base/corvane.h"
#include "device_parser/device_parser.h"
#include "drop_privilege/drop_privilege.h"
#include "resolver/internal.h"
#include "resolver/protocol.h"
#include "resolver/seccomp.h"

using namespace resolver_protocol;

namespace {

// Exit statuses of the resolver.
constexpr int exit_monitor_gone = 0;
constexpr int exit_set_up_failed = 1;
constexpr int exit_malformed_request = 2;
constexpr int exit_socket_failed = 3;

// Its lifetime is the monitor's: terminal signals meant for the monitor's
// process group are the monitor's to handle, and a closed output must not end
// it. Signals the monitor blocked are unblocked, so that SIGTERM still works.
void isolate_signals()
{
    for (int signal_number : {SIGINT, SIGQUIT, SIGHUP, SIGPIPE, SIGTSTP})
        signal(signal_number, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Moves the socket to descriptor 3 and closes everything else but standard
// output and error. Returns the socket's new number, -1 on failure.
int keep_only_socket(int socket)
{
    constexpr int socket_number = 3;
    if (socket != socket_number) {
        if (dup3(socket, socket_number, O_CLOEXEC) == -1)
            return -1;
        close(socket);
    }
    close(STDIN_FILENO);
    if (close_range(socket_number + 1, ~0U, 0) == -1)
        return -1;
    return socket_number;
}

[[noreturn]] void end_with(int socket, int status, const std::string &why)
{
    send_message(socket, encode_text(kind_failed, why), std::nullopt);
    _exit(status);
}

message answer_for(const device_range &input)
{
    try {
        std::vector<device_range> disks;
        resolve_device(input, disks);
        if (std::string problem = answer_problem(disks); !problem.empty())
            return encode_text(kind_failed,
                               "device_parser error: " + dev_to_string(input.major, input.minor) +
                                   ": " + problem);
        return encode_entries(disks);
    } catch (const device_parser_exception &e) {
        return encode_text(kind_failed, e.what());
    } catch (const std::exception &e) {
        return encode_text(kind_failed, std::string("resolver: ") + e.what());
    }
}

} // namespace

[[noreturn]] void serve_resolver_requests(int socket)
{
    for (;;) {
        message request;
        io_result received = receive_message(socket, request, std::nullopt);
        if (received.status == io_status::closed)
            _exit(exit_monitor_gone);
        if (received.status != io_status::ok)
            end_with(socket, exit_malformed_request, "malformed request: " + received.why);
        if (request.kind != kind_resolve)
            end_with(socket, exit_malformed_request, "malformed request: not a resolve request");
        device_range input{};
        uint32_t flags = 0;
        std::string why;
        if (!decode_request(request.payload, input, flags, why))
            end_with(socket, exit_malformed_request, "malformed request: " + why);
        request = {}; // read: its memory goes before the resolution needs more

        mask = (flags & flag_debug) != 0 ? 1 : 0;
        io_result sent = send_message(socket, answer_for(input), std::nullopt);
        if (sent.status == io_status::closed)
            _exit(exit_monitor_gone);
        if (sent.status != io_status::ok)
            _exit(exit_socket_failed);
    }
}

[[noreturn]] void run_resolver(int socket, pid_t monitor)
{
    // The monitor may have died before the death signal was armed.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) == -1 || getppid() != monitor)
        _exit(exit_monitor_gone);
    isolate_signals();
    device_parser::release_dm_control();
    int kept = keep_only_socket(socket);
    if (kept == -1)
        _exit(exit_set_up_failed);
    if (!keep_only_device_mapper_privilege())
        end_with(kept, exit_set_up_failed,
                 std::string("cannot keep CAP_SYS_ADMIN alone: ") + strerror(errno));
    if (std::string problem = install_resolver_seccomp(); !problem.empty())
        end_with(kept, exit_set_up_failed, "cannot install the system-call filter: " + problem);
    if (send_message(kept, encode_ready(), std::nullopt).status != io_status::ok)
        _exit(exit_socket_failed);
    serve_resolver_requests(kept);
}
