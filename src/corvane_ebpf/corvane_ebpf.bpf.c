// SPDX-License-Identifier: (BSD-2-Clause OR GPL-2.0)
/* In-kernel half of corvane: maps every write and every mount down to byte
 * ranges on SCSI disks (through partitions and device-mapper tables), matches
 * them against the watched ranges of each disk and reports the unsafe ones
 * through the ring buffer "events".
 *
 * Kernel structures are read with CO-RE relocations only, so one object runs
 * on every kernel that publishes BTF. All loops are bpf_loop with fixed bounds;
 * every scratch record lives in a per-CPU array because the eBPF stack holds
 * only 512 bytes. No program ever changes the behaviour of the probed kernel
 * function: each returns 0 and drops its event on any failure. */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "common/common.h"

#include "addon_bpf.h"

char LICENSE[] SEC("license") = "Dual BSD/GPL";

/* ---- maps: the order is the loader's contract ------------------------------ */

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 10485760);
} events SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 32);
    __type(key, wwid_t);
    __type(value, fs_range_set_t);
} map_wwid_ranges SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 32);
    __type(key, __u32); /* enum ENUM_FS_TYPE */
    __type(value, fs_range_t);
} map_module_ranges SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, MAX_QUEUE_LENGTH);
    __type(key, __u32);
    __type(value, struct io_disk_info);
} map_dest_infos SEC(".maps");

#define SCRATCH_MAP(name, value_type, entries)                                                     \
    struct {                                                                                       \
        __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);                                                   \
        __uint(max_entries, entries);                                                              \
        __type(key, __u32);                                                                        \
        __type(value, value_type);                                                                 \
    } name SEC(".maps")

SCRATCH_MAP(gendisk, struct gendisk_fields, 1);
SCRATCH_MAP(mapped_device, struct mapped_device_fields, 1);
SCRATCH_MAP(dm_table, struct dm_table_fields, 1);
SCRATCH_MAP(dm_target, struct dm_target_fields, 1);
SCRATCH_MAP(target_type, struct target_type_fields, 1);
SCRATCH_MAP(target_type_name, struct target_type_name, 1);
SCRATCH_MAP(linear_c, struct linear_c_fields, 1);
SCRATCH_MAP(dm_dev, struct dm_dev_fields, 1);
SCRATCH_MAP(block_device, struct block_device_fields, 1);
SCRATCH_MAP(open_fn, struct open_fn, 1);
SCRATCH_MAP(io_disk_info, struct io_disk_info, 2);
SCRATCH_MAP(multipath, struct multipath_fields, 1);
SCRATCH_MAP(pgpath, struct pgpath_fields, 1);
SCRATCH_MAP(dm_path, struct dm_path_fields, 1);
SCRATCH_MAP(highs_index, struct highs_index, 1);
SCRATCH_MAP(dm_rule_sector_info, struct dm_rule_sector_info, 1);
SCRATCH_MAP(dm_sector_info, struct dm_sector_info, 1);
/* The event under construction. It is copied into "events" only when it is
 * reported, so the ring's lock is not taken for every write looked at and a
 * full ring is noticed only for events that would have been reported. */
SCRATCH_MAP(event_buf, event_t, 1);

/* ---- globals (.bss), written by the loader before attachment ---------------- */

__u64 sd_open_addr;
__u64 dm_open_addr;
__u64 debug_mask;
__u64 dm_blk_open_addr;
/* Reports lost because the ring buffer was full; read by the poll loop. */
__u64 dropped_events;
/* 1 when monitor_do_umount is attached to path_umount (first argument a
 * struct path), 0 when it is attached to do_umount (a struct mount). */
__u64 umount_target_is_path;

