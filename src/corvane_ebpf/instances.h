/* The file-system instances (super blocks) mounted over each disk's watched
 * ranges: a mount while another instance lives over the same bytes is a
 * double mount, whatever the order of mounts and unmounts before it; an
 * instance's teardown removes only its own entries. */
#ifndef CORVANE_INSTANCES_H
#define CORVANE_INSTANCES_H

/* The empty set a disk starts with (too large for the eBPF stack). */
const volatile disk_instances_t no_instances = {};

#define INSTANCE_OTHER 1 /* another live instance overlaps */
#define INSTANCE_FULL 2  /* no room left to record this one */

struct instance_scan {
    disk_instances_t *set;
    __u64 sb;
    __u64 first;
    __u64 second;
    __u32 count;
    __u32 kept;
    int result;
    int known;
};

static long instance_overlap_cb(__u32 index, void *vctx)
{
    struct instance_scan *c = vctx;
    if (index >= c->count || index >= MAX_DISK_INSTANCES)
        return 1;
    fs_instance_t *in = &c->set->inst[bounded(index, MAX_DISK_INSTANCES - 1)];
    if (!ranges_overlap(in->first, in->second, c->first, c->second))
        return 0;
    if (in->sb != c->sb)
        c->result |= INSTANCE_OTHER;
    else if (in->first == c->first && in->second == c->second)
        c->known = 1;
    return 0;
}

/* Records sb over [first, second) of the disk; returns INSTANCE_* bits. */
static __always_inline int add_instance(const wwid_t *wwid, __u64 sb, __u64 first, __u64 second,
                                        __u32 fs_type, __u32 dev)
{
    disk_instances_t *set = bpf_map_lookup_elem(&map_instances, wwid);
    if (!set) {
        bpf_map_update_elem(&map_instances, wwid, (const void *)&no_instances, BPF_NOEXIST);
        set = bpf_map_lookup_elem(&map_instances, wwid);
        if (!set)
            return INSTANCE_FULL;
    }
    struct instance_scan c = {.set = set, .sb = sb, .first = first, .second = second};
    c.count = set->count;
    bpf_loop(MAX_DISK_INSTANCES, instance_overlap_cb, &c, 0);
    if (c.known)
        return c.result;
    if (c.count >= MAX_DISK_INSTANCES)
        return c.result | INSTANCE_FULL;
    fs_instance_t *slot = &set->inst[bounded(c.count, MAX_DISK_INSTANCES - 1)];
    slot->sb = sb;
    slot->first = first;
    slot->second = second;
    slot->fs_type = fs_type;
    slot->dev = dev;
    set->count = c.count + 1;
    return c.result;
}

static long instance_remove_cb(__u32 index, void *vctx)
{
    struct instance_scan *c = vctx;
    if (index >= c->count || index >= MAX_DISK_INSTANCES)
        return 1;
    disk_instances_t *set = c->set;
    __u32 at = bounded(index, MAX_DISK_INSTANCES - 1);
    if (set->inst[at].sb == c->sb) {
        c->result++;
        return 0;
    }
    __u32 kept = bounded(c->kept, MAX_DISK_INSTANCES - 1);
    if (kept != at)
        set->inst[kept] = set->inst[at];
    c->kept = kept + 1;
    return 0;
}

/* Removes every entry of sb on the disk; returns how many there were. */
static __always_inline int remove_instance(const wwid_t *wwid, __u64 sb)
{
    disk_instances_t *set = bpf_map_lookup_elem(&map_instances, wwid);
    if (!set)
        return 0;
    struct instance_scan c = {.set = set, .sb = sb};
    c.count = set->count;
    bpf_loop(MAX_DISK_INSTANCES, instance_remove_cb, &c, 0);
    set->count = c.kept;
    return c.result;
}

#endif
