#include "qor/hidlow/QVA/hidlow_SharedPadRingProducer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "hidlow_SharedObjectFile.h"
#include "qor/fnd/fnd_Fence.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRingSnapshot.h"

namespace qor::hidlow::QVA {
namespace {

using Cause = SharedPadRingError::Cause;
using detail::FileDescriptor;
using detail::ObjectMapping;

// How often the name may vanish or change between opening it and locking it
// (a Remove racing with this producer) before giving up.
constexpr int kOpenAttempts = 8;
// A ring with no writer stands still: one copy is enough unless something
// other than a producer writes it.
constexpr s32 kSnapshotAttempts = 100;
// Besides a producer, a Remove or a starting producer that is about to give
// up holds the lock for a moment; a producer holds it for good.
constexpr int kLockAttempts = 20;
constexpr auto kLockRetryPause = std::chrono::milliseconds(1);

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "0%03o", static_cast<unsigned>(mode));
    return text;
}

bool TakeProducerLockSoon(int fd, const std::string& objectName) {
    for (int attempt = 1;; ++attempt) {
        if (detail::TakeProducerLock(fd, objectName)) {
            return true;
        }
        if (attempt == kLockAttempts) {
            return false;
        }
        std::this_thread::sleep_for(kLockRetryPause);
    }
}

// The empty ring behind a complete header; the magic goes in last.
void Initialize(SharedPadRingObject& object) {
    SharedPadRingHeader& header = object.m_header;
    header.m_ringSize = sizeof(PadLifoRing);
    header.m_ringOffset = sizeof(SharedPadRingHeader);
    header.m_formatVersion = SHARED_PAD_RING_FORMAT_VERSION;
    for (s32& word : header.m_reserved) {
        word = 0;
    }
    header.m_producerPid = getpid();
    header.m_producerCount = 1;
    PadLifoRing& ring = object.m_ring;
    ring.m_writePointer = -1;
    ring.m_tickWriteZero = -1;
    ring.m_oldTickWriteZero = -1;
    ring.m_Svr2Volume = 0;
    ring.m_RawButtons = 0;
    ring.m_RawAnalogStick.x = 0;
    ring.m_RawAnalogStick.y = 0;
    // release: pairs with the consumer's acquire after the magic; all of the above comes first
    fnd::ReleaseFence();
    header.m_magic = SHARED_PAD_RING_MAGIC;
}

// Readies the ring of a producer that is gone for this one: refuses a ring no
// writer leaves, finishes a lap start the last one left half done.
s32 TakeOver(SharedPadRingHeader& header, PadLifoRing& ring, const std::string& refusal) {
    PadLifoRingSnapshot snapshot;
    if (!ring.TakeSnapshot(&snapshot, kSnapshotAttempts)) {
        throw SharedPadRingError(Cause::kDamaged,
                                 refusal + ": its ring keeps changing though no producer holds it");
    }
    const PadLifoRingDamage damage = snapshot.Damage();
    if (damage.field != nullptr) {
        throw SharedPadRingError(Cause::kDamaged, refusal + ": its ring is damaged (" +
                                                      damage.field + " " + damage.reason + ")");
    }
    ring.ResumeWriting();
    const s32 previousPid = header.m_producerPid;
    header.m_producerCount = header.m_producerCount + 1;
    header.m_producerPid = getpid();
    return previousPid;
}

}  // namespace

