/* The 16-byte NAA name of a SCSI logical unit in its Device Identification VPD
 * page (0x83), chosen as the SCSI layer chooses it for the disk's "wwid"
 * attribute when that is a 16-byte NAA name: among the designators associated
 * with the logical unit, the NAA IEEE Registered Extended ones (NAA 6, 16
 * bytes), the last one. The probes walk the page with this, one designator per
 * step; user space tests it. Plain C, shared by both sides. */
#ifndef CORVANE_VPD83_H
#define CORVANE_VPD83_H

#include "common/common.h"

/* Bytes of a page looked at: designators beyond them are not. */
#define VPD83_MAX_BYTES 1024

#if defined(__bpf__)
/* A mask in a form the compiler keeps after an earlier bounds check, so that
 * the verifier sees the bound. */
static __always_inline __u32 vpd83_bounded(__u32 i, __u32 mask)
{
    asm volatile("" : "+r"(i));
    return i & mask;
}
#else
static inline __u32 vpd83_bounded(__u32 i, __u32 mask)
{
    return i & mask;
}
#endif

struct vpd83_walk {
    __u32 offset; /* of the next designator */
    __u32 found;
    wwid_t wwid;
};

static inline int vpd83_start(const __u8 *page, __u32 len, struct vpd83_walk *w)
{
    w->offset = 4;
    w->found = 0;
    return len >= 8 && page[1] == 0x83;
}

/* Looks at the designator at w->offset of page (len bytes, at most
 * VPD83_MAX_BYTES); 0 when the page ends there. */
static inline int vpd83_step(const __u8 *page, __u32 len, struct vpd83_walk *w)
{
    __u32 offset = w->offset;
    if (offset > VPD83_MAX_BYTES - 20 || offset + 4 > len)
        return 0;
    const __u8 *d = page + vpd83_bounded(offset, VPD83_MAX_BYTES - 1);
    __u32 dlen = d[3];
    if (offset + 4 + dlen > len)
        return 0;
    /* Associated with the logical unit, NAA, 16 bytes, NAA 6. */
    if ((d[1] & 0x30) == 0 && (d[1] & 0x0f) == 3 && dlen == 16 && (d[4] >> 4) == 6) {
        __builtin_memcpy(&w->wwid, d + 4, sizeof(w->wwid));
        w->found = 1;
    }
    w->offset = offset + 4 + dlen;
    return 1;
}

#endif
