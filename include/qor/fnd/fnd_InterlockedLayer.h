// Picks the processor layer under every interlocked cell and fence. This is the
// one place in qor that knows which processor it is compiled for.
//
// A layer is a class with static Load, Assign, AtomicUpdate, AcquireFence and
// ReleaseFence; fnd_Interlocked.h and fnd_Fence.h reach it as
// qor::fnd::ProcessorInterlocked.
#pragma once

#if defined(QOR_FND_TEST_LAYER_HEADER)
// Test builds run the ring over a layer of their own that declares
// qor::fnd::Test::Interlocked (for example one that hooks every cell access).
#include QOR_FND_TEST_LAYER_HEADER
namespace qor::fnd {
using ProcessorInterlocked = Test::Interlocked;
}
#elif defined(__x86_64__) || defined(__aarch64__)
#include "qor/fnd/Host/fnd_Interlocked.h"
namespace qor::fnd {
using ProcessorInterlocked = Host::Interlocked;
}
#else
#error "qor: no interlocked layer for this processor"
#endif
