#pragma once
// Loading a shared library by path: the only platform-specific code of the
// host side (dlopen on POSIX, LoadLibrary on Windows).
#include <string>

namespace zelta {

// Null on failure, with the system's reason in *error.
void* openLibrary(const std::string& path, std::string* error);
void closeLibrary(void* library);

}  // namespace zelta
