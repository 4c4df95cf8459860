// dump's reading of ring states that only show up for an instant in a live
// ring, or only in a damaged one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "PadPattern.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingProducer.h"

namespace {

using padring::PadSample;
using qor::hid::QVA::PadStatus;

struct Dump {
    std::string text;
    std::array<std::string, 8> slots;
    int status;
};

Dump RunDump(const std::string& name) {
    const std::string command = std::string(PADRING_PATH) + " dump --name " + name;
    std::FILE* pipe = popen(command.c_str(), "r");
    Dump dump{};
    char line[512];
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
        dump.text += line;
        int slot = -1;
        if (std::sscanf(line, "%d", &slot) == 1 && slot >= 0 && slot < 8) {
            dump.slots[slot] = line;
        }
    }
    dump.status = pipe != nullptr ? pclose(pipe) : -1;
    return dump;
}

bool Marked(const std::string& line, const char* lap, bool newest) {
    return line.find(std::string(" ") + lap + " ") != std::string::npos &&
           (line.find("<- newest") != std::string::npos) == newest;
}

TEST(PadringDump, NamesTheLapOfEachSlotTheNewestAndTheDamage) {
    const std::string name = "padring-dump-test-" + std::to_string(getpid());
    auto producer = qor::hidlow::QVA::SharedPadRingProducer::CreateOrTakeOver(name);
    qor::hidlow::QVA::PadLifoRing& live = producer.Ring();

    Dump dump = RunDump(name);
    EXPECT_NE(std::string::npos, dump.text.find("producer: pid " + std::to_string(getpid())))
        << dump.text;
    for (const std::string& line : dump.slots) {
        EXPECT_TRUE(Marked(line, "unwritten", false)) << line;
    }

    PadStatus samples[16];
    for (int i = 0; i < 16; ++i) {
        samples[i] = PadSample(i);
    }
    live.WriteData(samples, 4);  // first lap, slots 0..3
    dump = RunDump(name);
    for (int slot = 0; slot < 8; ++slot) {
        EXPECT_TRUE(Marked(dump.slots[slot], slot < 4 ? "current" : "unwritten", slot == 3))
            << dump.slots[slot];
    }

    live.WriteData(samples + 4, 6);  // second lap, slots 0..1
    dump = RunDump(name);
    for (int slot = 0; slot < 8; ++slot) {
        EXPECT_TRUE(Marked(dump.slots[slot], slot < 2 ? "current" : "previous", slot == 1))
            << dump.slots[slot];
    }

    // The writer caught between publishing slot 0 and stamping its lap: both
    // lap ticks equal, so readers still take slot 7 as the newest sample.
    live.WriteData(samples + 10, 6);  // slots 2..7
    live.m_oldTickWriteZero = static_cast<qor::s64>(live.m_tickWriteZero);
    live.m_writePointer = 0;
    dump = RunDump(name);
    EXPECT_EQ(0, dump.status);
    EXPECT_TRUE(Marked(dump.slots[0], "next", false)) << dump.slots[0];
    for (int slot = 1; slot < 8; ++slot) {
        EXPECT_TRUE(Marked(dump.slots[slot], "current", slot == 7)) << dump.slots[slot];
    }

    live.m_writePointer = 99;
    dump = RunDump(name);
    EXPECT_NE(0, dump.status);
    EXPECT_NE(std::string::npos,
              dump.text.find("m_writePointer                       99  DAMAGED: outside -1..7"))
        << dump.text;
    EXPECT_EQ(std::string::npos, dump.text.find("<- newest")) << dump.text;
    producer.RemoveName();
}

}  // namespace
