/* Loads the add-in, calls xlAutoOpen once and prints how long the call took in
   microseconds. The add-in writes "xlAutoOpen: TindralXL loaded" as its first
   step and "xlAutoOpen: complete" as its last, so the call's duration is the
   span between those two lines. Used by bench_start.py; one process per run,
   since the interpreter starts only once per process. */
#define _POSIX_C_SOURCE 199309L
#include <dlfcn.h>
#include <stdio.h>
#include <time.h>

/* The add-in looks this up in the host; the benchmark registers nothing. */
__attribute__((visibility("default"))) int MdCallBack12(int xlfn, int count, void **opers, void *result) {
    (void)xlfn; (void)count; (void)opers; (void)result;
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: open_timer ADDIN\n");
        return 2;
    }
    void *addin = dlopen(argv[1], RTLD_NOW);
    if (!addin) {
        fprintf(stderr, "open_timer: %s\n", dlerror());
        return 2;
    }
    int (*open)(void) = (int (*)(void))dlsym(addin, "xlAutoOpen");
    if (!open) return 2;
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    int rc = open();
    clock_gettime(CLOCK_MONOTONIC, &b);
    printf("%d %ld\n", rc, (long)((b.tv_sec - a.tv_sec) * 1000000L + (b.tv_nsec - a.tv_nsec) / 1000));
    return 0;
}
