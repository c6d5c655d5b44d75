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

/* Designator of a VPD page 0x83 descriptor: a 16-byte NAA IEEE Registered
 * Extended identifier (NAA 6) associated with the logical unit. */
static __always_inline int is_lun_naa16(const __u8 *d)
{
    return (d[1] & 0x30) == 0 && (d[1] & 0x0f) == 3 && d[3] == 16 && (d[4] >> 4) == 6;
}

struct vpd_parse {
    const __u8 *page;
    __u32 len;
    __u32 offset; /* of the next designator */
    wwid_t *out;
    int found;
};

static long vpd_designator_cb(__u32 index, void *vctx)
{
    struct vpd_parse *p = vctx;
    __u32 offset = p->offset;
    if (offset > VPD_BUFFER_SIZE - 20 || offset + 4 > p->len)
        return 1;
    const __u8 *d = p->page + bounded(offset, VPD_BUFFER_SIZE - 1);
    __u32 dlen = d[3];
    if (offset + 4 + dlen > p->len)
        return 1;
    if (is_lun_naa16(d)) {
        __builtin_memcpy(p->out, d + 4, sizeof(*p->out));
        p->found = 1;
    }
    p->offset = offset + 4 + dlen;
    return 0;
}

/* The WWID in page 0x83 as the SCSI layer chooses it for the disk's "wwid"
 * attribute when that is a 16-byte NAA name: of several such designators the
 * last one counts. Designators beyond the first VPD_BUFFER_SIZE bytes are not
 * looked at. */
static __always_inline int parse_vpd83(const __u8 *page, __u32 len, wwid_t *out)
{
    if (len < 8 || page[1] != 0x83)
        return 0;
    struct vpd_parse p = {.page = page, .len = len, .offset = 4, .out = out};
    bpf_loop(VPD_BUFFER_SIZE / 4, vpd_designator_cb, &p, 0);
    return p.found;
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
    __u32 n = len > VPD_BUFFER_SIZE ? VPD_BUFFER_SIZE : len;
    const void *data = (const void *)vpd + bpf_core_field_offset(struct scsi_vpd___corvane, data);
    /* Fixed sizes, which the verifier accepts; what lies past the page in the
     * buffer is never parsed. A page at the end of mapped memory is read
     * again in the smaller size. */
    if (bpf_probe_read_kernel(s->vpd, VPD_BUFFER_SIZE, data)) {
        if (n > VPD_SMALL_READ || bpf_probe_read_kernel(s->vpd, VPD_SMALL_READ, data))
            return 0;
    }
    return parse_vpd83(s->vpd, n, out);
}

/* WWID of a SCSI disk, from the cache or its VPD page 0x83. */
static __noinline int get_scsi_wwid(struct gendisk *gd, wwid_t *out)
{
    struct wwid_cache_key key = {.disk = (__u64)gd, .seq = BPF_CORE_READ(gd, diskseq)};
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

/* Whether a SCSI disk has watched ranges. */
static __always_inline int disk_watched(struct gendisk *gd)
{
    wwid_t wwid;
    return get_scsi_wwid(gd, &wwid) && bpf_map_lookup_elem(&map_disks, &wwid);
}

#endif
