// Pulls model/weights.f16 into the read-only data of the library image. The
// blob's path comes from the build (AEC_WEIGHT_BLOB_PATH); the build checks
// its sha256 against the manifest before this file is compiled.
#include "model/weight_blob.h"

#if defined(_WIN32)
#define AEC_BLOB_SECTION ".section .rdata,\"dr\"\n"
#define AEC_BLOB_SYMBOL_FLAGS ""
#define AEC_BLOB_RESTORE ".text\n"
#else
#define AEC_BLOB_SECTION ".section .rodata\n"
#define AEC_BLOB_SYMBOL_FLAGS ".hidden aecWeightBlob\n.hidden aecWeightBlobEnd\n"
#define AEC_BLOB_RESTORE ".previous\n"
#endif

// Blocks start on 128-byte boundaries inside the blob, so the blob itself is
// 128-byte aligned.
asm(AEC_BLOB_SECTION
    ".balign 128\n"
    ".globl aecWeightBlob\n"
    ".globl aecWeightBlobEnd\n"
    AEC_BLOB_SYMBOL_FLAGS
    "aecWeightBlob:\n"
    ".incbin \"" AEC_WEIGHT_BLOB_PATH "\"\n"
    "aecWeightBlobEnd:\n"
    ".byte 0\n"
    AEC_BLOB_RESTORE);
