#pragma once

namespace YNet {

// printf-style message to standard output; every engine and plug-in message
// goes through it.
#if defined(__GNUC__) && !defined(_WIN32)
void printLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
#else
void printLog(const char* format, ...);
#endif

}  // namespace YNet
