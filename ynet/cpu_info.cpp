#include "ynet/cpu_info.h"

#include <cpuid.h>

#include <atomic>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace YNet {

namespace {

constexpr uint32_t bit(int i) { return 1u << i; }

// leaf1Ecx
constexpr uint32_t kFma = bit(12), kSse41 = bit(19), kOsxsave = bit(27), kAvx = bit(28),
                   kF16c = bit(29);
// leaf7Ebx
constexpr uint32_t kAvx2 = bit(5), kAvx512f = bit(16);
// leaf13Eax: SSE and AVX state components saved by the OS
constexpr uint32_t kYmmState = bit(1) | bit(2);

bool has(uint32_t word, uint32_t mask) { return (word & mask) == mask; }

struct Regs {
    uint32_t a = 0, b = 0, c = 0, d = 0;
};

Regs cpuid(uint32_t leaf, uint32_t subLeaf = 0) {
    Regs r;
    __cpuid_count(leaf, subLeaf, r.a, r.b, r.c, r.d);
    return r;
}

void appendRegs(std::string& s, std::initializer_list<uint32_t> words) {
    for (uint32_t w : words) {
        char chars[4];
        std::memcpy(chars, &w, 4);
        s.append(chars, 4);
    }
}

CpuInfo queryHardware() {
    CpuInfo info;
    Regs r = cpuid(0);
    info.maxLeaf = r.a;
    appendRegs(info.vendor, {r.b, r.d, r.c});
    info.isIntel = info.vendor == "GenuineIntel";
    info.isAmd = !info.isIntel && info.vendor == "AuthenticAMD";
    info.maxExtendedLeaf = cpuid(0x80000000u).a;
    if (info.maxLeaf >= 1) {
        r = cpuid(1);
        info.leaf1Ecx = r.c;
        info.leaf1Edx = r.d;
    }
    if (info.maxLeaf >= 7) {
        r = cpuid(7);
        info.leaf7Ebx = r.b;
        info.leaf7Ecx = r.c;
    }
    if (info.maxLeaf >= 13) {
        r = cpuid(13);
        info.leaf13Eax = r.a;
        info.leaf13Edx = r.d;
    }
    if (info.maxExtendedLeaf >= 0x80000001u) {
        r = cpuid(0x80000001u);
        info.extEcx = r.c;
        info.extEdx = r.d;
    }
    if (info.maxExtendedLeaf >= 0x80000004u) {
        for (uint32_t leaf = 0x80000002u; leaf <= 0x80000004u; ++leaf) {
            r = cpuid(leaf);
            appendRegs(info.brand, {r.a, r.b, r.c, r.d});
        }
        info.brand = info.brand.c_str();  // drop the trailing NULs
    }
    uint32_t major = 0, minor = 0;
    osVersion(major, minor);
    info.osModern = major > 6 || (major == 6 && minor >= 2);
    return info;
}

std::atomic<const CpuInfo*> g_override{nullptr};

}  // namespace

#ifdef _WIN32
// GetVersionEx lies to unmanifested programs; RtlGetVersion does not.
void osVersion(uint32_t& major, uint32_t& minor) {
    using RtlGetVersionFn = LONG(WINAPI*)(PRTL_OSVERSIONINFOW);
    major = minor = 0;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto fn = ntdll ? reinterpret_cast<RtlGetVersionFn>(
                          reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                    : nullptr;
    RTL_OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (fn && fn(&version) == 0) {
        major = version.dwMajorVersion;
        minor = version.dwMinorVersion;
    }
}
#else
// No such query outside Windows; every supported host saves the AVX state,
// so report a modern version and let the CPUID bits decide.
void osVersion(uint32_t& major, uint32_t& minor) {
    major = 10;
    minor = 0;
}
#endif

const CpuInfo& CpuInfo::hardware() {
    static const CpuInfo info = queryHardware();
    return info;
}

const CpuInfo& CpuInfo::get() {
    const CpuInfo* forced = g_override.load(std::memory_order_acquire);
    return forced ? *forced : hardware();
}

bool CpuInfo::avx() const {
    return osModern && has(leaf1Ecx, kOsxsave | kAvx) && has(leaf13Eax, kYmmState);
}

bool CpuInfo::avx2() const {
    return osModern && has(leaf7Ebx, kAvx2) && has(leaf1Ecx, kOsxsave) &&
           has(leaf13Eax, kYmmState);
}

bool CpuInfo::fma() const { return has(leaf1Ecx, kFma); }
bool CpuInfo::sse41() const { return has(leaf1Ecx, kSse41); }
bool CpuInfo::avx512f() const { return has(leaf7Ebx, kAvx512f); }
bool CpuInfo::f16c() const { return has(leaf1Ecx, kF16c); }

std::string CpuInfo::report() const {
    const auto line = [](bool on, const char* feature) {
        return std::string(on ? "Support " : "Not support ") + feature + "!\n";
    };
    return line(avx512f(), "AVX512F") + line(avx2(), "AVX2") + line(avx(), "AVX") +
           line(f16c(), "F16C");
}

CpuInfo CpuInfo::limitedTo(IsaLevel level) const {
    CpuInfo limited = *this;
    limited.leaf7Ebx &= ~kAvx512f;
    if (level < IsaLevel::Avx2Fma) limited.leaf7Ebx &= ~kAvx2;
    if (level < IsaLevel::AvxFma) limited.leaf1Ecx &= ~kFma;
    // F16C is only usable together with AVX, so it goes with that tier.
    if (level < IsaLevel::Avx) limited.leaf1Ecx &= ~(kAvx | kF16c);
    if (level < IsaLevel::Sse41) limited.leaf1Ecx &= ~kSse41;
    return limited;
}

std::vector<IsaLevel> CpuInfo::supportedLevels() {
    const CpuInfo& cpu = hardware();
    std::vector<IsaLevel> levels{IsaLevel::Portable};
    if (cpu.sse41()) levels.push_back(IsaLevel::Sse41);
    if (cpu.avx()) levels.push_back(IsaLevel::Avx);
    if (cpu.avx() && cpu.fma()) levels.push_back(IsaLevel::AvxFma);
    if (cpu.avx2() && cpu.fma()) levels.push_back(IsaLevel::Avx2Fma);
    return levels;
}

const char* isaLevelName(IsaLevel level) {
    switch (level) {
        case IsaLevel::Portable: return "Portable";
        case IsaLevel::Sse41: return "Sse41";
        case IsaLevel::Avx: return "Avx";
        case IsaLevel::AvxFma: return "AvxFma";
        case IsaLevel::Avx2Fma: return "Avx2Fma";
    }
    return "Unknown";
}

ScopedCpuOverride::ScopedCpuOverride(const CpuInfo& info)
    : info_(info), previous_(g_override.load()) {
    g_override.store(&info_, std::memory_order_release);
}

ScopedCpuOverride::ScopedCpuOverride(IsaLevel level)
    : ScopedCpuOverride(CpuInfo::get().limitedTo(level)) {}

ScopedCpuOverride::~ScopedCpuOverride() { g_override.store(previous_); }

}  // namespace YNet
