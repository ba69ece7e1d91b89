#include "ynet/log.h"

#include <cstdarg>
#include <cstdio>

namespace YNet {

void printLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

}  // namespace YNet
