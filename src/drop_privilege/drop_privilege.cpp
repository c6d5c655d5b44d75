#include "drop_privilege/drop_privilege.h"

#include <linux/close_range.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

// The only capabilities the monitor needs: load eBPF, trace, read kernel
// addresses, read devices regardless of file permissions.
constexpr cap_value_t kept_caps[] = {CAP_BPF, CAP_PERFMON, CAP_SYSLOG, CAP_DAC_READ_SEARCH};
constexpr int kept_count = sizeof(kept_caps) / sizeof(kept_caps[0]);
// Reading a device-mapper table is an ioctl that the kernel grants only with
// CAP_SYS_ADMIN: only the resolver process keeps it.
constexpr cap_value_t device_mapper_cap = CAP_SYS_ADMIN;
// Bounding-set sweep: capability numbers 0 to 40.
constexpr int highest_swept_cap = 40;

[[noreturn]] void fail(const char *what)
{
    perror(what);
    exit(1);
}

bool is_kept(int cap)
{
    for (cap_value_t kept : kept_caps)
        if (kept == cap)
            return true;
    return false;
}

// Names every kept capability missing from the permitted set; returns how many.
int report_missing_caps(cap_t state)
{
    int missing = 0;
    for (cap_value_t cap : kept_caps) {
        cap_flag_value_t value = CAP_CLEAR;
        if (cap_get_flag(state, cap, CAP_PERMITTED, &value) != 0) {
            perror("获取权能标志失败");
            cap_free(state);
            exit(1);
        }
        if (value == CAP_SET)
            continue;
        char *name = cap_to_name(cap);
        fprintf(stderr, "致命错误: 缺乏 %s 权限！\n", name ? name : "unknown");
        cap_free(name);
        ++missing;
    }
    return missing;
}

void drop_bounding_set()
{
    for (int cap = 0; cap <= highest_swept_cap; ++cap)
        if (!is_kept(cap))
            prctl(PR_CAPBSET_DROP, cap, 0, 0, 0); // unknown or forbidden drops fail harmlessly
}

// Sets exactly the kept capabilities as permitted and effective; nothing inheritable.
void apply_minimal_caps()
{
    cap_t state = cap_init();
    if (!state)
        fail("配置最小权能集合失败");
    bool built = cap_set_flag(state, CAP_PERMITTED, kept_count, kept_caps, CAP_SET) == 0 &&
                 cap_set_flag(state, CAP_EFFECTIVE, kept_count, kept_caps, CAP_SET) == 0;
    if (!built) {
        perror("配置最小权能集合失败");
        cap_free(state);
        exit(1);
    }
    if (cap_set_proc(state) != 0) {
        perror("应用最小权能失败");
        cap_free(state);
        exit(1);
    }
    cap_free(state);
}

} // namespace

void close_inherited_fds()
{
    if (syscall(SYS_close_range, 3U, ~0U, 0U) == -1)
        fail("close_range 调用失败");
}

void drop_privilege()
{
    cap_t state = cap_get_proc();
    if (!state)
        fail("获取当前进程权能失败");
    int missing = report_missing_caps(state);
    cap_free(state);
    if (missing != 0) {
        static const char closing[] =
            "致命错误: 缺乏必要权限！请以 root 身份运行或赋予上述权限。\n";
        ssize_t ignored = write(STDERR_FILENO, closing, sizeof(closing) - 1);
        (void)ignored;
        exit(1);
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == -1)
        fail("设置 PR_SET_NO_NEW_PRIVS 失败");
    drop_bounding_set();
    apply_minimal_caps();
}

bool holds_permitted(cap_value_t cap)
{
    cap_t state = cap_get_proc();
    cap_flag_value_t value = CAP_CLEAR;
    bool held = state && cap_get_flag(state, cap, CAP_PERMITTED, &value) == 0 && value == CAP_SET;
    cap_free(state);
    return held;
}

void drop_device_mapper_privilege()
{
    if (!holds_permitted(device_mapper_cap))
        return;
    // Out of the bounding set too, where CAP_SETPCAP allows (drop_privilege()
    // empties the rest of it), so that executing a program cannot bring it back.
    prctl(PR_CAPBSET_DROP, device_mapper_cap, 0, 0, 0);
    cap_t state = cap_get_proc();
    if (!state)
        fail("获取当前进程权能失败");
    bool dropped = cap_set_flag(state, CAP_EFFECTIVE, 1, &device_mapper_cap, CAP_CLEAR) == 0 &&
                   cap_set_flag(state, CAP_PERMITTED, 1, &device_mapper_cap, CAP_CLEAR) == 0 &&
                   cap_set_flag(state, CAP_INHERITABLE, 1, &device_mapper_cap, CAP_CLEAR) == 0 &&
                   cap_set_proc(state) == 0;
    cap_free(state);
    if (!dropped)
        fail("放弃 CAP_SYS_ADMIN 失败");
}

bool keep_only_device_mapper_privilege()
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == -1)
        return false;
    // Up to the highest capability this kernel knows: reading one beyond it fails.
    for (int cap = 0;; ++cap) {
        int in_bounding_set = prctl(PR_CAPBSET_READ, cap, 0, 0, 0);
        if (in_bounding_set < 0)
            break;
        if (cap != device_mapper_cap && in_bounding_set == 1 &&
            prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) == -1)
            return false;
    }
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == -1)
        return false;
    cap_t state = cap_init();
    if (!state)
        return false;
    bool kept = cap_set_flag(state, CAP_PERMITTED, 1, &device_mapper_cap, CAP_SET) == 0 &&
                cap_set_flag(state, CAP_EFFECTIVE, 1, &device_mapper_cap, CAP_SET) == 0 &&
                cap_set_proc(state) == 0;
    cap_free(state);
    return kept;
}
