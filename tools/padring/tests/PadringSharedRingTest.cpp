// The shared-memory helper as the tool's processes use it, and dump's reading
// of ring states that only show up for an instant in a live ring.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <optional>
#include <string>

#include "PadPattern.h"
#include "SharedRing.h"

namespace {

using padring::PadSample;
using padring::SharedRing;
using padring::SharedRingError;
using qor::hid::QVA::PadStatus;

std::string UniqueName() {
    static int count = 0;
    return "padring-gtest-" + std::to_string(getpid()) + "-" + std::to_string(++count);
}

TEST(SharedRing, CreatedRingIsEmptyAndSharedWithReadOnlyOpeners) {
    SharedRing created = SharedRing::Create(UniqueName());
    const qor::hidlow::QVA::PadLifoRing& fresh = created.Ring();
    EXPECT_EQ(fresh.m_writePointer, -1);
    EXPECT_EQ(fresh.m_tickWriteZero, -1);
    EXPECT_EQ(fresh.m_oldTickWriteZero, -1);

    SharedRing reader = SharedRing::Open(created.Name(), SharedRing::Access::ReadOnly);
    EXPECT_THROW(reader.WritableRing(), SharedRingError);
    const PadStatus sample = PadSample(0);
    created.WritableRing().WriteData(&sample, 1);

    PadStatus received[7];
    qor::s32 count = 0;
    qor::s64 tick = -1;
    qor::s32 index = -1;
    reader.Ring().ReadData(received, 7, &count, &tick, &index);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(padring::SequenceOf(received[0]), 0);
}

TEST(SharedRing, OnlyTheCreatingProcessRemovesTheObject) {
    std::optional<SharedRing> ring = SharedRing::Create(UniqueName());
    const std::string name = ring->Name();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ring.reset();  // a forked child closes its inherited copy
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(ring->StillLinked());

    const SharedRing opened = SharedRing::Open(name, SharedRing::Access::ReadOnly);
    ring.reset();
    EXPECT_FALSE(opened.StillLinked());
    EXPECT_THROW(SharedRing::Open(name, SharedRing::Access::ReadOnly), SharedRingError);
}

// Runs padring dump on the ring and returns its slot lines.
std::array<std::string, 8> DumpSlots(const std::string& name) {
    const std::string command = std::string(PADRING_PATH) + " dump --name " + name;
    std::FILE* pipe = popen(command.c_str(), "r");
    std::array<std::string, 8> slots;
    char line[512];
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
        int slot = -1;
        if (std::sscanf(line, "%d", &slot) == 1 && slot >= 0 && slot < 8) {
            slots[slot] = line;
        }
    }
    EXPECT_TRUE(pipe != nullptr && pclose(pipe) == 0) << command;
    return slots;
}

bool Marked(const std::string& line, const char* lap, bool newest) {
    return line.find(std::string(" ") + lap + " ") != std::string::npos &&
           (line.find("<- newest") != std::string::npos) == newest;
}

TEST(PadringDump, NamesTheLapOfEachSlotAndTheSlotReadersTakeAsNewest) {
    SharedRing created = SharedRing::Create(UniqueName());
    qor::hidlow::QVA::PadLifoRing& ring = created.WritableRing();
    std::array<std::string, 8> slots = DumpSlots(created.Name());
    for (const std::string& line : slots) {
        EXPECT_TRUE(Marked(line, "unwritten", false)) << line;
    }

    PadStatus samples[16];
    for (int i = 0; i < 16; ++i) {
        samples[i] = PadSample(i);
    }
    ring.WriteData(samples, 4);  // first lap, slots 0..3
    slots = DumpSlots(created.Name());
    for (int slot = 0; slot < 8; ++slot) {
        EXPECT_TRUE(Marked(slots[slot], slot < 4 ? "current" : "unwritten", slot == 3))
            << slots[slot];
    }

    ring.WriteData(samples + 4, 6);  // second lap, slots 0..1
    slots = DumpSlots(created.Name());
    for (int slot = 0; slot < 8; ++slot) {
        EXPECT_TRUE(Marked(slots[slot], slot < 2 ? "current" : "previous", slot == 1))
            << slots[slot];
    }

    // The writer caught between publishing slot 0 and stamping its lap: both
    // lap ticks equal, so readers still take slot 7 as the newest sample.
    ring.WriteData(samples + 10, 6);  // slots 2..7
    ring.m_oldTickWriteZero = static_cast<qor::s64>(ring.m_tickWriteZero);
    ring.m_writePointer = 0;
    slots = DumpSlots(created.Name());
    EXPECT_TRUE(Marked(slots[0], "next", false)) << slots[0];
    for (int slot = 1; slot < 8; ++slot) {
        EXPECT_TRUE(Marked(slots[slot], "current", slot == 7)) << slots[slot];
    }
}

}  // namespace
