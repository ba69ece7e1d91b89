#include "host/sdk/library_loader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace zelta {

#if defined(_WIN32)

void* openLibrary(const std::string& path, std::string* error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module && error) *error = "LoadLibrary failed with error " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(module);
}

void closeLibrary(void* library) {
    if (library) FreeLibrary(reinterpret_cast<HMODULE>(library));
}

#else

void* openLibrary(const std::string& path, std::string* error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library && error) *error = dlerror();
    return library;
}

void closeLibrary(void* library) {
    if (library) dlclose(library);
}

#endif

}  // namespace zelta
