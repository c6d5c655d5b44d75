// The resolver holds CAP_SYS_ADMIN; the filter limits what a resolver that
// went wrong could do with it. Allowed: reading files (opening without
// creating), the device-mapper ioctls, its socket, memory (nothing made
// executable), time, and ending. Everything else fails with EPERM rather than
// killing the process: a call that glibc or libdevmapper make on a rare path
// then fails as an error would, and is reported as one. Among what fails:
// creating files, directories and device nodes (libdevmapper tries to create
// /dev/mapper/control when it is missing), executing, forking, new sockets,
// signals to other processes, mounting, ptrace, bpf, modules, namespaces.
//
// A plain BPF program, without libseccomp: an allow list of about forty calls
// and three argument checks stays short. For x86_64 and AArch64; another
// architecture gets no filter (the capability limits still hold).
#include "resolver/seccomp.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

namespace {

#if defined(__x86_64__)
constexpr uint32_t own_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t own_arch = AUDIT_ARCH_AARCH64;
#else
constexpr uint32_t own_arch = 0;
#endif

// Calls allowed whatever their arguments (those the architecture has).
// clang-format off
constexpr long plain_calls[] = {
    // files, sysfs
    SYS_read, SYS_write, SYS_readv, SYS_writev, SYS_pread64, SYS_lseek, SYS_close, SYS_fcntl,
    SYS_fstat, SYS_newfstatat, SYS_statx, SYS_faccessat, SYS_readlinkat, SYS_getdents64,
#ifdef SYS_faccessat2
    SYS_faccessat2,
#endif
#ifdef SYS_stat
    SYS_stat, SYS_lstat, SYS_access, SYS_readlink,
#endif
    // memory (mmap and mprotect are checked below)
    SYS_brk, SYS_munmap, SYS_mremap, SYS_madvise,
    // its socket
    SYS_recvfrom, SYS_sendto, SYS_recvmsg, SYS_sendmsg,
    // the process itself
    SYS_exit, SYS_exit_group, SYS_rt_sigreturn, SYS_rt_sigprocmask, SYS_rt_sigaction,
    SYS_restart_syscall, SYS_getpid, SYS_gettid, SYS_getppid, SYS_getuid, SYS_geteuid,
    SYS_getgid, SYS_getegid, SYS_uname, SYS_umask, SYS_getrandom,
    // time, waiting
    SYS_futex, SYS_clock_gettime, SYS_clock_nanosleep, SYS_nanosleep, SYS_sched_yield,
};
// clang-format on

// Device-mapper ioctls: _IOWR(DM_IOCTL = 0xfd, ...).
constexpr uint32_t ioctl_type_mask = 0xff00;
constexpr uint32_t dm_ioctl_type = 0xfd00;
constexpr uint32_t creating_open = O_CREAT | O_TRUNC | 020000000 /* __O_TMPFILE */;

constexpr uint32_t arg_low(int n)
{
    // The low 32 bits of an argument, on a little-endian host.
    return offsetof(seccomp_data, args) + n * sizeof(uint64_t);
}

sock_filter statement(uint16_t code, uint32_t k)
{
    return BPF_STMT(code, k);
}

sock_filter jump(uint16_t code, uint32_t k, uint8_t if_true, uint8_t if_false)
{
    return BPF_JUMP(code, k, if_true, if_false);
}

class program {
  public:
    void add(sock_filter instruction) { code_.push_back(instruction); }
    void load_number() { add(statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))); }
    void allow_if(long call)
    {
        add(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(call), 0, 1));
        add(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    // call allowed unless (argument n & bits) != 0, which fails with error.
    void allow_without_bits(long call, int n, uint32_t bits, int error)
    {
        load_number();
        add(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(call), 0, 4));
        add(statement(BPF_LD | BPF_W | BPF_ABS, arg_low(n)));
        add(jump(BPF_JMP | BPF_JSET | BPF_K, bits, 0, 1));
        add(statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | error));
        add(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    // ioctl allowed for device-mapper requests only; others fail with ENOTTY,
    // as they would on a descriptor that does not know them.
    void allow_dm_ioctl()
    {
        load_number();
        add(jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_ioctl, 0, 5));
        add(statement(BPF_LD | BPF_W | BPF_ABS, arg_low(1)));
        add(statement(BPF_ALU | BPF_AND | BPF_K, ioctl_type_mask));
        add(jump(BPF_JMP | BPF_JEQ | BPF_K, dm_ioctl_type, 1, 0));
        add(statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOTTY));
        add(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    sock_fprog fprog() { return {static_cast<unsigned short>(code_.size()), code_.data()}; }

  private:
    std::vector<sock_filter> code_;
};

program resolver_program()
{
    program p;
    // Another architecture's numbers mean other calls: refuse them outright.
    p.add(statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    p.add(jump(BPF_JMP | BPF_JEQ | BPF_K, own_arch, 1, 0));
    p.add(statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
    p.load_number();
#if defined(__x86_64__)
    // x32 calls share the architecture value, marked by this bit.
    p.add(jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000, 0, 1));
    p.add(statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
#endif
    for (long call : plain_calls)
        p.allow_if(call);
    p.allow_without_bits(SYS_openat, 2, creating_open, EPERM);
#if defined(CORVANE_SANITIZED)
    // The sanitizers test memory through a pipe, look at the signal stack
    // and open files by the older call.
    p.load_number();
    p.allow_if(SYS_pipe2);
    p.allow_if(SYS_sigaltstack);
#ifdef SYS_open
    p.allow_without_bits(SYS_open, 1, creating_open, EPERM);
#endif
#endif
    p.allow_without_bits(SYS_mmap, 2, PROT_EXEC, EPERM);
    p.allow_without_bits(SYS_mprotect, 2, PROT_EXEC, EPERM);
    p.allow_dm_ioctl();
    p.add(statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
    return p;
}

} // namespace

std::string install_resolver_seccomp()
{
    if (own_arch == 0)
        return "";
    program p = resolver_program();
    sock_fprog filter = p.fprog();
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter, 0, 0) == -1)
        return strerror(errno);
    return "";
}
