/* Loads and attaches the programs of empty_probe.bpf.o (the first argument) of one
 * kind, "fentry" (the default) or "kprobe", then waits until it is killed. */
#include <bpf/libbpf.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: empty_probe OBJECT [fentry|kprobe]\n");
        return 2;
    }
    const char *kind = argc == 3 ? argv[2] : "fentry";
    struct bpf_object *obj = bpf_object__open_file(argv[1], NULL);
    if (!obj) {
        fprintf(stderr, "empty_probe: cannot open %s\n", argv[1]);
        return 1;
    }
    struct bpf_program *prog;
    bpf_object__for_each_program(prog, obj)
    {
        const char *section = bpf_program__section_name(prog);
        bpf_program__set_autoload(prog, strncmp(section, kind, strlen(kind)) == 0);
    }
    if (bpf_object__load(obj)) {
        fprintf(stderr, "empty_probe: cannot load %s\n", argv[1]);
        return 1;
    }
    bpf_object__for_each_program(prog, obj)
    {
        if (bpf_program__autoload(prog) && !bpf_program__attach(prog)) {
            fprintf(stderr, "empty_probe: cannot attach %s\n", bpf_program__name(prog));
            return 1;
        }
    }
    printf("empty probes attached\n");
    fflush(stdout);
    pause();
    return 0;
}
