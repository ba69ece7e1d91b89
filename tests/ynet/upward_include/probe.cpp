// Built only by the test framework_cannot_include_impl_x86, with the
// framework's include path: the first include must be found, the second not.
#include "ynet/layers/gru/gru.h"
#include "impl_x86/gru/gru_kernels.h"
