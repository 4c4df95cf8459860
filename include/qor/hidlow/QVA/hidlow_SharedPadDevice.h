// The controller on a shared pad ring, as its producer tells consumers: none,
// or one with its name. The block sits in the shared object after the ring;
// the producer rewrites it under a sequence counter and readers copy it until
// the counter shows a copy no rewrite overlapped.
#pragma once

#include <cstddef>
#include <string>

#include "qor/fnd/fnd_Interlocked.h"
#include "qor/types.h"

namespace qor::hidlow::QVA {

// The name's room, its terminating zero included.
constexpr s32 SHARED_PAD_DEVICE_NAME_SIZE = 112;

struct SharedPadDeviceBlock {
    // The producer's side, from one thread at a time: rewrites the block.
    // pName is cut to the room, at a character boundary.
    void Write(bool connected, s32 connections, const char* pName);

    // A consumer's side: copies the block, starting over while the producer
    // rewrites it, at most maxAttempts times. pName receives the zero-
    // terminated name (room for SHARED_PAD_DEVICE_NAME_SIZE). Returns false
    // when no copy was confirmed: the producer is rewriting it, or died doing
    // so and left it to the next one.
    bool Read(bool* pConnected, s32* pConnections, char* pName, s32 maxAttempts) const;

    // Odd while the producer rewrites the block; one more when it has done.
    fnd::InterlockedVariable<bit32> m_sequence;
    // 1 while a controller is on the ring, 0 while none is.
    fnd::InterlockedVariable<s32> m_connected;
    // Controllers connected to the ring so far, so a consumer that missed the
    // moment between two of them still sees that another one came.
    fnd::InterlockedVariable<s32> m_connections;
    s32 m_reserved;  // zero
    // UTF-8, zero-terminated, zero after the end; four bytes to a cell, the
    // first character in the lowest byte.
    fnd::InterlockedVariable<bit32> m_name[SHARED_PAD_DEVICE_NAME_SIZE / 4];
};

static_assert(offsetof(SharedPadDeviceBlock, m_connected) == 4 &&
              offsetof(SharedPadDeviceBlock, m_connections) == 8 &&
              offsetof(SharedPadDeviceBlock, m_name) == 16);
static_assert(sizeof(SharedPadDeviceBlock) == 128 && alignof(SharedPadDeviceBlock) == 4);

// The block as one consistent copy.
struct SharedPadDevice {
    bool connected = false;
    s32 connections = 0;
    std::string name;  // empty while none is connected
};

}  // namespace qor::hidlow::QVA
