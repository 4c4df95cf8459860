// The system calls behind shared pad rings, kept out of the public headers:
// descriptors and mappings that clean up after themselves, opening a name
// safely, the producer lock, and the header read without a mapping.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <utility>

#include "qor/hidlow/QVA/hidlow_SharedPadRingError.h"
#include "qor/types.h"

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

// shm_open without its surprises: never follows a symbolic link, never waits
// for the other end of a FIFO, and never returns descriptor 0, 1 or 2, where a
// closed standard stream would let the process's own output into the ring.
// Returns -1 with errno set when the open fails.
int OpenObject(const std::string& objectName, int flags, mode_t mode);

// The error for an open that failed with errno: kNotFound as "refusal: no
// shared-memory object has that name", otherwise kSystem, naming the owner
// and the mode when they shut this user out.
SharedPadRingError OpenFailure(const std::string& objectName, const std::string& refusal);

// Opens an object that must already exist; throws OpenFailure.
FileDescriptor OpenExisting(const std::string& objectName, int flags, const std::string& refusal);

struct ObjectStatus {
    std::size_t size;
    dev_t device;
    ino_t inode;
    uid_t owner;
    mode_t mode;  // permission bits only
};

// Throws kNotAFile for anything but a regular file (a FIFO, a directory, ...).
ObjectStatus StatusOf(int fd, const std::string& objectName);

// "owner root, mode 0644", for messages.
std::string OwnerAndMode(const ObjectStatus& status);

// The user a consumer names to trust besides itself and root, by name or by
// number; throws kUnknownOwner when there is no such user.
uid_t TrustedOwner(const std::string& owner, const std::string& objectName);

// A consumer reads only what no one but its owner can write, and what belongs
// to this user, root or trustedOwner (this user again when none is named):
// throws kWritableByOthers or kUntrustedOwner.
void CheckTrusted(const ObjectStatus& status, uid_t trustedOwner, const std::string& objectName);

// A producer writes only into what its effective user owns: throws kNotOwner.
void CheckOwned(const ObjectStatus& status, const std::string& refusal);

// Whether objectName leads to the object with this device and inode. Looks at
// the name without opening it, so a mode that shuts this user out does not
// make a linked object look removed.
bool NameLeadsTo(const std::string& objectName, dev_t device, ino_t inode);

// Whether this user could open the object the name leads to for reading now.
bool NameReadable(const std::string& objectName);

// After open failed with EACCES: whether the name is an object its producer
// has created but not sized yet. It is created private and given its mode
// before it is sized, so a consumer may be shut out only in that moment.
bool BeingMade(const std::string& objectName);

// Maps size bytes of the object, read-only unless writable.
ObjectMapping Map(int fd, std::size_t size, bool writable, const std::string& objectName);

// Gives the object size bytes of memory from the start, so that no store
// through a mapping of them can fault for want of a page (a full /dev/shm).
void ReservePages(int fd, std::size_t size, const std::string& objectName);

// The producer lock: an open-file-description write lock on the whole object,
// which the kernel drops when the last descriptor of that description closes,
// however its process ends. TakeProducerLock returns false while another
// description holds it; TakeProducerLockSoon tries again for a moment, as a
// Remove or a starting producer holds it only briefly; ProducerLockHeld tests
// it without taking it.
bool TakeProducerLock(int fd, const std::string& objectName);
bool TakeProducerLockSoon(int fd, const std::string& objectName);
bool ProducerLockHeld(int fd, const std::string& objectName);

// The header's fields read with pread rather than through a mapping, so that
// an object without memory behind it reads as zeros instead of faulting. The
// other fields are read only once the magic is there; all zero in an object
// smaller than a header.
struct HeaderFields {
    std::size_t objectSize;
    bit32 magic;
    s32 ringSize;
    s32 ringOffset;
    s32 formatVersion;
    s32 producerPid;
    s32 producerCount;
    s32 deviceOffset;
    s32 deviceSize;
};

HeaderFields ReadHeader(int fd, const ObjectStatus& status, const std::string& objectName);

bool HasMagic(const HeaderFields& header);

// A producer that died while making the object leaves it empty, or sized but
// without its magic. Anything else without the magic belongs to someone else.
bool LeftUnfinished(const HeaderFields& header);

// Checks the header of a complete object, and that memory lies behind it up to
// the ring's end, and returns where its ring starts.
std::size_t CheckHeader(int fd, const HeaderFields& header, const std::string& objectName);

// Checks where the header of a complete object puts the device block, after
// the ring at ringOffset, and that memory lies behind it; returns where it
// starts.
std::size_t CheckDeviceBlock(int fd, const HeaderFields& header, std::size_t ringOffset,
                             const std::string& objectName);

// "refusal: its producer, pid N, is running": the refusal while a producer
// holds the ring, with the pid its header records if that process lives.
SharedPadRingError ProducerAliveError(const std::string& refusal, const HeaderFields& header);

}  // namespace qor::hidlow::QVA::detail
