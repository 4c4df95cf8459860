// The real WriteData and ReadData under the C++ memory model: Relacy searches
// every interleaving of a writer thread and a reader thread together with
// every value each relaxed load may return, so it also sees the reorderings a
// weakly ordered multiprocessor performs. Leaving out either side of each
// fence pairing the ring relies on must fail it, proving the model can see.
#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

// After every standard header: relacy.hpp renames pthread and other calls.
#include "ReadRecord.h"
#include "RingTestSupport.h"
#include "fnd_RelacyInterlocked.h"

namespace {

using qor::fnd::Test::FenceFilter;
using qor::fnd::Test::g_shadowed;
using qor::fnd::Test::ShadowedRecord;
using namespace qor::test;

struct Scenario {
    const char* name;
    int written;            // samples written before the threads start
    int batch;              // samples the writer thread hands over in one call
    int behind;             // how far the reader's cursor is behind; -1 new
    unsigned contextBound;  // 0: full search
    // Well under what the search runs now (each count is printed): fewer means
    // the layer no longer reaches every cell access, or no longer lets loads
    // return every value the memory model allows.
    unsigned long leastIterations;
};

// Full search where it ends in seconds (of the lap boundary it had not ended
// after 25 minutes); otherwise every execution with at most contextBound
// preemptions, every value each relaxed load may return included.
const Scenario kEmptyRing{"empty ring, the very first lap start", 0, 1, -1, 0, 250};
const Scenario kSecondLap{"second lap, one behind", 9, 1, 1, 0, 120000};
const Scenario kLapBoundary{"lap boundary 7 -> 0, one behind", 8, 1, 1, 5, 200000};
const Scenario kSevenCopied{"seven copied while two are written", 20, 2, 8, 2, 40000};
// A cursor on the newest sample: the read that finds nothing new.
const Scenario kOnTheNewest{"second lap, cursor on the newest", 10, 1, 0, 0, 80};
const Scenario kLapStartOnTheNewest{"lap boundary, cursor on the newest", 8, 1, 0, 0, 300};

Scenario g_scenario;
const PadLifoRing* g_ring = nullptr;
RecordingBreakHandler* g_breaks = nullptr;
// Plain characters: heap blocks made while Relacy runs belong to its iteration.
char g_fault[256];

bool IsPointer(const volatile void* cell) {
    return cell == &g_ring->m_writePointer.m_v;
}

bool IsSlot(const volatile void* cell) {
    const auto* byte = static_cast<const volatile char*>(cell);
    const auto* slots = reinterpret_cast<const volatile char*>(g_ring->m_buffers);
    return byte >= slots && byte < slots + sizeof g_ring->m_buffers;
}

struct RingModel : rl::test_suite<RingModel, 2> {
    PadLifoRing ring;
    rl::atomic<qor::s64> cells[ShadowedRecord::kCells];
    ReadRecord read{g_scenario.behind < 0 ? -1 : g_scenario.written - 1 - g_scenario.behind};

    void before() {
        g_shadowed = ShadowedRecord{reinterpret_cast<const volatile char*>(&ring), cells,
                                    g_shadowed.leaveOut};
        g_ring = &ring;
        for (rl::atomic<qor::s64>& cell : cells) {
            cell.store(0, rl::mo_relaxed, $);
        }
        SteppedTick::Calls() = 0;
        MakeEmpty(ring);
        SequenceWriter(ring).Write(g_scenario.written);
    }

    void thread(unsigned index) {
        if (index == 0) {
            SequenceWriter writer(ring);
            writer.Next() = g_scenario.written;
            writer.Write(g_scenario.batch);
        } else {
            read.Read(ring);
        }
    }

    void after() {
        const std::vector<BreakReport> reports = g_breaks->Take();
        const std::string fault = reports.empty()
                                      ? InconsistentRead(read, g_scenario.written - 1,
                                                         g_scenario.written + g_scenario.batch - 1)
                                      : "report on a healthy ring: " + reports[0].message;
        std::snprintf(g_fault, sizeof g_fault, "%s", fault.c_str());
        RL_ASSERT(fault.empty());
    }
};

struct Verdict {
    bool failedOurCheck;
    unsigned long iterations;
    std::string fault;
};

Verdict Check(const Scenario& scenario, FenceFilter leaveOut) {
    g_scenario = scenario;
    g_shadowed.leaveOut = leaveOut;
    RecordingBreakHandler breaks;
    g_breaks = &breaks;
    SteppedTick tick;
    std::ostream discard(nullptr);
    rl::test_params params;
    params.search_type = scenario.contextBound == 0 ? rl::sched_full : rl::sched_bound;
    params.context_bound = scenario.contextBound;
    // Relacy's account of the search, a failing execution's history included,
    // unless a fence is left out on purpose.
    params.output_stream = leaveOut == nullptr ? &std::cout : &discard;
    params.progress_stream = &discard;
    const bool passed = rl::simulate<RingModel>(params);
    return Verdict{params.test_result == rl::test_result_user_assert_failed && g_fault[0] != 0,
                   static_cast<unsigned long>(params.stop_iteration), passed ? "" : g_fault};
}

TEST(RelacyModel, EveryExecutionGivesTheReaderAConsistentRead) {
    for (const Scenario& scenario :
         {kEmptyRing, kSecondLap, kLapBoundary, kSevenCopied, kOnTheNewest, kLapStartOnTheNewest}) {
        std::printf("%s, context bound %u (0: full search):\n", scenario.name,
                    scenario.contextBound);
        const Verdict verdict = Check(scenario, nullptr);
        EXPECT_EQ("", verdict.fault) << scenario.name;
        EXPECT_GE(verdict.iterations, scenario.leastIterations) << scenario.name;
    }
}

// Each fence pairing the ring relies on, one side left out at a time.
TEST(RelacyModel, LeavingOutAFenceFailsTheModel) {
    struct LeftOut {
        const char* fence;
        FenceFilter filter;
        const Scenario& scenario;
    };
    const LeftOut variants[] = {
        {"writer: release before the pointer store",
         [](bool release, const volatile void* cell, bool store) {
             return release && store && IsPointer(cell);
         },
         kSecondLap},
        {"writer: release before the slot stores",
         [](bool release, const volatile void* cell, bool store) {
             return release && store && IsSlot(cell);
         },
         kSevenCopied},
        {"reader: acquires between its control reads and its slot reads",
         [](bool release, const volatile void* cell, bool) { return !release && !IsPointer(cell); },
         kSecondLap},
        {"reader: acquire before the re-check",
         [](bool release, const volatile void* cell, bool) { return !release && IsPointer(cell); },
         kSevenCopied},
        {"writer: release before the new lap tick",
         [](bool release, const volatile void* cell, bool store) {
             return release && store && cell == &g_ring->m_tickWriteZero.m_v;
         },
         kLapBoundary},
    };
    for (const LeftOut& variant : variants) {
        const Verdict verdict = Check(variant.scenario, variant.filter);
        EXPECT_TRUE(verdict.failedOurCheck) << variant.fence << ": " << verdict.fault;
        std::printf("%s: fails after %lu iterations: %s\n", variant.fence, verdict.iterations,
                    verdict.fault.c_str());
    }
}

}  // namespace
