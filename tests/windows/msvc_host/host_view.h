#pragma once
// The plug-in boundary as a host built by Microsoft's compiler declares it:
// a virtual destructor in slot 3 (one slot, the deleting destructor, called
// with flags), slots 6 to 8 returning the reference object by value, and the
// reference object passed by value to registerProvider. Compiled only for
// the x86_64-pc-windows-msvc target, so every call below follows that ABI;
// the plug-in's own declarations (plugin/host_interfaces.h) must match it.
#include <stdint.h>

class SharedObject {
public:
    virtual void addRef() = 0;           // 0
    virtual int32_t release() = 0;       // 1
    virtual bool hasOneRef() const = 0;  // 2
    virtual ~SharedObject() = 0;         // 3
};

struct SharedRef {
    SharedObject* object;
};

class ExtensionControl {
public:
    virtual int32_t postEvent(const char* key, const char* value) = 0;
    virtual int32_t reportError(int32_t code, const char* message) = 0;
    virtual const char* providerName() const = 0;
    virtual int32_t log(int32_t level, const char* message) = 0;

protected:
    ~ExtensionControl() = default;
};

class ExtensionHost {
public:
    virtual int32_t version() const = 0;
    virtual int32_t providerCount() const = 0;
    virtual const char* providerName(int32_t index) const = 0;
    virtual ExtensionControl* control(const char* provider) = 0;
    virtual int32_t unregisterProvider(const char* provider) = 0;
    virtual int32_t registerProvider(const char* name, SharedRef ref) = 0;

protected:
    ~ExtensionHost() = default;
};

class AudioFilter;

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
};

class AudioFilter : public SharedObject {
public:
    virtual int32_t processFrame(const float* features, float* mask) = 0;  // 4
    virtual int32_t scaleState(float factor) = 0;                          // 5
};

struct ProviderDeclaration {
    uint32_t words[3];
};

using ProviderFactory = void (*)();

extern "C" {
ExtensionHost* getExtensionHost();                                       // 6
int32_t registerProviderFactory(const char* name, ProviderFactory);      // 8
int32_t declareProvider(const char* name, const ProviderDeclaration*);  // 9
}

// What this test's SDK adds behind getExtensionHost for its host program.
class TestHost : public ExtensionHost {
public:
    // Runs the registered factories, then hands each new provider its control.
    virtual int32_t runFactories() = 0;
    virtual ExtensionProvider* provider() = 0;  // the one registered provider
    // Every boundary call so far, one line each; clearCalls forgets them.
    virtual const char* calls() const = 0;
    virtual void clearCalls() = 0;
    // registerProviderFactory notes whether the byte at `rva` of `module` (the
    // guard of the plug-in's layer registry) was still zero.
    virtual void watchRegistry(const char* module, uint32_t rva) = 0;

protected:
    ~TestHost() = default;
};
