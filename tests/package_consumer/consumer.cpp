// Built against the installed package only: writes three samples, reads them back.
#include <cstdio>

#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"

int main() {
    qor::hidlow::QVA::PadLifoRing ring;
    ring.m_writePointer = -1;
    ring.m_tickWriteZero = -1;
    ring.m_oldTickWriteZero = -1;

    const qor::hid::QVA::PadStatus samples[3] = {
        {1, 0, 0, {0, 0}}, {2, 0, 0, {0, 0}}, {3, 0, 0, {0, 0}}};
    ring.WriteData(samples, 3);

    qor::hid::QVA::PadStatus received[7];
    qor::s32 count = 0;
    qor::s64 tick = -1;
    qor::s32 index = -1;
    ring.ReadData(received, 7, &count, &tick, &index);
    std::printf("received %d samples, newest hold %u\n", count, received[0].hold);
    return count == 3 && received[0].hold == 3 && received[2].hold == 1 ? 0 : 1;
}
