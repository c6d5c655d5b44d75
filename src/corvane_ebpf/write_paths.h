/* Every way a write reaches a disk: block I/O, buffered writes through a file
 * system or into a block device's page cache, stores through a shared
 * mapping of a block device, and SCSI commands sent through SG_IO. */
#ifndef CORVANE_WRITE_PATHS_H
#define CORVANE_WRITE_PATHS_H

/* The block device whose page cache an inode of a block device file is (the
 * two are allocated together, as struct bdev_inode). */
static __always_inline struct block_device *bdev_of_inode(struct inode *inode)
{
    return (void *)inode - bpf_core_field_offset(struct bdev_inode, vfs_inode) +
           bpf_core_field_offset(struct bdev_inode, bdev);
}

/* Byte offset of a block device's first byte on its whole disk. */
static __always_inline __u64 bdev_start(struct block_device *bd)
{
    return BPF_CORE_READ(bd, bd_start_sect) * SECTOR_SIZE;
}

/* ---- block I/O ---------------------------------------------------------------- */

/* Whether a bio can touch a watched range, from its operation flags and its
 * disk (with the disk's open operation and sequence number): a write to
 * device mapper, followed down by the walk, or to a SCSI disk with watched
 * ranges. Most of a machine's I/O ends here; each probe program reads these
 * values its own cheapest way. */
static __always_inline int bio_may_matter(__u32 opf, __u64 open, struct gendisk *disk, __u64 seq)
{
    if (!(opf & 1)) /* reads and flushes */
        return 0;
    return is_scsi(open) ? disk_watched_seq(disk, seq) : is_device_mapper(open);
}

/* Every block I/O that bio_may_matter() let through, as it enters the block
 * layer (submit_bio_noacct): what file systems and programs submit, and what
 * stacking drivers issue to the devices below. A bio coming back after a
 * split, or issued by a device-mapper target that was already followed from
 * above, is not judged again. */
static __always_inline void on_submit_bio(void *ctx, __u64 caller, struct bio *bio)
{
    __u32 opf = BPF_CORE_READ(bio, bi_opf);
    struct block_device *bd = BPF_CORE_READ(bio, bi_bdev);
    struct gendisk *disk = BPF_CORE_READ(bd, bd_disk);
    if (BPF_CORE_READ(bio, bi_flags) & (1 << BIO_FLAG_QUEUED))
        return;
    if (issued_by_followed_target(bio))
        return;
    /* Block-layer sectors are 512 bytes whatever the logical block size. */
    __u64 start = BPF_CORE_READ(bio, bi_iter.bi_sector) * SECTOR_SIZE + bdev_start(bd);
    __u64 end = start + BPF_CORE_READ(bio, bi_iter.bi_size);
    struct walk w = {.mode = WALK_WRITE, .type = ENUM_EVENT_TYPE_SUBMIT_BIO, .bio = bio};
    w.caller = caller;
    w.op = opf & REQ_OP_MASK;
    w.device = bdev_devt(bd);
    if (bpf_core_enum_value_exists(enum req_flag_bits, __REQ_SWAP))
        w.swap = (opf >> bpf_core_enum_value(enum req_flag_bits, __REQ_SWAP)) & 1;
    debugprintk("submit_bio find range: %p: [%llu, %llu)", disk, start, end);
    walk_range(ctx, &w, start, end, disk);
}

/* ---- buffered writes ------------------------------------------------------------ */

/* Whether an iomap iterator is that of a buffered write (or zeroing). */
static __always_inline int is_buffered_write(struct iomap_iter *iter)
{
    unsigned int flags = BPF_CORE_READ(iter, flags);
    return (flags & (IOMAP_WRITE | IOMAP_ZERO)) && !(flags & IOMAP_DIRECT);
}

/* A buffered write over one iomap mapping, seen either at the entry of
 * iomap_write_iter (kernels that keep it out of line: the iterator holds the
 * mapping of the chunk about to be copied) or at each return of iomap_iter
 * that hands out a new mapping, before its chunk is copied. The data lands at
 * the mapping's disk address, so only mapped and unwritten extents have a
 * known place; a delayed allocation, hole or inline mapping gets its place at
 * write-back, where the block-layer probe sees it. */
