#pragma once
// The little a freestanding Windows program needs without a C runtime:
// kernel32 imports, text output, whole-file reads.
#include <stddef.h>
#include <stdint.h>

#define WINAPI __stdcall
#define IMPORT extern "C" __declspec(dllimport)

IMPORT void* WINAPI GetStdHandle(unsigned long which);
IMPORT int WINAPI WriteFile(void* file, const void* data, unsigned long size, unsigned long* written,
                            void* overlapped);
IMPORT __declspec(noreturn) void WINAPI ExitProcess(unsigned int code);
IMPORT const char* WINAPI GetCommandLineA();
IMPORT void* WINAPI LoadLibraryA(const char* path);
IMPORT int WINAPI FreeLibrary(void* module);
IMPORT void* WINAPI GetModuleHandleA(const char* name);
IMPORT void* WINAPI CreateFileA(const char* path, unsigned long access, unsigned long share,
                                void* security, unsigned long disposition, unsigned long flags,
                                void* templateFile);
IMPORT int WINAPI ReadFile(void* file, void* data, unsigned long size, unsigned long* read,
                           void* overlapped);
IMPORT int WINAPI GetFileSizeEx(void* file, int64_t* size);
IMPORT int WINAPI CloseHandle(void* handle);
IMPORT void* WINAPI VirtualAlloc(void* address, size_t size, unsigned long type,
                                 unsigned long protect);
IMPORT int WINAPI VirtualFree(void* address, size_t size, unsigned long type);

extern "C" void* memset(void* dst, int value, size_t n);

namespace rt {

size_t length(const char* s);
bool equal(const char* a, const char* b);
// Appends text to a zero-terminated buffer of `capacity` bytes (truncating).
void append(char* buffer, size_t capacity, const char* text);
void appendNumber(char* buffer, size_t capacity, int64_t value);

void print(const char* text);
void printNumber(int64_t value);

// A file's bytes in pages of their own (zero-terminated); null if unreadable.
struct Blob {
    char* data = nullptr;
    size_t size = 0;
};
Blob readFile(const char* path);
void release(Blob& blob);

}  // namespace rt
