// Built against the installed package only: writes three samples, reads them
// back, in ordinary memory and in a ring in named shared memory.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingProducer.h"

namespace {

bool WritesAndReadsBack(qor::hidlow::QVA::PadLifoRing& writer,
                        const qor::hidlow::QVA::PadLifoRing& reader) {
    const qor::hid::QVA::PadStatus samples[3] = {
        {1, 0, 0, {0, 0}}, {2, 0, 0, {0, 0}}, {3, 0, 0, {0, 0}}};
    writer.WriteData(samples, 3);

    qor::hid::QVA::PadStatus received[7];
    qor::s32 count = 0;
    qor::s64 tick = -1;
    qor::s32 index = -1;
    reader.ReadData(received, 7, &count, &tick, &index);
    std::printf("received %d samples, newest hold %u\n", count, received[0].hold);
    return count == 3 && received[0].hold == 3 && received[2].hold == 1;
}

}  // namespace

int main() {
    qor::hidlow::QVA::PadLifoRing ring;
    ring.m_writePointer = -1;
    ring.m_tickWriteZero = -1;
    ring.m_oldTickWriteZero = -1;

    const std::string name = "qor-package-test-" + std::to_string(getpid());
    auto producer = qor::hidlow::QVA::SharedPadRingProducer::CreateOrTakeOver(name);
    const auto consumer = qor::hidlow::QVA::SharedPadRingConsumer::Open(name);
    producer.RemoveName();  // both mappings stay until the end
    const bool shared = WritesAndReadsBack(producer.Ring(), consumer.Ring());
    return WritesAndReadsBack(ring, ring) && shared ? 0 : 1;
}
