// Helpers shared by the ring tests: padring's pad pattern (its samples reveal
// tearing), a driven tick, and a break handler that records reports and
// returns.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "PadPattern.h"
#include "qor/dbg/dbg_Enum.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"
#include "qor/os/os_Tick.h"

namespace qor::test {

using hid::QVA::PadStatus;
using hidlow::QVA::PadLifoRing;
using padring::PadSample;
using padring::SequenceOf;

inline void MakeEmpty(PadLifoRing& ring) {
    ring.m_writePointer = -1;
    ring.m_tickWriteZero = -1;
    ring.m_oldTickWriteZero = -1;
}

// The sample in a slot, read past the processor layer: what a test looks at is
// no access of the ring's.
inline std::int64_t SequenceInSlot(const hidlow::QVA::IPadStatus& slot) {
    return SequenceOf(PadStatus{
        slot.hold.m_v, slot.trigger.m_v, slot.release.m_v, {slot.stick.x.m_v, slot.stick.y.m_v}});
}

// Writes samples numbered 0, 1, 2, ... in batches: sample n goes to slot n % 8.
// Allocates nothing, so it also runs inside a model checker's threads.
class SequenceWriter {
public:
    static constexpr int kMaxBatch = 32;

    explicit SequenceWriter(PadLifoRing& ring) : m_ring(ring) {}

    // Zero or a negative count writes nothing (through a valid pointer).
    void Write(int count) {
        PadStatus batch[kMaxBatch];
        for (int i = 0; i < count && i < kMaxBatch; ++i) {
            batch[i] = PadSample(m_next++);
        }
        m_ring.WriteData(batch, count < kMaxBatch ? count : kMaxBatch);
    }

    std::int64_t& Next() { return m_next; }

private:
    PadLifoRing& m_ring;
    std::int64_t m_next = 0;
};

struct BreakReport {
    qordbgBreakReason reason;
    std::string fileName;
    int line;
    std::string message;
};

// Installs a handler that records each report and returns, like a debugger
// that continues; restores the previous handler on destruction.
class RecordingBreakHandler {
public:
    RecordingBreakHandler() : m_previous(dbg::SetBreakHandler(&Record)) { s_reports.clear(); }
    ~RecordingBreakHandler() { dbg::SetBreakHandler(m_previous); }
    RecordingBreakHandler(const RecordingBreakHandler&) = delete;
    RecordingBreakHandler& operator=(const RecordingBreakHandler&) = delete;

    std::vector<BreakReport> Take() {
        std::lock_guard<std::mutex> lock(s_mutex);
        std::vector<BreakReport> reports;
        reports.swap(s_reports);
        return reports;
    }

private:
    static void Record(qordbgBreakReason reason, const char* fileName, int line,
                       const char* message) {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_reports.push_back(BreakReport{reason, fileName, line, message});
    }

    static inline std::vector<BreakReport> s_reports;
    static inline std::mutex s_mutex;

    dbg::BreakHandler m_previous;
};

// Drives the system tick: each call returns the next multiple of kStep, so a
// test knows lap k's tick is k * kStep.
class SteppedTick {
public:
    static constexpr s64 kStep = 1000;

    SteppedTick() : m_previous(svc::SetSystemTickSource(&Next)) { Calls() = 0; }
    ~SteppedTick() { svc::SetSystemTickSource(m_previous); }
    SteppedTick(const SteppedTick&) = delete;
    SteppedTick& operator=(const SteppedTick&) = delete;

    static int& Calls() {
        static int calls = 0;
        return calls;
    }

private:
    static s64 Next() { return ++Calls() * kStep; }

    svc::SystemTickSource m_previous;
};

}  // namespace qor::test
