/* Mounts and unmounts over watched ranges, the start-up check of what the
 * probes see, and the online growth of watched file systems. */
#ifndef CORVANE_MOUNTS_H
#define CORVANE_MOUNTS_H

static __always_inline __u32 fs_type_of_name(const char *name)
{
    char word[8] = {};
    if (!name || bpf_probe_read_kernel_str(word, sizeof(word), name) < 0)
        return ENUM_FS_TYPE_UNKNOWN;
    if (word[0] == 'e' && word[1] == 'x' && word[2] == 't' && word[3] == '4')
        return ENUM_FS_TYPE_EXT4;
    if (word[0] == 'x' && word[1] == 'f' && word[2] == 's' && word[3] == 0)
        return ENUM_FS_TYPE_XFS;
    return ENUM_FS_TYPE_UNKNOWN;
}

/* Walks the whole byte range of the super block's device on its disk. */
static __always_inline void walk_sb_device(void *ctx, struct walk *w, struct block_device *bd)
{
    __u64 start = bdev_start(bd);
    __u64 end = start + BPF_CORE_READ(bd, bd_nr_sectors) * SECTOR_SIZE;
    struct gendisk *disk = BPF_CORE_READ(bd, bd_disk);
    __u64 open = disk_open_fn(disk);
    if (!is_scsi(open) && !is_device_mapper(open))
        return;
    debugprintk("mount find range: %p: [%llu, %llu)", disk, start, end);
    walk_range(ctx, w, start, end, disk);
}

/* Tells user space of a new ext4 or xfs on a block device (--mounted). */
static __always_inline void notify_new_mount(event_t *event, __u32 fs_type, __u32 device)
{
    event->type = ENUM_EVENT_TYPE_NEW_MOUNT;
    event->mount_type = fs_type;
    event->device = device;
    event->ptid = bpf_get_current_pid_tgid();
    event->nsec = bpf_ktime_get_ns();
    event->stack_size = 0;
    bpf_get_current_comm(event->comm, sizeof(event->comm));
    if (bpf_ringbuf_output(&events, event, sizeof(*event), 0))
        __sync_fetch_and_add(&dropped_events, 1);
}

/* A new mount of a file system instance (vfs_create_mount): a mount over
 * watched ranges is reported, and as a double mount when another instance
 * lives there. */
static __always_inline void on_create_mount(void *ctx, __u64 caller, struct fs_context *fc)
{
    struct super_block *sb = BPF_CORE_READ(fc, root, d_sb);
    struct block_device *bd = BPF_CORE_READ(sb, s_bdev);
    struct scratch *s = scratch();
    if (!sb || !bd || !s)
        return;
    struct walk w = {.mode = WALK_MOUNT, .type = ENUM_EVENT_TYPE_MOUNT, .sb = sb};
    w.caller = caller;
    w.fs_type = fs_type_of_name(BPF_CORE_READ(fc, fs_type, name));
    w.device = bdev_devt(bd);
    __builtin_memset(s->event.detail, 0, sizeof(s->event.detail));
    bpf_probe_read_kernel_str(s->event.detail, sizeof(s->event.detail), BPF_CORE_READ(fc, source));
    if (notify_mounts && w.fs_type != ENUM_FS_TYPE_UNKNOWN)
        notify_new_mount(&s->event, w.fs_type, w.device);
    walk_sb_device(ctx, &w, bd);
}

/* Removes the instance's entries and reports the unmount of a watched file
 * system. Called when the super block is torn down (generic_shutdown_super):
 * its last mount is gone, also after a lazy unmount whose last user has just
 * left. Where the function's return can be probed (fexit), that is after
 * everything it had cached has been written; at its entry (kprobes), the
 * entries go as the teardown starts. */
static __always_inline void forget_instance(void *ctx, struct super_block *sb)
{
    struct block_device *bd = BPF_CORE_READ(sb, s_bdev);
    struct scratch *s = scratch();
    if (!bd || !s)
        return;
    struct walk w = {.mode = WALK_UMOUNT, .type = ENUM_EVENT_TYPE_UMOUNT, .sb = sb};
    w.fs_type = fs_type_of_name(BPF_CORE_READ(sb, s_type, name));
    w.device = bdev_devt(bd);
    __builtin_memset(s->event.detail, 0, sizeof(s->event.detail));
    walk_sb_device(ctx, &w, bd);
}

