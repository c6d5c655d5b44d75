/* The probes as fentry/fexit programs, for kernels that can attach BPF
 * trampolines to their functions. The loader sets each program's function
 * (the one named here is the default) and loads only those it uses. The
 * bodies are shared with the kprobe programs (kprobe.h). */
#ifndef CORVANE_FENTRY_H
#define CORVANE_FENTRY_H

/* A trampoline's stack holds every caller: no return address to add. */
#define FULL_STACK 0

/* The hot paths first test, with direct loads through the trampoline's typed
 * arguments (no helper calls; a faulting load reads 0), what lets most of the
 * machine's I/O end at once: reads, disks nobody watches, direct I/O, files
 * that are not block devices. */

SEC("fentry/submit_bio_noacct")
int BPF_PROG(monitor_submit_bio, struct bio *bio)
{
    struct gendisk *disk = bio->bi_bdev->bd_disk;
    if (bio_may_matter(bio->bi_opf, (__u64)disk->fops->open, disk, disk->diskseq))
        on_submit_bio(ctx, FULL_STACK, bio);
    return 0;
}

/* Not a buffered write: leave at once. */
static __always_inline int plainly_not_buffered_write(struct iomap_iter *iter)
{
    return !(iter->flags & (IOMAP_WRITE | IOMAP_ZERO)) || (iter->flags & IOMAP_DIRECT);
}

SEC("fentry/iomap_write_iter")
int BPF_PROG(monitor_iomap_write_iter, struct iomap_iter *iter)
{
    if (plainly_not_buffered_write(iter))
        return 0;
    on_buffered_write(ctx, FULL_STACK, iter);
    return 0;
}

SEC("fexit/iomap_iter")
int BPF_PROG(monitor_iomap_iter, struct iomap_iter *iter, const struct iomap_ops *ops, int ret)
{
    if (ret > 0 && !plainly_not_buffered_write(iter))
        on_buffered_write(ctx, FULL_STACK, iter);
    return 0;
}

SEC("fentry/blkdev_write_iter")
int BPF_PROG(monitor_blkdev_write_iter, struct kiocb *iocb, struct iov_iter *from)
{
    if (iocb->ki_flags & IOCB_DIRECT)
        return 0;
    on_blkdev_write_iter(ctx, FULL_STACK, iocb, from);
    return 0;
}

SEC("fentry/filemap_page_mkwrite")
int BPF_PROG(monitor_mmap_write, struct vm_fault *vmf)
{
    struct file *file = vmf->vma->vm_file;
    if ((file->f_mapping->host->i_mode & S_IFMT) != S_IFBLK)
        return 0;
    on_mmap_write(ctx, FULL_STACK, vmf);
    return 0;
}

SEC("fentry/blk_execute_rq")
int BPF_PROG(monitor_scsi_command, struct request *rq)
{
    on_scsi_command(ctx, FULL_STACK, rq);
    return 0;
}

SEC("fentry/blk_execute_rq_nowait")
int BPF_PROG(monitor_scsi_command_nowait, struct request *rq)
{
    on_scsi_command(ctx, FULL_STACK, rq);
    return 0;
}

SEC("fentry/blk_rq_map_user_iov")
int BPF_PROG(monitor_scsi_unmap, struct request_queue *q, struct request *rq, void *map_data,
             struct iov_iter *iter)
{
    on_scsi_user_data(ctx, FULL_STACK, rq, iter);
    return 0;
}

SEC("fentry/blk_rq_map_kern")
int BPF_PROG(monitor_scsi_unmap_kern, struct request_queue *q, struct request *rq, void *kbuf,
             unsigned int len)
{
    on_scsi_data(ctx, FULL_STACK, rq, kbuf, len, 0);
    return 0;
}

SEC("fentry/vfs_create_mount")
int BPF_PROG(monitor_vfs_create_mount, struct fs_context *fc)
{
    on_create_mount(ctx, FULL_STACK, fc);
    return 0;
}

/* At the return: the instance's last writes are done. */
SEC("fexit/generic_shutdown_super")
int BPF_PROG(monitor_shutdown_super, struct super_block *sb)
{
    if (sb)
        forget_instance(ctx, sb);
    return 0;
}

SEC("fentry/blkdev_ioctl")
int BPF_PROG(monitor_self_check, struct file *file, unsigned int cmd, unsigned long arg)
{
    on_self_check(ctx, file);
    return 0;
}

SEC("fentry/security_file_ioctl")
int BPF_PROG(monitor_resize, struct file *file, unsigned int cmd, unsigned long arg)
{
    on_resize_request(file, cmd);
    return 0;
}

SEC("fexit/__x64_sys_ioctl")
int BPF_PROG(monitor_resize_done, const struct pt_regs *regs, long ret)
{
    on_ioctl_return(ret);
    return 0;
}

#endif
