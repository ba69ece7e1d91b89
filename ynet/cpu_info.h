#pragma once
// Process-wide record of what the processor and OS support, filled once from
// CPUID. Kernels consult the predicates on every forward.
#include <cstdint>
#include <string>
#include <vector>

namespace YNet {

// Instruction-set tiers the kernels dispatch on, lowest first. AvxFma is
// AVX and FMA without AVX2: the tier of the *_fma kernels.
enum class IsaLevel { Portable, Sse41, Avx, AvxFma, Avx2Fma };

struct CpuInfo {
    uint32_t maxLeaf = 0;
    uint32_t maxExtendedLeaf = 0;
    std::string vendor;
    std::string brand;
    bool isIntel = false;
    bool isAmd = false;
    uint32_t leaf1Ecx = 0, leaf1Edx = 0;
    uint32_t leaf7Ebx = 0, leaf7Ecx = 0;
    uint32_t leaf13Eax = 0, leaf13Edx = 0;
    uint32_t extEcx = 0, extEdx = 0;
    bool osModern = false;

    // The record in force: the CPUID record built on first use, or the
    // override installed by a ScopedCpuOverride.
    static const CpuInfo& get();
    // The real processor, queried once (thread-safe).
    static const CpuInfo& hardware();

    bool avx() const;
    bool avx2() const;
    bool fma() const;
    bool sse41() const;
    bool avx512f() const;
    bool f16c() const;

    // The four feature lines the x86 run environment prints.
    std::string report() const;

    // A copy with every feature above `level` cleared, for forcing a
    // dispatch path.
    CpuInfo limitedTo(IsaLevel level) const;
    // Tiers this machine can run, lowest first (always starts at Portable).
    static std::vector<IsaLevel> supportedLevels();
};

const char* isaLevelName(IsaLevel level);

// Test hook: while alive, CpuInfo::get() returns `info`. Not thread-safe
// against concurrent dispatch; tests install it around single-threaded work.
class ScopedCpuOverride {
public:
    explicit ScopedCpuOverride(const CpuInfo& info);
    explicit ScopedCpuOverride(IsaLevel level);
    ~ScopedCpuOverride();
    ScopedCpuOverride(const ScopedCpuOverride&) = delete;
    ScopedCpuOverride& operator=(const ScopedCpuOverride&) = delete;

private:
    CpuInfo info_;
    const CpuInfo* previous_;
};

// The OS version query (real on Windows, a stand-in reporting a modern OS
// elsewhere).
void osVersion(uint32_t& major, uint32_t& minor);

}  // namespace YNet