static __always_inline void on_buffered_write(void *ctx, __u64 caller, struct iomap_iter *iter)
{
    if (!is_buffered_write(iter))
        return;
    /* Block device files are looked at by on_blkdev_write_iter. */
    if (is_block_device_inode(BPF_CORE_READ(iter, inode)))
        return;
    __u16 map_type = BPF_CORE_READ(iter, iomap.type);
    if (map_type != IOMAP_MAPPED && map_type != IOMAP_UNWRITTEN)
        return;
    __u64 addr = BPF_CORE_READ(iter, iomap.addr);
    if (addr == IOMAP_NULL_ADDR)
        return;
    __u64 pos = (__u64)BPF_CORE_READ(iter, pos);
    __u64 len = BPF_CORE_READ(iter, len);
    __u64 map_offset = (__u64)BPF_CORE_READ(iter, iomap.offset);
    __u64 map_end = map_offset + BPF_CORE_READ(iter, iomap.length);
    if (pos < map_offset || pos >= map_end || len == 0)
        return;
    struct block_device *bd = BPF_CORE_READ(iter, iomap.bdev);
    if (!bd)
        return;
    __u64 start = addr + (pos - map_offset) + bdev_start(bd);
    __u64 end = start + MIN(len, map_end - pos);
    struct gendisk *disk = BPF_CORE_READ(bd, bd_disk);
    debugprintk("iomap_write_iter find range: %p: [%llu, %llu)", disk, start, end);
    struct walk w = {.mode = WALK_WRITE, .type = ENUM_EVENT_TYPE_IOMAP_WRITE_ITER};
    w.caller = caller;
    w.op = 1; /* REQ_OP_WRITE */
    w.device = bdev_devt(bd);
    walk_range(ctx, &w, start, end, disk);
}

/* Judges [start, end) of a block device as a write of the given kind. */
static __always_inline void judge_bdev_range(void *ctx, __u64 caller, struct block_device *bd,
                                             __u64 start, __u64 end, __u32 type)
{
    struct gendisk *disk = BPF_CORE_READ(bd, bd_disk);
    __u64 open = disk_open_fn(disk);
    if (!is_scsi(open) && !is_device_mapper(open))
        return;
    struct walk w = {.mode = WALK_WRITE, .type = type};
    w.caller = caller;
    w.op = 1; /* REQ_OP_WRITE */
    w.device = bdev_devt(bd);
    walk_range(ctx, &w, start + bdev_start(bd), end + bdev_start(bd), disk);
}

/* A buffered write(2) to a block device file (blkdev_write_iter): the data
 * goes into the device's page cache at the file position, written back later
 * by whoever flushes. */
static __always_inline void on_blkdev_write_iter(void *ctx, __u64 caller, struct kiocb *iocb,
                                                 struct iov_iter *from)
{
    if (!bpf_core_type_exists(struct bdev_inode))
        return;
    if (BPF_CORE_READ(iocb, ki_flags) & IOCB_DIRECT)
        return; /* seen by on_submit_bio in this task */
    struct inode *inode = BPF_CORE_READ(iocb, ki_filp, f_mapping, host);
    if (!is_block_device_inode(inode))
        return;
    __u64 count = BPF_CORE_READ(from, count);
    __s64 pos = BPF_CORE_READ(iocb, ki_pos);
    if (count == 0 || pos < 0)
        return;
    judge_bdev_range(ctx, caller, bdev_of_inode(inode), pos, pos + count,
                     ENUM_EVENT_TYPE_IOMAP_WRITE_ITER);
}

/* A store through a shared writable mapping of a block device
 * (filemap_page_mkwrite): the page is made writable (and dirty) here, at its
 * first store after each write-back, in the storing task. Its write-back is
 * then the device's own cache being flushed. */
static __always_inline void on_mmap_write(void *ctx, __u64 caller, struct vm_fault *vmf)
{
    if (!bpf_core_type_exists(struct bdev_inode))
        return;
    struct inode *inode = BPF_CORE_READ(vmf, vma, vm_file, f_mapping, host);
    if (!is_block_device_inode(inode))
        return;
    __u64 start = (__u64)BPF_CORE_READ(vmf, pgoff) << page_shift;
    judge_bdev_range(ctx, caller, bdev_of_inode(inode), start, start + (1ULL << page_shift),
                     ENUM_EVENT_TYPE_MMAP_WRITE);
}

