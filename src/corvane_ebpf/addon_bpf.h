/* Private records of the probes and local views of kernel structures that are
 * not part of the kernel's exported type set (device mapper, SCSI) or that
 * changed between kernel versions.
 *
 * Every kernel structure here carries a "___<flavour>" suffix and
 * preserve_access_index: libbpf drops the suffix, finds the structure of the
 * same name in the running kernel's type information (vmlinux or module BTF:
 * dm_mod, dm_multipath, dm_crypt, sd_mod, scsi_mod) and rewrites every field
 * offset to that kernel's layout at load time. Only the fields the probes read
 * are declared; their order here does not matter. */
#ifndef CORVANE_ADDON_BPF_H
#define CORVANE_ADDON_BPF_H

/* One pending byte range on one block device: the element of the work queue. */
struct io_disk_info {
    __u64 start;
    __u64 end;
    struct gendisk *disk;
};

/* Iterator flags and mapping types of the iomap layer (include/linux/iomap.h);
 * these are preprocessor constants, so they are not in the type information. */
#define IOMAP_WRITE (1U << 0)
#define IOMAP_ZERO (1U << 1)
#define IOMAP_DIRECT (1U << 4)
#define IOMAP_MAPPED 2
#define IOMAP_UNWRITTEN 3
#define IOMAP_NULL_ADDR (~0ULL)

#define S_IFMT 00170000
#define S_IFBLK 0060000
#define IOCB_DIRECT (1 << 17)
/* Bit of bio.bi_flags set once a bio has passed the block layer's entry
 * (BIO_TRACE_COMPLETION, 7 on every kernel since 4.x; the enumeration is
 * anonymous, so it cannot be relocated). */
#define BIO_FLAG_QUEUED 7
#define REQ_OP_MASK 0xff
#define DM_TIO_MAGIC 28714

#define CORVANE_CORE __attribute__((preserve_access_index))

/* ---- device mapper (dm_mod, dm_multipath, dm_crypt) ----------------------- */

struct dm_table___corvane;

struct mapped_device___corvane {
    struct dm_table___corvane *map; /* live table, RCU */
} CORVANE_CORE;

struct target_type___corvane {
    const char *name;
} CORVANE_CORE;

struct dm_target___corvane {
    struct target_type___corvane *type;
    void *private;
} CORVANE_CORE;

struct dm_table___corvane {
    unsigned int num_targets;
    sector_t *highs; /* last sector of each target */
    struct dm_target___corvane *targets;
} CORVANE_CORE;

struct dm_dev___corvane {
    struct block_device *bdev;
} CORVANE_CORE;

struct linear_c___corvane {
    struct dm_dev___corvane *dev;
    sector_t start;
} CORVANE_CORE;

struct stripe___corvane {
    struct dm_dev___corvane *dev;
    sector_t physical_start;
} CORVANE_CORE;

struct stripe_c___corvane {
    __u32 stripes;
    int stripes_shift;
    __u32 chunk_size;
    int chunk_size_shift;
    struct stripe___corvane stripe[0];
} CORVANE_CORE;

struct crypt_config___corvane {
    struct dm_dev___corvane *dev;
    sector_t start;
} CORVANE_CORE;

struct dm_path___corvane {
    struct dm_dev___corvane *dev;
} CORVANE_CORE;

struct pgpath___corvane {
    struct list_head list; /* in priority_group.pgpaths */
    struct dm_path___corvane path;
} CORVANE_CORE;

struct priority_group___corvane {
    struct list_head list; /* in multipath.priority_groups */
    struct list_head pgpaths;
} CORVANE_CORE;

struct multipath___corvane {
    struct pgpath___corvane *current_pgpath;
    struct list_head priority_groups;
} CORVANE_CORE;

struct dm_io___corvane {
    struct bio *orig_bio;
} CORVANE_CORE;

/* Device mapper's per-target clone of a bio: the clone is its last member. */
struct dm_target_io___corvane {
    unsigned short magic;
    struct dm_io___corvane *io;
    struct dm_target___corvane *ti;
    struct bio clone;
} CORVANE_CORE;

/* ---- SCSI (scsi_mod, sd_mod) ---------------------------------------------- */

struct scsi_vpd___corvane {
    int len;
    unsigned char data[]; /* the page itself, inline after the RCU head */
} CORVANE_CORE;

struct scsi_device___corvane {
    struct scsi_vpd___corvane *vpd_pg83; /* RCU */
} CORVANE_CORE;

/* private_data of a SCSI disk's gendisk. */
struct scsi_disk___corvane {
    struct scsi_device___corvane *device;
} CORVANE_CORE;

/* The driver data that follows a passthrough request. */
struct scsi_cmnd___corvane {
    unsigned short cmd_len;
    unsigned char cmnd[32];
} CORVANE_CORE;

/* ---- user data of a passthrough command: the two generations of iov_iter --- */

struct iov_iter___corvane {
    __u8 iter_type;
    size_t iov_offset;
    void *ubuf;
} CORVANE_CORE;

struct iov_iter___v61 {
    const struct iovec *iov;
} CORVANE_CORE;

struct iov_iter___v64 {
    const struct iovec *__iov;
} CORVANE_CORE;

/* ---- mounts: the super block behind a block device, and its mount list ---- */

/* Up to 6.5: the super block mounted from the device. */
struct block_device___bdsuper {
    struct super_block *bd_super;
} CORVANE_CORE;

#endif
