/* Private records of the probes and local views of kernel structures that are
 * not part of the kernel's exported type set (device mapper, SCSI disk driver).
 *
 * Every kernel structure here carries the "___corvane" flavour suffix and
 * preserve_access_index: libbpf drops the suffix, finds the structure of the
 * same name in the running kernel's type information (vmlinux or module BTF:
 * dm_mod, dm_multipath, sd_mod, scsi_mod) and rewrites every field offset to
 * that kernel's layout at load time. Only the fields the probes read are
 * declared; their order here does not matter. */
#ifndef CORVANE_ADDON_BPF_H
#define CORVANE_ADDON_BPF_H

/* One pending byte range on one block device: the element of the work queue. */
struct io_disk_info {
    __u64 start;
    __u64 end;
    struct gendisk *disk;
};

/* The first 24 bytes of a SCSI Device Identification VPD page (0x83). */
struct pg83 {
    __u8 device_type;
    __u8 page_code;
    __u16 len;
    __u8 device_type2;
    __u8 wwid_type;
    __u8 Reserved;
    __u8 wwid_len;
    wwid_t wwid;
};

/* Progress of one device-mapper expansion, in sectors of the mapped device. */
struct dm_sector_info {
    __u64 start; /* first sector of the current target */
    __u64 end;   /* last sector of the current target (inclusive) */
    __u64 start_dm;
    __u64 end_dm; /* inclusive */
    __u64 total_pending_sectors;
    __u64 pending_start_sector_index;
};

/* The part of the expanded range that falls into the current target. */
struct dm_rule_sector_info {
    __u64 start; /* sectors from the target's first sector */
    __u64 size;  /* sectors */
};

struct highs_index {
    __u64 highs;
};

struct target_type_name {
    char name[16];
};

struct open_fn {
    __u64 open;
};

/* Iterator flags and mapping types of the iomap layer (include/linux/iomap.h);
 * these are preprocessor constants, so they are not in the type information. */
#define IOMAP_WRITE (1U << 0)
#define IOMAP_ZERO (1U << 1)
#define IOMAP_DIRECT (1U << 4)
#define IOMAP_HOLE 0
#define IOMAP_DELALLOC 1
#define IOMAP_MAPPED 2
#define IOMAP_UNWRITTEN 3
#define IOMAP_INLINE 4
#define IOMAP_NULL_ADDR (~0ULL)

#define CORVANE_CORE __attribute__((preserve_access_index))

/* ---- device mapper (dm_mod, dm_multipath) --------------------------------- */

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

/* ---- mount bookkeeping: the two generations of the per-super-block mount list */

/* Up to 6.16: a list_head threaded through mount.mnt_instance. */
struct super_block___mlist {
    struct list_head s_mounts;
} CORVANE_CORE;

struct mount___mlist {
    struct list_head mnt_instance;
} CORVANE_CORE;

/* From 6.17: a singly linked chain through mount.mnt_next_for_sb. */
struct mount___mchain;

struct super_block___mchain {
    struct mount___mchain *s_mounts;
} CORVANE_CORE;

struct mount___mchain {
    struct mount___mchain *mnt_next_for_sb;
} CORVANE_CORE;

/* ---- extracts kept in the per-CPU scratch slots ----------------------------- */

struct gendisk_fields {
    __u64 open; /* fops->open */
    void *private_data;
};

struct mapped_device_fields {
    struct dm_table___corvane *map;
};

struct dm_table_fields {
    __u64 num_targets;
    sector_t *highs;
    struct dm_target___corvane *targets;
};

struct dm_target_fields {
    struct target_type___corvane *type;
    void *private;
};

struct target_type_fields {
    const char *name;
};

struct linear_c_fields {
    struct dm_dev___corvane *dev;
    __u64 start;
};

struct multipath_fields {
    struct pgpath___corvane *current_pgpath;
};

struct pgpath_fields {
    struct dm_path___corvane *path;
};

struct dm_path_fields {
    struct dm_dev___corvane *dev;
};

struct dm_dev_fields {
    struct block_device *bdev;
};

struct block_device_fields {
    __u64 bd_start_sect;
    struct gendisk *bd_disk;
};

#endif
