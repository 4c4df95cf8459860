// padring dump: who produces into a ring, its control fields and its eight
// slots, taken as one consistent snapshot, with the lap each slot belongs to
// and any control field no healthy ring can hold.
#include <cstdio>
#include <cstring>
#include <string>

#include "Commands.h"
#include "PadPattern.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRingSnapshot.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"

namespace padring {
namespace {

using qor::hid::QVA::PadStatus;
using qor::hidlow::QVA::PAD_LIFORING_BUFFER_NUM;
using qor::hidlow::QVA::PadLifoRing;
using qor::hidlow::QVA::PadLifoRingDamage;
using qor::hidlow::QVA::PadLifoRingSnapshot;
using qor::hidlow::QVA::SharedPadRingConsumer;

constexpr qor::s32 kAttempts = 1000;

// Which lap each slot's sample belongs to.
const char* LapOf(const PadLifoRingSnapshot& s, int slot) {
    const bool lapStarting = s.writePointer == 0 && s.tickWriteZero == s.oldTickWriteZero;
    if (s.writePointer < 0) {
        return "unwritten";
    }
    if (lapStarting) {
        return slot == 0 ? "next" : s.tickWriteZero >= 0 ? "current" : "unwritten";
    }
    if (slot <= s.writePointer) {
        return "current";
    }
    return s.oldTickWriteZero >= 0 ? "previous" : "unwritten";
}

std::string LapTickText(const char* lap, const PadLifoRingSnapshot& s) {
    if (std::strcmp(lap, "current") == 0) {
        return std::to_string(s.tickWriteZero);
    }
    if (std::strcmp(lap, "previous") == 0) {
        return std::to_string(s.oldTickWriteZero);
    }
    return "-";
}

std::string ProducerText(const SharedPadRingConsumer& ring) {
    const qor::s32 pid = ring.ProducerPid();
    const std::string count = std::to_string(ring.ProducerCount());
    if (ring.ProducerAlive()) {
        return "pid " + std::to_string(pid) + " (producer " + count + " of this ring)";
    }
    return "none (" + (pid > 0 ? "pid " + std::to_string(pid) + " is gone" : "the last stopped") +
           "; " + count + " so far)";
}

// A control field's line: what it means, or why no healthy ring holds it.
void PrintControl(const char* field, long long value, const char* meaning,
                  const PadLifoRingDamage& damage) {
    const bool damaged = damage.field != nullptr && std::strcmp(damage.field, field) == 0;
    std::printf("  %-18s %20lld  %s%s\n", field, value, damaged ? "DAMAGED: " : "",
                damaged ? damage.reason : meaning);
}

}  // namespace

int RunDump(const ReadOptions& options) {
    const SharedPadRingConsumer ring = SharedPadRingConsumer::Open(options.name, options.owner);
    PadLifoRingSnapshot s;
    const bool consistent = ring.Ring().TakeSnapshot(&s, kAttempts);
    const PadLifoRingDamage damage = s.Damage();
    const bool healthy = damage.field == nullptr;

    std::printf(
        "pad ring %s: %zu-byte shared-memory object (%s), the %zu-byte ring at offset %zu\n",
        ring.Name().c_str(), ring.ObjectSize(), ring.OwnerAndMode().c_str(), sizeof(PadLifoRing),
        ring.RingOffset());
    std::printf("  producer: %s\n", ProducerText(ring).c_str());
    if (!consistent) {
        std::printf("the writer kept moving: fields below may come from different moments\n");
    }
    PrintControl("m_writePointer", s.writePointer, "slot of the newest sample", damage);
    PrintControl("m_tickWriteZero", s.tickWriteZero, "tick of the current lap", damage);
    PrintControl("m_oldTickWriteZero", s.oldTickWriteZero, "tick of the previous lap", damage);
    std::printf(
        "  m_Svr2Volume %g, m_RawButtons 0x%08x, m_RawAnalogStick (%d, %d): not used by "
        "the ring\n",
        static_cast<double>(s.svr2Volume), s.rawButtons, s.rawAnalogStick.x, s.rawAnalogStick.y);
    if (!healthy) {
        std::printf("  no writer leaves these fields so: readers report, producers refuse it\n");
    } else if (s.writePointer < 0) {
        std::printf("  empty: nothing has been written yet\n");
    } else if (s.writePointer == 0 && s.tickWriteZero == s.oldTickWriteZero) {
        std::printf(
            "  a lap is starting: slot 0 is published, its lap tick not yet, so readers take "
            "the slot before it as newest\n");
    }
    std::printf("%4s %-9s %20s %10s %10s %10s %7s %7s %10s\n", "slot", "lap", "lap tick", "hold",
                "trigger", "release", "stick x", "stick y", "sample");
    const int newest = healthy ? s.NewestSlot() : -1;
    for (int slot = 0; slot < PAD_LIFORING_BUFFER_NUM; ++slot) {
        const PadStatus& sample = s.buffers[slot];
        const char* lap = healthy ? LapOf(s, slot) : "?";
        const Sequence sequence = SequenceOf(sample);
        std::printf("%4d %-9s %20s 0x%08x 0x%08x 0x%08x %7d %7d %10s%s\n", slot, lap,
                    LapTickText(lap, s).c_str(), sample.hold, sample.trigger, sample.release,
                    sample.stick.x, sample.stick.y,
                    sequence >= 0 ? std::to_string(sequence).c_str() : "-",
                    slot == newest ? "  <- newest" : "");
    }
    return healthy ? kSuccess : kFailure;
}

}  // namespace padring
