/* The walk of one write, mount, unmount or start-up check: its byte range on
 * a block device is queued, device-mapper entries are expanded into the
 * ranges below them (descent.h), and every entry that lands on a SCSI disk is
 * looked up in that disk's watched ranges (ranges.h) and judged. */
#ifndef CORVANE_WALK_H
#define CORVANE_WALK_H

enum walk_mode {
    WALK_WRITE,
    WALK_MOUNT,
    WALK_UMOUNT,
    WALK_CHECK,
};

struct walk {
    struct queue_state q;
    void *ctx;              /* the program's context, for the stack */
    struct bio *bio;        /* the block I/O judged, NULL for other writes */
    struct super_block *sb; /* mount, unmount, check */
    __u64 func_ip;          /* the probed function */
    __u64 caller;           /* see capture_stack */
    __u32 mode;             /* enum walk_mode */
    __u32 type;             /* enum ENUM_EVENT_TYPE of the reports */
    __u32 op;               /* block operation or SCSI opcode */
    __u32 device;           /* device written to or mounted */
    __u32 fs_type;          /* mounts: the type being mounted */
    __u32 swap;             /* a swap-out */
    __u32 stack_taken;
};

/* The kernel stack at the probe, innermost frame first. caller is non-zero
 * where the kernel's unwinder leaves out the probed function's caller: at a
 * kprobe on the first instruction of a function on arm64, the return address
 * is still in the link register, not yet in a frame record. It then goes in
 * after the first frame (the probed function), unless the unwinder found it. */
static __always_inline void capture_stack(void *ctx, event_t *event, __u64 caller)
{
    long bytes;
    if (caller) {
        bytes = bpf_get_stack(ctx, &event->ip[1], sizeof(event->ip) - sizeof(event->ip[0]), 0);
        if (bytes >= 2 * (long)sizeof(__u64) && event->ip[2] != caller) {
            event->ip[0] = event->ip[1];
            event->ip[1] = caller;
            event->stack_size = (__u64)bytes / sizeof(__u64) + 1;
            return;
        }
    }
    bytes = bpf_get_stack(ctx, event->ip, sizeof(event->ip), 0);
    event->stack_size = bytes > 0 ? (__u64)bytes / sizeof(__u64) : 0;
}

static __always_inline void take_stack_once(struct walk *w, event_t *event)
{
    if (w->stack_taken)
        return;
    capture_stack(w->ctx, event, w->caller);
    w->stack_taken = 1;
}

/* Fills what every report carries and hands it to user space; a full ring is
 * counted. */
static __always_inline void emit(struct walk *w, event_t *event, const struct io_disk_info *e,
                                 const fs_range_t *hit)
{
    __u64 uid_gid = bpf_get_current_uid_gid();
    event->ptid = bpf_get_current_pid_tgid();
    bpf_get_current_comm(event->comm, sizeof(event->comm));
    event->nsec = bpf_ktime_get_ns();
    event->uid = (__u32)uid_gid;
    event->cgroup_id = bpf_get_current_cgroup_id();
    event->type = w->type;
    event->mount_type = w->fs_type;
    event->op = w->op;
    event->device = w->device;
    event->func_ip = bpf_get_func_ip(w->ctx);
    event->range.first = e->start;
    event->range.second = e->end;
    event->range.type = hit->type;
    event->range.kind = hit->kind;
    event->range.source = hit->source;
    event->hit_first = hit->first;
    event->hit_second = hit->second;
    if (bpf_ringbuf_output(&events, event, sizeof(*event), 0)) {
        __sync_fetch_and_add(&dropped_events, 1);
        debugprintk("cannot reserve ringbuf");
    }
}

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
 * none of its own code on the stack. Everything that lands in that cache from
 * user space is judged when it lands there (write(2), stores through a shared
 * mapping), so its write-back is not judged again while the device is held
 * (by a file system, also one mounted before the probes were attached, or by
 * a stacking driver; a plain open, as by dd, does not hold it). */
static __always_inline int is_own_writeback(struct bio *bio)
{
    if (!bio || !bio_from_bdev_cache(bio))
        return 0;
    return BPF_CORE_READ(bio, bi_bdev, bd_holder) != NULL;
}

static __noinline void judge_write(struct walk *w, event_t *event, const struct io_disk_info *e)
{
    fs_range_t hit;
    if (!find_watched(&event->wwid, e->start, e->end, &hit)) {
        debugprintk("not in range!");
        return;
    }
    if (is_own_writeback(w->bio)) {
        debugprintk("write-back of a mounted file system");
        return;
    }
    /* A swap file's I/O lands in its own extents, file data of the file system. */
    if (w->swap && hit.kind == RANGE_KIND_DATA)
        return;
    take_stack_once(w, event);
    if (stack_in_fs_code(event, hit.type)) {
        debugprintk("range and stack is ok");
        return;
    }
    emit(w, event, e, &hit);
}

