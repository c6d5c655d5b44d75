/* Loads and attaches empty_probe.bpf.o (given as the only argument), then waits
 * until it is killed. */
#include <bpf/libbpf.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: empty_probe OBJECT\n");
        return 2;
    }
    struct bpf_object *obj = bpf_object__open_file(argv[1], NULL);
    if (!obj || bpf_object__load(obj)) {
        fprintf(stderr, "empty_probe: cannot load %s\n", argv[1]);
        return 1;
    }
    struct bpf_program *prog;
    bpf_object__for_each_program(prog, obj)
    {
        if (!bpf_program__attach(prog)) {
            fprintf(stderr, "empty_probe: cannot attach %s\n", bpf_program__name(prog));
            return 1;
        }
    }
    printf("empty probes attached\n");
    fflush(stdout);
    pause();
    return 0;
}
