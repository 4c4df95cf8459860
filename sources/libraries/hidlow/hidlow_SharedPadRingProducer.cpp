#include "qor/hidlow/QVA/hidlow_SharedPadRingProducer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "0%03o", static_cast<unsigned>(mode));
    return text;
}

void SetMode(int fd, const detail::ObjectStatus& status, mode_t mode,
             const std::string& objectName) {
    if (status.mode != mode && fchmod(fd, mode) != 0) {
        throw detail::SystemError("set the mode " + ModeText(mode) + " of", objectName);
    }
}

// The empty ring behind a complete header; the magic goes in last.
void Initialize(SharedPadRingObject& object) {
    SharedPadRingHeader& header = object.m_header;
    header.m_ringSize = sizeof(PadLifoRing);
    header.m_ringOffset = sizeof(SharedPadRingHeader);
    header.m_formatVersion = SHARED_PAD_RING_FORMAT_VERSION;
    header.m_deviceOffset = SHARED_PAD_DEVICE_OFFSET;
    header.m_deviceSize = sizeof(SharedPadDeviceBlock);
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
    for (char& byte : object.m_padding) {
        byte = 0;
    }
    object.m_device.m_reserved = 0;
    object.m_device.Write(false, 0, "");
    // release: pairs with the consumer's acquire after the magic; all of the above comes first
    fnd::ReleaseFence();
    header.m_magic = SHARED_PAD_RING_MAGIC;
}

// Refuses a ring no writer leaves, before anything about it changes.
void CheckTakeable(const PadLifoRing& ring, const std::string& refusal) {
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
}

// Makes the ring this producer's: records it in the header, then finishes a
// lap start the last one left half done. The controller the last one had is
// no longer known to be there. Returns the last producer's pid.
s32 TakeOver(SharedPadRingHeader& header, PadLifoRing& ring, SharedPadDeviceBlock& device) {
    const s32 previousPid = header.m_producerPid;
    header.m_producerPid = getpid();
    // release: pairs with the acquire after a consumer's count load; the pid comes first
    fnd::ReleaseFence();
    header.m_producerCount = header.m_producerCount + 1;
    ring.ResumeWriting();
    device.Write(false, device.m_connections, "");
    return previousPid;
}

}  // namespace

SharedPadRingProducer SharedPadRingProducer::CreateOrTakeOver(const std::string& name,
                                                              mode_t mode) {
    return Make(name, mode, true);
}

SharedPadRingProducer SharedPadRingProducer::Create(const std::string& name, mode_t mode) {
    return Make(name, mode, false);
}