static __noinline void judge_mount(struct walk *w, event_t *event, const struct io_disk_info *e)
{
    fs_range_t hit;
    if (!find_watched(&event->wwid, e->start, e->end, &hit)) {
        debugprintk("range is ok");
        return;
    }
    int found = add_instance(&event->wwid, (__u64)w->sb, e->start, e->end, w->fs_type, w->device);
    take_stack_once(w, event);
    w->type = (found & INSTANCE_OTHER) ? ENUM_EVENT_TYPE_MOUNT_TWICE : ENUM_EVENT_TYPE_MOUNT;
    emit(w, event, e, &hit);
}

static __noinline void forget_mount(struct walk *w, event_t *event, const struct io_disk_info *e)
{
    fs_range_t hit = {};
    if (!remove_instance(&event->wwid, (__u64)w->sb))
        return;
    find_watched(&event->wwid, e->start, e->end, &hit);
    event->stack_size = 0;
    emit(w, event, e, &hit);
}

static __always_inline __u32 disk_devt(struct gendisk *disk)
{
    __u32 major = BPF_CORE_READ(disk, major);
    __u32 minor = BPF_CORE_READ(disk, first_minor);
    return major << 20 | minor;
}

/* Start-up check: what the probes see of this disk, and the instance mounted
 * before they were attached. */
static __noinline void check_disk(struct walk *w, event_t *event, const struct io_disk_info *e,
                                  int wwid_found)
{
    disk_check_t check = {};
    __u32 dev = disk_devt(e->disk);
    if (wwid_found) {
        check.wwid = event->wwid;
        check.status |= DISK_CHECK_WWID;
    }
    fs_range_t hit;
    if (wwid_found && w->sb && find_watched(&event->wwid, e->start, e->end, &hit)) {
        add_instance(&event->wwid, (__u64)w->sb, e->start, e->end, w->fs_type, w->device);
        check.status |= DISK_CHECK_MOUNTED;
        check.sb = (__u64)w->sb;
    }
    bpf_map_update_elem(&map_disk_checks, &dev, &check, BPF_ANY);
}

static long walk_entry_cb(__u32 index, void *vctx)
{
    struct walk *w = vctx;
    if (index >= w->q.tail || index >= MAX_QUEUE_LENGTH)
        return 1;
    struct io_disk_info *e = bpf_map_lookup_elem(&map_dest_infos, &index);
    struct scratch *s = scratch();
    if (!e || !s)
        return 0;
    __u64 open = disk_open_fn(e->disk);
    if (is_device_mapper(open)) {
        descend_dm(&w->q, e->start, e->end, e->disk);
        return 0;
    }
    if (!is_scsi(open)) {
        debugprintk("%p is unknown device.", e->disk);
        return 0;
    }
    event_t *event = &s->event;
    int wwid_found = get_scsi_wwid(e->disk, &event->wwid);
    if (w->mode == WALK_CHECK) {
        check_disk(w, event, e, wwid_found);
        return 0;
    }
    if (!wwid_found) {
        debugprintk("cannot find wwid");
        return 0;
    }
    if (w->mode == WALK_WRITE)
        judge_write(w, event, e);
    else if (w->mode == WALK_MOUNT)
        judge_mount(w, event, e);
    else
        forget_mount(w, event, e);
    return 0;
}

/* Walks the queued ranges. */
static __always_inline void walk_queue(void *ctx, struct walk *w)
{
    w->ctx = ctx;
    if (bpf_loop(MAX_QUEUE_LENGTH, walk_entry_cb, w, 0) < 0)
        debugprintk("bpf_loop err");
    /* What could not be followed is judged where it reaches a disk. */
    if (w->q.incomplete && w->bio) {
        __u64 key = (__u64)w->bio, one = 1;
        if (!bpf_map_update_elem(&map_unjudged, &key, &one, BPF_ANY))
            __sync_fetch_and_add(&unjudged_count, 1);
    }
}

/* Walks [start, end) of a block device's disk. */
static __always_inline void walk_range(void *ctx, struct walk *w, __u64 start, __u64 end,
                                       struct gendisk *disk)
{
    if (seed_queue(&w->q, start, end, disk))
        walk_queue(ctx, w);
}

#endif
