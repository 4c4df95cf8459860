// The shared-memory object that carries a pad ring between processes: a
// 64-byte header, then the ring record and the block naming its controller at
// the offsets the header gives. Any program that maps the object can read it;
// docs/shared-object.md gives the bytes.
#pragma once

#include <cstddef>

#include "qor/fnd/fnd_Interlocked.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"
#include "qor/hidlow/QVA/hidlow_SharedPadDevice.h"
#include "qor/types.h"

namespace qor::hidlow::QVA {

// "QPR1" in the object's first four bytes.
constexpr bit32 SHARED_PAD_RING_MAGIC = 0x31525051;
constexpr s32 SHARED_PAD_RING_FORMAT_VERSION = 2;

struct SharedPadRingHeader {
    // Stored last by the creator, after everything else is in place: whoever
    // reads the magic reads a complete header and an empty ring behind it.
    fnd::InterlockedVariable<bit32> m_magic;
    s32 m_ringSize;       // sizeof(PadLifoRing)
    s32 m_ringOffset;     // from the object's start; a multiple of 8
    s32 m_formatVersion;  // SHARED_PAD_RING_FORMAT_VERSION
    // Process id of the producer that holds the ring, or of the last one if
    // it died; 0 when the last one stopped cleanly. The producer lock, not
    // this field, says whether a producer is alive.
    fnd::InterlockedVariable<s32> m_producerPid;
    // Producers that have held the ring: 1 for its creator, one more for each
    // takeover, so a consumer can tell that a new producer has come.
    fnd::InterlockedVariable<s32> m_producerCount;
    s32 m_deviceOffset;  // from the object's start; a multiple of 8, after the ring
    s32 m_deviceSize;    // sizeof(SharedPadDeviceBlock)
    s32 m_reserved[8];   // zero
};

// The object as its creator lays it out. Consumers find the ring and the
// device block through the header's offsets rather than through this record.
// The device block starts a cache line of its own, so rewriting it never
// slows a consumer reading the ring.
struct SharedPadRingObject {
    SharedPadRingHeader m_header;
    PadLifoRing m_ring;
    char m_padding[24];
    SharedPadDeviceBlock m_device;
};

static_assert(offsetof(SharedPadRingHeader, m_ringSize) == 4 &&
              offsetof(SharedPadRingHeader, m_ringOffset) == 8 &&
              offsetof(SharedPadRingHeader, m_formatVersion) == 12 &&
              offsetof(SharedPadRingHeader, m_producerPid) == 16 &&
              offsetof(SharedPadRingHeader, m_producerCount) == 20 &&
              offsetof(SharedPadRingHeader, m_deviceOffset) == 24 &&
              offsetof(SharedPadRingHeader, m_deviceSize) == 28);
static_assert(sizeof(SharedPadRingHeader) == 64 && alignof(SharedPadRingHeader) == 4);
// 64 is a multiple of the ring's alignment, so the ring follows the header
// directly, in a cache line of its own.
static_assert(alignof(PadLifoRing) == 8 && sizeof(SharedPadRingObject) == 384);
// Where the creator puts the device block.
constexpr s32 SHARED_PAD_DEVICE_OFFSET = 256;

// offsetof on a record holding a derived one is conditionally supported; GCC
// and Clang give the plain byte offset, which is what other processes rely on.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
static_assert(offsetof(SharedPadRingObject, m_ring) == 64 &&
              offsetof(SharedPadRingObject, m_device) == SHARED_PAD_DEVICE_OFFSET);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace qor::hidlow::QVA
