/* Coverage for the fuzz targets under a preloaded AddressSanitizer.
 *
 * atheris counts the coverage of the Python code it instruments through the
 * libFuzzer built into its own extension module, calling the
 * __sanitizer_cov_* functions by name. A preloaded libasan also defines them
 * (weakly, as no-ops), and the dynamic linker takes the first definition it
 * finds: every call lands in libasan, libFuzzer sees no coverage at all and
 * never grows its corpus beyond one byte. Preloaded ahead of libasan, this
 * library defines them first and hands each call on to atheris's own.
 *
 *   gcc -O2 -shared -fPIC -o coverage_shim.so coverage_shim.c -ldl
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void* atheris_core;

static int find_core(struct dl_phdr_info* info, size_t size, void* data) {
    (void)size;
    (void)data;
    if (info->dlpi_name && strstr(info->dlpi_name, "atheris/core_with_libfuzzer")) {
        atheris_core = dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD);
        return 1;
    }
    return 0;
}

/* The function of atheris's libFuzzer named `name`; the process ends when
 * it is missing (a run that would find nothing must not pass). */
static void* forward(const char* name) {
    if (!atheris_core) dl_iterate_phdr(find_core, NULL);
    void* fn = atheris_core ? dlsym(atheris_core, name) : NULL;
    if (!fn) {
        fprintf(stderr, "coverage_shim: %s not found in atheris's libFuzzer\n", name);
        abort();
    }
    return fn;
}

#define FORWARD(name, params, args)                                  \
    void name params {                                               \
        static void(*target) params;                                 \
        if (!target) target = (void(*) params)forward(#name);        \
        target args;                                                 \
    }

FORWARD(__sanitizer_cov_8bit_counters_init, (uint8_t* start, uint8_t* stop), (start, stop))
FORWARD(__sanitizer_cov_pcs_init, (const uintptr_t* start, const uintptr_t* stop), (start, stop))
FORWARD(__sanitizer_cov_trace_cmp8, (uint64_t a, uint64_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp8, (uint64_t a, uint64_t b), (a, b))