/* ---- SCSI commands sent through SG_IO -------------------------------------------- */

#define SCSI_FORMAT_UNIT 0x04
#define SCSI_WRITE_6 0x0a
#define SCSI_WRITE_10 0x2a
#define SCSI_WRITE_VERIFY_10 0x2e
#define SCSI_WRITE_LONG_10 0x3f
#define SCSI_WRITE_SAME_10 0x41
#define SCSI_UNMAP 0x42
#define SCSI_SANITIZE 0x48
#define SCSI_VARIABLE_LENGTH 0x7f
#define SCSI_COMPARE_AND_WRITE 0x89
#define SCSI_WRITE_16 0x8a
#define SCSI_ORWRITE_16 0x8b
#define SCSI_WRITE_VERIFY_16 0x8e
#define SCSI_WRITE_SAME_16 0x93
#define SCSI_WRITE_ATOMIC_16 0x9c
#define SCSI_SERVICE_ACTION_OUT_16 0x9f
#define SCSI_WRITE_12 0xaa
#define SCSI_WRITE_VERIFY_12 0xae

static __always_inline __u64 be16_at(const __u8 *p)
{
    return (__u64)p[0] << 8 | p[1];
}

static __always_inline __u64 be32_at(const __u8 *p)
{
    return be16_at(p) << 16 | be16_at(p + 2);
}

static __always_inline __u64 be64_at(const __u8 *p)
{
    return be32_at(p) << 32 | be32_at(p + 4);
}

/* Blocks a command writes: [lba, lba + count), or the rest of the disk from
 * lba when to_end. */
struct scsi_extent {
    __u64 lba;
    __u64 count;
    int to_end;
};

/* The blocks a write-type CDB writes; 0 for every other command. */
static __always_inline int scsi_write_extent(const __u8 *cdb, struct scsi_extent *x)
{
    switch (cdb[0]) {
    case SCSI_WRITE_6:
        x->lba = (__u64)(cdb[1] & 0x1f) << 16 | be16_at(cdb + 2);
        x->count = cdb[4] ? cdb[4] : 256;
        return 1;
    case SCSI_WRITE_10:
    case SCSI_WRITE_VERIFY_10:
        x->lba = be32_at(cdb + 2);
        x->count = be16_at(cdb + 7);
        return 1;
    case SCSI_WRITE_SAME_10:
        x->lba = be32_at(cdb + 2);
        x->count = be16_at(cdb + 7);
        x->to_end = x->count == 0;
        return 1;
    case SCSI_WRITE_LONG_10:
        x->lba = be32_at(cdb + 2);
        x->count = 1;
        return 1;
    case SCSI_WRITE_12:
    case SCSI_WRITE_VERIFY_12:
        x->lba = be32_at(cdb + 2);
        x->count = be32_at(cdb + 6);
        return 1;
    case SCSI_WRITE_16:
    case SCSI_WRITE_VERIFY_16:
    case SCSI_ORWRITE_16:
    case SCSI_WRITE_ATOMIC_16:
        x->lba = be64_at(cdb + 2);
        x->count = be32_at(cdb + 10);
        return 1;
    case SCSI_WRITE_SAME_16:
        x->lba = be64_at(cdb + 2);
        x->count = be32_at(cdb + 10);
        x->to_end = x->count == 0;
        return 1;
    case SCSI_COMPARE_AND_WRITE:
        x->lba = be64_at(cdb + 2);
        x->count = cdb[13];
        return 1;
    case SCSI_SERVICE_ACTION_OUT_16:
        if ((cdb[1] & 0x1f) == 0x11) { /* WRITE LONG(16) */
            x->lba = be64_at(cdb + 2);
            x->count = 1;
            return 1;
        }
        x->to_end = (cdb[1] & 0x1f) == 0x12; /* WRITE SCATTERED: places in its data */
        return x->to_end;
    case SCSI_VARIABLE_LENGTH: {
        __u64 action = be16_at(cdb + 8);
        if (action < 0x0b || action > 0x0d) /* WRITE, WRITE AND VERIFY, WRITE SAME (32) */
            return 0;
        x->lba = be64_at(cdb + 12);
        x->count = be32_at(cdb + 28);
        x->to_end = action == 0x0d && x->count == 0;
        return 1;
    }
    case SCSI_FORMAT_UNIT:
    case SCSI_SANITIZE:
        x->to_end = 1;
        return 1;
    default:
        return 0;
    }
}

