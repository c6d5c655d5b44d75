/* Small helpers for the guest scenarios, for what busybox cannot do.
 *
 *   bedtool mmap-store DEVICE OFFSET LENGTH
 *       stores 0xa5 bytes into [OFFSET, OFFSET + LENGTH) of DEVICE through a
 *       shared writable mapping, then msync(MS_SYNC)
 *   bedtool named-write NAME DEVICE OFFSET LENGTH
 *       names the process NAME (the escapes \n, \t, \\ and \xNN are decoded)
 *       and writes LENGTH zero bytes at OFFSET with O_DIRECT
 *   bedtool writes DEVICE OFFSET LENGTH COUNT
 *       COUNT O_DIRECT writes of LENGTH zero bytes at OFFSET, one after another;
 *       prints "writes: COUNT in MICROSECONDS us" on standard output
 *   bedtool eat MEGABYTES
 *       fills that much anonymous memory and reads it back twice (under a memory
 *       limit, this swaps)
 *   bedtool bounded CAP,CAP... PROGRAM ARGS...
 *       runs PROGRAM with the capability bounding set reduced to the given
 *       capability numbers and no_new_privs set, as systemd's
 *       CapabilityBoundingSet= and NoNewPrivileges= do
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

static void die(const char *what)
{
    fprintf(stderr, "bedtool: %s: %s\n", what, strerror(errno));
    exit(1);
}

static unsigned long long number(const char *text)
{
    return strtoull(text, NULL, 0);
}

static int mmap_store(const char *device, unsigned long long offset, size_t length)
{
    long page = sysconf(_SC_PAGESIZE);
    unsigned long long start = offset / page * page;
    size_t span = (offset - start + length + page - 1) / page * page;
    int fd = open(device, O_RDWR);
    if (fd < 0)
        die(device);
    unsigned char *map = mmap(NULL, span, PROT_READ | PROT_WRITE, MAP_SHARED, fd, start);
    if (map == MAP_FAILED)
        die("mmap");
    memset(map + (offset - start), 0xa5, length);
    if (msync(map, span, MS_SYNC) != 0)
        die("msync");
    munmap(map, span);
    close(fd);
    return 0;
}

static void unescape(const char *in, char *out, size_t size)
{
    size_t n = 0;
    while (*in && n + 1 < size) {
        if (in[0] == '\\' && in[1] == 'n') {
            out[n++] = '\n';
            in += 2;
        } else if (in[0] == '\\' && in[1] == 't') {
            out[n++] = '\t';
            in += 2;
        } else if (in[0] == '\\' && in[1] == '\\') {
            out[n++] = '\\';
            in += 2;
        } else if (in[0] == '\\' && in[1] == 'x' && in[2] && in[3]) {
            char hex[3] = {in[2], in[3], 0};
            out[n++] = (char)strtol(hex, NULL, 16);
            in += 4;
        } else {
            out[n++] = *in++;
        }
    }
    out[n] = 0;
}

static unsigned long long now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (unsigned long long)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

static int direct_writes(const char *device, unsigned long long offset, size_t length,
                         unsigned long count, int timed)
{
    void *buffer;
    if (posix_memalign(&buffer, 4096, length) != 0)
        die("posix_memalign");
    memset(buffer, 0, length);
    int fd = open(device, O_WRONLY | O_DIRECT);
    if (fd < 0)
        die(device);
    unsigned long long start = now_us();
    for (unsigned long i = 0; i < count; i++)
        if (pwrite(fd, buffer, length, offset) != (ssize_t)length)
            die("pwrite");
    unsigned long long elapsed = now_us() - start;
    if (timed)
        printf("writes: %lu in %llu us\n", count, elapsed);
    close(fd);
    free(buffer);
    return 0;
}

static int eat(unsigned long megabytes)
{
    size_t size = megabytes << 20;
    unsigned char *memory = malloc(size);
    if (!memory)
        die("malloc");
    for (size_t i = 0; i < size; i += 4096)
        memory[i] = (unsigned char)i;
    unsigned long sum = 0;
    for (int round = 0; round < 2; round++)
        for (size_t i = 0; i < size; i += 4096)
            sum += memory[i];
    free(memory);
    return sum == 0xdeadbeef;
}

// Whether cap is in the comma-separated list of numbers.
static int listed(const char *caps, int cap)
{
    for (const char *p = caps; p; p = strchr(p, ',')) {
        if (*p == ',')
            ++p;
        if (atoi(p) == cap)
            return 1;
    }
    return 0;
}

// Keeps only the listed capability numbers in the bounding set, then execs.
static int bounded(const char *caps, char **program)
{
    for (int cap = 0; cap <= 63; ++cap) {
        if (!listed(caps, cap) && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL)
            die("PR_CAPBSET_DROP");
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        die("PR_SET_NO_NEW_PRIVS");
    execvp(program[0], program);
    die(program[0]);
    return 1;
}

int main(int argc, char **argv)
{
    if (argc >= 4 && strcmp(argv[1], "bounded") == 0)
        return bounded(argv[2], argv + 3);
    if (argc == 3 && strcmp(argv[1], "eat") == 0)
        return eat(number(argv[2]));
    if (argc == 5 && strcmp(argv[1], "mmap-store") == 0)
        return mmap_store(argv[2], number(argv[3]), number(argv[4]));
    if (argc == 6 && strcmp(argv[1], "named-write") == 0) {
        char name[64];
        unescape(argv[2], name, sizeof(name));
        if (prctl(PR_SET_NAME, name) != 0)
            die("prctl");
        return direct_writes(argv[3], number(argv[4]), number(argv[5]), 1, 0);
    }
    if (argc == 6 && strcmp(argv[1], "writes") == 0)
        return direct_writes(argv[2], number(argv[3]), number(argv[4]), number(argv[5]), 1);
    fprintf(stderr, "usage: bedtool bounded CAP,CAP... PROGRAM ARGS...\n"
                    "       bedtool mmap-store DEVICE OFFSET LENGTH\n"
                    "       bedtool named-write NAME DEVICE OFFSET LENGTH\n"
                    "       bedtool writes DEVICE OFFSET LENGTH COUNT\n"
                    "       bedtool eat MEGABYTES\n");
    return 2;
}
