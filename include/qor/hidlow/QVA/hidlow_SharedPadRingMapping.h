// A pad ring in a named POSIX shared-memory object, mapped into this process:
// what producers and consumers have in common. Set-up failures throw
// SharedPadRingError; the ring's own operations never throw.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"
#include "qor/hidlow/QVA/hidlow_SharedPadDevice.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingError.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingHeader.h"
#include "qor/types.h"

namespace qor::hidlow::QVA {

class SharedPadRingMapping {
public:
    // "pad" and "/pad" both become "/pad". Throws kInvalidName for an empty
    // name, a '/' after the first character, "." or "..", or one too long.
    static std::string ObjectName(const std::string& name);

    // Unlinks the name of a pad ring that no producer holds. Consumers that
    // have it mapped read on; the memory goes with the last mapping. Holds the
    // producer lock while it unlinks, so no producer can take the ring over
    // meanwhile. Throws kProducerAlive, kNotFound, kNotAFile, kNotARing or
    // kSystem; never removes what is not a pad ring.
    static void Remove(const std::string& name);

    SharedPadRingMapping(const SharedPadRingMapping&) = delete;
    SharedPadRingMapping& operator=(const SharedPadRingMapping&) = delete;

    // A moved-from producer or consumer may only be assigned or destroyed.
    const std::string& Name() const { return m_name; }
    std::size_t ObjectSize() const { return m_size; }
    std::size_t RingOffset() const { return m_ringOffset; }
    const PadLifoRing& Ring() const;

    // Whether a producer holds the ring now. Tests the producer lock without
    // taking it, so it never delays or turns away a producer.
    bool ProducerAlive() const;
    // The pid the header records: the live producer's, or the last one's if
    // it died; 0 when the last one stopped cleanly.
    s32 ProducerPid() const;
    // How many producers have held the ring, the creator included. Read after
    // a ReadData that delivered a producer's samples, it counts that producer,
    // and a ProducerPid read after it is that producer's or a later one's.
    s32 ProducerCount() const;

    // The controller the producer says is on the ring; nothing while the
    // producer is rewriting that, or died doing so (the next one rewrites it).
    std::optional<SharedPadDevice> Device() const;

    // "owner alice, mode 0644": the object's owner and permission bits now.
    std::string OwnerAndMode() const;

    // Whether the name still leads to this object: false once it has been
    // removed, even if a new object of the same name has been made since.
    bool StillLinked() const;
    // Whether this process could open the ring by its name now: false once it
    // is removed, or when a new producer narrowed its mode and shut this user
    // out. Either way the mapping stays valid and reads on.
    bool StillOpenable() const;

protected:
    // Only as a producer or a consumer, never on its own: that would split the
    // producer lock from the producer.
    SharedPadRingMapping(SharedPadRingMapping&& other) noexcept;
    SharedPadRingMapping& operator=(SharedPadRingMapping&& other) noexcept;
    ~SharedPadRingMapping();

    // Takes over fd and mapping; device and inode identify the object.
    SharedPadRingMapping(std::string name, int fd, void* mapping, std::size_t size,
                         std::size_t ringOffset, std::size_t deviceOffset, dev_t device,
                         ino_t inode, bool holdsProducerLock);

    const SharedPadRingHeader& Header() const;
    const SharedPadDeviceBlock& DeviceBlock() const;
    void* Mapping() const { return m_mapping; }
    bool HoldsProducerLock() const { return m_holdsProducerLock; }

private:
    std::string m_name;
    int m_fd = -1;  // the producer lock, if held, belongs to this descriptor
    void* m_mapping = nullptr;
    std::size_t m_size = 0;
    std::size_t m_ringOffset = 0;
    std::size_t m_deviceOffset = 0;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    bool m_holdsProducerLock = false;
};

}  // namespace qor::hidlow::QVA
