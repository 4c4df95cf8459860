#include "hidlow_LifoRingSteps.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"

namespace qor::hidlow::QVA {

void PadLifoRing::ResumeWriting() {
    // Whatever hands the ring over (in shared memory, the kernel's producer
    // lock) orders the stopped writer's stores before this call. The acquires
    // in ReadControls pair with that writer's releases, so what is stored
    // below follows what is read here for every reader too.
    const ControlSnapshot controls = ReadControls(*this);
    if (controls.writePointer != 0 || controls.tickWriteZero != controls.oldTickWriteZero) {
        return;
    }
    // Slot 0 is published but its lap is not: stamp it as WriteData would have.
    const s64 tickWriteZero = NextLapTick(controls.tickWriteZero);
    // release: pointer 0 (slot 0 behind it), read above, precede the new lap tick; pairs with
    // the reader's lap tick acquire
    fnd::ReleaseFence();
    m_tickWriteZero = tickWriteZero;
}

}  // namespace qor::hidlow::QVA