#define debugprintk(fmt, ...)                                                                      \
    ({                                                                                             \
        if (debug_mask & 1)                                                                        \
            bpf_printk(fmt, ##__VA_ARGS__);                                                        \
    })

#define MIN(a, b) ((a) < (b) ? (a) : (b))

/* Slot index of one of this CPU's scratch maps; NULL only if index is out of range. */
static __always_inline void *scratch(void *map, __u32 index)
{
    return bpf_map_lookup_elem(map, &index);
}

static __always_inline __u64 ceil_div(__u64 a, __u64 b)
{
    return (a + b - 1) / b;
}

static __always_inline int ranges_overlap(__u64 first, __u64 second, __u64 a, __u64 b)
{
    return !(first >= b || second <= a);
}

/* ---- disk classification and identity ---------------------------------------- */

static __always_inline __u64 disk_open_fn(struct gendisk *disk)
{
    if (!disk)
        return 0;
    return (__u64)BPF_CORE_READ(disk, fops, open);
}

/* Both tests take the disk's open operation, read once per queue entry. */
static __always_inline int is_device_mapper(struct gendisk *gd, __u64 open)
{
    if (open != dm_blk_open_addr)
        return 0;
    debugprintk("%p is a dm.", gd);
    return 1;
}

static __always_inline int is_scsi(struct gendisk *gd, __u64 open)
{
    if (open != sd_open_addr)
        return 0;
    debugprintk("%p is a scsi.", gd);
    return 1;
}

/* WWID of a SCSI disk: the first designator of its cached VPD page 0x83 when
 * it is a 16-byte NAA designator of the logical unit. */
static __always_inline int get_scsi_wwid(event_t *ep, struct gendisk *gd)
{
    if (!bpf_core_type_exists(struct scsi_disk___corvane) ||
        !bpf_core_type_exists(struct scsi_device___corvane) ||
        !bpf_core_type_exists(struct scsi_vpd___corvane))
        return 1;

    struct scsi_disk___corvane *sd = BPF_CORE_READ(gd, private_data);
    struct scsi_device___corvane *sdev = NULL;
    long err = bpf_core_read(&sdev, sizeof(sdev), &sd->device);
    if (err || !sdev) {
        debugprintk("read err in get_scsi_wwid:%ld", err);
        return 1;
    }
    struct scsi_vpd___corvane *vpd = BPF_CORE_READ(sdev, vpd_pg83);
    if (!vpd) {
        debugprintk("read pg83 err in get_scsi_wwid");
        return 1;
    }
    int len = BPF_CORE_READ(vpd, len);
    struct pg83 page;
    const void *data = (const void *)vpd + bpf_core_field_offset(struct scsi_vpd___corvane, data);
    if (len < (int)sizeof(page) || bpf_probe_read_kernel(&page, sizeof(page), data)) {
        debugprintk("read pg83 err in get_scsi_wwid");
        return 1;
    }
    if (page.page_code != 0x83 || page.wwid_type != 0x03 || page.wwid_len != 0x10)
        return 1;
    __builtin_memcpy(&ep->wwid, &page.wwid, sizeof(ep->wwid));
    debugprintk("find %p's wwid:%08llx%08llx", gd, *(__u64 *)&page.wwid.buf[0],
                *(__u64 *)&page.wwid.buf[8]);
    return 0;
}

/* ---- event output --------------------------------------------------------- */

static __always_inline event_t *event_slot(void)
{
    return scratch(&event_buf, 0);
}

static __always_inline void fill_task_fields(event_t *ep)
{
    ep->ptid = bpf_get_current_pid_tgid();
    bpf_get_current_comm(ep->comm, sizeof(ep->comm));
    ep->nsec = bpf_ktime_get_ns();
}

static __always_inline void capture_stack(void *ctx, event_t *ep)
{
    long bytes = bpf_get_stack(ctx, ep->ip, sizeof(ep->ip), 0);
    ep->stack_size = bytes > 0 ? (__u64)bytes / sizeof(__u64) : 0;
}

/* Hands the finished record to user space; a full ring is counted. */
static __always_inline void emit_event(event_t *ep)
{
    if (bpf_ringbuf_output(&events, ep, sizeof(*ep), 0)) {
        __sync_fetch_and_add(&dropped_events, 1);
        debugprintk("cannot reserve ringbuf");
    }
}

/* ---- work queue ------------------------------------------------------------ */

/* Appends one lower range at the walk's tail; dropped when the queue is full. */
static __always_inline void append_range(struct io_disk_info *out, __u32 *tail)
{
    __u32 index = *tail;
    if (index >= MAX_QUEUE_LENGTH)
        return;
    struct io_disk_info *slot = bpf_map_lookup_elem(&map_dest_infos, &index);
    if (!slot)
        return;
    debugprintk("insert range: %p: [%llu, %llu)", out->disk, out->start, out->end);
    slot->start = out->start;
    slot->end = out->end;
    slot->disk = out->disk;
    *tail = index + 1;
}

/* Seeds this CPU's queue with one range; the walk's tail becomes 1. */
static __always_inline int seed_queue(__u64 start, __u64 end, struct gendisk *disk)
{
    struct io_disk_info *head = scratch(&map_dest_infos, 0);
    if (!head)
        return 0;
    head->start = start;
    head->end = end;
    head->disk = disk;
    return 1;
}

/* ---- device-mapper descent ------------------------------------------------------ */

/* Fills idi_out for a lower block device and appends it. offset_sectors is
 * where the assigned part starts on that device. */
static __always_inline void append_lower(struct block_device *bdev, __u64 offset_sectors,
                                         __u64 size_sectors, __u32 *tail)
{
    struct block_device_fields *bd = scratch(&block_device, 0);
    struct open_fn *of = scratch(&open_fn, 0);
    struct io_disk_info *out = scratch(&io_disk_info, 1);
    if (!bd || !of || !out || !bdev)
        return;
    bd->bd_start_sect = BPF_CORE_READ(bdev, bd_start_sect);
    bd->bd_disk = BPF_CORE_READ(bdev, bd_disk);
    if (!bd->bd_disk)
        return;
    of->open = disk_open_fn(bd->bd_disk);
    /* The partition start makes the range relative to the whole lower disk. */
    __u64 first = offset_sectors + bd->bd_start_sect;
    out->disk = bd->bd_disk;
    out->start = first * SECTOR_SIZE;
    out->end = (first + size_sectors) * SECTOR_SIZE;
    append_range(out, tail);
}

static __always_inline void process_linear(struct dm_target_fields *tg,
                                           struct dm_rule_sector_info *rule, __u32 *tail)
{
    if (!bpf_core_type_exists(struct linear_c___corvane) ||
        !bpf_core_type_exists(struct dm_dev___corvane))
        return;
    struct linear_c_fields *lc = scratch(&linear_c, 0);
    struct dm_dev_fields *dd = scratch(&dm_dev, 0);
    if (!lc || !dd)
        return;
    struct linear_c___corvane *kl = tg->private;
    lc->dev = BPF_CORE_READ(kl, dev);
    lc->start = BPF_CORE_READ(kl, start);
    if (!lc->dev)
        return;
    struct dm_dev___corvane *kdev = lc->dev;
    dd->bdev = BPF_CORE_READ(kdev, bdev);
    append_lower(dd->bdev, rule->start + lc->start, rule->size, tail);
}

/* The path in use; before the first I/O has chosen one, the first path of the
 * first priority group. Every path leads to the same logical unit. */
static __always_inline struct pgpath___corvane *multipath_path(struct multipath___corvane *m)
{
    struct pgpath___corvane *pp = BPF_CORE_READ(m, current_pgpath);
    if (pp || !bpf_core_type_exists(struct priority_group___corvane))
        return pp;
    void *groups = (void *)m + bpf_core_field_offset(struct multipath___corvane, priority_groups);
    void *first_group = BPF_CORE_READ(m, priority_groups.next);
    if (!first_group || first_group == groups)
        return NULL;
    struct priority_group___corvane *pg =
        first_group - bpf_core_field_offset(struct priority_group___corvane, list);
    void *paths = (void *)pg + bpf_core_field_offset(struct priority_group___corvane, pgpaths);
    void *first_path = BPF_CORE_READ(pg, pgpaths.next);
    if (!first_path || first_path == paths)
        return NULL;
    return first_path - bpf_core_field_offset(struct pgpath___corvane, list);
}

static __always_inline void process_multipath(struct dm_target_fields *tg,
                                              struct dm_rule_sector_info *rule, __u32 *tail)
{
    if (!bpf_core_type_exists(struct multipath___corvane) ||
        !bpf_core_type_exists(struct pgpath___corvane) ||
        !bpf_core_type_exists(struct dm_dev___corvane))
        return;
    struct multipath_fields *mp = scratch(&multipath, 0);
    struct pgpath_fields *pg = scratch(&pgpath, 0);
    struct dm_path_fields *dp = scratch(&dm_path, 0);
    struct dm_dev_fields *dd = scratch(&dm_dev, 0);
    if (!mp || !pg || !dp || !dd)
        return;
    mp->current_pgpath = multipath_path(tg->private);
    if (!mp->current_pgpath)
        return;
    pg->path = (void *)mp->current_pgpath + bpf_core_field_offset(struct pgpath___corvane, path);
    struct dm_path___corvane *kpath = pg->path;
    dp->dev = BPF_CORE_READ(kpath, dev);
    if (!dp->dev)
        return;
    struct dm_dev___corvane *kdev = dp->dev;
    dd->bdev = BPF_CORE_READ(kdev, bdev);
    /* A multipath target maps its sectors 1:1 onto the path device. */
    append_lower(dd->bdev, rule->start, rule->size, tail);
}

/* bpf_loop body over the targets of the table in the dm_table slot; ctx is the
 * walk's tail. */
static long process_each_dm_target(__u32 index, void *ctx)
{
    __u32 *tail = ctx;
    struct dm_table_fields *tbl = scratch(&dm_table, 0);
    struct dm_target_fields *tg = scratch(&dm_target, 0);
    struct target_type_fields *tt = scratch(&target_type, 0);
    struct target_type_name *tn = scratch(&target_type_name, 0);
    struct highs_index *hi = scratch(&highs_index, 0);
    struct dm_sector_info *si = scratch(&dm_sector_info, 0);
    struct dm_rule_sector_info *rule = scratch(&dm_rule_sector_info, 0);
    if (!tbl || !tg || !tt || !tn || !hi || !si || !rule)
        return 1;
    if (index >= tbl->num_targets)
        return 1;

    /* The array stride is the running kernel's size of struct dm_target. */
    struct dm_target___corvane *target =
        (void *)tbl->targets + (__u64)index * bpf_core_type_size(struct dm_target___corvane);
    if (bpf_core_read(&tg->type, sizeof(tg->type), &target->type) ||
        bpf_core_read(&tg->private, sizeof(tg->private), &target->private) ||
        bpf_probe_read_kernel(&hi->highs, sizeof(hi->highs), tbl->highs + index) || !tg->type)
        return 1;
    struct target_type___corvane *ktype = tg->type;
    if (bpf_core_read(&tt->name, sizeof(tt->name), &ktype->name) ||
        bpf_probe_read_kernel_str(tn->name, sizeof(tn->name), tt->name) < 0)
        return 1;

    si->start = index == 0 ? 0 : si->end + 1;
    si->end = hi->highs;
    if (si->start > si->end_dm || si->total_pending_sectors == 0)
        return 1;
    if (si->end < si->start_dm)
        return 0;

    rule->start = si->pending_start_sector_index - si->start;
    rule->size = MIN(si->total_pending_sectors, si->end - si->pending_start_sector_index + 1);

    if (tn->name[0] == 'm' && tn->name[1] == 'u')
        process_multipath(tg, rule, tail);
    else if (tn->name[0] == 'l' && tn->name[1] == 'i')
        process_linear(tg, rule, tail);

    si->pending_start_sector_index += rule->size;
    si->total_pending_sectors -= rule->size;
    return 0;
}

/* Reads the live table of the device-mapper disk in idi_in and runs the
 * target loop over the range. */
static __always_inline void process_dm(struct io_disk_info *in, __u32 *tail)
{
    if (!bpf_core_type_exists(struct mapped_device___corvane) ||
        !bpf_core_type_exists(struct dm_table___corvane) ||
        !bpf_core_type_exists(struct dm_target___corvane) ||
        !bpf_core_type_exists(struct target_type___corvane))
        return;
    struct gendisk_fields *gd = scratch(&gendisk, 0);
    struct mapped_device_fields *md = scratch(&mapped_device, 0);
    struct dm_table_fields *tbl = scratch(&dm_table, 0);
    struct dm_sector_info *si = scratch(&dm_sector_info, 0);
    if (!gd || !md || !tbl || !si || in->end <= in->start)
        return;
    gd->open = disk_open_fn(in->disk);
    if (gd->open != dm_blk_open_addr)
        return;
    struct gendisk *kdisk = in->disk;
    gd->private_data = BPF_CORE_READ(kdisk, private_data);
    struct mapped_device___corvane *kmd = gd->private_data;
    md->map = BPF_CORE_READ(kmd, map);
    if (!md->map)
        return;
    struct dm_table___corvane *kmap = md->map;
    tbl->num_targets = BPF_CORE_READ(kmap, num_targets);
    tbl->highs = BPF_CORE_READ(kmap, highs);
    tbl->targets = BPF_CORE_READ(kmap, targets);
    if (!tbl->highs || !tbl->targets)
        return;

    si->start = 0;
    si->end = 0;
    si->start_dm = in->start / SECTOR_SIZE;
    si->end_dm = ceil_div(in->end, SECTOR_SIZE) - 1;
    si->total_pending_sectors = si->end_dm - si->start_dm + 1;
    si->pending_start_sector_index = si->start_dm;
    bpf_loop(256, process_each_dm_target, tail, 0);
}

/* Expands a queue entry on a device-mapper disk into the ranges below it. */
static __always_inline void get_dm_dest_devs(struct io_disk_info *idip, __u32 *tail)
{
    struct io_disk_info *in = scratch(&io_disk_info, 0);
    if (!in)
        return;
    in->start = idip->start;
    in->end = idip->end;
    in->disk = idip->disk;
    debugprintk("check dm: range: %p: [%llu, %llu)", in->disk, in->start, in->end);
    process_dm(in, tail);
    debugprintk("check dm end");
}

/* The queue entry at index, as an event for a SCSI disk: its range and WWID in
 * this CPU's event slot. A device-mapper entry is expanded into the queue
 * instead. NULL when there is nothing to judge. */
static __always_inline event_t *queue_entry_event(__u32 index, __u32 *tail)
{
    struct io_disk_info *idip = bpf_map_lookup_elem(&map_dest_infos, &index);
    if (!idip) {
        debugprintk("get range err");
        return NULL;
    }
    struct gendisk *disk = idip->disk;
    __u64 open = disk_open_fn(disk);
    if (is_device_mapper(disk, open)) {
        get_dm_dest_devs(idip, tail);
        return NULL;
    }
    if (!is_scsi(disk, open)) {
        debugprintk("%p is unknown device.", disk);
        return NULL;
    }
    event_t *ep = event_slot();
    if (!ep)
        return NULL;
    ep->range.first = idip->start;
    ep->range.second = idip->end;
    ep->range.mount_sb = 0;
    if (get_scsi_wwid(ep, disk)) {
        debugprintk("cannot find wwid");
        return NULL;
    }
    return ep;
}

/* ---- range and stack check (writes) ------------------------------------------- */

#define S_IFMT 00170000
#define S_IFBLK 0060000

static __always_inline int is_block_device_inode(struct inode *inode)
{
    return inode && (BPF_CORE_READ(inode, i_mode) & S_IFMT) == S_IFBLK;
}

/* True when the bio writes pages of a block device's own page cache: the
 * write-back of buffered writes to the device and of file-system metadata
 * buffers, as opposed to direct I/O from user memory. */
static __always_inline int bio_from_bdev_cache(struct bio *bio)
{
    if (!BPF_CORE_READ(bio, bi_vcnt))
        return 0;
    struct page *page = BPF_CORE_READ(bio, bi_io_vec, bv_page);
    if (!page)
        return 0;
    unsigned long mapping = (unsigned long)BPF_CORE_READ(page, mapping);
    if (!mapping || (mapping & 3)) /* none, anonymous or movable */
        return 0;
    struct address_space *as = (struct address_space *)mapping;
    return is_block_device_inode(BPF_CORE_READ(as, host));
}

/* A mounted file system keeps its metadata in the block device's page cache
 * and leaves the write-back to the kernel's flusher, sync(2) or jbd2, with
 * none of its own code on the stack. What lands in that cache is looked at
 * when it is written there (monitor_blkdev_write_iter), so its write-back is
 * not judged again when a file system holds the device (also one mounted
 * before the probes were attached; a plain open, as by dd, does not hold it)
 * or the range hit is marked as mounted. */
static __always_inline int is_own_writeback(struct bio *bio, const fs_range_t *hit)
{
    if (!bio || !bio_from_bdev_cache(bio))
        return 0;
    return hit->mount_sb || BPF_CORE_READ(bio, bi_bdev, bd_holder);
}

struct cras_ctx {
    fs_range_set_t *frsp;
    fs_range_t *unsafe_range;
    event_t *ep;
    fs_range_t *module_range;
    int is_safe;
};

static long check_range_and_stack_cb_range(__u32 index, void *vctx)
{
    struct cras_ctx *c = vctx;
    if (index >= MAX_RANGE_COUNT || index >= c->frsp->cnt)
        return 1;
    fs_range_t *r = &c->frsp->arr[index];
    if (!ranges_overlap(r->first, r->second, c->ep->range.first, c->ep->range.second))
        return 0;
    c->is_safe = 0;
    c->unsafe_range = r;
    return 1;
}

static long check_range_and_stack_cb_stack(__u32 index, void *vctx)
{
    struct cras_ctx *c = vctx;
    if (index >= PERF_MAX_STACK_DEPTH || index >= c->ep->stack_size)
        return 1;
    __u64 ip = c->ep->ip[index];
    if (c->module_range->first <= ip && ip < c->module_range->second) {
        c->is_safe = 1;
        return 1;
    }
    return 0;
}

/* Non-zero when the write is safe or cannot be judged, 0 when it is reported. */
/* bio is the block I/O being judged, NULL for the buffered-write probes. */
static __always_inline int check_range_and_stack(void *ctx, event_t *ep, struct bio *bio)
{
    struct cras_ctx c = {.ep = ep, .is_safe = 1};
    c.frsp = bpf_map_lookup_elem(&map_wwid_ranges, &ep->wwid);
    if (!c.frsp) {
        debugprintk("can not lookup wwid!");
        return 1;
    }
    if (bpf_loop(MAX_RANGE_COUNT, check_range_and_stack_cb_range, &c, 0) < 0) {
        debugprintk("bpf_loop err");
        return 1;
    }
    if (c.is_safe || !c.unsafe_range) {
        debugprintk("not in range!");
        return 1;
    }
    if (is_own_writeback(bio, c.unsafe_range)) {
        debugprintk("write-back of a mounted file system");
        return 1;
    }
    __u32 type = c.unsafe_range->type;
    c.module_range = bpf_map_lookup_elem(&map_module_ranges, &type);
    if (!c.module_range) {
        debugprintk("get module address err");
        return 1;
    }
    ep->range.type = c.module_range->type;
    capture_stack(ctx, ep);
    if (bpf_loop(PERF_MAX_STACK_DEPTH, check_range_and_stack_cb_stack, &c, 0) < 0) {
        debugprintk("bpf_loop err");
        return 1;
    }
    return c.is_safe;
}

/* ---- write walk ------------------------------------------------------------------- */

struct teh_ctx {
    void *ctx;
    __u32 type;
    __u32 tail;
    struct bio *bio; /* the block I/O walked, NULL for buffered writes */
};

static long trace_event_handle_cb(__u32 index, void *vctx)
{
    struct teh_ctx *tc = vctx;
    if (index >= tc->tail || index >= MAX_QUEUE_LENGTH)
        return 1;
    event_t *ep = queue_entry_event(index, &tc->tail);
    if (!ep)
        return 0;
    if (check_range_and_stack(tc->ctx, ep, tc->bio)) {
        debugprintk("range and stack is ok");
        return 0;
    }
    fill_task_fields(ep);
    ep->type = tc->type;
    ep->mount_type = ENUM_FS_TYPE_UNKNOWN;
    emit_event(ep);
    return 0;
}

static __always_inline void trace_event_handle(void *ctx, __u64 start, __u64 end,
                                               struct gendisk *disk, __u32 type, struct bio *bio)
{
    if (!seed_queue(start, end, disk))
        return;
    struct teh_ctx tc = {.ctx = ctx, .type = type, .tail = 1, .bio = bio};
    if (bpf_loop(MAX_QUEUE_LENGTH, trace_event_handle_cb, &tc, 0) < 0)
        debugprintk("bpf_loop err");
}

/* ---- write probes ------------------------------------------------------------- */

/* A buffered write over one iomap mapping. The data lands at the mapping's
 * disk address, so only mapped and unwritten extents have a known place; a
 * delayed allocation, hole or inline mapping gets its place at writeback,
 * where the block-layer probe sees it. */
static __always_inline int handle_buffered_write(void *ctx, struct iomap_iter *iter)
{
    unsigned int flags = BPF_CORE_READ(iter, flags);
    if (!(flags & (IOMAP_WRITE | IOMAP_ZERO)) || (flags & IOMAP_DIRECT))
        return 0;
    /* Block device files are looked at by monitor_blkdev_write_iter. */
    if (is_block_device_inode(BPF_CORE_READ(iter, inode)))
        return 0;
    __u16 map_type = BPF_CORE_READ(iter, iomap.type);
    if (map_type != IOMAP_MAPPED && map_type != IOMAP_UNWRITTEN)
        return 0;
    __u64 addr = BPF_CORE_READ(iter, iomap.addr);
    if (addr == IOMAP_NULL_ADDR)
        return 0;
    __u64 pos = (__u64)BPF_CORE_READ(iter, pos);
    __u64 len = BPF_CORE_READ(iter, len);
    __u64 map_offset = (__u64)BPF_CORE_READ(iter, iomap.offset);
    __u64 map_end = map_offset + BPF_CORE_READ(iter, iomap.length);
    if (pos < map_offset || pos >= map_end || len == 0)
        return 0;
    struct block_device *bd = BPF_CORE_READ(iter, iomap.bdev);
    if (!bd)
        return 0;
    __u64 start = addr + (pos - map_offset) + BPF_CORE_READ(bd, bd_start_sect) * SECTOR_SIZE;
    __u64 end = start + MIN(len, map_end - pos);
    struct gendisk *disk = BPF_CORE_READ(bd, bd_disk);
    debugprintk("iomap_write_iter find range: %p: [%llu, %llu)", disk, start, end);
    trace_event_handle(ctx, start, end, disk, ENUM_EVENT_TYPE_IOMAP_WRITE_ITER, NULL);
    return 0;
}

/* Kernels that keep iomap_write_iter out of line: the iterator at entry holds
 * the mapping of the chunk about to be copied. */
SEC("fentry/iomap_write_iter")
int BPF_PROG(monitor_iomap_write_iter, struct iomap_iter *iter)
{
    return handle_buffered_write(ctx, iter);
}

SEC("fentry/submit_bio")
int BPF_PROG(monitor_submit_bio, struct bio *bio)
{
    if (!(BPF_CORE_READ(bio, bi_opf) & 1))
        return 0;
    struct block_device *bd = BPF_CORE_READ(bio, bi_bdev);
    if (!bd)
        return 0;
    /* Block-layer sectors are 512 bytes whatever the logical block size. */
    __u64 start =
        (BPF_CORE_READ(bio, bi_iter.bi_sector) + BPF_CORE_READ(bd, bd_start_sect)) * SECTOR_SIZE;
    __u64 end = start + BPF_CORE_READ(bio, bi_iter.bi_size);
    struct gendisk *disk = BPF_CORE_READ(bd, bd_disk);
    debugprintk("submit_bio find range: %p: [%llu, %llu)", disk, start, end);
    trace_event_handle(ctx, start, end, disk, ENUM_EVENT_TYPE_SUBMIT_BIO, bio);
    return 0;
}

/* ---- mount marks ------------------------------------------------------------------ */

struct check_mount_ctx {
    event_t *ep;
    struct super_block *sb;
    fs_range_set_t *frsp;
    int found;
};

static long check_mount_range_cb(__u32 index, void *vctx)
{
    struct check_mount_ctx *c = vctx;
    if (index >= MAX_RANGE_COUNT || index >= c->frsp->cnt)
        return 1;
    fs_range_t *r = &c->frsp->arr[index];
    if (!ranges_overlap(r->first, r->second, c->ep->range.first, c->ep->range.second))
        return 0;
    c->found |= 1;
    c->ep->range.type = r->type;
    if (r->mount_sb && r->mount_sb != (__u64)c->sb)
        c->found |= 2;
    r->mount_sb = (__u64)c->sb;
    return 0;
}

static long clean_mount_range_cb(__u32 index, void *vctx)
{
    struct check_mount_ctx *c = vctx;
    if (index >= MAX_RANGE_COUNT || index >= c->frsp->cnt)
        return 1;
    fs_range_t *r = &c->frsp->arr[index];
    if (!ranges_overlap(r->first, r->second, c->ep->range.first, c->ep->range.second))
        return 0;
    c->found |= 1;
    c->ep->range.type = r->type;
    if (r->mount_sb == (__u64)c->sb)
        r->mount_sb = 0;
    else
        c->found |= 2;
    return 0;
}

/* Runs scan_cb over the disk's watched ranges; returns found, 0 on a loop
 * error, not_watched when the disk has no entry. */
static __always_inline int scan_mount_marks(event_t *ep, struct super_block *sb, void *scan_cb,
                                            int not_watched)
{
    struct check_mount_ctx c = {.ep = ep, .sb = sb};
    c.frsp = bpf_map_lookup_elem(&map_wwid_ranges, &ep->wwid);
    if (!c.frsp) {
        debugprintk("can not lookup wwid!");
        return not_watched;
    }
    if (bpf_loop(MAX_RANGE_COUNT, scan_cb, &c, 0) < 0) {
        debugprintk("bpf_loop err");
        return 0;
    }
    return c.found;
}

/* Marks the watched ranges under the event's range with sb; returns found. */
static __always_inline int check_mount_range(event_t *ep, struct super_block *sb)
{
    return scan_mount_marks(ep, sb, check_mount_range_cb, 0);
}

/* Removes sb's marks under the event's range; returns found, -1 when the disk
 * is not watched. */
static __always_inline int clean_mount_range(event_t *ep, struct super_block *sb)
{
    return scan_mount_marks(ep, sb, clean_mount_range_cb, -1);
}

struct monitor_mount_ctx {
    void *ctx;
    struct super_block *sb;
    __u32 fs_type;
    __u32 tail;
};

static long monitor_vfs_create_mount_cb(__u32 index, void *vctx)
{
    struct monitor_mount_ctx *mc = vctx;
    if (index >= mc->tail || index >= MAX_QUEUE_LENGTH)
        return 1;
    event_t *ep = queue_entry_event(index, &mc->tail);
    if (!ep)
        return 0;
    int found = check_mount_range(ep, mc->sb);
    if (!found) {
        debugprintk("range is ok");
        return 0;
    }
    capture_stack(mc->ctx, ep);
    fill_task_fields(ep);
    ep->type = (found & 2) ? ENUM_EVENT_TYPE_MOUNT_TWICE : ENUM_EVENT_TYPE_MOUNT;
    ep->mount_type = mc->fs_type;
    emit_event(ep);
    return 0;
}

static long monitor_do_umount_cb(__u32 index, void *vctx)
{
    struct monitor_mount_ctx *mc = vctx;
    if (index >= mc->tail || index >= MAX_QUEUE_LENGTH)
        return 1;
    event_t *ep = queue_entry_event(index, &mc->tail);
    if (!ep)
        return 0;
    int found = clean_mount_range(ep, mc->sb);
    if (found >= 0 && found != 1)
        debugprintk("clean err");
    return 0;
}

/* Whole byte range of the super block's device on its disk, queued at index 0. */
static __always_inline struct gendisk *seed_sb_range(struct super_block *sb, const char *what)
{
    struct block_device *bd = BPF_CORE_READ(sb, s_bdev);
    if (!bd)
        return NULL;
    __u64 start = BPF_CORE_READ(bd, bd_start_sect) * SECTOR_SIZE;
    __u64 end = start + BPF_CORE_READ(bd, bd_nr_sectors) * SECTOR_SIZE;
    struct gendisk *disk = BPF_CORE_READ(bd, bd_disk);
    if (!disk || !seed_queue(start, end, disk))
        return NULL;
    if (what[0] == 'm')
        debugprintk("mount find range: %p: [%llu, %llu)", disk, start, end);
    else
        debugprintk("umount find range: %p: [%llu, %llu)", disk, start, end);
    return disk;
}

static __always_inline __u32 fs_type_of(struct fs_context *fc)
{
    const char *name = BPF_CORE_READ(fc, fs_type, name);
    char word[8] = {};
    if (!name || bpf_probe_read_kernel_str(word, sizeof(word), name) < 0)
        return ENUM_FS_TYPE_UNKNOWN;
    if (word[0] == 'e' && word[1] == 'x' && word[2] == 't' && word[3] == '4')
        return ENUM_FS_TYPE_EXT4;
    if (word[0] == 'x' && word[1] == 'f' && word[2] == 's' && word[3] == 0)
        return ENUM_FS_TYPE_XFS;
    return ENUM_FS_TYPE_UNKNOWN;
}

SEC("fentry/vfs_create_mount")
int BPF_PROG(monitor_vfs_create_mount, struct fs_context *fc)
{
    struct super_block *sb = BPF_CORE_READ(fc, root, d_sb);
    if (!sb)
        return 0;
    struct monitor_mount_ctx mc = {.ctx = ctx, .sb = sb, .fs_type = fs_type_of(fc), .tail = 1};
    if (!seed_sb_range(sb, "mount"))
        return 0;
    if (bpf_loop(MAX_QUEUE_LENGTH, monitor_vfs_create_mount_cb, &mc, 0) < 0)
        debugprintk("bpf_loop err");
    return 0;
}

static __always_inline void clear_marks_of(struct super_block *sb)
{
    struct monitor_mount_ctx mc = {.ctx = NULL, .sb = sb, .fs_type = 0, .tail = 1};
    if (!seed_sb_range(sb, "umount"))
        return;
    if (bpf_loop(MAX_QUEUE_LENGTH, monitor_do_umount_cb, &mc, 0) < 0)
        debugprintk("bpf_loop err");
}

/* True when no mount of sb is left apart from leaving (NULL: none at all). */
static __always_inline int sb_unmounted(struct super_block *sb, void *leaving)
{
    if (bpf_core_field_exists(struct super_block___mlist, s_mounts)) {
        struct super_block___mlist *s = (void *)sb;
        void *head = (void *)sb + bpf_core_field_offset(struct super_block___mlist, s_mounts);
        void *first = BPF_CORE_READ(s, s_mounts.next);
        if (!leaving)
            return first == head;
        struct mount___mlist *m = leaving;
        void *own = leaving + bpf_core_field_offset(struct mount___mlist, mnt_instance);
        return first == own && BPF_CORE_READ(m, mnt_instance.next) == head;
    }
    if (bpf_core_field_exists(struct super_block___mchain, s_mounts)) {
        struct super_block___mchain *s = (void *)sb;
        struct mount___mchain *first = BPF_CORE_READ(s, s_mounts);
        if (!leaving)
            return first == NULL;
        return (void *)first == leaving && BPF_CORE_READ(first, mnt_next_for_sb) == NULL;
    }
    return 0;
}

/* Used only on kernels whose BTF lacks generic_shutdown_super (see
 * monitor_shutdown_super): at the return of a successful unmount, once no
 * mount of the instance is left, its marks go. The first argument is a struct
 * mount at do_umount and a struct path at path_umount, where the unmounted
 * mount has already left the list. */
SEC("fexit/do_umount")
int BPF_PROG(monitor_do_umount, void *target, int flags, int ret)
{
    if (ret != 0)
        return 0;
    struct super_block *sb;
    void *leaving = NULL;
    if (umount_target_is_path) {
        sb = BPF_CORE_READ((struct path *)target, mnt, mnt_sb);
    } else {
        leaving = target;
        sb = BPF_CORE_READ((struct mount *)target, mnt.mnt_sb);
    }
    if (!sb || !sb_unmounted(sb, leaving))
        return 0;
    clear_marks_of(sb);
    return 0;
}

/* The instance has been torn down for good: its last mount is gone (also after
 * a lazy unmount whose last user has just left) and everything it had cached
 * has been written. This is where its marks go on kernels that have the
 * function; the return of the unmount call comes before that final flush. */
SEC("fexit/generic_shutdown_super")
int BPF_PROG(monitor_shutdown_super, struct super_block *sb)
{
    if (sb)
        clear_marks_of(sb);
    return 0;
}

/* Kernels that inline iomap_write_iter: each new mapping of a buffered write
 * is seen at the return of iomap_iter, before its chunk is copied. */
SEC("fexit/iomap_iter")
int BPF_PROG(monitor_iomap_iter, struct iomap_iter *iter, const struct iomap_ops *ops, int ret)
{
    if (ret <= 0)
        return 0;
    return handle_buffered_write(ctx, iter);
}

#define IOCB_DIRECT (1 << 17)

/* A buffered write(2) to a block device file: the data goes into the device's
 * page cache at the file position, written back later by whoever flushes. */
SEC("fentry/blkdev_write_iter")
int BPF_PROG(monitor_blkdev_write_iter, struct kiocb *iocb, struct iov_iter *from)
{
    if (!bpf_core_type_exists(struct bdev_inode))
        return 0;
    if (BPF_CORE_READ(iocb, ki_flags) & IOCB_DIRECT)
        return 0; /* seen by monitor_submit_bio in this task */
    struct inode *inode = BPF_CORE_READ(iocb, ki_filp, f_mapping, host);
    if (!is_block_device_inode(inode))
        return 0;
    /* The block device and its inode are allocated together (struct bdev_inode). */
    struct block_device *bd = (void *)inode - bpf_core_field_offset(struct bdev_inode, vfs_inode) +
                              bpf_core_field_offset(struct bdev_inode, bdev);
    __u64 count = BPF_CORE_READ(from, count);
    __s64 pos = BPF_CORE_READ(iocb, ki_pos);
    if (count == 0 || pos < 0)
        return 0;
    __u64 start = (__u64)pos + BPF_CORE_READ(bd, bd_start_sect) * SECTOR_SIZE;
    __u64 end = start + count;
    struct gendisk *disk = BPF_CORE_READ(bd, bd_disk);
    debugprintk("blkdev_write_iter find range: %p: [%llu, %llu)", disk, start, end);
    trace_event_handle(ctx, start, end, disk, ENUM_EVENT_TYPE_IOMAP_WRITE_ITER, NULL);
    return 0;
}
