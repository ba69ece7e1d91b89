#pragma once
// The half-precision weight blob, embedded by the assembler at build time.
#include <cstddef>

extern "C" const unsigned char aecWeightBlob[];
extern "C" const unsigned char aecWeightBlobEnd[];

inline size_t weightBlobBytes() { return size_t(aecWeightBlobEnd - aecWeightBlob); }