SharedPadRingProducer SharedPadRingProducer::CreateOrTakeOver(const std::string& name,
                                                              mode_t mode) {
    const std::string objectName = ObjectName(name);
    const std::string refusal = "cannot produce into " + objectName;
    if ((mode & ~mode_t{0644}) != 0 || (mode & 0600) != 0600) {
        throw SharedPadRingError(Cause::kInvalidMode,
                                 "mode " + ModeText(mode) + " for " + objectName +
                                     ": the owner reads and writes, others may only read "
                                     "(0600, 0640, 0604 or 0644)");
    }
    for (int attempt = 1;; ++attempt) {
        // 0600 less the umask until fchmod below sets the mode asked for.
        bool created = true;
        int rawFd = shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        if (rawFd < 0 && errno == EEXIST) {
            created = false;
            rawFd = shm_open(objectName.c_str(), O_RDWR, 0);
        }
        // A Remove between the two opens, or between the open and the lock,
        // takes the name away: open again, a few times.
        const auto openAgainOrGiveUp = [&] {
            if (attempt < kOpenAttempts) {
                return true;
            }
            throw SharedPadRingError(
                Cause::kNotFound,
                refusal + ": it keeps being removed while this producer opens it");
        };
        if (rawFd < 0 && errno == ENOENT && openAgainOrGiveUp()) {
            continue;
        }
        FileDescriptor fd(rawFd);
        if (fd.Get() < 0) {
            throw detail::SystemError(created ? "create" : "open", objectName);
        }
        if (!TakeProducerLockSoon(fd.Get(), objectName)) {
            const detail::ObjectStatus status = detail::StatusOf(fd.Get(), objectName);
            const ObjectMapping mapping = detail::MapToLookAt(fd.Get(), status, objectName);
            throw detail::ProducerAliveError(refusal, mapping.Get(), status.size);
        }
        detail::ObjectStatus status = detail::StatusOf(fd.Get(), objectName);
        if (!detail::NameLeadsTo(objectName, status.device, status.inode) && openAgainOrGiveUp()) {
            continue;
        }
        // Before anything is written: a producer that fails here leaves the
        // object as it found it.
        if (status.mode != mode && fchmod(fd.Get(), mode) != 0) {
            throw detail::SystemError("set the mode " + ModeText(mode) + " of", objectName);
        }

        bool fresh = created || status.size == 0;
        ObjectMapping mapping = detail::Map(
            fd.Get(), fresh ? sizeof(SharedPadRingObject) : status.size, true, objectName);
        if (!fresh && detail::LeftUnfinished(mapping.Get(), status.size)) {
            fresh = true;  // its maker died before the magic: make it again
        }
        std::size_t ringOffset = sizeof(SharedPadRingHeader);
        s32 previousPid = 0;
        if (fresh) {
            if (ftruncate(fd.Get(), sizeof(SharedPadRingObject)) != 0) {
                throw detail::SystemError("size", objectName);
            }
            status.size = sizeof(SharedPadRingObject);
            Initialize(*static_cast<SharedPadRingObject*>(mapping.Get()));
        } else {
            ringOffset = detail::CheckHeader(mapping.Get(), status.size, objectName);
            auto* object = static_cast<char*>(mapping.Get());
            previousPid = TakeOver(*reinterpret_cast<SharedPadRingHeader*>(object),
                                   *reinterpret_cast<PadLifoRing*>(object + ringOffset), refusal);
        }
        std::string ownedName = objectName;  // copied before the owners are released
        return SharedPadRingProducer(std::move(ownedName), fd.Release(), mapping.Release(),
                                     status.size, ringOffset, status.device, status.inode, !fresh,
                                     previousPid);
    }
}

SharedPadRingProducer::SharedPadRingProducer(std::string name, int fd, void* mapping,
                                             std::size_t size, std::size_t ringOffset, dev_t device,
                                             ino_t inode, bool tookOver, s32 previousProducerPid)
    : SharedPadRingMapping(std::move(name), fd, mapping, size, ringOffset, device, inode, true),
      m_tookOver(tookOver),
      m_previousProducerPid(previousProducerPid),
      m_producerProcess(getpid()) {}

SharedPadRingProducer& SharedPadRingProducer::operator=(SharedPadRingProducer&& other) noexcept {
    if (this != &other) {
        StopProducing();
        SharedPadRingMapping::operator=(std::move(other));
        m_tookOver = other.m_tookOver;
        m_previousProducerPid = other.m_previousProducerPid;
        m_producerProcess = other.m_producerProcess;
    }
    return *this;
}

SharedPadRingProducer::~SharedPadRingProducer() {
    StopProducing();
}

bool SharedPadRingProducer::ProducingHere() const {
    return HoldsProducerLock() && getpid() == m_producerProcess;
}

void SharedPadRingProducer::StopProducing() {
    if (ProducingHere()) {
        // The lock is dropped when the base closes the descriptor, after this.
        const_cast<SharedPadRingHeader&>(Header()).m_producerPid = 0;
    }
}

PadLifoRing& SharedPadRingProducer::Ring() {
    return const_cast<PadLifoRing&>(SharedPadRingMapping::Ring());
}

void SharedPadRingProducer::RemoveName() {
    if (ProducingHere() && StillLinked() && shm_unlink(Name().c_str()) != 0) {
        throw detail::SystemError("remove", Name());
    }
}

}  // namespace qor::hidlow::QVA
