// Freestanding support for the test host's two modules: the symbols the
// compiler expects from a C runtime, and the helpers of runtime.h.
#include "tests/windows/msvc_host/runtime.h"

extern "C" {

// Referenced by every object that uses floating point.
int _fltused = 0;

// Reached only through a pure virtual slot that was never overridden.
int _purecall() { ExitProcess(3); }

void* memset(void* dst, int value, size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(value);
    return dst;
}

void* memcpy(void* dst, const void* src, size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    for (size_t i = 0; i < n; ++i) d[i] = s[i];
    return dst;
}

}  // extern "C"

namespace rt {
namespace {

constexpr unsigned long kStdOutput = static_cast<unsigned long>(-11);
constexpr unsigned long kGenericRead = 0x80000000ul, kShareRead = 1, kOpenExisting = 3;
constexpr unsigned long kCommitReserve = 0x3000, kReadWrite = 4, kRelease = 0x8000;
void* const kInvalidHandle = reinterpret_cast<void*>(intptr_t(-1));

}  // namespace

size_t length(const char* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

bool equal(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

void append(char* buffer, size_t capacity, const char* text) {
    size_t at = length(buffer);
    while (*text && at + 1 < capacity) buffer[at++] = *text++;
    buffer[at] = 0;
}

void appendNumber(char* buffer, size_t capacity, int64_t value) {
    char digits[24];
    int n = 0;
    uint64_t v = value < 0 ? uint64_t(-value) : uint64_t(value);
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v);
    char text[26];
    int at = 0;
    if (value < 0) text[at++] = '-';
    while (n) text[at++] = digits[--n];
    text[at] = 0;
    append(buffer, capacity, text);
}

void print(const char* text) {
    unsigned long written = 0;
    WriteFile(GetStdHandle(kStdOutput), text, static_cast<unsigned long>(length(text)), &written,
              nullptr);
}

void printNumber(int64_t value) {
    char text[26] = {};
    appendNumber(text, sizeof text, value);
    print(text);
}

Blob readFile(const char* path) {
    Blob blob;
    void* file = CreateFileA(path, kGenericRead, kShareRead, nullptr, kOpenExisting, 0, nullptr);
    if (file == kInvalidHandle) return blob;
    int64_t size = 0;
    if (GetFileSizeEx(file, &size) && size >= 0 && size < (int64_t(1) << 31)) {
        blob.data = static_cast<char*>(VirtualAlloc(nullptr, size_t(size) + 1, kCommitReserve, kReadWrite));
        unsigned long read = 0;
        if (blob.data && ReadFile(file, blob.data, static_cast<unsigned long>(size), &read, nullptr) &&
            read == static_cast<unsigned long>(size)) {
            blob.size = size_t(size);
        } else {
            release(blob);
        }
    }
    CloseHandle(file);
    return blob;
}

void release(Blob& blob) {
    if (blob.data) VirtualFree(blob.data, 0, kRelease);
    blob = Blob{};
}

}  // namespace rt
