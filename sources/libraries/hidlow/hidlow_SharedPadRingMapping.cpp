#include "qor/hidlow/QVA/hidlow_SharedPadRingMapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "hidlow_SharedObjectFile.h"
#include "qor/fnd/fnd_Fence.h"

namespace qor::hidlow::QVA {
namespace detail {
namespace {

using Cause = SharedPadRingError::Cause;

const SharedPadRingHeader& HeaderAt(const void* mapping) {
    return *static_cast<const SharedPadRingHeader*>(mapping);
}

flock WholeObject(short type) {
    flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // to the end, however long the object grows
    return lock;
}

}  // namespace

FileDescriptor::~FileDescriptor() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

ObjectMapping::~ObjectMapping() {
    if (m_address != nullptr) {
        munmap(m_address, m_size);
    }
}

SharedPadRingError SystemError(const std::string& action, const std::string& objectName) {
    return SharedPadRingError(Cause::kSystem,
                              "cannot " + action + " " + objectName + ": " + std::strerror(errno));
}

ObjectStatus StatusOf(int fd, const std::string& objectName) {
    struct stat status;
    if (fstat(fd, &status) != 0) {
        throw SystemError("inspect", objectName);
    }
    return ObjectStatus{static_cast<std::size_t>(status.st_size), status.st_dev, status.st_ino,
                        status.st_mode & 07777};
}

ObjectMapping Map(int fd, std::size_t size, bool writable, const std::string& objectName) {
    void* address =
        mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
        throw SystemError("map", objectName);
    }
    return ObjectMapping(address, size);
}

FileDescriptor OpenExisting(const std::string& objectName, int flags, const std::string& refusal) {
    const int fd = shm_open(objectName.c_str(), flags, 0);
    if (fd < 0 && errno == ENOENT) {
        throw SharedPadRingError(Cause::kNotFound,
                                 refusal + ": no shared-memory object has that name");
    }
    if (fd < 0) {
        throw SystemError("open", objectName);
    }
    return FileDescriptor(fd);
}

ObjectMapping MapToLookAt(int fd, const ObjectStatus& status, const std::string& objectName) {
    return status.size > 0 ? Map(fd, status.size, false, objectName) : ObjectMapping(nullptr, 0);
}

bool NameLeadsTo(const std::string& objectName, dev_t device, ino_t inode) {
    FileDescriptor fd(shm_open(objectName.c_str(), O_RDONLY, 0));
    struct stat status;
    return fd.Get() >= 0 && fstat(fd.Get(), &status) == 0 && status.st_dev == device &&
           status.st_ino == inode;
}

bool TakeProducerLock(int fd, const std::string& objectName) {
    flock lock = WholeObject(F_WRLCK);
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0) {
        return true;
    }
    if (errno == EAGAIN || errno == EACCES) {
        return false;
    }
    throw SystemError("lock", objectName);
}

bool ProducerLockHeld(int fd, const std::string& objectName) {
    // A read lock conflicts only with the producer's write lock; F_OFD_GETLK
    // reports the conflict and takes nothing.
    flock lock = WholeObject(F_RDLCK);
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0) {
        throw SystemError("test the producer lock of", objectName);
    }
    return lock.l_type != F_UNLCK;
}

bool HasMagic(const void* mapping, std::size_t size) {
    return size >= sizeof(SharedPadRingHeader) &&
           HeaderAt(mapping).m_magic == SHARED_PAD_RING_MAGIC;
}

bool LeftUnfinished(const void* mapping, std::size_t size) {
    return size == 0 ||
           (size == sizeof(SharedPadRingObject) && HeaderAt(mapping).m_magic == bit32{0});
}