/* The SCSI disk a passthrough request goes to, or NULL. */
static __always_inline struct gendisk *scsi_request_disk(struct request *rq)
{
    struct gendisk *disk = BPF_CORE_READ(rq, q, disk);
    return is_scsi(disk_open_fn(disk)) ? disk : NULL;
}

/* Copies the request's CDB into the event's detail; returns the opcode's
 * buffer, or NULL. */
static __always_inline const __u8 *read_cdb(struct request *rq, event_t *event)
{
    if (!bpf_core_type_exists(struct scsi_cmnd___corvane))
        return NULL;
    /* The SCSI command is the driver data that follows the request. */
    struct scsi_cmnd___corvane *cmd = (void *)rq + bpf_core_type_size(struct request);
    const void *cdb = (void *)cmd + bpf_core_field_offset(struct scsi_cmnd___corvane, cmnd);
    __builtin_memset(event->detail, 0, sizeof(event->detail));
    if (bpf_probe_read_kernel(event->detail, 32, cdb))
        return NULL;
    return (const __u8 *)event->detail;
}

static __always_inline void walk_scsi_extent(void *ctx, struct walk *w, struct gendisk *disk,
                                             __u64 first_block, __u64 blocks, int to_end,
                                             __u32 block_size)
{
    __u64 capacity = BPF_CORE_READ(disk, part0, bd_nr_sectors) * SECTOR_SIZE;
    __u64 start = first_block * block_size;
    __u64 end = to_end ? capacity : start + blocks * block_size;
    if (to_end && start >= end) /* FORMAT UNIT, SANITIZE: the whole disk */
        start = 0;
    walk_range(ctx, w, start, end, disk);
}

/* A passthrough request about to be executed (blk_execute_rq and
 * blk_execute_rq_nowait): a SCSI command that writes is judged by the blocks
 * its CDB names. */
static __always_inline void on_scsi_command(void *ctx, __u64 caller, struct request *rq)
{
    struct gendisk *disk = scsi_request_disk(rq);
    struct scratch *s = scratch();
    if (!disk || !s)
        return;
    const __u8 *cdb = read_cdb(rq, &s->event);
    if (!cdb)
        return;
    struct walk w = {.mode = WALK_WRITE, .type = ENUM_EVENT_TYPE_SCSI_COMMAND};
    w.caller = caller;
    w.op = cdb[0];
    w.device = disk_devt(disk);
    __u32 block_size = BPF_CORE_READ(rq, q, limits.logical_block_size);
    if (cdb[0] == SCSI_UNMAP) {
        /* Judged with its descriptors when its parameter list was mapped. */
        __u64 key = (__u64)rq;
        if (bpf_map_delete_elem(&map_unmap_judged, &key) == 0 || be16_at(cdb + 7) == 0)
            return;
        walk_scsi_extent(ctx, &w, disk, 0, 0, 1, block_size);
        return;
    }
    struct scsi_extent x = {};
    if (!scsi_write_extent(cdb, &x) || (!x.count && !x.to_end))
        return;
    walk_scsi_extent(ctx, &w, disk, x.lba, x.count, x.to_end, block_size);
}

/* Callback state for queueing an UNMAP parameter list's block descriptors. */
struct unmap_queue {
    struct queue_state *q;
    struct scratch *s;
    struct gendisk *disk;
    __u32 descriptors;
    __u32 block_size;
};

static long unmap_descriptor_cb(__u32 index, void *vctx)
{
    struct unmap_queue *u = vctx;
    if (index >= u->descriptors || index >= MAX_UNMAP_DESCRIPTORS)
        return 1;
    const __u8 *d = u->s->unmap + 8 + bounded(index, MAX_UNMAP_DESCRIPTORS - 1) * 16;
    __u64 start = be64_at(d) * u->block_size;
    __u64 blocks = be32_at(d + 8);
    if (blocks)
        append_range(u->q, start, start + blocks * u->block_size, u->disk);
    return 0;
}

