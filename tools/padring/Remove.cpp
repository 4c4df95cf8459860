// padring remove: removes a ring that no producer holds, such as one left by a
// producer that was killed and will not be restarted.
#include <cstdio>
#include <string>

#include "Commands.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingMapping.h"

namespace padring {

int RunRemove(const std::string& name) {
    using qor::hidlow::QVA::SharedPadRingMapping;
    const std::string objectName = SharedPadRingMapping::ObjectName(name);
    SharedPadRingMapping::Remove(objectName);
    std::printf("removed %s\n", objectName.c_str());
    return kSuccess;
}

}  // namespace padring
