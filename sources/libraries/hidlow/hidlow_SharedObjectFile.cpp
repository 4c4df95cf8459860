#include "hidlow_SharedObjectFile.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "qor/fnd/fnd_Fence.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingHeader.h"

namespace qor::hidlow::QVA::detail {
namespace {

using Cause = SharedPadRingError::Cause;

// Besides a producer, a Remove or a starting producer that is about to give
// up holds the lock for a moment; a producer holds it for good.
constexpr int kLockAttempts = 20;
constexpr auto kLockRetryPause = std::chrono::milliseconds(1);

// Where shm_open keeps objectName ("/pad") on Linux.
std::string PathOf(const std::string& objectName) {
    return "/dev/shm" + objectName;
}

flock WholeObject(short type) {
    flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // to the end, however long the object grows
    return lock;
}

const char* KindOf(mode_t type) {
    switch (type) {
        case S_IFIFO:
            return "a FIFO";
        case S_IFDIR:
            return "a directory";
        case S_IFSOCK:
            return "a socket";
        case S_IFCHR:
        case S_IFBLK:
            return "a device";
        default:
            return "not a regular file";
    }
}

void ReadBytes(int fd, void* destination, std::size_t size, off_t offset,
               const std::string& objectName) {
    const ssize_t got = pread(fd, destination, size, offset);
    if (got < 0) {
        throw SystemError("read", objectName);
    }
    if (static_cast<std::size_t>(got) != size) {
        throw SharedPadRingError(Cause::kTooSmall, objectName + " shrank while it was read");
    }
}

// A user's name, or "uid N" for a number no user has.
std::string UserText(uid_t user) {
    char buffer[1024];
    passwd entry;
    passwd* found = nullptr;
    const bool named =
        getpwuid_r(user, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr;
    return named ? std::string(entry.pw_name) : "uid " + std::to_string(user);
}

s32 FieldAt(const unsigned char* bytes, std::size_t offset) {
    s32 value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

// A page missing where the mapping is read would fault (SIGBUS) once
// /dev/shm is full. Every object its producer made has its pages.
void CheckMemoryBehind(int fd, std::size_t end, const char* what, const std::string& objectName) {
    const off_t firstHole = lseek(fd, 0, SEEK_HOLE);
    if (firstHole < 0) {
        throw SystemError("inspect", objectName);
    }
    if (static_cast<std::size_t>(firstHole) < end) {
        throw SharedPadRingError(Cause::kDamaged,
                                 objectName + " has no memory behind its bytes from " +
                                     std::to_string(firstHole) + " on, before " + what + " ends");
    }
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

int OpenObject(const std::string& objectName, int flags, mode_t mode) {
    const int fd = shm_open(objectName.c_str(), flags | O_NONBLOCK | O_NOFOLLOW, mode);
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}

SharedPadRingError OpenFailure(const std::string& objectName, const std::string& refusal) {
    if (errno == ENOENT) {
        return SharedPadRingError(Cause::kNotFound,
                                  refusal + ": no shared-memory object has that name");
    }
    const bool shutOut = errno == EACCES;
    const SharedPadRingError error = SystemError("open", objectName);
    struct stat status;
    if (!shutOut || lstat(PathOf(objectName).c_str(), &status) != 0) {
        return error;
    }
    const ObjectStatus named{static_cast<std::size_t>(status.st_size), status.st_dev, status.st_ino,
                             status.st_uid, status.st_mode & 07777};
    return SharedPadRingError(Cause::kSystem,
                              std::string(error.what()) + " (" + OwnerAndMode(named) + ")");
}

FileDescriptor OpenExisting(const std::string& objectName, int flags, const std::string& refusal) {
    const int fd = OpenObject(objectName, flags, 0);
    if (fd < 0) {
        throw OpenFailure(objectName, refusal);
    }
    return FileDescriptor(fd);
}

ObjectStatus StatusOf(int fd, const std::string& objectName) {
    struct stat status;
    if (fstat(fd, &status) != 0) {
        throw SystemError("inspect", objectName);
    }
    if (!S_ISREG(status.st_mode)) {
        throw SharedPadRingError(
            Cause::kNotAFile,
            objectName + " is " + KindOf(status.st_mode & S_IFMT) + ", not a shared-memory object");
    }
    return ObjectStatus{static_cast<std::size_t>(status.st_size), status.st_dev, status.st_ino,
                        status.st_uid, status.st_mode & 07777};
}

std::string OwnerAndMode(const ObjectStatus& status) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "0%03o", static_cast<unsigned>(status.mode));
    return "owner " + UserText(status.owner) + ", mode " + mode;
}

uid_t TrustedOwner(const std::string& owner, const std::string& objectName) {
    if (owner.empty()) {
        return geteuid();
    }
    char buffer[1024];
    passwd entry;
    passwd* found = nullptr;
    if (getpwnam_r(owner.c_str(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        return entry.pw_uid;
    }
    const bool number =
        owner.size() <= 9 && owner.find_first_not_of("0123456789") == std::string::npos;
    if (!number) {
        throw SharedPadRingError(
            Cause::kUnknownOwner,
            "cannot trust '" + owner + "' as the owner of " + objectName + ": no such user");
    }
    return static_cast<uid_t>(std::stoul(owner));
}

void CheckTrusted(const ObjectStatus& status, uid_t trustedOwner, const std::string& objectName) {
    const std::string refusal = "refusing " + objectName + " (" + OwnerAndMode(status) + "): ";
    if ((status.mode & (S_IWGRP | S_IWOTH)) != 0) {
        throw SharedPadRingError(Cause::kWritableByOthers,
                                 refusal +
                                     "its group or others may write it, so anyone could "
                                     "feed this consumer");
    }
    if (status.owner != geteuid() && status.owner != 0 && status.owner != trustedOwner) {
        const std::string trusted =
            geteuid() == 0
                ? "only root's rings or an owner named"
                : "only rings of this user (" + UserText(geteuid()) + "), root or an owner named";
        throw SharedPadRingError(Cause::kUntrustedOwner, refusal + trusted + " are trusted; name " +
                                                             UserText(status.owner) +
                                                             " as the owner to trust it");
    }
}

void CheckOwned(const ObjectStatus& status, const std::string& refusal) {
    if (status.owner != geteuid()) {
        throw SharedPadRingError(Cause::kNotOwner, refusal + " (" + OwnerAndMode(status) +
                                                       "): it belongs to another user than this "
                                                       "one (" +
                                                       UserText(geteuid()) + ")");
    }
}

bool NameLeadsTo(const std::string& objectName, dev_t device, ino_t inode) {
    struct stat status;
    return lstat(PathOf(objectName).c_str(), &status) == 0 && status.st_dev == device &&
           status.st_ino == inode;
}

bool NameReadable(const std::string& objectName) {
    return faccessat(AT_FDCWD, PathOf(objectName).c_str(), R_OK, AT_EACCESS) == 0;
}

bool BeingMade(const std::string& objectName) {
    struct stat status;
    return lstat(PathOf(objectName).c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           status.st_size == 0;
}

ObjectMapping Map(int fd, std::size_t size, bool writable, const std::string& objectName) {
    void* address =
        mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
        throw SystemError("map", objectName);
    }
    return ObjectMapping(address, size);
}

void ReservePages(int fd, std::size_t size, const std::string& objectName) {
    const int error = posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (error != 0) {
        errno = error;
        throw SystemError("reserve memory for", objectName);
    }
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

bool TakeProducerLockSoon(int fd, const std::string& objectName) {
    for (int attempt = 1;; ++attempt) {
        if (TakeProducerLock(fd, objectName)) {
            return true;
        }
        if (attempt == kLockAttempts) {
            return false;
        }
        std::this_thread::sleep_for(kLockRetryPause);
    }
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

HeaderFields ReadHeader(int fd, const ObjectStatus& status, const std::string& objectName) {
    HeaderFields header{status.size, 0, 0, 0, 0, 0, 0, 0, 0};
    if (status.size < sizeof(SharedPadRingHeader)) {
        return header;
    }
    unsigned char bytes[offsetof(SharedPadRingHeader, m_deviceSize) + sizeof(s32)];
    ReadBytes(fd, bytes, sizeof header.magic, 0, objectName);
    std::memcpy(&header.magic, bytes, sizeof header.magic);
    if (header.magic != SHARED_PAD_RING_MAGIC) {
        return header;
    }
    // acquire: pairs with the creator's release before the magic; the fields read next are whole
    fnd::AcquireFence();
    ReadBytes(fd, bytes + sizeof header.magic, sizeof bytes - sizeof header.magic,
              sizeof header.magic, objectName);
    header.ringSize = FieldAt(bytes, offsetof(SharedPadRingHeader, m_ringSize));
    header.ringOffset = FieldAt(bytes, offsetof(SharedPadRingHeader, m_ringOffset));
    header.formatVersion = FieldAt(bytes, offsetof(SharedPadRingHeader, m_formatVersion));
    header.producerPid = FieldAt(bytes, offsetof(SharedPadRingHeader, m_producerPid));
    header.producerCount = FieldAt(bytes, offsetof(SharedPadRingHeader, m_producerCount));
    header.deviceOffset = FieldAt(bytes, offsetof(SharedPadRingHeader, m_deviceOffset));
    header.deviceSize = FieldAt(bytes, offsetof(SharedPadRingHeader, m_deviceSize));
    return header;
}

bool HasMagic(const HeaderFields& header) {
    return header.magic == SHARED_PAD_RING_MAGIC;
}

bool LeftUnfinished(const HeaderFields& header) {
    return header.objectSize == 0 ||
           (header.objectSize == sizeof(SharedPadRingObject) && header.magic == 0);
}

std::size_t CheckHeader(int fd, const HeaderFields& header, const std::string& objectName) {
    const std::string size = std::to_string(header.objectSize);
    if (header.objectSize < sizeof(SharedPadRingHeader)) {
        throw SharedPadRingError(Cause::kTooSmall, objectName + " is " + size +
                                                       " bytes, too small for a shared pad ring (" +
                                                       std::to_string(sizeof(SharedPadRingObject)) +
                                                       ")");
    }
    if (!HasMagic(header)) {
        throw SharedPadRingError(Cause::kNotARing,
                                 objectName + " is not a shared pad ring (no pad ring magic)");
    }
    if (header.formatVersion != SHARED_PAD_RING_FORMAT_VERSION) {
        throw SharedPadRingError(Cause::kWrongVersion,
                                 objectName + " is a shared pad ring of format version " +
                                     std::to_string(header.formatVersion) +
                                     "; this library reads version " +
                                     std::to_string(SHARED_PAD_RING_FORMAT_VERSION));
    }
    if (header.ringSize != static_cast<s32>(sizeof(PadLifoRing))) {
        throw SharedPadRingError(Cause::kWrongRingSize,
                                 objectName + " holds a " + std::to_string(header.ringSize) +
                                     "-byte ring; a pad ring is " +
                                     std::to_string(sizeof(PadLifoRing)) + " bytes");
    }
    const s32 offset = header.ringOffset;
    if (offset < static_cast<s32>(sizeof(SharedPadRingHeader)) ||
        offset % static_cast<s32>(alignof(PadLifoRing)) != 0) {
        throw SharedPadRingError(Cause::kWrongRingOffset,
                                 objectName + " puts its ring at offset " + std::to_string(offset) +
                                     ", which is inside the header or not a multiple of " +
                                     std::to_string(alignof(PadLifoRing)));
    }
    const std::size_t ringEnd = static_cast<std::size_t>(offset) + sizeof(PadLifoRing);
    if (header.objectSize < ringEnd) {
        throw SharedPadRingError(
            Cause::kTooSmall,
            objectName + " is " + size + " bytes and ends before its ring (offset " +
                std::to_string(offset) + ", " + std::to_string(sizeof(PadLifoRing)) + " bytes)");
    }
    CheckMemoryBehind(fd, ringEnd, "its ring", objectName);
    return static_cast<std::size_t>(offset);
}

std::size_t CheckDeviceBlock(int fd, const HeaderFields& header, std::size_t ringOffset,
                             const std::string& objectName) {
    const s32 offset = header.deviceOffset;
    const std::size_t end = static_cast<std::size_t>(offset) + sizeof(SharedPadDeviceBlock);
    const bool fits = offset >= static_cast<s32>(ringOffset + sizeof(PadLifoRing)) &&
                      offset % 8 == 0 && header.objectSize >= end;
    if (header.deviceSize != static_cast<s32>(sizeof(SharedPadDeviceBlock)) || !fits) {
        throw SharedPadRingError(Cause::kWrongDeviceBlock,
                                 objectName + " puts a " + std::to_string(header.deviceSize) +
                                     "-byte device block at offset " + std::to_string(offset) +
                                     "; it takes " + std::to_string(sizeof(SharedPadDeviceBlock)) +
                                     " bytes at a multiple of 8 between the ring and the end");
    }
    CheckMemoryBehind(fd, end, "its device block", objectName);
    return static_cast<std::size_t>(offset);
}

SharedPadRingError ProducerAliveError(const std::string& refusal, const HeaderFields& header) {
    // The pid names the lock's holder only if that process lives: a producer
    // that has just taken the lock has not recorded its own pid yet, and a
    // Remove records none.
    const s32 pid = HasMagic(header) ? header.producerPid : 0;
    const bool lives = pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
    return SharedPadRingError(
        Cause::kProducerAlive,
        refusal + (lives ? ": its producer, pid " + std::to_string(pid) + ", is running"
                         : ": another process holds it (a producer starting, or a remove)"));
}

}  // namespace qor::hidlow::QVA::detail