/* Queues the block descriptors of an UNMAP parameter list (in s->unmap, n
 * bytes); 0 when they cannot all be queued. */
static __noinline int queue_unmap_descriptors(struct queue_state *q, struct scratch *s, __u32 n,
                                              struct gendisk *disk, __u32 block_size)
{
    if (n < 8)
        return 0;
    struct unmap_queue u = {.q = q, .s = s, .disk = disk, .block_size = block_size};
    u.descriptors = be16_at(s->unmap + 2) / 16;
    if (u.descriptors > MAX_UNMAP_DESCRIPTORS || 8 + u.descriptors * 16 > n)
        return 0;
    q->tail = 0;
    q->incomplete = 0;
    bpf_loop(MAX_UNMAP_DESCRIPTORS, unmap_descriptor_cb, &u, 0);
    return !q->incomplete;
}

/* The parameter list of an UNMAP names the blocks it frees; it is read where
 * the command's data is mapped from the caller's buffer (blk_rq_map_user_iov,
 * user memory) or from the kernel's (blk_rq_map_kern). */
static __always_inline void on_scsi_data(void *ctx, __u64 caller, struct request *rq,
                                         const void *data, __u64 len, int user)
{
    struct gendisk *disk = scsi_request_disk(rq);
    struct scratch *s = scratch();
    if (!disk || !s)
        return;
    const __u8 *cdb = read_cdb(rq, &s->event);
    if (!cdb || cdb[0] != SCSI_UNMAP)
        return;
    struct walk w = {.mode = WALK_WRITE, .type = ENUM_EVENT_TYPE_SCSI_COMMAND, .op = SCSI_UNMAP};
    w.caller = caller;
    w.device = disk_devt(disk);
    __u32 block_size = BPF_CORE_READ(rq, q, limits.logical_block_size);
    __u32 n = len > UNMAP_BUFFER_SIZE ? UNMAP_BUFFER_SIZE : len;
    long err = user ? bpf_probe_read_user(s->unmap, UNMAP_BUFFER_SIZE, data)
                    : bpf_probe_read_kernel(s->unmap, UNMAP_BUFFER_SIZE, data);
    __u64 key = (__u64)rq, one = 1;
    bpf_map_update_elem(&map_unmap_judged, &key, &one, BPF_ANY);
    /* Unreadable, or too many descriptors: the whole disk. */
    if (err || !queue_unmap_descriptors(&w.q, s, n, disk, block_size)) {
        __u64 capacity = BPF_CORE_READ(disk, part0, bd_nr_sectors) * SECTOR_SIZE;
        if (!seed_queue(&w.q, 0, capacity, disk))
            return;
    }
    walk_queue(ctx, &w);
}

/* Where the caller's data of an iov_iter starts, and how long it is. */
static __noinline const void *iter_user_data(struct iov_iter *iter, __u64 *len)
{
    struct iov_iter___corvane *it = (void *)iter;
    __u8 type = BPF_CORE_READ(it, iter_type);
    __u64 offset = BPF_CORE_READ(it, iov_offset);
    *len = BPF_CORE_READ(iter, count);
    if (bpf_core_enum_value_exists(enum iter_type, ITER_UBUF) &&
        type == bpf_core_enum_value(enum iter_type, ITER_UBUF))
        return BPF_CORE_READ(it, ubuf) + offset;
    if (type != bpf_core_enum_value(enum iter_type, ITER_IOVEC))
        return NULL;
    const struct iovec *iov = NULL;
    if (bpf_core_field_exists(struct iov_iter___v64, __iov))
        iov = BPF_CORE_READ((struct iov_iter___v64 *)iter, __iov);
    else
        iov = BPF_CORE_READ((struct iov_iter___v61 *)iter, iov);
    if (!iov)
        return NULL;
    __u64 segment = BPF_CORE_READ(iov, iov_len);
    if (segment > offset && *len > segment - offset)
        *len = segment - offset;
    return BPF_CORE_READ(iov, iov_base) + offset;
}

static __always_inline void on_scsi_user_data(void *ctx, __u64 caller, struct request *rq,
                                              struct iov_iter *iter)
{
    __u64 len = 0;
    const void *data = iter_user_data(iter, &len);
    if (data)
        on_scsi_data(ctx, caller, rq, data, len, 1);
}

#endif
