#pragma once
// The peak loop of the per-width files: independent FMA chains, more than
// the latency times the issue width needs, timed in processor time of the
// calling thread. R: the register type V, kLanes, set1, fmadd(a, b, c) =
// a*b + c and first (lane 0). Internal linkage: each width's file compiles
// its own copy with its own instruction set.
#include "bench/thread_time.h"

namespace {

template <class R>
double fmaChainsGflops(long iters) {
    constexpr int kChains = 12;
    typename R::V acc[kChains];
    for (int i = 0; i < kChains; ++i) acc[i] = R::set1(float(i));
    const typename R::V m = R::set1(0.999999f), a = R::set1(1e-7f);
    const double t0 = threadSeconds();
    for (long n = 0; n < iters; ++n)
        for (int i = 0; i < kChains; ++i) acc[i] = R::fmadd(acc[i], m, a);
    const double sec = threadSeconds() - t0;
    float sum = 0;
    for (int i = 0; i < kChains; ++i) sum += R::first(acc[i]);
    volatile float sink = sum;
    (void)sink;
    return double(iters) * kChains * R::kLanes * 2 / sec / 1e9;
}

}  // namespace
