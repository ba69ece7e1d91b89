#pragma once
// Calls into plug-in objects the way a host built by another compiler does:
// through the object's table of virtual operations, read as an array of
// function pointers, passing the object as the first argument.
#include <cstdint>

namespace zelta {

enum SharedSlot : int { kAddRef = 0, kRelease = 1, kHasOneRef = 2, kDestroy = 3 };
enum ProviderSlot : int { kSetExtensionControl = 4, kCreateAudioFilter = 10 };
enum FilterSlot : int { kProcessFrame = 4, kScaleState = 5 };

using AnySlot = void (*)();

inline AnySlot slotOf(void* object, int slot) {
    AnySlot* table = *static_cast<AnySlot**>(object);
    return table[slot];
}

template <class R, class... Args>
R callSlot(void* object, int slot, Args... args) {
    using Fn = R (*)(void*, Args...);
    return reinterpret_cast<Fn>(slotOf(object, slot))(object, args...);
}

}  // namespace zelta
