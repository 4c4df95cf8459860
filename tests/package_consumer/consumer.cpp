// Built against the installed package only: one call into each library, so
// that a header, a library or a link dependency the package lacks fails the
// build or the run. What the calls do is tested elsewhere.
#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingMapping.h"

int main() {
    qor::hidlow::QVA::PadLifoRing ring;
    const qor::hid::QVA::PadStatus sample = {1, 0, 0, {0, 0}};
    ring.WriteData(&sample, 1);  // takes a lap tick from the platform library
    const bool linked = qor::hidlow::QVA::SharedPadRingMapping::ObjectName("pad") == "/pad";
    return linked && ring.m_writePointer == 0 ? 0 : 1;
}
