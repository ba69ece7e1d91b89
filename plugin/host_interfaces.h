#pragma once
// The objects and functions that cross the boundary between the host SDK
// zelta_rtc_sdk and a plug-in. Slot numbers count virtual operations from 0
// in declaration order and are fixed by the host: never reorder, insert or
// remove a virtual function here. None of these classes has a virtual
// destructor, because the Itanium ABI would spend two slots on it; slot 3
// of SharedObject is an explicit deleting destructor instead.
#include <cstdint>

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
    virtual void destroy() = 0;          // 3: deleting destructor

protected:
    ~SharedObject() = default;
};

// One reference to a shared object, passed by value; whoever receives it
// owns that reference. A plain pointer-sized aggregate, so it travels in a
// register on every x86-64 calling convention.
struct SharedRef {
    SharedObject* object = nullptr;
};

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
    virtual SharedRef reserved6() = 0;                                   // 6
    virtual SharedRef reserved7() = 0;                                   // 7
    virtual SharedRef reserved8() = 0;                                   // 8
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
