#pragma once
// The objects and functions that cross the boundary between the host SDK
// zelta_rtc_sdk and a plug-in. Slot numbers count virtual operations from 0
// in declaration order and are fixed by the host: never reorder, insert or
// remove a virtual function here.
//
// The real host is built by Microsoft's compiler and the plug-in by g++, so
// every slot is declared in the form both C++ ABIs lower identically:
// - no virtual destructor (the Itanium ABI would spend two slots on it);
//   slot 3 is the one deleting destructor of Microsoft's ABI, spelled out:
//   it takes the flags that ABI passes and returns the object's address;
// - slots that return a class type by value take the hidden return pointer
//   explicitly: Microsoft's ABI passes it after `this` for every class-type
//   return of a member function, where g++ would return 8 bytes in RAX;
// - the reference object passed by value stays trivially copyable and 8
//   bytes, the only case both ABIs pass in a register.
#include <cstdint>
#include <type_traits>

#if defined(_WIN32)
#define ZELTA_SDK_API
#elif defined(ZELTA_SDK_BUILD)
#define ZELTA_SDK_API __attribute__((visibility("default")))
#else
#define ZELTA_SDK_API
#endif

class AudioFilter;

// Base of every object the plug-in hands to the host.
class SharedObject {
public:
    virtual void addRef() = 0;           // 0
    virtual int32_t release() = 0;       // 1: 1 while referenced, 0 once destroyed
    virtual bool hasOneRef() const = 0;  // 2
    // 3: destroys the object, frees its memory when flags has kFreeMemory,
    // returns the object's address.
    virtual void* destroy(uint32_t flags) = 0;

    static constexpr uint32_t kFreeMemory = 1;

protected:
    ~SharedObject() = default;
};

// One reference to a shared object, passed by value; whoever receives it
// owns that reference. A copy constructor or destructor would make
// Microsoft's compiler pass it as a pointer to a temporary that the callee
// destroys.
struct SharedRef {
    SharedObject* object = nullptr;
};
static_assert(std::is_trivially_copyable<SharedRef>::value && sizeof(SharedRef) == 8,
              "SharedRef must travel in one register");

// Per-provider host services.
class ExtensionControl {
public:
    virtual int32_t postEvent(const char* key, const char* value) = 0;    // 0
    virtual int32_t reportError(int32_t code, const char* message) = 0;  // 1
    virtual const char* providerName() const = 0;                        // 2
    virtual int32_t log(int32_t level, const char* message) = 0;         // 3

protected:
    ~ExtensionControl() = default;
};

// The host's registry of providers.
class ExtensionHost {
public:
    virtual int32_t version() const = 0;                                 // 0
    virtual int32_t providerCount() const = 0;                           // 1
    virtual const char* providerName(int32_t index) const = 0;           // 2
    virtual ExtensionControl* control(const char* provider) = 0;         // 3
    virtual int32_t unregisterProvider(const char* provider) = 0;        // 4
    virtual int32_t registerProvider(const char* name, SharedRef ref) = 0;  // 5

protected:
    ~ExtensionHost() = default;
};

class ExtensionProvider : public SharedObject {
public:
    virtual int32_t setExtensionControl(ExtensionControl* control) = 0;  // 4
    virtual void reserved5(const void* query, int32_t* result) = 0;      // 5
    // 6 to 8 return a reference object by value: they fill *result and
    // return result.
    virtual SharedRef* reserved6(SharedRef* result) = 0;                 // 6
    virtual SharedRef* reserved7(SharedRef* result) = 0;                 // 7
    virtual SharedRef* reserved8(SharedRef* result) = 0;                 // 8
    virtual void reserved9() = 0;                                        // 9
    virtual AudioFilter* createAudioFilter(const char* name) = 0;        // 10
    virtual void reserved11() = 0;                                       // 11

protected:
    ~ExtensionProvider() = default;
};

class AudioFilter : public SharedObject {
public:
    // features: at least 9234 floats; mask: 513 floats. 0, -1 or -2.
    virtual int32_t processFrame(const float* features, float* mask) = 0;  // 4
    virtual int32_t scaleState(float factor) = 0;                          // 5

protected:
    ~AudioFilter() = default;
};

// The record given with declareProvider; the host reads its three words.
struct ProviderDeclaration {
    uint32_t words[3];
};

using ProviderFactory = void (*)();

// The three SDK functions; on Windows they are imported by ordinal only
// (6, 8, 9; see host/sdk/zelta_rtc_sdk.def).
extern "C" {
ZELTA_SDK_API ExtensionHost* getExtensionHost();                                  // 6
ZELTA_SDK_API int32_t registerProviderFactory(const char* name, ProviderFactory);  // 8
ZELTA_SDK_API int32_t declareProvider(const char* name, const ProviderDeclaration*);  // 9
}