/* ---- start-up check ------------------------------------------------------------------ */

/* The super block mounted from a block device, if any. */
static __always_inline struct super_block *mounted_sb(struct block_device *bd)
{
    if (bpf_core_field_exists(struct block_device___bdsuper, bd_super))
        return BPF_CORE_READ((struct block_device___bdsuper *)bd, bd_super);
    /* Since 6.6 a file system holds its device with its super block. */
    struct super_block *holder = BPF_CORE_READ(bd, bd_holder);
    if (holder && BPF_CORE_READ(holder, s_bdev) == bd)
        return holder;
    return NULL;
}

/* corvane itself asks, with a harmless ioctl on a device, what the probes see
 * of the disks below it (their WWID) and which instance is mounted from it,
 * which is then recorded as if its mount had been seen. */
static __always_inline void on_self_check(void *ctx, struct file *file)
{
    if (!self_check_armed || (bpf_get_current_pid_tgid() >> 32) != self_tgid)
        return;
    if (!bpf_core_type_exists(struct bdev_inode))
        return;
    struct inode *inode = BPF_CORE_READ(file, f_mapping, host);
    if (!is_block_device_inode(inode))
        return;
    struct block_device *bd = bdev_of_inode(inode);
    struct super_block *sb = mounted_sb(bd);
    struct walk w = {.mode = WALK_CHECK, .sb = sb};
    w.device = bdev_devt(bd);
    if (sb)
        w.fs_type = fs_type_of_name(BPF_CORE_READ(sb, s_type, name));
    walk_sb_device(ctx, &w, bd);
}

/* ---- online growth -------------------------------------------------------------------- */

#define EXT4_IOC_GROUP_EXTEND 0x40086607u
#define EXT4_IOC_GROUP_ADD 0x40286608u
#define EXT4_IOC_RESIZE_FS 0x40086610u
#define XFS_IOC_FSGROWFSDATA 0x4010586eu
#define XFS_IOC_FSGROWFSLOG 0x4008586fu

static __always_inline int is_resize_ioctl(unsigned int cmd)
{
    return cmd == EXT4_IOC_GROUP_EXTEND || cmd == EXT4_IOC_GROUP_ADD || cmd == EXT4_IOC_RESIZE_FS ||
           cmd == XFS_IOC_FSGROWFSDATA || cmd == XFS_IOC_FSGROWFSLOG;
}

/* A request to grow or shrink a mounted file system (seen at
 * security_file_ioctl): remembered until the system call returns. */
static __always_inline void on_resize_request(struct file *file, unsigned int cmd)
{
    if (!is_resize_ioctl(cmd))
        return;
    __u32 tid = (__u32)bpf_get_current_pid_tgid();
    __u32 dev = BPF_CORE_READ(file, f_inode, i_sb, s_dev);
    if (!bpf_map_update_elem(&map_resizing, &tid, &dev, BPF_ANY))
        __sync_fetch_and_add(&resizing_count, 1);
}

/* The ioctl system call returns (its architecture's entry, __x64_sys_ioctl or
 * __arm64_sys_ioctl): after a resize request, the file system has its new
 * size and user space analyses it again. */
static __always_inline void on_ioctl_return(long ret)
{
    if (!resizing_count)
        return;
    __u32 tid = (__u32)bpf_get_current_pid_tgid();
    __u32 *dev = bpf_map_lookup_elem(&map_resizing, &tid);
    struct scratch *s = scratch();
    if (!dev || !s)
        return;
    event_t *event = &s->event;
    event->type = ENUM_EVENT_TYPE_FS_RESIZED;
    event->device = *dev;
    event->op = (__u32)ret;
    event->ptid = bpf_get_current_pid_tgid();
    event->nsec = bpf_ktime_get_ns();
    event->stack_size = 0;
    bpf_get_current_comm(event->comm, sizeof(event->comm));
    bpf_map_delete_elem(&map_resizing, &tid);
    __sync_fetch_and_add(&resizing_count, -1);
    if (bpf_ringbuf_output(&events, event, sizeof(*event), 0))
        __sync_fetch_and_add(&dropped_events, 1);
}

#endif
