// One pad ring in a named POSIX shared-memory object, so that a producer and
// its consumers in different processes use the same record. A small header in
// front of the ring tells a pad ring from any other object of that name; the
// ring itself keeps its own fixed layout.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <stdexcept>
#include <string>

#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"

namespace padring {

// Carries a one-line message that names the object.
class SharedRingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "name" or "/name" becomes "/name"; throws for a name that shm_open cannot take.
std::string ShmObjectName(const std::string& name);

class SharedRing {
public:
    enum class Access { ReadOnly, ReadWrite };

    // Creates the object (an existing one is an error), puts the ring into the
    // empty state and maps it for writing. The object is unlinked when the
    // creating process closes it; forked children that inherit it do not.
    static SharedRing Create(const std::string& name);

    // Maps an existing ring. Consumers need only ReadOnly: reading never writes.
    static SharedRing Open(const std::string& name, Access access);

    SharedRing(SharedRing&& other) noexcept;
    SharedRing& operator=(SharedRing&&) = delete;
    SharedRing(const SharedRing&) = delete;
    SharedRing& operator=(const SharedRing&) = delete;
    ~SharedRing();

    const std::string& Name() const { return m_name; }
    std::size_t ObjectSize() const { return m_size; }
    std::size_t RingOffset() const;

    const qor::hidlow::QVA::PadLifoRing& Ring() const;
    // Only for a ring created here or opened ReadWrite.
    qor::hidlow::QVA::PadLifoRing& WritableRing();

    // Whether the name still leads to this object: false once it has been
    // unlinked, even if another object of the same name has been made since.
    bool StillLinked() const;

private:
    SharedRing(std::string name, void* mapping, std::size_t size, bool writable, dev_t device,
               ino_t inode);

    std::string m_name;
    void* m_mapping;
    std::size_t m_size;
    bool m_writable;
    dev_t m_device;
    ino_t m_inode;
    pid_t m_unlinkingProcess = 0;  // 0: close without unlinking
};

}  // namespace padring
