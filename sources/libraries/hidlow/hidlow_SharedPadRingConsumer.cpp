#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"

#include <fcntl.h>

#include <thread>
#include <utility>

#include "hidlow_SharedObjectFile.h"

namespace qor::hidlow::QVA {

SharedPadRingConsumer SharedPadRingConsumer::Open(const std::string& name) {
    using Cause = SharedPadRingError::Cause;
    const std::string objectName = ObjectName(name);
    detail::FileDescriptor fd =
        detail::OpenExisting(objectName, O_RDONLY, "no shared pad ring " + objectName);
    const detail::ObjectStatus status = detail::StatusOf(fd.Get(), objectName);
    detail::ObjectMapping mapping = detail::MapToLookAt(fd.Get(), status, objectName);
    if (detail::LeftUnfinished(mapping.Get(), status.size)) {
        throw SharedPadRingError(Cause::kNotReady,
                                 objectName +
                                     " has no header yet: its producer is making it, or "
                                     "died doing so and the next one will finish it");
    }
    const std::size_t ringOffset = detail::CheckHeader(mapping.Get(), status.size, objectName);
    std::string ownedName = objectName;  // copied before the owners are released
    return SharedPadRingConsumer(std::move(ownedName), fd.Release(), mapping.Release(), status.size,
                                 ringOffset, status.device, status.inode, false);
}

SharedPadRingConsumer SharedPadRingConsumer::OpenWhenMade(const std::string& name,
                                                          std::chrono::milliseconds patience) {
    using Cause = SharedPadRingError::Cause;
    constexpr auto kRetryPause = std::chrono::milliseconds(10);
    const auto giveUp = std::chrono::steady_clock::now() + patience;
    for (;;) {
        try {
            return Open(name);
        } catch (const SharedPadRingError& error) {
            const bool notMadeYet =
                error.GetCause() == Cause::kNotFound || error.GetCause() == Cause::kNotReady;
            if (!notMadeYet || std::chrono::steady_clock::now() >= giveUp) {
                throw;
            }
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

}  // namespace qor::hidlow::QVA
