// padring dump: the control fields and the eight slots of a live ring, taken
// as one consistent snapshot, with the lap each slot belongs to.
#include <cstdio>
#include <string>

#include "Commands.h"
#include "PadPattern.h"
#include "SharedRing.h"
#include "qor/fnd/fnd_Fence.h"

namespace padring {
namespace {

using qor::hid::QVA::PadStatus;
using qor::hidlow::QVA::PAD_LIFORING_BUFFER_NUM;
using qor::hidlow::QVA::PadLifoRing;

constexpr int kAttempts = 1000;

struct Controls {
    qor::s32 writePointer;
    qor::s64 tickWriteZero;
    qor::s64 oldTickWriteZero;

    bool operator==(const Controls& other) const {
        return writePointer == other.writePointer && tickWriteZero == other.tickWriteZero &&
               oldTickWriteZero == other.oldTickWriteZero;
    }
};

struct Snapshot {
    Controls controls;
    PadStatus slots[PAD_LIFORING_BUFFER_NUM];
    qor::f32 svr2Volume;
    qor::bit32 rawButtons;
    qor::s16 rawStickX;
    qor::s16 rawStickY;
};

// In the reader's order: pointer, lap tick, old lap tick.
Controls ReadControls(const PadLifoRing& ring) {
    const qor::s32 writePointer = ring.m_writePointer;
    // acquire: pairs with the writer's release before each pointer store.
    qor::fnd::AcquireFence();
    const qor::s64 tickWriteZero = ring.m_tickWriteZero;
    // acquire: pairs with the writer's release before each lap tick store.
    qor::fnd::AcquireFence();
    return Controls{writePointer, tickWriteZero, ring.m_oldTickWriteZero};
}

// Reads everything the way a consumer does, starting over while the writer
// moves: controls (the pointer confirmed), slots, controls again. False when
// the writer never held still for the length of one snapshot.
bool TakeSnapshot(const PadLifoRing& ring, Snapshot* pSnapshot) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const Controls controls = ReadControls(ring);
        if (ring.m_writePointer != controls.writePointer) {
            continue;
        }
        // acquire: pairs with the writer's releases; the slots read below are no older than
        // the controls.
        qor::fnd::AcquireFence();
        pSnapshot->controls = controls;
        for (int slot = 0; slot < PAD_LIFORING_BUFFER_NUM; ++slot) {
            const auto& cell = ring.m_buffers[slot];
            pSnapshot->slots[slot] =
                PadStatus{cell.hold, cell.trigger, cell.release, {cell.stick.x, cell.stick.y}};
        }
        pSnapshot->svr2Volume = ring.m_Svr2Volume;
        pSnapshot->rawButtons = ring.m_RawButtons;
        pSnapshot->rawStickX = ring.m_RawAnalogStick.x;
        pSnapshot->rawStickY = ring.m_RawAnalogStick.y;
        // acquire: pairs with the writer's release before each slot's stores; a slot
        // rewritten during the copy shows in the controls read again below.
        qor::fnd::AcquireFence();
        if (ReadControls(ring) == controls) {
            return true;
        }
    }
    return false;
}

// Which lap each slot's sample belongs to, and which slot readers take as newest.
struct LapMap {
    const char* lap[PAD_LIFORING_BUFFER_NUM];
    int newest;  // -1: nothing to read
    const char* state;
};

LapMap MapLaps(const Controls& c) {
    LapMap map;
    map.newest = c.writePointer;
    map.state = nullptr;
    const bool lapStarting = c.writePointer == 0 && c.tickWriteZero == c.oldTickWriteZero;
    for (int slot = 0; slot < PAD_LIFORING_BUFFER_NUM; ++slot) {
        if (c.writePointer < 0) {
            map.lap[slot] = "unwritten";
        } else if (lapStarting) {
            map.lap[slot] = slot == 0 ? "next" : c.tickWriteZero >= 0 ? "current" : "unwritten";
        } else if (slot <= c.writePointer) {
            map.lap[slot] = "current";
        } else {
            map.lap[slot] = c.oldTickWriteZero >= 0 ? "previous" : "unwritten";
        }
    }
    if (c.writePointer < 0) {
        map.state = "empty: nothing has been written yet";
    } else if (lapStarting) {
        map.newest = c.tickWriteZero >= 0 ? PAD_LIFORING_BUFFER_NUM - 1 : -1;
        map.state =
            "a lap is starting: slot 0 is published, its lap tick not yet, so readers take the "
            "slot before it as newest";
    }
    return map;
}

std::string LapTickText(const char* lap, const Controls& c) {
    const std::string name = lap;
    if (name == "current") {
        return std::to_string(c.tickWriteZero);
    }
    if (name == "previous") {
        return std::to_string(c.oldTickWriteZero);
    }
    return "-";
}

}  // namespace

int RunDump(const std::string& name) {
    const SharedRing ring = SharedRing::Open(name, SharedRing::Access::ReadOnly);
    Snapshot snapshot;
    const bool consistent = TakeSnapshot(ring.Ring(), &snapshot);
    const Controls& c = snapshot.controls;
    const LapMap laps = MapLaps(c);

    std::printf("pad ring %s: %zu-byte shared-memory object, the %zu-byte ring at offset %zu\n",
                ring.Name().c_str(), ring.ObjectSize(), sizeof(PadLifoRing), ring.RingOffset());
    if (!consistent) {
        std::printf("the writer kept moving: fields below may come from different moments\n");
    }
    std::printf("  m_writePointer     %20d  slot of the newest sample\n", c.writePointer);
    std::printf("  m_tickWriteZero    %20lld  tick of the current lap\n",
                static_cast<long long>(c.tickWriteZero));
    std::printf("  m_oldTickWriteZero %20lld  tick of the previous lap\n",
                static_cast<long long>(c.oldTickWriteZero));
    std::printf(
        "  m_Svr2Volume %g, m_RawButtons 0x%08x, m_RawAnalogStick (%d, %d): not used by "
        "the ring\n",
        static_cast<double>(snapshot.svr2Volume), snapshot.rawButtons, snapshot.rawStickX,
        snapshot.rawStickY);
    if (laps.state != nullptr) {
        std::printf("  %s\n", laps.state);
    }
    std::printf("%4s %-9s %20s %10s %10s %10s %7s %7s %10s\n", "slot", "lap", "lap tick", "hold",
                "trigger", "release", "stick x", "stick y", "sample");
    for (int slot = 0; slot < PAD_LIFORING_BUFFER_NUM; ++slot) {
        const PadStatus& s = snapshot.slots[slot];
        const Sequence sequence = SequenceOf(s);
        std::printf("%4d %-9s %20s 0x%08x 0x%08x 0x%08x %7d %7d %10s%s\n", slot, laps.lap[slot],
                    LapTickText(laps.lap[slot], c).c_str(), s.hold, s.trigger, s.release, s.stick.x,
                    s.stick.y, sequence >= 0 ? std::to_string(sequence).c_str() : "-",
                    slot == laps.newest ? "  <- newest" : "");
    }
    return kSuccess;
}

}  // namespace padring
