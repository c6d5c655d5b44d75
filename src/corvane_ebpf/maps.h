/* Maps and globals of the probes: the contract with the loader. */
#ifndef CORVANE_MAPS_H
#define CORVANE_MAPS_H

/* Report records for user space. */
struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 16 << 20);
} events SEC(".maps");

/* One disk's watched ranges (see RANGE_TABLE_HEADER). User space builds a new
 * one of the right size for every change and swaps it into map_disks in one
 * step, so that no write is judged against a half-written table. */
struct range_table {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(map_flags, BPF_F_INNER_MAP);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, fs_range_t);
};

/* WWID -> that disk's range table. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH_OF_MAPS);
    __uint(max_entries, 4096);
    __type(key, wwid_t);
    __array(values, struct range_table);
} map_disks SEC(".maps");

/* File-system type -> the address ranges of its own code. */
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, FS_TYPE_COUNT);
    __type(key, __u32);
    __type(value, code_ranges_t);
} map_code SEC(".maps");

/* WWID -> the file-system instances mounted over that disk's watched ranges. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 4096);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, wwid_t);
    __type(value, disk_instances_t);
} map_instances SEC(".maps");

/* Kernel device number -> what the start-up check found for that device. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 4096);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, __u32);
    __type(value, disk_check_t);
} map_disk_checks SEC(".maps");

/* A disk (its gendisk and the disk's sequence number, which never repeats) ->
 * its WWID, so that page 0x83 is parsed once per disk, not once per write. */
struct wwid_cache_key {
    __u64 disk;
    __u64 seq;
};
struct wwid_cache_value {
    wwid_t wwid;
    __u32 found;
    __u32 pad;
};
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 4096);
    __type(key, struct wwid_cache_key);
    __type(value, struct wwid_cache_value);
} map_wwid_cache SEC(".maps");

/* Original bios whose way down through device-mapper tables could not be
 * followed to the end; their clones are judged where they reach a disk. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 1024);
    __type(key, __u64);
    __type(value, __u64);
} map_unjudged SEC(".maps");

/* Passthrough requests whose UNMAP parameter list was judged when it was mapped. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 1024);
    __type(key, __u64);
    __type(value, __u64);
} map_unmap_judged SEC(".maps");

/* Thread id -> device of the file system it asked to grow or shrink. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 256);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, __u32);
    __type(value, __u32);
} map_resizing SEC(".maps");

/* This CPU's work queue of byte ranges on block devices. */
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, MAX_QUEUE_LENGTH);
    __type(key, __u32);
    __type(value, struct io_disk_info);
} map_dest_infos SEC(".maps");

#define MAX_UNMAP_DESCRIPTORS 32
#define UNMAP_BUFFER_SIZE (8 + 16 * MAX_UNMAP_DESCRIPTORS)

/* Working memory of one probe run: too large for the 512-byte eBPF stack. */
struct scratch {
    event_t event; /* the report under construction */
    __u8 vpd[VPD83_MAX_BYTES];
    __u8 unmap[UNMAP_BUFFER_SIZE];
};
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct scratch);
} map_scratch SEC(".maps");

/* ---- globals (.bss), written by the loader ----------------------------------- */

/* open operations of the SCSI disk driver and of device mapper: how disks are told apart */
__u64 sd_open_addr;
__u64 dm_blk_open_addr;
__u64 debug_mask;
/* Completion functions of device mapper's clones and of dm-crypt's own bios
 * (0 while the module is not loaded). */
__u64 clone_endio_addr;
__u64 crypt_endio_addr;
/* Reports lost because the ring buffer was full; read by the poll loop. */
__u64 dropped_events;
/* Entries in map_unjudged; the map is looked at only while it has any. */
__u64 unjudged_count;
/* corvane's own process, and whether its start-up check is running. */
__u32 self_tgid;
__u32 self_check_armed;
/* Report every ext4/xfs mounted from a block device (--mounted). */
__u32 notify_mounts;
__u32 page_shift;
/* Resize requests in flight; the system-call exit probe looks only while any. */
__u32 resizing_count;
/* Disks seen to have no watched ranges, so that most of a machine's writes
 * end without a hash-map lookup: slot (sequence number % UNWATCHED_SLOTS)
 * holds sequence number << 24 | generation, one word, written and read
 * whole. A disk's sequence number is unique since boot; the loader bumps the
 * generation after every change of map_disks, which invalidates every slot. */
__u64 unwatched_disks[UNWATCHED_SLOTS];
__u64 disks_generation;

#define debugprintk(fmt, ...)                                                                      \
    ({                                                                                             \
        if (debug_mask & 1)                                                                        \
            bpf_printk(fmt, ##__VA_ARGS__);                                                        \
    })

#define MIN(a, b) ((a) < (b) ? (a) : (b))

static __always_inline struct scratch *scratch(void)
{
    __u32 zero = 0;
    return bpf_map_lookup_elem(&map_scratch, &zero);
}

/* i & mask, in a form the compiler cannot drop after an earlier bounds check
 * on another copy of i: the verifier follows the mask, not that check. */
static __always_inline __u32 bounded(__u32 i, __u32 mask)
{
    asm volatile("" : "+r"(i));
    return i & mask;
}

static __always_inline int ranges_overlap(__u64 first, __u64 second, __u64 a, __u64 b)
{
    return !(first >= b || second <= a);
}

#endif
