#include "SharedRing.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace padring {
namespace {

using qor::hidlow::QVA::PadLifoRing;

// "QPR1" read as a little-endian word.
constexpr std::uint32_t kMagic = 0x31525051;

// What the shared-memory object holds: the header, then the ring record at a
// fixed offset. Openers check the header before they trust the ring.
struct SharedRingObject {
    std::atomic<std::uint32_t> magic;  // kMagic once the ring is in the empty state
    std::uint32_t ringSize;
    std::uint32_t ringOffset;
    std::uint32_t reserved;
    PadLifoRing ring;
};

static_assert(std::atomic<std::uint32_t>::is_always_lock_free,
              "the header word is shared between processes, so it must not hide a lock");
// The ring is the last member and a multiple of its alignment long, so this
// size puts it right behind the 16-byte header.
constexpr std::uint32_t kRingOffset = 16;
static_assert(sizeof(SharedRingObject) == kRingOffset + sizeof(PadLifoRing));

std::string Describe(const std::string& name) {
    return "shared-memory object " + name;
}

SharedRingError SystemError(const std::string& what, const std::string& name) {
    return SharedRingError("cannot " + what + " " + Describe(name) + ": " + std::strerror(errno));
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return m_fd; }

private:
    int m_fd;
};

const SharedRingObject& ObjectAt(const void* mapping) {
    return *static_cast<const SharedRingObject*>(mapping);
}

}  // namespace

std::string ShmObjectName(const std::string& name) {
    const std::string bare = !name.empty() && name[0] == '/' ? name.substr(1) : name;
    if (bare.empty()) {
        throw SharedRingError("the ring name is empty");
    }
    if (bare.find('/') != std::string::npos) {
        throw SharedRingError("ring name '" + name + "' has a '/' after its first character");
    }
    if (bare.size() > NAME_MAX || bare == "." || bare == "..") {
        throw SharedRingError("ring name '" + name + "' cannot name a shared-memory object");
    }
    return "/" + bare;
}

SharedRing SharedRing::Create(const std::string& name) {
    const std::string objectName = ShmObjectName(name);
    FileDescriptor fd(shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    if (fd.Get() < 0) {
        if (errno == EEXIST) {
            throw SharedRingError(Describe(objectName) +
                                  " already exists; if no producer uses it, remove it with: rm "
                                  "/dev/shm" +
                                  objectName);
        }
        throw SystemError("create", objectName);
    }
    auto fail = [&objectName](const char* what) {
        const SharedRingError error = SystemError(what, objectName);
        shm_unlink(objectName.c_str());
        return error;
    };
    struct stat status;
    if (ftruncate(fd.Get(), sizeof(SharedRingObject)) != 0 || fstat(fd.Get(), &status) != 0) {
        throw fail("size");
    }
    void* mapping =
        mmap(nullptr, sizeof(SharedRingObject), PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
    if (mapping == MAP_FAILED) {
        throw fail("map");
    }

    auto* object = new (mapping) SharedRingObject{};
    object->ringSize = sizeof(PadLifoRing);
    object->ringOffset = kRingOffset;
    object->ring.m_writePointer = -1;
    object->ring.m_tickWriteZero = -1;
    object->ring.m_oldTickWriteZero = -1;
    // release: pairs with the acquire load in Open; whoever sees the magic sees the empty state.
    object->magic.store(kMagic, std::memory_order_release);

    SharedRing ring(objectName, mapping, sizeof(SharedRingObject), true, status.st_dev,
                    status.st_ino);
    ring.m_unlinkingProcess = getpid();
    return ring;
}

SharedRing SharedRing::Open(const std::string& name, Access access) {
    const std::string objectName = ShmObjectName(name);
    const bool writable = access == Access::ReadWrite;
    FileDescriptor fd(shm_open(objectName.c_str(), writable ? O_RDWR : O_RDONLY, 0));
    if (fd.Get() < 0) {
        if (errno == ENOENT) {
            throw SharedRingError("no " + Describe(objectName) +
                                  "; start one with: padring produce --name " +
                                  objectName.substr(1));
        }
        throw SystemError("open", objectName);
    }
    struct stat status;
    if (fstat(fd.Get(), &status) != 0) {
        throw SystemError("inspect", objectName);
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    if (size < sizeof(SharedRingObject)) {
        throw SharedRingError(Describe(objectName) + " is " + std::to_string(size) +
                              " bytes, too small for a pad ring (" +
                              std::to_string(sizeof(SharedRingObject)) + ")");
    }
    void* mapping =
        mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd.Get(), 0);
    if (mapping == MAP_FAILED) {
        throw SystemError("map", objectName);
    }
    SharedRing ring(objectName, mapping, size, writable, status.st_dev, status.st_ino);

    const SharedRingObject& object = ObjectAt(mapping);
    // acquire: pairs with the release store in Create; the ring behind the magic is initialised.
    if (object.magic.load(std::memory_order_acquire) != kMagic ||
        object.ringSize != sizeof(PadLifoRing) || object.ringOffset != kRingOffset) {
        throw SharedRingError(Describe(objectName) + " is not a pad ring (no padring header)");
    }
    return ring;
}

SharedRing::SharedRing(std::string name, void* mapping, std::size_t size, bool writable,
                       dev_t device, ino_t inode)
    : m_name(std::move(name)),
      m_mapping(mapping),
      m_size(size),
      m_writable(writable),
      m_device(device),
      m_inode(inode) {}

SharedRing::SharedRing(SharedRing&& other) noexcept
    : m_name(std::move(other.m_name)),
      m_mapping(std::exchange(other.m_mapping, nullptr)),
      m_size(other.m_size),
      m_writable(other.m_writable),
      m_device(other.m_device),
      m_inode(other.m_inode),
      m_unlinkingProcess(std::exchange(other.m_unlinkingProcess, 0)) {}

SharedRing::~SharedRing() {
    if (m_mapping != nullptr) {
        munmap(m_mapping, m_size);
    }
    if (m_unlinkingProcess != 0 && m_unlinkingProcess == getpid() && StillLinked()) {
        shm_unlink(m_name.c_str());
    }
}

std::size_t SharedRing::RingOffset() const {
    return kRingOffset;
}

const PadLifoRing& SharedRing::Ring() const {
    return ObjectAt(m_mapping).ring;
}

PadLifoRing& SharedRing::WritableRing() {
    if (!m_writable) {
        throw SharedRingError(Describe(m_name) + " is mapped read-only");
    }
    return static_cast<SharedRingObject*>(m_mapping)->ring;
}

bool SharedRing::StillLinked() const {
    FileDescriptor fd(shm_open(m_name.c_str(), O_RDONLY, 0));
    struct stat status;
    return fd.Get() >= 0 && fstat(fd.Get(), &status) == 0 && status.st_dev == m_device &&
           status.st_ino == m_inode;
}

}  // namespace padring
