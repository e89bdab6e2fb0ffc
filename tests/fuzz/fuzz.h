// Shared by the fuzz targets: invariant checks that abort with their text
// (libFuzzer then reports a crash and keeps the input) and the entry point.
#ifndef TOVI_FUZZ_H
#define TOVI_FUZZ_H

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

[[noreturn]] inline void fuzz_fail(const char *what, const char *file, int line) {
    fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, what);
    abort();
}
#define FUZZ_CHECK(c) ((c) ? (void)0 : fuzz_fail(#c, __FILE__, __LINE__))
#define FUZZ_TARGET extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)

#endif
