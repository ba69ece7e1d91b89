#pragma once
// Kernel table of one ISA build: every family at the given channel blocks.
// Included after dw_generic.h and the build's Ops struct.
#include "impl_x86/depthwise/dw_generic.h"

namespace YNet {
namespace dw {
namespace {

struct Entry {
    Family family;
    int block;
    Kernel kernel;
};

template <class O, int B>
constexpr Entry forwardEntries[] = {
    {Family::LineS2D2, B, &generic::line<O, B, 2, false>},
    {Family::LineS1, B, &generic::line<O, B, 1, true>},
    {Family::Blocked, B, &generic::blocked<O, B>},
};

template <class O, int B>
constexpr Entry groupAndDeconvEntries[] = {
    {Family::Grouped, B, &generic::grouped<O, B>},
    {Family::DeconvLine, B, &generic::deconvLine<O, B>},
};

template <size_t N>
Kernel find(const Entry (&table)[N], Family f, int block) {
    for (const Entry& e : table)
        if (e.family == f && e.block == block) return e.kernel;
    return nullptr;
}

}  // namespace
}  // namespace dw
}  // namespace YNet
