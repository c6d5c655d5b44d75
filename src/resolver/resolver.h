// Device resolution in a process of its own, so that the monitor can resolve
// devices again while it runs (tables reloaded, file systems mounted) without
// keeping CAP_SYS_ADMIN, which reading a device-mapper table requires.
//
// Processes and privileges
//   monitor   CAP_BPF, CAP_PERFMON, CAP_SYSLOG, CAP_DAC_READ_SEARCH (after
//             drop_privilege()); gives up CAP_SYS_ADMIN right after the fork.
//   resolver  forked by start_resolver() before the monitor drops anything:
//             CAP_SYS_ADMIN alone (permitted and effective; bounding set
//             reduced to it; nothing inheritable or ambient), no_new_privs, a
//             seccomp filter (resolver/seccomp.h), every descriptor closed but
//             its socket, standard output and standard error (debug lines and
//             libdevmapper's messages go where the monitor's go). It reads
//             sysfs and device-mapper tables, never a disk's contents. It ends
//             when its socket closes (the monitor ended or closed the client)
//             and, through PR_SET_PDEATHSIG, when the thread that forked it
//             ends: call start_resolver() from the main thread.
//
// Protocol: a socketpair (AF_UNIX, SOCK_SEQPACKET, close-on-exec). A message
// is a kind and a payload, sent as datagrams of at most frame_size bytes: the
// first starts with {u32 magic, u32 kind, u64 payload length}, the others
// carry the rest of the payload, each as much as fits. Numbers are in the
// host's byte order (both ends are the same program).
//   resolver -> monitor  ready     once set up: u32 protocol version (or
//                                  failed, when the set-up failed)
//   monitor -> resolver  resolve   u32 flags (bit 0: debug lines), u32 major,
//                                  u32 minor, u32 n, n ranges {u64 first,
//                                  u64 second, u32 type, u32 kind, u64 source}
//   resolver -> monitor  resolved  u32 entries, each {u32 major, u32 minor,
//                                  16 bytes wwid, u32 c, c x {u32 major,
//                                  u32 minor}, u32 n, n ranges}
//                        failed    u32 length, the message of the failure
// One request at a time, each answered by resolved or failed. Every count is
// bounded (the limits in resolver/protocol.h), every range must be non-empty
// with a known type and kind, and a message must fill its length exactly; the
// resolver answers anything else with "failed" and exits (status 2), as only a
// broken monitor sends it. The monitor checks requests before sending them and
// checks answers the same way; an answer it cannot read ends the resolver.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "device_parser/device_parser.h"
#include "resolver/protocol.h"

class resolver_client {
  public:
    // Resolves in this process (see start_resolver()).
    resolver_client() = default;
    ~resolver_client();
    resolver_client(resolver_client &&other) noexcept;
    resolver_client &operator=(resolver_client &&other) noexcept;
    resolver_client(const resolver_client &) = delete;
    resolver_client &operator=(const resolver_client &) = delete;

    // Appends input's disks to out, as resolve_device() does, and returns
    // true; else leaves out as it was and sets error: the resolution's
    // message ("device_parser error: ..."), a refused request, or "resolver
    // process ended: <why>" when the resolver died or did not answer in time
    // (it is then ended and reaped). A resolver that ended stays ended: the
    // monitor has no CAP_SYS_ADMIN to start another or to read tables itself,
    // so every later call fails the same way and the caller keeps what it
    // watches. One call at a time.
    bool resolve(const device_range &input, std::vector<device_range> &out, std::string &error);

    // False once the resolver process ended; always true in process.
    bool alive() const { return in_process_ || socket_ >= 0; }
    bool in_process() const { return in_process_; }
    // Why resolution runs in process ("not root", "fork failed: ..."), or why
    // the resolver ended; empty otherwise.
    const std::string &note() const { return note_; }
    // The resolver's process id, -1 in process.
    pid_t pid() const { return pid_; }
    // How long resolve() waits for the resolver (10 s unless set).
    void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

  private:
    friend resolver_client start_resolver();
    bool resolve_remotely(const device_range &input, std::vector<device_range> &out,
                          std::string &error);
    // Ends the resolver (forcibly when asked), reaps it, records why.
    void end(bool force, const std::string &why);

    bool in_process_ = true;
    int socket_ = -1;
    pid_t pid_ = -1;
    std::string note_;
    std::chrono::milliseconds timeout_{10000};
};

// Forks the resolver when this process is root and holds CAP_SYS_ADMIN and
// CAP_SETPCAP, waits until it is set up, and gives up CAP_SYS_ADMIN here. Else
// (not root, capabilities missing, fork failed) resolution runs in this
// process, with the reason in note(). Call it once, early, from the main
// thread, before drop_privilege().
resolver_client start_resolver();
