#include "qor/hidlow/QVA/hidlow_SharedPadRingMapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <utility>

#include "hidlow_SharedObjectFile.h"
#include "qor/fnd/fnd_Fence.h"

namespace qor::hidlow::QVA {

using detail::FileDescriptor;
using Cause = SharedPadRingError::Cause;

std::string SharedPadRingMapping::ObjectName(const std::string& name) {
    const std::string bare = !name.empty() && name[0] == '/' ? name.substr(1) : name;
    if (bare.empty()) {
        throw SharedPadRingError(Cause::kInvalidName, "the ring name is empty");
    }
    if (bare.find('/') != std::string::npos) {
        throw SharedPadRingError(Cause::kInvalidName,
                                 "ring name '" + name + "' has a '/' after its first character");
    }
    if (bare.size() > NAME_MAX || bare == "." || bare == "..") {
        throw SharedPadRingError(Cause::kInvalidName,
                                 "ring name '" + name + "' cannot name a shared-memory object");
    }
    return "/" + bare;
}

void SharedPadRingMapping::Remove(const std::string& name) {
    const std::string objectName = ObjectName(name);
    const std::string refusal = "cannot remove " + objectName;
    const FileDescriptor fd = detail::OpenExisting(objectName, O_RDWR, refusal);
    detail::StatusOf(fd.Get(), objectName);  // never removes a FIFO or a directory
    // A concurrent Remove holds the lock only while it unlinks: after it, this
    // one finds the name gone.
    const bool locked = detail::TakeProducerLockSoon(fd.Get(), objectName);
    // Looked at only now: while nobody holds the lock the object may still grow.
    const detail::ObjectStatus status = detail::StatusOf(fd.Get(), objectName);
    const detail::HeaderFields header = detail::ReadHeader(fd.Get(), status, objectName);
    if (!locked) {
        throw detail::ProducerAliveError(refusal, header);
    }
    if (!detail::HasMagic(header) && !detail::LeftUnfinished(header)) {
        throw SharedPadRingError(Cause::kNotARing, refusal + ": it is not a shared pad ring");
    }
    // Holding the lock, unlink only the object examined, not one made since.
    if (!detail::NameLeadsTo(objectName, status.device, status.inode)) {
        throw SharedPadRingError(Cause::kNotFound, refusal + ": it was removed meanwhile");
    }
    if (shm_unlink(objectName.c_str()) != 0) {
        throw detail::SystemError("remove", objectName);
    }
}

SharedPadRingMapping::SharedPadRingMapping(std::string name, int fd, void* mapping,
                                           std::size_t size, std::size_t ringOffset,
                                           std::size_t deviceOffset, dev_t device, ino_t inode,
                                           bool holdsProducerLock)
    : m_name(std::move(name)),
      m_fd(fd),
      m_mapping(mapping),
      m_size(size),
      m_ringOffset(ringOffset),
      m_deviceOffset(deviceOffset),
      m_device(device),
      m_inode(inode),
      m_holdsProducerLock(holdsProducerLock) {}

SharedPadRingMapping::SharedPadRingMapping(SharedPadRingMapping&& other) noexcept
    : m_name(std::move(other.m_name)),
      m_fd(std::exchange(other.m_fd, -1)),
      m_mapping(std::exchange(other.m_mapping, nullptr)),
      m_size(std::exchange(other.m_size, 0)),
      m_ringOffset(other.m_ringOffset),
      m_deviceOffset(other.m_deviceOffset),
      m_device(other.m_device),
      m_inode(other.m_inode),
      m_holdsProducerLock(std::exchange(other.m_holdsProducerLock, false)) {}

SharedPadRingMapping& SharedPadRingMapping::operator=(SharedPadRingMapping&& other) noexcept {
    SharedPadRingMapping taken(std::move(other));
    std::swap(m_name, taken.m_name);
    std::swap(m_fd, taken.m_fd);
    std::swap(m_mapping, taken.m_mapping);
    std::swap(m_size, taken.m_size);
    std::swap(m_ringOffset, taken.m_ringOffset);
    std::swap(m_deviceOffset, taken.m_deviceOffset);
    std::swap(m_device, taken.m_device);
    std::swap(m_inode, taken.m_inode);
    std::swap(m_holdsProducerLock, taken.m_holdsProducerLock);
    return *this;
}

SharedPadRingMapping::~SharedPadRingMapping() {
    if (m_mapping != nullptr) {
        munmap(m_mapping, m_size);
    }
    if (m_fd >= 0) {
        close(m_fd);  // the last descriptor of its description: the producer lock goes with it
    }
}

const PadLifoRing& SharedPadRingMapping::Ring() const {
    return *reinterpret_cast<const PadLifoRing*>(static_cast<const char*>(m_mapping) +
                                                 m_ringOffset);
}

std::optional<SharedPadDevice> SharedPadRingMapping::Device() const {
    // A rewrite takes a moment; one the producer died in never ends.
    constexpr s32 kAttempts = 1000;
    SharedPadDevice device;
    char name[SHARED_PAD_DEVICE_NAME_SIZE];
    if (!DeviceBlock().Read(&device.connected, &device.connections, name, kAttempts)) {
        return std::nullopt;
    }
    device.name = name;
    return device;
}

const SharedPadDeviceBlock& SharedPadRingMapping::DeviceBlock() const {
    return *reinterpret_cast<const SharedPadDeviceBlock*>(static_cast<const char*>(m_mapping) +
                                                          m_deviceOffset);
}

const SharedPadRingHeader& SharedPadRingMapping::Header() const {
    return *static_cast<const SharedPadRingHeader*>(m_mapping);
}

bool SharedPadRingMapping::ProducerAlive() const {
    return m_holdsProducerLock || detail::ProducerLockHeld(m_fd, m_name);
}

s32 SharedPadRingMapping::ProducerPid() const {
    return Header().m_producerPid;
}

s32 SharedPadRingMapping::ProducerCount() const {
    // acquire: pairs with the release before a producer's first slot stores; a read that
    // delivered its samples is followed by its count
    fnd::AcquireFence();
    const s32 count = Header().m_producerCount;
    // acquire: pairs with the release between a producer's pid and its count; the pid is no older
    fnd::AcquireFence();
    return count;
}

bool SharedPadRingMapping::StillLinked() const {
    return detail::NameLeadsTo(m_name, m_device, m_inode);
}

std::string SharedPadRingMapping::OwnerAndMode() const {
    return detail::OwnerAndMode(detail::StatusOf(m_fd, m_name));
}

bool SharedPadRingMapping::StillOpenable() const {
    return StillLinked() && detail::NameReadable(m_name);
}

}  // namespace qor::hidlow::QVA
