// SPDX-License-Identifier: (BSD-2-Clause OR GPL-2.0)
/* Empty programs on the block layer's entry points, as fentry and as kprobe
 * programs: the baseline against which the probes' own cost per write is
 * measured in each attach mode (tests/vm/scenarios/probe_bench.sh). */
/* Only what bpf_helpers.h needs: no kernel headers, so it builds for any target. */
typedef unsigned char __u8;
typedef unsigned short __u16;
typedef unsigned int __u32;
typedef unsigned long long __u64;
typedef signed char __s8;
typedef short __s16;
typedef int __s32;
typedef long long __s64;
typedef __u16 __be16;
typedef __u32 __be32;
typedef __u32 __wsum;
#include <bpf/bpf_helpers.h>

char LICENSE[] SEC("license") = "Dual BSD/GPL";

SEC("fentry/submit_bio")
int empty_submit_bio(void *ctx)
{
    return 0;
}

SEC("fentry/submit_bio_noacct")
int empty_submit_bio_noacct(void *ctx)
{
    return 0;
}

SEC("kprobe/submit_bio")
int empty_kp_submit_bio(void *ctx)
{
    return 0;
}

SEC("kprobe/submit_bio_noacct")
int empty_kp_submit_bio_noacct(void *ctx)
{
    return 0;
}
