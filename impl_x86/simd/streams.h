#pragma once
#include <type_traits>

// Weight streams for kernels whose weights come from outer caches (the net's
// weights do not stay near the core from one frame to the next): items far
// apart in the buffer, visited S at a time, keep S read streams in flight.
// No instructions of its own; internal linkage like the vector traits.
namespace YNet {
namespace vec {
namespace {

// Items [first, count) in S runs of span = (count - first) / S items: calls
// visit(at) with at[s] = i + s * span for the span values of i from first
// on. Returns the first item not visited (fewer than S are left).
template <int S, class Visit>
int visitInStreams(int first, int count, Visit&& visit) {
    const int span = (count - first) / S;
    for (int i = first; i < first + span; ++i) {
        int at[S];
        for (int s = 0; s < S; ++s) at[s] = i + s * span;
        visit(at);
    }
    return first + S * span;
}

// Items [0, count): two streams, then the one item an odd count leaves.
// visit(streams, at) gets streams as std::integral_constant<int, 2 or 1>.
template <class Visit>
void visitInTwoStreams(int count, Visit&& visit) {
    const int done = visitInStreams<2>(
        0, count, [&](const int* at) { visit(std::integral_constant<int, 2>(), at); });
    visitInStreams<1>(done, count, [&](const int* at) { visit(std::integral_constant<int, 1>(), at); });
}

}  // namespace
}  // namespace vec
}  // namespace YNet
