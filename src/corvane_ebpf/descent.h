/* The work queue of a walk, and the descent of a byte range through the live
 * table of a device-mapper device: linear, striped, crypt and multipath
 * targets are followed exactly; what other targets issue is judged where it
 * reaches a disk (see issued_by_followed_target). */
#ifndef CORVANE_DESCENT_H
#define CORVANE_DESCENT_H

/* Targets of one device looked at for one range, at most. */
#define MAX_TARGETS_PER_RANGE 32
/* Stripes of one striped target looked at for one range, at most. */
#define MAX_STRIPES_PER_RANGE 16
#define TARGET_SEARCH_STEPS 24

struct queue_state {
    __u32 tail;       /* entries in this CPU's map_dest_infos */
    __u32 incomplete; /* some part could not be followed (queue or loop bound) */
};

/* Seeds this CPU's queue with one range. */
static __always_inline int seed_queue(struct queue_state *q, __u64 start, __u64 end,
                                      struct gendisk *disk)
{
    __u32 zero = 0;
    struct io_disk_info *head = bpf_map_lookup_elem(&map_dest_infos, &zero);
    if (!head || !disk || end <= start)
        return 0;
    head->start = start;
    head->end = end;
    head->disk = disk;
    q->tail = 1;
    q->incomplete = 0;
    return 1;
}

static __always_inline void append_range(struct queue_state *q, __u64 start, __u64 end,
                                         struct gendisk *disk)
{
    __u32 index = q->tail;
    if (index >= MAX_QUEUE_LENGTH) {
        q->incomplete = 1;
        return;
    }
    struct io_disk_info *slot = bpf_map_lookup_elem(&map_dest_infos, &index);
    if (!slot)
        return;
    debugprintk("insert range: %p: [%llu, %llu)", disk, start, end);
    slot->start = start;
    slot->end = end;
    slot->disk = disk;
    q->tail = index + 1;
}

/* Appends size sectors at sector offset of a lower device; its partition start
 * makes the range relative to its whole disk. */
static __always_inline void append_lower(struct queue_state *q, struct dm_dev___corvane *dev,
                                         __u64 offset, __u64 size)
{
    struct block_device *bdev = BPF_CORE_READ(dev, bdev);
    if (!bdev || !size)
        return;
    __u64 first = offset + BPF_CORE_READ(bdev, bd_start_sect);
    append_range(q, first * SECTOR_SIZE, (first + size) * SECTOR_SIZE,
                 BPF_CORE_READ(bdev, bd_disk));
}

/* The part of a range that falls into one target: sectors from the target's
 * first sector, and their number. */
struct target_part {
    __u64 offset;
    __u64 size;
};

static __always_inline void descend_linear(struct queue_state *q, void *private,
                                           const struct target_part *part)
{
    if (!bpf_core_type_exists(struct linear_c___corvane))
        return;
    struct linear_c___corvane *lc = private;
    append_lower(q, BPF_CORE_READ(lc, dev), part->offset + BPF_CORE_READ(lc, start), part->size);
}

static __always_inline void descend_crypt(struct queue_state *q, void *private,
                                          const struct target_part *part)
{
    if (!bpf_core_type_exists(struct crypt_config___corvane))
        return;
    struct crypt_config___corvane *cc = private;
    append_lower(q, BPF_CORE_READ(cc, dev), part->offset + BPF_CORE_READ(cc, start), part->size);
}

static __always_inline __u64 div_or_shift(__u64 value, __u32 divisor, int shift)
{
    return shift >= 0 ? value >> shift : value / divisor;
}

struct stripe_walk {
    struct queue_state *q;
    void *array;  /* the target's stripes */
    __u64 offset; /* the range in the target: [offset, end) sectors */
    __u64 end;
    __u64 first_chunk;
    __u64 last_chunk;
    __u32 stripes;
    __u32 chunk;
    __u32 element; /* size of one stripe entry */
    int stripes_shift;
    int chunk_shift;
};

/* The piece of the range on the stripe that holds chunk first_chunk + k. */
static long stripe_piece_cb(__u32 k, void *vctx)
{
    struct stripe_walk *s = vctx;
    __u64 c = s->first_chunk + k;
    if (k >= s->stripes || c > s->last_chunk)
        return 1;
    /* The last chunk of the range on the same stripe as chunk c. */
    __u64 last = c + (s->last_chunk - c) / s->stripes * s->stripes;
    __u64 from = k == 0 ? s->offset : c * s->chunk;
    __u64 to = last == s->last_chunk ? s->end : (last + 1) * s->chunk;
    __u32 stripe = s->stripes_shift >= 0 ? (c & (s->stripes - 1)) : (c % s->stripes);
    __u64 row = div_or_shift(c, s->stripes, s->stripes_shift);
    __u64 last_row = div_or_shift(last, s->stripes, s->stripes_shift);
    struct stripe___corvane *st = s->array + (__u64)stripe * s->element;
    __u64 physical = BPF_CORE_READ(st, physical_start);
    __u64 lower_from = row * s->chunk + (from - c * s->chunk) + physical;
    __u64 lower_to = last_row * s->chunk + (to - last * s->chunk) + physical;
    append_lower(s->q, BPF_CORE_READ(st, dev), lower_from, lower_to - lower_from);
    return 0;
}

