#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <utility>

#include "hidlow_SharedObjectFile.h"

namespace qor::hidlow::QVA {

SharedPadRingConsumer SharedPadRingConsumer::Open(const std::string& name) {
    using Cause = SharedPadRingError::Cause;
    const std::string objectName = ObjectName(name);
    detail::FileDescriptor fd(shm_open(objectName.c_str(), O_RDONLY, 0));
    if (fd.Get() < 0) {
        if (errno == ENOENT) {
            throw SharedPadRingError(
                Cause::kNotFound,
                "no shared pad ring " + objectName + ": no shared-memory object has that name");
        }
        throw detail::SystemError("open", objectName);
    }
    const detail::ObjectStatus status = detail::StatusOf(fd.Get(), objectName);
    detail::ObjectMapping mapping = status.size > 0
                                        ? detail::Map(fd.Get(), status.size, false, objectName)
                                        : detail::ObjectMapping(nullptr, 0);
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

}  // namespace qor::hidlow::QVA
