#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"

#include <fcntl.h>

#include <cerrno>

#include <thread>
#include <utility>

#include "hidlow_SharedObjectFile.h"

namespace qor::hidlow::QVA {
namespace {

using Cause = SharedPadRingError::Cause;

SharedPadRingError NotReady(const std::string& objectName) {
    return SharedPadRingError(Cause::kNotReady,
                              objectName +
                                  " has no header yet: its producer is making it, or died doing "
                                  "so and the next one will finish it");
}

// A producer creates its object private and widens the mode before sizing it:
// shut out of an empty object, a consumer waits as for any unfinished one.
detail::FileDescriptor OpenToRead(const std::string& objectName) {
    for (int attempt = 1;; ++attempt) {
        const int fd = detail::OpenObject(objectName, O_RDONLY, 0);
        if (fd >= 0) {
            return detail::FileDescriptor(fd);
        }
        if (errno != EACCES || attempt > 1) {
            throw detail::OpenFailure(objectName, "no shared pad ring " + objectName);
        }
        if (detail::BeingMade(objectName)) {
            throw NotReady(objectName);
        }
        // Sized, so its mode is the one it keeps, and may have been set since.
    }
}

}  // namespace

SharedPadRingConsumer SharedPadRingConsumer::Open(const std::string& name,
                                                  const std::string& owner) {
    const std::string objectName = ObjectName(name);
    const uid_t trustedOwner = detail::TrustedOwner(owner, objectName);
    detail::FileDescriptor fd = OpenToRead(objectName);
    const detail::ObjectStatus status = detail::StatusOf(fd.Get(), objectName);
    // Judged on the object opened, not on the name: it cannot change in between.
    detail::CheckTrusted(status, trustedOwner, objectName);
    const detail::HeaderFields header = detail::ReadHeader(fd.Get(), status, objectName);
    if (detail::LeftUnfinished(header)) {
        throw NotReady(objectName);
    }
    const std::size_t ringOffset = detail::CheckHeader(fd.Get(), header, objectName);
    const std::size_t deviceOffset =
        detail::CheckDeviceBlock(fd.Get(), header, ringOffset, objectName);
    detail::ObjectMapping mapping = detail::Map(fd.Get(), status.size, false, objectName);
    std::string ownedName = objectName;  // copied before the owners are released
    return SharedPadRingConsumer(std::move(ownedName), fd.Release(), mapping.Release(), status.size,
                                 ringOffset, deviceOffset, status.device, status.inode, false);
}

SharedPadRingConsumer SharedPadRingConsumer::OpenWhenMade(const std::string& name,
                                                          std::chrono::milliseconds patience,
                                                          const std::string& owner) {
    constexpr auto kRetryPause = std::chrono::milliseconds(10);
    const bool forever = patience == std::chrono::milliseconds::max();
    const auto giveUp = std::chrono::steady_clock::now() + (forever ? kRetryPause : patience);
    for (;;) {
        try {
            return Open(name, owner);
        } catch (const SharedPadRingError& error) {
            const bool notMadeYet =
                error.GetCause() == Cause::kNotFound || error.GetCause() == Cause::kNotReady;
            if (!notMadeYet || (!forever && std::chrono::steady_clock::now() >= giveUp)) {
                throw;
            }
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

}  // namespace qor::hidlow::QVA
