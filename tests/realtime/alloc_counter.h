#pragma once
// Counts the heap allocations the calling thread makes: malloc, calloc,
// realloc and the aligned forms, which operator new and the engine's
// aligned buffers both end in, from this program and from every library it
// loads. Only the test programs that count link it.
namespace alloctest {

void startCounting();
// Allocations since startCounting().
long stopCounting();

template <class F>
long allocationsDuring(F&& run) {
    startCounting();
    run();
    return stopCounting();
}

}  // namespace alloctest