/* A striped target maps chunk c of the target to chunk c / stripes of stripe
 * c % stripes. The chunks of one range that land on the same stripe are
 * consecutive there, so each stripe gets one piece. */
static __always_inline void descend_striped(struct queue_state *q, void *private,
                                            const struct target_part *part)
{
    if (!bpf_core_type_exists(struct stripe_c___corvane) ||
        !bpf_core_type_exists(struct stripe___corvane))
        return;
    struct stripe_c___corvane *sc = private;
    struct stripe_walk s = {.q = q, .offset = part->offset, .end = part->offset + part->size};
    s.stripes = BPF_CORE_READ(sc, stripes);
    s.chunk = BPF_CORE_READ(sc, chunk_size);
    s.stripes_shift = BPF_CORE_READ(sc, stripes_shift);
    s.chunk_shift = BPF_CORE_READ(sc, chunk_size_shift);
    if (!s.stripes || !s.chunk || !part->size)
        return;
    s.first_chunk = div_or_shift(s.offset, s.chunk, s.chunk_shift);
    s.last_chunk = div_or_shift(s.end - 1, s.chunk, s.chunk_shift);
    s.array = (void *)sc + bpf_core_field_offset(struct stripe_c___corvane, stripe);
    s.element = bpf_core_type_size(struct stripe___corvane);
    bpf_loop(MAX_STRIPES_PER_RANGE, stripe_piece_cb, &s, 0);
    if (s.first_chunk + MAX_STRIPES_PER_RANGE <= s.last_chunk && s.stripes > MAX_STRIPES_PER_RANGE)
        q->incomplete = 1;
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

static __always_inline void descend_multipath(struct queue_state *q, void *private,
                                              const struct target_part *part)
{
    if (!bpf_core_type_exists(struct multipath___corvane) ||
        !bpf_core_type_exists(struct pgpath___corvane))
        return;
    struct pgpath___corvane *pp = multipath_path(private);
    if (!pp)
        return;
    struct dm_path___corvane *path =
        (void *)pp + bpf_core_field_offset(struct pgpath___corvane, path);
    /* A multipath target maps its sectors 1:1 onto the path device. */
    append_lower(q, BPF_CORE_READ(path, dev), part->offset, part->size);
}

enum target_kind {
    TARGET_OTHER,
    TARGET_LINEAR,
    TARGET_STRIPED,
    TARGET_CRYPT,
    TARGET_MULTIPATH,
};

static __always_inline int target_kind_of(struct dm_target___corvane *target)
{
    char name[12] = {};
    const char *text = BPF_CORE_READ(target, type, name);
    if (!text || bpf_probe_read_kernel_str(name, sizeof(name), text) < 0)
        return TARGET_OTHER;
    if (name[0] == 'l' && name[1] == 'i' && name[2] == 'n' && name[3] == 'e' && name[4] == 'a' &&
        name[5] == 'r' && name[6] == 0)
        return TARGET_LINEAR;
    if (name[0] == 's' && name[1] == 't' && name[2] == 'r' && name[3] == 'i' && name[4] == 'p' &&
        name[5] == 'e' && name[6] == 'd' && name[7] == 0)
        return TARGET_STRIPED;
    if (name[0] == 'c' && name[1] == 'r' && name[2] == 'y' && name[3] == 'p' && name[4] == 't' &&
        name[5] == 0)
        return TARGET_CRYPT;
    if (name[0] == 'm' && name[1] == 'u' && name[2] == 'l' && name[3] == 't' && name[4] == 'i' &&
        name[5] == 'p' && name[6] == 'a' && name[7] == 't' && name[8] == 'h' && name[9] == 0)
        return TARGET_MULTIPATH;
    return TARGET_OTHER;
}

/* Whether the probes follow this kind of target exactly (on this kernel). */
static __always_inline int target_followed(int kind)
{
    switch (kind) {
    case TARGET_LINEAR:
        return bpf_core_type_exists(struct linear_c___corvane);
    case TARGET_STRIPED:
        return bpf_core_type_exists(struct stripe_c___corvane);
    case TARGET_CRYPT:
        return bpf_core_type_exists(struct crypt_config___corvane);
    case TARGET_MULTIPATH:
        return bpf_core_type_exists(struct multipath___corvane);
    default:
        return 0;
    }
}

struct table_walk {
    struct queue_state *q;
    struct dm_table___corvane *table;
    __u32 num_targets;
    __u32 first_target;
    __u64 start; /* sectors of the range on the device, [start, end] */
    __u64 end;
};

static long descend_target_cb(__u32 index, void *vctx)
{
    struct table_walk *w = vctx;
    __u32 t = w->first_target + index;
    if (t >= w->num_targets)
        return 1;
    struct dm_table___corvane *table = w->table;
    sector_t *highs = BPF_CORE_READ(table, highs);
    struct dm_target___corvane *targets = BPF_CORE_READ(table, targets);
    sector_t last = 0, before = 0;
    if (!highs || !targets || bpf_probe_read_kernel(&last, sizeof(last), highs + t))
        return 1;
    if (t > 0 && bpf_probe_read_kernel(&before, sizeof(before), highs + t - 1))
        return 1;
    __u64 target_start = t == 0 ? 0 : before + 1;
    if (target_start > w->end)
        return 1;
    /* The array stride is the running kernel's size of struct dm_target. */
    struct dm_target___corvane *target =
        (void *)targets + (__u64)t * bpf_core_type_size(struct dm_target___corvane);
    __u64 from = w->start > target_start ? w->start : target_start;
    __u64 to = w->end < last ? w->end : last;
    if (from > to)
        return 0;
    struct target_part part = {.offset = from - target_start, .size = to - from + 1};
    void *private = BPF_CORE_READ(target, private);
    switch (target_kind_of(target)) {
    case TARGET_LINEAR:
        descend_linear(w->q, private, &part);
        break;
    case TARGET_STRIPED:
        descend_striped(w->q, private, &part);
        break;
    case TARGET_CRYPT:
        descend_crypt(w->q, private, &part);
        break;
    case TARGET_MULTIPATH:
        descend_multipath(w->q, private, &part);
        break;
    default:
        /* Whatever this target issues is judged where it reaches a disk. */
        break;
    }
    if (index + 1 == MAX_TARGETS_PER_RANGE && last < w->end)
        w->q->incomplete = 1;
    return 0;
}

struct target_search {
    sector_t *highs;
    __u64 sector;
    __u32 lo;
    __u32 hi;
};

static long target_search_cb(__u32 index, void *vctx)
{
    struct target_search *t = vctx;
    if (t->lo >= t->hi)
        return 1;
    __u32 mid = t->lo + (t->hi - t->lo) / 2;
    sector_t high = 0;
    if (bpf_probe_read_kernel(&high, sizeof(high), t->highs + mid)) {
        t->lo = t->hi;
        return 1;
    }
    if (high >= t->sector)
        t->hi = mid;
    else
        t->lo = mid + 1;
    return 0;
}

/* First target whose last sector is at or after sector (binary search over
 * the table's sorted highs). */
static __always_inline __u32 first_target_at(struct dm_table___corvane *table, __u32 count,
                                             __u64 sector)
{
    struct target_search t = {.sector = sector, .hi = count};
    t.highs = BPF_CORE_READ(table, highs);
    bpf_loop(TARGET_SEARCH_STEPS, target_search_cb, &t, 0);
    return t.lo;
}

/* Appends the ranges below [start, end) of a device-mapper disk. */
static __always_inline void descend_dm(struct queue_state *q, __u64 start, __u64 end,
                                       struct gendisk *disk)
{
    if (!bpf_core_type_exists(struct mapped_device___corvane) ||
        !bpf_core_type_exists(struct dm_table___corvane) ||
        !bpf_core_type_exists(struct dm_target___corvane) || end <= start)
        return;
    debugprintk("check dm: range: %p: [%llu, %llu)", disk, start, end);
    struct mapped_device___corvane *md = BPF_CORE_READ(disk, private_data);
    struct dm_table___corvane *table = BPF_CORE_READ(md, map);
    if (!table)
        return;
    struct table_walk w = {.q = q, .table = table};
    w.num_targets = BPF_CORE_READ(table, num_targets);
    w.start = start / SECTOR_SIZE;
    w.end = (end + SECTOR_SIZE - 1) / SECTOR_SIZE - 1;
    w.first_target = first_target_at(table, w.num_targets, w.start);
    bpf_loop(MAX_TARGETS_PER_RANGE, descend_target_cb, &w, 0);
}

/* Whether a bio is one that a followed target issued: device mapper's clone
 * for a linear, striped, crypt or multipath target, or dm-crypt's own bio
 * carrying the encrypted data. Its original was judged where it entered the
 * device-mapper device, unless that walk could not be completed. */
static __always_inline int issued_by_followed_target(struct bio *bio)
{
    __u64 end_io = (__u64)BPF_CORE_READ(bio, bi_end_io);
    if (!end_io)
        return 0;
    if (end_io == crypt_endio_addr)
        return target_followed(TARGET_CRYPT);
    if (end_io != clone_endio_addr || !bpf_core_type_exists(struct dm_target_io___corvane))
        return 0;
    struct dm_target_io___corvane *tio =
        (void *)bio - bpf_core_field_offset(struct dm_target_io___corvane, clone);
    if (BPF_CORE_READ(tio, magic) != DM_TIO_MAGIC)
        return 0;
    if (!target_followed(target_kind_of(BPF_CORE_READ(tio, ti))))
        return 0;
    if (unjudged_count) {
        __u64 original = (__u64)BPF_CORE_READ(tio, io, orig_bio);
        if (bpf_map_lookup_elem(&map_unjudged, &original))
            return 0;
    }
    return 1;
}

#endif
