#pragma once
// This core's fused multiply-add peak in GFLOP/s (8 lanes, 2 flops per lane),
// timed in processor time like the kernels' rates. AVX2+FMA only.
double fmaPeakGflops();
