#pragma once
// This core's limits, timed in processor time of the calling thread.
#include <cstddef>

// Fused multiply-add peaks in GFLOP/s (2 flops per lane): 256-bit registers
// (AVX2+FMA) and 512-bit registers (AVX-512F). The caller checks CPUID.
double fmaPeakGflops();
double fmaPeak512Gflops();
// Read rate in GB/s over a buffer of the given size, read many times: from
// whichever cache level holds a buffer of that size. AVX2 only.
double readGBps(size_t bytes);
