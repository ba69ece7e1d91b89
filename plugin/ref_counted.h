#pragma once
// Adds the reference count to a concrete SharedObject class. Objects start at
// count 0: whoever receives one must addRef to keep it.
#include <atomic>
#include <cstdint>
#include <utility>

template <class T>
class RefCounter final : public T {
public:
    template <class... Args>
    explicit RefCounter(Args&&... args) : T(std::forward<Args>(args)...) {}

    void addRef() override { count.fetch_add(1, std::memory_order_relaxed); }

    int32_t release() override {
        if (count.fetch_sub(1, std::memory_order_acq_rel) - 1 != 0) return 1;
        destroy(SharedObject::kFreeMemory);
        return 0;
    }

    // A plain read; may be stale while other threads change the count.
    bool hasOneRef() const override { return count.load(std::memory_order_relaxed) == 1; }

    void* destroy(uint32_t flags) override {
        void* const self = this;
        if (flags & SharedObject::kFreeMemory) {
            delete this;
        } else {
            this->~RefCounter();
        }
        return self;
    }

private:
    std::atomic<uint32_t> count{0};
};
