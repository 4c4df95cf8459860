// A consumer of a pad ring in named shared memory: the object opened read-only
// and mapped read-only, so nothing in this process can write the ring.
#pragma once

#include <chrono>
#include <string>

#include "qor/hidlow/QVA/hidlow_SharedPadRingMapping.h"

namespace qor::hidlow::QVA {

class SharedPadRingConsumer : public SharedPadRingMapping {
public:
    // Maps the ring after checking who may write it and the header: magic,
    // format version, ring size, ring offset and device block. A ring is
    // trusted only when no group or others may write it and it belongs to
    // this process's effective user, to root, or to owner (a user name or
    // number; empty: none besides). Throws kInvalidName, kUnknownOwner,
    // kNotFound, kNotReady (its producer is still making it: try again),
    // kNotAFile, kWritableByOthers, kUntrustedOwner, kNotARing, kWrongVersion,
    // kWrongRingSize, kWrongRingOffset, kTooSmall, kWrongDeviceBlock, kDamaged
    // (no memory behind the ring or the device block) or kSystem. Never
    // blocks, whatever the name is.
    static SharedPadRingConsumer Open(const std::string& name, const std::string& owner = "");

    // Open, tried again every 10 ms for at most patience while no producer
    // has made the ring yet (kNotFound, kNotReady): for a consumer that may
    // start before its producer. Then throws as Open does. A patience of
    // milliseconds::max() waits for good.
    static SharedPadRingConsumer OpenWhenMade(const std::string& name,
                                              std::chrono::milliseconds patience,
                                              const std::string& owner = "");

    SharedPadRingConsumer(SharedPadRingConsumer&& other) noexcept = default;
    SharedPadRingConsumer& operator=(SharedPadRingConsumer&& other) noexcept = default;
    ~SharedPadRingConsumer() = default;

private:
    using SharedPadRingMapping::SharedPadRingMapping;
};

}  // namespace qor::hidlow::QVA