SharedPadRingProducer SharedPadRingProducer::Make(const std::string& name, mode_t mode,
                                                  bool mayTakeOver) {
    const std::string objectName = ObjectName(name);
    const std::string refusal = "cannot produce into " + objectName;
    if ((mode & ~mode_t{0644}) != 0 || (mode & 0600) != 0600) {
        throw SharedPadRingError(Cause::kInvalidMode,
                                 "mode " + ModeText(mode) + " for " + objectName +
                                     ": the owner reads and writes, others may only read "
                                     "(0600, 0640, 0604 or 0644)");
    }
    for (int attempt = 1;; ++attempt) {
        // 0600 less the umask until SetMode below sets the mode asked for.
        bool created = true;
        int rawFd = detail::OpenObject(objectName, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (rawFd < 0 && errno == EEXIST) {
            if (!mayTakeOver) {
                throw SharedPadRingError(
                    Cause::kExists,
                    "cannot make " + objectName + ": a shared-memory object of that name exists");
            }
            created = false;
            rawFd = detail::OpenObject(objectName, O_RDWR, 0);
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
        detail::ObjectStatus status = detail::StatusOf(fd.Get(), objectName);
        // Before the lock, so that another user's object is not even held a moment.
        detail::CheckOwned(status, refusal);
        if (!detail::TakeProducerLockSoon(fd.Get(), objectName)) {
            throw detail::ProducerAliveError(refusal,
                                             detail::ReadHeader(fd.Get(), status, objectName));
        }
        status = detail::StatusOf(fd.Get(), objectName);
        if (!detail::NameLeadsTo(objectName, status.device, status.inode) && openAgainOrGiveUp()) {
            continue;
        }
        const detail::HeaderFields header = detail::ReadHeader(fd.Get(), status, objectName);

        const auto handOver = [&](ObjectMapping& mapping, std::size_t ringOffset,
                                  std::size_t deviceOffset, bool tookOver, s32 previousPid) {
            std::string ownedName = objectName;  // copied before the owners are released
            return SharedPadRingProducer(std::move(ownedName), fd.Release(), mapping.Release(),
                                         status.size, ringOffset, deviceOffset, status.device,
                                         status.inode, tookOver, previousPid);
        };
        if (created || detail::LeftUnfinished(header)) {  // new, or its maker died early
            // The mode before the size: a consumer shut out by the private
            // mode of a new object finds it empty, and waits for it.
            SetMode(fd.Get(), status, mode, objectName);
            try {
                detail::ReservePages(fd.Get(), sizeof(SharedPadRingObject), objectName);
            } catch (const SharedPadRingError&) {
                if (created) {
                    shm_unlink(objectName.c_str());  // under the lock, the name leads to it
                }
                throw;
            }
            status.size = sizeof(SharedPadRingObject);
            ObjectMapping mapping = detail::Map(fd.Get(), status.size, true, objectName);
            Initialize(*static_cast<SharedPadRingObject*>(mapping.Get()));
            return handOver(mapping, sizeof(SharedPadRingHeader), SHARED_PAD_DEVICE_OFFSET, false,
                            0);
        }
        const std::size_t ringOffset = detail::CheckHeader(fd.Get(), header, objectName);
        const std::size_t deviceOffset =
            detail::CheckDeviceBlock(fd.Get(), header, ringOffset, objectName);
        ObjectMapping mapping = detail::Map(fd.Get(), status.size, true, objectName);
        auto* object = static_cast<char*>(mapping.Get());
        auto& ring = *reinterpret_cast<PadLifoRing*>(object + ringOffset);
        CheckTakeable(ring, refusal);
        SetMode(fd.Get(), status, mode, objectName);
        const s32 previousPid =
            TakeOver(*reinterpret_cast<SharedPadRingHeader*>(object), ring,
                     *reinterpret_cast<SharedPadDeviceBlock*>(object + deviceOffset));
        return handOver(mapping, ringOffset, deviceOffset, true, previousPid);
    }
}

SharedPadRingProducer::SharedPadRingProducer(std::string name, int fd, void* mapping,
                                             std::size_t size, std::size_t ringOffset,
                                             std::size_t deviceOffset, dev_t device, ino_t inode,
                                             bool tookOver, s32 previousProducerPid)
    : SharedPadRingMapping(std::move(name), fd, mapping, size, ringOffset, deviceOffset, device,
                           inode, true),
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

SharedPadDeviceBlock& SharedPadRingProducer::WritableDeviceBlock() {
    return const_cast<SharedPadDeviceBlock&>(DeviceBlock());
}

void SharedPadRingProducer::ConnectDevice(const std::string& name) {
    SharedPadDeviceBlock& block = WritableDeviceBlock();
    block.Write(true, block.m_connections + 1, name.c_str());
}

void SharedPadRingProducer::DisconnectDevice() {
    SharedPadDeviceBlock& block = WritableDeviceBlock();
    block.Write(false, block.m_connections, "");
}

void SharedPadRingProducer::RemoveName() {
    if (ProducingHere() && StillLinked() && shm_unlink(Name().c_str()) != 0) {
        throw detail::SystemError("remove", Name());
    }
}

}  // namespace qor::hidlow::QVA
