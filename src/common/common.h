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

#define PERF_MAX_STACK_DEPTH 32
#define MAX_QUEUE_LENGTH 64
#define SECTOR_SIZE 512
/* Address ranges of one file system's own code (its module, or its functions
 * when built in, plus jbd2 for ext4). */
#define MAX_CODE_RANGES 64
/* Live file-system instances over the watched ranges of one disk. */
#define MAX_DISK_INSTANCES 32
/* The probes' memory of disks without watched ranges (see the probes' maps). */
#define UNWATCHED_SLOTS 1024
#define UNWATCHED_GENERATION_BITS 24
#define EVENT_DETAIL_SIZE 64

enum ENUM_FS_TYPE {
    ENUM_FS_TYPE_UNKNOWN = 0,
    ENUM_FS_TYPE_EXT4 = 1,
    ENUM_FS_TYPE_XFS = 2,
};
#define FS_TYPE_COUNT 3

enum ENUM_EVENT_TYPE {
    ENUM_EVENT_TYPE_UNKNOWN = 0,
    /* A block I/O (write, discard, write-zeroes, secure erase: see op). */
    ENUM_EVENT_TYPE_SUBMIT_BIO = 1,
    /* A buffered write through a file system or into a block device's cache. */
    ENUM_EVENT_TYPE_IOMAP_WRITE_ITER = 2,
    ENUM_EVENT_TYPE_MOUNT = 3,
    ENUM_EVENT_TYPE_MOUNT_TWICE = 4,
    /* A file-system instance over watched ranges was shut down. */
    ENUM_EVENT_TYPE_UMOUNT = 5,
    /* A store into a block device's page cache through a shared mapping. */
    ENUM_EVENT_TYPE_MMAP_WRITE = 6,
    /* A write-type SCSI command sent through SG_IO (op: the opcode). */
    ENUM_EVENT_TYPE_SCSI_COMMAND = 7,
    /* Not reports: an ext4 or xfs was mounted from a block device (with
     * --mounted), or one grew or shrank online. */
    ENUM_EVENT_TYPE_NEW_MOUNT = 8,
    ENUM_EVENT_TYPE_FS_RESIZED = 9,
};

/* What a watched range holds. Metadata is watched always; file data only with
 * -a, where a swap file's own I/O is not reported. */
enum RANGE_KIND {
    RANGE_KIND_METADATA = 0,
    RANGE_KIND_DATA = 1,
};

/* 16-byte NAA designator of a SCSI logical unit, in VPD page 0x83 byte order. */
typedef struct wwid_buf {
    __u8 buf[16];
} wwid_t;

/* Half-open byte range [first, second) on a device or a whole disk. */
typedef struct fs_range {
    __u64 first;
    __u64 second;
    enum ENUM_FS_TYPE type;
    __u32 kind; /* enum RANGE_KIND */
    /* Which watched file system the range belongs to (an identifier of user
     * space's own, 0 where not yet known). */
    __u64 source;
} fs_range_t;

/* One disk's watched ranges live in a map of their own (an inner map of
 * map_disks): element RANGE_TABLE_HEADER holds in `first` the number of
 * ranges, which follow from element 1 on, sorted by first and disjoint. */
#define RANGE_TABLE_HEADER 0

typedef struct code_range {
    __u64 first;
    __u64 second;
} code_range_t;

/* The code of one file system, sorted and disjoint. */
typedef struct code_ranges {
    __u64 count;
    code_range_t range[MAX_CODE_RANGES];
} code_ranges_t;

/* A mounted file-system instance (its super block) over [first, second) of a disk. */
typedef struct fs_instance {
    __u64 sb;
    __u64 first;
    __u64 second;
    __u32 fs_type; /* enum ENUM_FS_TYPE of the instance */
    __u32 dev;     /* kernel device number of the block device it was mounted from */
} fs_instance_t;

typedef struct disk_instances {
    __u32 count;
    __u32 pad;
    fs_instance_t inst[MAX_DISK_INSTANCES];
} disk_instances_t;

/* What the probes found for one block device when user space asked (start-up
 * check): the WWID they read, and the mounted instance on it, if any. */
#define DISK_CHECK_WWID 1u
#define DISK_CHECK_MOUNTED 2u
typedef struct disk_check {
    wwid_t wwid;
    __u32 status; /* DISK_CHECK_* bits */
    __u32 pad;
    __u64 sb;
} disk_check_t;

typedef struct report_event {
    __u64 ptid;       /* tgid << 32 | tid */
    __u64 nsec;       /* CLOCK_MONOTONIC */
    __u64 stack_size; /* frames in ip */
    /* The write's (or mounted device's) byte range on the disk; type, kind
     * and source are those of the watched range hit. */
    struct fs_range range;
    enum ENUM_EVENT_TYPE type;
    enum ENUM_FS_TYPE mount_type;
    wwid_t wwid;
    char comm[16];
    __u64 ip[PERF_MAX_STACK_DEPTH];
    /* The watched range hit. */
    __u64 hit_first;
    __u64 hit_second;
    /* Entry of the probed kernel function: the stack is shown from there. */
    __u64 func_ip;
    __u64 cgroup_id;
    __u32 uid;
    /* Block operation (REQ_OP_*) of a block I/O, SCSI opcode of a command. */
    __u32 op;
    /* Kernel device number of the block device written to or mounted. */
    __u32 device;
    __u32 pad;
    /* Mounts: the source as given to mount(2). SCSI commands: the CDB. */
    char detail[EVENT_DETAIL_SIZE];
} event_t;

#ifdef __cplusplus
#define COMMON_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define COMMON_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
#define COMMON_OFFSET(t, f) __builtin_offsetof(t, f)

COMMON_STATIC_ASSERT(sizeof(enum ENUM_FS_TYPE) == 4, "ENUM_FS_TYPE is 4 bytes");
COMMON_STATIC_ASSERT(sizeof(enum ENUM_EVENT_TYPE) == 4, "ENUM_EVENT_TYPE is 4 bytes");
COMMON_STATIC_ASSERT(sizeof(fs_range_t) == 32, "fs_range is 32 bytes");
COMMON_STATIC_ASSERT(sizeof(event_t) == 464, "event_t is 464 bytes");
COMMON_STATIC_ASSERT(COMMON_OFFSET(event_t, wwid) == 64, "event_t.wwid at 64");
COMMON_STATIC_ASSERT(COMMON_OFFSET(event_t, ip) == 96, "event_t.ip at 96");
COMMON_STATIC_ASSERT(COMMON_OFFSET(event_t, hit_first) == 352, "event_t.hit_first at 352");
COMMON_STATIC_ASSERT(COMMON_OFFSET(event_t, detail) == 400, "event_t.detail at 400");

#endif
