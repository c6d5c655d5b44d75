/* Records shared between user space and the eBPF object. Compiled into both,
 * so it is plain C, uses only fixed-width types and relies on the standard
 * layout rules of the 64-bit target (x86_64 and AArch64 agree on all of it). */
#ifndef CORVANE_COMMON_H
#define CORVANE_COMMON_H

#if defined(__bpf__)
/* The eBPF side includes vmlinux.h before this header: __u8/__u32/__u64 exist. */
#else
#include <linux/types.h>
#include <stddef.h>
#endif

#define MAX_RANGE_COUNT 128
#define PERF_MAX_STACK_DEPTH 32
#define MAX_QUEUE_LENGTH 64
#define SECTOR_SIZE 512

enum ENUM_FS_TYPE {
    ENUM_FS_TYPE_UNKNOWN = 0,
    ENUM_FS_TYPE_EXT4 = 1,
    ENUM_FS_TYPE_XFS = 2,
};

enum ENUM_EVENT_TYPE {
    ENUM_EVENT_TYPE_UNKNOWN = 0,
    ENUM_EVENT_TYPE_SUBMIT_BIO = 1,
    ENUM_EVENT_TYPE_IOMAP_WRITE_ITER = 2,
    ENUM_EVENT_TYPE_MOUNT = 3,
    ENUM_EVENT_TYPE_MOUNT_TWICE = 4,
    ENUM_EVENT_TYPE_UMOUNT = 5,
};

/* 16-byte NAA designator of a SCSI logical unit, in VPD page 0x83 byte order. */
typedef struct wwid_buf {
    __u8 buf[16];
} wwid_t;

/* Half-open byte range [first, second) on a whole disk. In the module map the
 * same record holds a module's code address range. */
typedef struct fs_range {
    __u64 first;
    __u64 second;
    enum ENUM_FS_TYPE type;
    __u32 pad;
    /* Kernel super_block address of the instance mounted over the range, 0 if
     * none. Only the mount probes change it; user space writes 0. */
    __u64 mount_sb;
} fs_range_t;

typedef struct fs_range_set {
    __u64 cnt;
    struct fs_range arr[MAX_RANGE_COUNT];
} fs_range_set_t;

typedef struct report_event {
    __u64 ptid;       /* tgid << 32 | tid */
    __u64 nsec;       /* CLOCK_MONOTONIC */
    __u64 stack_size; /* frames in ip */
    struct fs_range range;
    enum ENUM_EVENT_TYPE type;
    enum ENUM_FS_TYPE mount_type;
    wwid_t wwid;
    char comm[16];
    __u64 ip[PERF_MAX_STACK_DEPTH];
} event_t;

#ifdef __cplusplus
#define COMMON_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define COMMON_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
#define COMMON_OFFSET(t, f) __builtin_offsetof(t, f)

COMMON_STATIC_ASSERT(sizeof(enum ENUM_FS_TYPE) == 4, "ENUM_FS_TYPE is 4 bytes");
COMMON_STATIC_ASSERT(sizeof(enum ENUM_EVENT_TYPE) == 4, "ENUM_EVENT_TYPE is 4 bytes");
COMMON_STATIC_ASSERT(sizeof(wwid_t) == 16, "wwid_t is 16 bytes");
COMMON_STATIC_ASSERT(sizeof(fs_range_t) == 32, "fs_range is 32 bytes");
COMMON_STATIC_ASSERT(COMMON_OFFSET(fs_range_t, second) == 8, "fs_range.second at 8");
COMMON_STATIC_ASSERT(COMMON_OFFSET(fs_range_t, type) == 16, "fs_range.type at 16");
COMMON_STATIC_ASSERT(COMMON_OFFSET(fs_range_t, mount_sb) == 24, "fs_range.mount_sb at 24");
COMMON_STATIC_ASSERT(sizeof(fs_range_set_t) == 4104, "fs_range_set is 4104 bytes");
COMMON_STATIC_ASSERT(COMMON_OFFSET(fs_range_set_t, arr) == 8, "fs_range_set.arr at 8");
COMMON_STATIC_ASSERT(sizeof(event_t) == 352, "event_t is 352 bytes");
COMMON_STATIC_ASSERT(COMMON_OFFSET(event_t, nsec) == 8, "event_t.nsec at 8");
COMMON_STATIC_ASSERT(COMMON_OFFSET(event_t, stack_size) == 16, "event_t.stack_size at 16");
COMMON_STATIC_ASSERT(COMMON_OFFSET(event_t, range) == 24, "event_t.range at 24");
COMMON_STATIC_ASSERT(COMMON_OFFSET(event_t, type) == 56, "event_t.type at 56");
COMMON_STATIC_ASSERT(COMMON_OFFSET(event_t, mount_type) == 60, "event_t.mount_type at 60");
COMMON_STATIC_ASSERT(COMMON_OFFSET(event_t, wwid) == 64, "event_t.wwid at 64");
COMMON_STATIC_ASSERT(COMMON_OFFSET(event_t, comm) == 80, "event_t.comm at 80");
COMMON_STATIC_ASSERT(COMMON_OFFSET(event_t, ip) == 96, "event_t.ip at 96");

#endif
