/* Lookups in the watched ranges of a disk and in a file system's code ranges:
 * bounded binary searches, so that their cost does not grow with the size of
 * the file system. */
#ifndef CORVANE_RANGES_H
#define CORVANE_RANGES_H

/* Binary-search steps: 2^32 ranges per disk would need 32. */
#define RANGE_SEARCH_STEPS 32
/* Watched ranges looked at after the first one a write overlaps. */
#define RANGE_SCAN_STEPS 8

struct range_search {
    void *table;
    __u64 a; /* the write: [a, b) */
    __u64 b;
    __u32 lo; /* binary search over elements [lo, hi) */
    __u32 hi;
    __u32 count;
    int found;
    fs_range_t *hit;
};

/* One step of the search for the first range that ends after a. */
static long range_search_cb(__u32 index, void *vctx)
{
    struct range_search *s = vctx;
    if (s->lo >= s->hi)
        return 1;
    __u32 mid = s->lo + (s->hi - s->lo) / 2;
    fs_range_t *r = bpf_map_lookup_elem(s->table, &mid);
    if (!r)
        return 1;
    if (r->second > s->a)
        s->hi = mid;
    else
        s->lo = mid + 1;
    return 0;
}

/* One range from there on: a metadata range among those the write overlaps
 * counts first. */
static long range_scan_cb(__u32 index, void *vctx)
{
    struct range_search *s = vctx;
    __u32 at = s->lo + index;
    if (at > s->count)
        return 1;
    fs_range_t *r = bpf_map_lookup_elem(s->table, &at);
    if (!r || r->first >= s->b)
        return 1;
    if (r->second <= s->a) /* before the write: a short table is scanned from its start */
        return 0;
    if (!s->found || r->kind == RANGE_KIND_METADATA) {
        *s->hit = *r;
        s->found = 1;
    }
    return r->kind == RANGE_KIND_METADATA;
}

/* The watched range of the disk that the byte range [a, b) overlaps, into
 * hit: a metadata range when the write overlaps any among the first few it
 * touches, else the first one. 0 when it overlaps none or the disk is not
 * watched. */
static __always_inline int find_watched(const wwid_t *wwid, __u64 a, __u64 b, fs_range_t *hit)
{
    struct range_search s = {.a = a, .b = b, .hit = hit};
    s.table = bpf_map_lookup_elem(&map_disks, wwid);
    if (!s.table)
        return 0;
    __u32 index = RANGE_TABLE_HEADER;
    fs_range_t *header = bpf_map_lookup_elem(s.table, &index);
    if (!header)
        return 0;
    s.count = header->first;
    s.lo = 1;
    s.hi = s.count + 1;
    /* A short table is scanned from its start. */
    if (s.count > RANGE_SCAN_STEPS)
        bpf_loop(RANGE_SEARCH_STEPS, range_search_cb, &s, 0);
    bpf_loop(RANGE_SCAN_STEPS, range_scan_cb, &s, 0);
    return s.found;
}

/* Whether ip lies in the code of the file system (sorted, disjoint ranges). */
static __always_inline int in_code(const code_ranges_t *code, __u64 ip)
{
    __u32 lo = 0, hi = code->count;
    if (hi > MAX_CODE_RANGES)
        hi = MAX_CODE_RANGES;
    for (int step = 0; step < 7 && lo < hi; step++) {
        __u32 mid = lo + (hi - lo) / 2;
        if (mid >= MAX_CODE_RANGES)
            return 0;
        if (ip < code->range[mid].first)
            hi = mid;
        else if (ip >= code->range[mid].second)
            lo = mid + 1;
        else
            return 1;
    }
    return 0;
}

struct stack_check {
    const code_ranges_t *code;
    const event_t *event;
    int own;
};

static long stack_frame_cb(__u32 index, void *vctx)
{
    struct stack_check *c = vctx;
    if (index >= PERF_MAX_STACK_DEPTH || index >= c->event->stack_size)
        return 1;
    if (in_code(c->code, c->event->ip[bounded(index, PERF_MAX_STACK_DEPTH - 1)])) {
        c->own = 1;
        return 1;
    }
    return 0;
}

/* Whether one of the captured frames lies in the code of the file system of
 * type fs_type. */
static __always_inline int stack_in_fs_code(const event_t *event, __u32 fs_type)
{
    struct stack_check c = {.event = event};
    c.code = bpf_map_lookup_elem(&map_code, &fs_type);
    if (!c.code)
        return 0;
    if (bpf_loop(PERF_MAX_STACK_DEPTH, stack_frame_cb, &c, 0) < 0)
        debugprintk("bpf_loop err");
    return c.own;
}

#endif