std::size_t CheckHeader(const void* mapping, std::size_t size, const std::string& objectName) {
    if (size < sizeof(SharedPadRingHeader)) {
        throw SharedPadRingError(Cause::kTooSmall, objectName + " is " + std::to_string(size) +
                                                       " bytes, too small for a shared pad ring (" +
                                                       std::to_string(sizeof(SharedPadRingObject)) +
                                                       ")");
    }
    const SharedPadRingHeader& header = HeaderAt(mapping);
    if (header.m_magic != SHARED_PAD_RING_MAGIC) {
        throw SharedPadRingError(Cause::kNotARing,
                                 objectName + " is not a shared pad ring (no pad ring magic)");
    }
    // acquire: pairs with the creator's release before the magic; the header and ring are whole
    fnd::AcquireFence();
    if (header.m_formatVersion != SHARED_PAD_RING_FORMAT_VERSION) {
        throw SharedPadRingError(Cause::kWrongVersion,
                                 objectName + " is a shared pad ring of format version " +
                                     std::to_string(header.m_formatVersion) +
                                     "; this library reads version " +
                                     std::to_string(SHARED_PAD_RING_FORMAT_VERSION));
    }
    if (header.m_ringSize != static_cast<s32>(sizeof(PadLifoRing))) {
        throw SharedPadRingError(Cause::kWrongRingSize,
                                 objectName + " holds a " + std::to_string(header.m_ringSize) +
                                     "-byte ring; a pad ring is " +
                                     std::to_string(sizeof(PadLifoRing)) + " bytes");
    }
    const s32 offset = header.m_ringOffset;
    if (offset < static_cast<s32>(sizeof(SharedPadRingHeader)) ||
        offset % static_cast<s32>(alignof(PadLifoRing)) != 0) {
        throw SharedPadRingError(Cause::kWrongRingOffset,
                                 objectName + " puts its ring at offset " + std::to_string(offset) +
                                     ", which is inside the header or not a multiple of " +
                                     std::to_string(alignof(PadLifoRing)));
    }
    if (size < static_cast<std::size_t>(offset) + sizeof(PadLifoRing)) {
        throw SharedPadRingError(Cause::kTooSmall, objectName + " is " + std::to_string(size) +
                                                       " bytes and ends before its ring (offset " +
                                                       std::to_string(offset) + ", " +
                                                       std::to_string(sizeof(PadLifoRing)) +
                                                       " bytes)");
    }
    return static_cast<std::size_t>(offset);
}

SharedPadRingError ProducerAliveError(const std::string& refusal, const void* mapping,
                                      std::size_t size) {
    // Only for the message: a pid read without ordering is at worst one producer old.
    const s32 pid = HasMagic(mapping, size) ? static_cast<s32>(HeaderAt(mapping).m_producerPid) : 0;
    return SharedPadRingError(
        Cause::kProducerAlive,
        refusal + (pid > 0 ? ": its producer, pid " + std::to_string(pid) + ", is running"
                           : ": another producer is making it or holds it"));
}

}  // namespace detail

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
    const bool locked = detail::TakeProducerLock(fd.Get(), objectName);
    // Looked at only now: while nobody holds the lock the object may still grow.
    const detail::ObjectStatus status = detail::StatusOf(fd.Get(), objectName);
    const detail::ObjectMapping mapping = detail::MapToLookAt(fd.Get(), status, objectName);
    if (!locked) {
        throw detail::ProducerAliveError(refusal, mapping.Get(), status.size);
    }
    if (!detail::HasMagic(mapping.Get(), status.size) &&
        !detail::LeftUnfinished(mapping.Get(), status.size)) {
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
                                           std::size_t size, std::size_t ringOffset, dev_t device,
                                           ino_t inode, bool holdsProducerLock)
    : m_name(std::move(name)),
      m_fd(fd),
      m_mapping(mapping),
      m_size(size),
      m_ringOffset(ringOffset),
      m_device(device),
      m_inode(inode),
      m_holdsProducerLock(holdsProducerLock) {}

SharedPadRingMapping::SharedPadRingMapping(SharedPadRingMapping&& other) noexcept
    : m_name(std::move(other.m_name)),
      m_fd(std::exchange(other.m_fd, -1)),
      m_mapping(std::exchange(other.m_mapping, nullptr)),
      m_size(std::exchange(other.m_size, 0)),
      m_ringOffset(other.m_ringOffset),
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

const SharedPadRingHeader& SharedPadRingMapping::Header() const {
    return detail::HeaderAt(m_mapping);
}

bool SharedPadRingMapping::ProducerAlive() const {
    return m_holdsProducerLock || detail::ProducerLockHeld(m_fd, m_name);
}

s32 SharedPadRingMapping::ProducerPid() const {
    return Header().m_producerPid;
}

s32 SharedPadRingMapping::ProducerCount() const {
    return Header().m_producerCount;
}

bool SharedPadRingMapping::StillLinked() const {
    return detail::NameLeadsTo(m_name, m_device, m_inode);
}

}  // namespace qor::hidlow::QVA
