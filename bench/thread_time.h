#pragma once
// Processor time of the calling thread only: a worker another library left
// spinning does not count. Internal linkage, since the per-width peak files
// include it under their own instruction-set flags.
#include <time.h>

namespace {

inline double threadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

}  // namespace
