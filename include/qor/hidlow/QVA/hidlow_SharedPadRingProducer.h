// The one producer of a pad ring in named shared memory. A kernel lock on the
// object's descriptor makes it the only one: the kernel drops the lock however
// the process ends, so a producer that crashed is replaced by the next one to
// start, and consumers see at most a gap in the samples.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingMapping.h"
#include "qor/types.h"

namespace qor::hidlow::QVA {

class SharedPadRingProducer : public SharedPadRingMapping {
public:
    // Makes the object, with an empty ring, or takes over the ring of a
    // producer that is gone: the ring and every consumer's cursor stay valid.
    // mode is the object's permission bits: the owner reads and writes; group
    // and others may be let read (0640, 0644), never write. It is set only on
    // a ring this producer makes or takes: a refusal leaves the object as it
    // was. An existing object must belong to this process's effective user,
    // root's as anyone's. Throws kProducerAlive naming the live producer's
    // pid, kInvalidMode, kSystem (for instance no memory left in /dev/shm:
    // then nothing is left behind), and for an existing object kNotOwner, each
    // header error SharedPadRingConsumer::Open gives, or kDamaged for a ring
    // whose control fields no writer leaves.
    static SharedPadRingProducer CreateOrTakeOver(const std::string& name, mode_t mode = 0600);

    // Makes a new ring and never takes one over: throws kExists when the name
    // is taken, whoever holds it; otherwise as CreateOrTakeOver.
    static SharedPadRingProducer Create(const std::string& name, mode_t mode = 0600);

    SharedPadRingProducer(SharedPadRingProducer&& other) noexcept = default;
    SharedPadRingProducer& operator=(SharedPadRingProducer&& other) noexcept;
    // Records that no producer runs (pid 0), then drops the producer lock.
    // The name stays, for the next producer to take over.
    ~SharedPadRingProducer();

    // The ring to call WriteData on, from one thread at a time. A process
    // forked from the producer shares its lock: only one of them may write,
    // and only the producer's own process clears the pid or removes the name.
    PadLifoRing& Ring();
    using SharedPadRingMapping::Ring;

    // Whether the ring was there before, and the pid of the producer it was
    // taken from (0 when that one stopped cleanly).
    bool TookOver() const { return m_tookOver; }
    s32 PreviousProducerPid() const { return m_previousProducerPid; }

    // Tells consumers which controller is on the ring now, or that none is.
    // A new producer starts with none.
    void ConnectDevice(const std::string& name);
    void DisconnectDevice();

    // Unlinks the name while this producer still holds the ring, for a stop
    // that leaves nothing behind. Consumers attached read on; new ones can no
    // longer open it.
    void RemoveName();

private:
    static SharedPadRingProducer Make(const std::string& name, mode_t mode, bool mayTakeOver);

    SharedPadRingProducer(std::string name, int fd, void* mapping, std::size_t size,
                          std::size_t ringOffset, std::size_t deviceOffset, dev_t device,
                          ino_t inode, bool tookOver, s32 previousProducerPid);

    SharedPadDeviceBlock& WritableDeviceBlock();

    // Whether this process is the producer, not a child forked from it.
    bool ProducingHere() const;
    void StopProducing();

    bool m_tookOver;
    s32 m_previousProducerPid;
    pid_t m_producerProcess;
};

}  // namespace qor::hidlow::QVA
