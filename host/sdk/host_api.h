#pragma once
// What an application uses to run plug-in filters through zelta_rtc_sdk:
//
//   zelta::PluginHost host;
//   std::string error;
//   if (!host.load("path/zelta_aiaec.so", &error)) ...;
//   zelta::Filter filter = host.createFilter(zelta::kEchoFilterName);
//   filter.processFrame(features, mask);  // 9234 floats in, 513 out
//
// One PluginHost at a time per process (the SDK keeps one registry).
#include <cstdint>
#include <functional>
#include <string>

class ZeltaHost;

namespace zelta {

constexpr const char* kEchoProviderName = "zelta_custom_aiaec";
constexpr const char* kEchoFilterName = "ai_echo_cancellation_source";

// A filter with one host reference, dropped on destruction or release().
class Filter {
public:
    Filter() = default;
    Filter(ZeltaHost* host, void* object) : host(host), object(object) {}
    ~Filter() { release(); }
    Filter(Filter&& other) noexcept;
    Filter& operator=(Filter&& other) noexcept;
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    explicit operator bool() const { return object != nullptr; }
    void* raw() const { return object; }  // the plug-in object, for slot-level tests

    // 0, -1 (no network, or no filter) or -2 (null buffer).
    int32_t processFrame(const float* features, float* mask);
    int32_t scaleState(float factor);
    // The plug-in's release result (0 destroyed, 1 still referenced), -1 if empty.
    int32_t release();

private:
    ZeltaHost* host = nullptr;
    void* object = nullptr;
};

class PluginHost {
public:
    using Observer = std::function<void(const char* call)>;

    PluginHost();
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // Sees every boundary call from now on, one line each.
    void setObserver(Observer observer);

    // Opens the library (its load registers its factories) and runs the
    // factories. False with a one-line reason if the library does not open
    // or registers no provider. One library at a time: load unloads first.
    bool load(const std::string& path, std::string* error = nullptr);
    // Releases every filter and provider, then closes the library.
    void unload();

    Filter createFilter(const char* filterName, const char* provider = kEchoProviderName);
    // The provider object, for slot-level tests (no reference taken).
    void* provider(const char* name = kEchoProviderName) const;
    ZeltaHost& sdk() const { return *host; }

private:
    static void forward(void* user, const char* call);

    ZeltaHost* host;
    void* library = nullptr;
    Observer observer;
};

}  // namespace zelta
