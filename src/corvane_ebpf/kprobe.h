/* The probes as kprobe/kretprobe programs, for kernels that cannot attach BPF
 * trampolines to their functions (arm64 before 6.4). The loader attaches each
 * to the function it chose; the bodies are shared with the fentry/fexit
 * programs (fentry.h). A return probe sees no arguments, so where one is
 * needed a kprobe at the entry keeps it for the return. */
#ifndef CORVANE_KPROBE_H
#define CORVANE_KPROBE_H

/* The return address into the probed function's caller at a kprobe on the
 * function's first instruction, where the unwinder does not find it (see
 * capture_stack); 0 where it does (x86_64's unwinder starts from the saved
 * registers with the function's own unwind data). */
static __always_inline __u64 entry_caller(struct pt_regs *ctx)
{
#if defined(__TARGET_ARCH_arm64)
    return PT_REGS_RET(ctx);
#else
    return 0;
#endif
}

/* A return probe's stack starts in the caller, which the unwinder finds. */
#define RETURN_STACK 0

SEC("kprobe")
int BPF_KPROBE(kprobe_submit_bio, struct bio *bio)
{
    __u32 opf = BPF_CORE_READ(bio, bi_opf);
    if (!(opf & 1)) /* reads and flushes: no further reads */
        return 0;
    struct gendisk *disk = BPF_CORE_READ(bio, bi_bdev, bd_disk);
    if (bio_may_matter(opf, disk_open_fn(disk), disk, BPF_CORE_READ(disk, diskseq)))
        on_submit_bio(ctx, entry_caller(ctx), bio);
    return 0;
}

SEC("kprobe")
int BPF_KPROBE(kprobe_iomap_write_iter, struct iomap_iter *iter)
{
    on_buffered_write(ctx, entry_caller(ctx), iter);
    return 0;
}

/* Thread -> the iterator of the buffered write it has in iomap_iter, from the
 * call's entry to its return. Least recently used entries make room, so that
 * returns the kernel could not probe (all its return slots busy) leave nothing
 * for good. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 4096);
    __type(key, __u32);
    __type(value, __u64);
} map_iomap_iters SEC(".maps");

SEC("kprobe")
int BPF_KPROBE(kprobe_iomap_iter, struct iomap_iter *iter)
{
    __u32 tid = (__u32)bpf_get_current_pid_tgid();
    __u64 kept = (__u64)iter;
    /* Any other iteration drops what an unprobed return may have left. */
    if (is_buffered_write(iter))
        bpf_map_update_elem(&map_iomap_iters, &tid, &kept, BPF_ANY);
    else
        bpf_map_delete_elem(&map_iomap_iters, &tid);
    return 0;
}

SEC("kretprobe")
int BPF_KRETPROBE(kretprobe_iomap_iter, long ret)
{
    __u32 tid = (__u32)bpf_get_current_pid_tgid();
    __u64 *kept = bpf_map_lookup_elem(&map_iomap_iters, &tid);
    if (!kept)
        return 0;
    struct iomap_iter *iter = (struct iomap_iter *)*kept;
    bpf_map_delete_elem(&map_iomap_iters, &tid);
    if ((int)ret > 0)
        on_buffered_write(ctx, RETURN_STACK, iter);
    return 0;
}

SEC("kprobe")
int BPF_KPROBE(kprobe_blkdev_write_iter, struct kiocb *iocb, struct iov_iter *from)
{
    on_blkdev_write_iter(ctx, entry_caller(ctx), iocb, from);
    return 0;
}

SEC("kprobe")
int BPF_KPROBE(kprobe_mmap_write, struct vm_fault *vmf)
{
    on_mmap_write(ctx, entry_caller(ctx), vmf);
    return 0;
}

SEC("kprobe")
int BPF_KPROBE(kprobe_scsi_command, struct request *rq)
{
    on_scsi_command(ctx, entry_caller(ctx), rq);
    return 0;
}

SEC("kprobe")
int BPF_KPROBE(kprobe_scsi_command_nowait, struct request *rq)
{
    on_scsi_command(ctx, entry_caller(ctx), rq);
    return 0;
}

SEC("kprobe")
int BPF_KPROBE(kprobe_scsi_unmap, struct request_queue *q, struct request *rq, void *map_data,
               struct iov_iter *iter)
{
    on_scsi_user_data(ctx, entry_caller(ctx), rq, iter);
    return 0;
}

SEC("kprobe")
int BPF_KPROBE(kprobe_scsi_unmap_kern, struct request_queue *q, struct request *rq, void *kbuf,
               unsigned int len)
{
    on_scsi_data(ctx, entry_caller(ctx), rq, kbuf, len, 0);
    return 0;
}

SEC("kprobe")
int BPF_KPROBE(kprobe_vfs_create_mount, struct fs_context *fc)
{
    on_create_mount(ctx, entry_caller(ctx), fc);
    return 0;
}

/* At the entry: the instance's entries go as its teardown starts. */
SEC("kprobe")
int BPF_KPROBE(kprobe_shutdown_super, struct super_block *sb)
{
    if (sb)
        forget_instance(ctx, sb);
    return 0;
}

SEC("kprobe")
int BPF_KPROBE(kprobe_self_check, struct file *file)
{
    on_self_check(ctx, file);
    return 0;
}

SEC("kprobe")
int BPF_KPROBE(kprobe_resize, struct file *file, unsigned int cmd)
{
    on_resize_request(file, cmd);
    return 0;
}

SEC("kretprobe")
int BPF_KRETPROBE(kretprobe_resize_done, long ret)
{
    on_ioctl_return(ret);
    return 0;
}

#endif
