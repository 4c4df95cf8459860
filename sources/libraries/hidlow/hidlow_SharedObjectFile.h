// The system calls behind shared pad rings, kept out of the public headers:
// descriptors and mappings that clean up after themselves, the producer lock
// and the header check.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <utility>

#include "qor/hidlow/QVA/hidlow_SharedPadRingError.h"

namespace qor::hidlow::QVA::detail {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return m_fd; }
    int Release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

class ObjectMapping {
public:
    ObjectMapping(void* address, std::size_t size) : m_address(address), m_size(size) {}
    ~ObjectMapping();
    ObjectMapping(const ObjectMapping&) = delete;
    ObjectMapping& operator=(const ObjectMapping&) = delete;

    void* Get() const { return m_address; }
    void* Release() { return std::exchange(m_address, nullptr); }

private:
    void* m_address;
    std::size_t m_size;
};

// The error for a failed system call, with errno's text.
SharedPadRingError SystemError(const std::string& action, const std::string& objectName);

struct ObjectStatus {
    std::size_t size;
    dev_t device;
    ino_t inode;
    mode_t mode;  // permission bits only
};

ObjectStatus StatusOf(int fd, const std::string& objectName);

// Opens an object that must already exist; throws kNotFound as "refusal: no
// shared-memory object has that name".
FileDescriptor OpenExisting(const std::string& objectName, int flags, const std::string& refusal);

// Whether objectName leads to the object with this device and inode.
bool NameLeadsTo(const std::string& objectName, dev_t device, ino_t inode);

// Maps size bytes of the object, read-only unless writable.
ObjectMapping Map(int fd, std::size_t size, bool writable, const std::string& objectName);

// The whole object, read-only, to look at; nothing when it is empty.
ObjectMapping MapToLookAt(int fd, const ObjectStatus& status, const std::string& objectName);

// The producer lock: an open-file-description write lock on the whole object,
// which the kernel drops when the last descriptor of that description closes,
// however its process ends. TakeProducerLock returns false while another
// description holds it; ProducerLockHeld tests it without taking it.
bool TakeProducerLock(int fd, const std::string& objectName);
bool ProducerLockHeld(int fd, const std::string& objectName);

// Whether the object starts with the pad ring magic.
bool HasMagic(const void* mapping, std::size_t size);

// A producer that died while making the object leaves it empty, or sized but
// without its magic. Anything else without the magic belongs to someone else.
bool LeftUnfinished(const void* mapping, std::size_t size);

// Checks the header of a complete object and returns where its ring starts.
std::size_t CheckHeader(const void* mapping, std::size_t size, const std::string& objectName);

// "cannot ... /pad: its producer, pid N, is running": the refusal while a
// producer holds the ring, with the pid its header records (if any).
SharedPadRingError ProducerAliveError(const std::string& refusal, const void* mapping,
                                      std::size_t size);

}  // namespace qor::hidlow::QVA::detail
