/* What a disk is (by its driver's open operation) and which logical unit a
 * SCSI disk is (its WWID). */
#ifndef CORVANE_DISK_H
#define CORVANE_DISK_H

static __always_inline __u64 disk_open_fn(struct gendisk *disk)
{
    if (!disk)
        return 0;
    return (__u64)BPF_CORE_READ(disk, fops, open);
}

static __always_inline int is_device_mapper(__u64 open)
{
    return open && open == dm_blk_open_addr;
}

static __always_inline int is_scsi(__u64 open)
{
    return open && open == sd_open_addr;
}

static __always_inline __u32 bdev_devt(struct block_device *bdev)
{
    return bdev ? BPF_CORE_READ(bdev, bd_dev) : 0;
}

struct vpd_parse {
    const __u8 *page;
    __u32 len;
    struct vpd83_walk walk;
};

static long vpd_designator_cb(__u32 index, void *vctx)
{
    struct vpd_parse *p = vctx;
    return vpd83_step(p->page, p->len, &p->walk) ? 0 : 1;
}

/* The WWID in page 0x83 (see common/vpd83.h). */
static __always_inline int parse_vpd83(const __u8 *page, __u32 len, wwid_t *out)
{
    struct vpd_parse p = {.page = page, .len = len};
    if (!vpd83_start(page, len, &p.walk))
        return 0;
    bpf_loop(VPD83_MAX_BYTES / 4, vpd_designator_cb, &p, 0);
    if (p.walk.found)
        *out = p.walk.wwid;
    return p.walk.found;
}

#define VPD_SMALL_READ 256

static __always_inline int read_scsi_wwid(struct gendisk *gd, wwid_t *out)
{
    if (!bpf_core_type_exists(struct scsi_disk___corvane) ||
        !bpf_core_type_exists(struct scsi_device___corvane) ||
        !bpf_core_type_exists(struct scsi_vpd___corvane))
        return 0;
    struct scratch *s = scratch();
    if (!s)
        return 0;
    struct scsi_disk___corvane *sd = BPF_CORE_READ(gd, private_data);
    struct scsi_device___corvane *sdev = BPF_CORE_READ(sd, device);
    if (!sdev)
        return 0;
    struct scsi_vpd___corvane *vpd = BPF_CORE_READ(sdev, vpd_pg83);
    if (!vpd) {
        debugprintk("read pg83 err in get_scsi_wwid");
        return 0;
    }
    int len = BPF_CORE_READ(vpd, len);
    if (len <= 0)
        return 0;
    __u32 n = len > VPD83_MAX_BYTES ? VPD83_MAX_BYTES : len;
    const void *data = (const void *)vpd + bpf_core_field_offset(struct scsi_vpd___corvane, data);
    /* Fixed sizes, which the verifier accepts; what lies past the page in the
     * buffer is never parsed. A page at the end of mapped memory is read
     * again in the smaller size. */
    if (bpf_probe_read_kernel(s->vpd, VPD83_MAX_BYTES, data)) {
        if (n > VPD_SMALL_READ || bpf_probe_read_kernel(s->vpd, VPD_SMALL_READ, data))
            return 0;
    }
    return parse_vpd83(s->vpd, n, out);
}

/* WWID of a SCSI disk, from the cache or its VPD page 0x83. seq is the
 * disk's sequence number, which tells a new disk at a reused address. */
static __noinline int get_scsi_wwid_seq(struct gendisk *gd, __u64 seq, wwid_t *out)
{
    struct wwid_cache_key key = {.disk = (__u64)gd, .seq = seq};
    struct wwid_cache_value *cached = bpf_map_lookup_elem(&map_wwid_cache, &key);
    if (cached) {
        if (cached->found)
            *out = cached->wwid;
        return cached->found;
    }
    struct wwid_cache_value value = {};
    value.found = read_scsi_wwid(gd, &value.wwid);
    /* A disk without page 0x83 yet is looked at again next time. */
    if (value.found)
        bpf_map_update_elem(&map_wwid_cache, &key, &value, BPF_ANY);
    if (value.found) {
        *out = value.wwid;
        debugprintk("find %p's wwid:%08llx%08llx", gd, *(__u64 *)&value.wwid.buf[0],
                    *(__u64 *)&value.wwid.buf[8]);
    }
    return value.found;
}

static __always_inline int get_scsi_wwid(struct gendisk *gd, wwid_t *out)
{
    return get_scsi_wwid_seq(gd, BPF_CORE_READ(gd, diskseq), out);
}

static __always_inline __u64 unwatched_tag(__u64 seq, __u64 generation)
{
    return seq << UNWATCHED_GENERATION_BITS |
           (generation & ((1ULL << UNWATCHED_GENERATION_BITS) - 1));
}

/* Whether a SCSI disk (with that sequence number) has watched ranges. */
static __always_inline int disk_watched_seq(struct gendisk *gd, __u64 seq)
{
    __u64 *slot = &unwatched_disks[seq & (UNWATCHED_SLOTS - 1)];
    if (*slot == unwatched_tag(seq, disks_generation))
        return 0;
    /* Read with a full barrier before the lookup: a table installed after it
     * comes with a newer generation, so what is remembered below goes stale. */
    __u64 generation = __sync_fetch_and_add(&disks_generation, 0);
    wwid_t wwid;
    if (!get_scsi_wwid_seq(gd, seq, &wwid))
        return 0; /* looked at again next time */
    if (bpf_map_lookup_elem(&map_disks, &wwid))
        return 1;
    *slot = unwatched_tag(seq, generation);
    return 0;
}

#endif
