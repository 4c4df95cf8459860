// Picks the processor layer under every interlocked cell and fence. This is the
// one place in qor that knows which processor it is compiled for.
//
// A layer is a class with static Load, Assign, AtomicUpdate, AcquireFence and
// ReleaseFence, and kPlainDoublewordAccess: whether it also has LoadDoublewords
// and StoreDoublewords (see fnd_DoublewordAccess.h). NativeInterlocked is the
// layer of the processor being compiled for; fnd_Interlocked.h and fnd_Fence.h reach the layer in
// use as ProcessorInterlocked, which is the native one except in test builds.
#pragma once

// ARMv6K and its variants in ARM state: halfword, word and doubleword exclusive
// accesses and the CP15 barrier, which ARMv7 deprecates and ARMv8 may trap.
#if defined(__arm__) && __ARM_ARCH == 6 && defined(__ARM_ARCH_ISA_ARM) && !defined(__thumb__) && \
    defined(__ARM_FEATURE_LDREX) && (__ARM_FEATURE_LDREX & 0xf) == 0xf
#include "qor/fnd/ARMv6/fnd_Interlocked.h"
namespace qor::fnd {
using NativeInterlocked = ARMv6::Interlocked;
}
#elif defined(__x86_64__) || defined(__aarch64__)
#include "qor/fnd/Host/fnd_Interlocked.h"
namespace qor::fnd {
using NativeInterlocked = Host::Interlocked;
}
#else
#error "qor: no interlocked layer for this processor"
#endif

#if defined(QOR_FND_TEST_LAYER_HEADER)
// Test builds run the ring over a layer of their own that declares
// qor::fnd::Test::Interlocked (for example one that hooks every cell access
// and then passes it on to the native layer).
#include QOR_FND_TEST_LAYER_HEADER
namespace qor::fnd {
using ProcessorInterlocked = Test::Interlocked;
}
#else
namespace qor::fnd {
using ProcessorInterlocked = NativeInterlocked;
}
#endif
