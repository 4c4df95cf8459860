// Out of line, like the ring's operations, so every variant pays the same call.
#include "SeqLockRing.h"

#include <cstddef>
#include <cstring>

namespace qor::bench {
namespace {

thread_local std::uint64_t t_retries = 0;

constexpr int kTickWord = offsetof(PlainPadRing, tickWriteZero) / 8;
constexpr int kOldTickWord = offsetof(PlainPadRing, oldTickWriteZero) / 8;
constexpr int kPointerWord = offsetof(PlainPadRing, writePointer) / 8;
constexpr int kFirstSlotWord = offsetof(PlainPadRing, buffers) / 8;

static_assert(sizeof(PadStatus) == 2 * sizeof(std::uint64_t));

std::uint64_t Word(s64 value) {
    return static_cast<std::uint64_t>(value);
}

// The pointer's word holds it in its low half (the layout is little-endian)
// and the padding that follows it as zero.
std::uint64_t PointerWord(s32 writePointer) {
    return static_cast<std::uint32_t>(writePointer);
}

}  // namespace

SeqLockRing::SeqLockRing() {
    PlainPadRing empty{};
    MakeEmpty(empty);
    std::uint64_t words[kWords];
    std::memcpy(words, &empty, sizeof(empty));
    for (int i = 0; i < kWords; ++i) {
        m_words[i].store(words[i], std::memory_order_relaxed);
    }
}

void SeqLockRing::WriteData(const PadStatus* pBuffers, s32 bufferNum) {
    // relaxed: only this writer changes the counter
    const std::uint32_t sequence = m_sequence.load(std::memory_order_relaxed);
    m_sequence.store(sequence + 1, std::memory_order_relaxed);
    // release: the odd count precedes the record stores; pairs with the reader's fence before its
    // second count read
    std::atomic_thread_fence(std::memory_order_release);

    auto writePointer = static_cast<s32>(m_words[kPointerWord].load(std::memory_order_relaxed));
    for (s32 i = 0; i < bufferNum; ++i) {
        writePointer = writePointer == kMaxRead ? 0 : writePointer + 1;
        std::uint64_t sample[2];
        std::memcpy(sample, &pBuffers[i], sizeof(sample));
        m_words[kFirstSlotWord + 2 * writePointer].store(sample[0], std::memory_order_relaxed);
        m_words[kFirstSlotWord + 2 * writePointer + 1].store(sample[1], std::memory_order_relaxed);
        if (writePointer == 0) {
            const auto currentLapTick =
                static_cast<s64>(m_words[kTickWord].load(std::memory_order_relaxed));
            m_words[kOldTickWord].store(Word(currentLapTick), std::memory_order_relaxed);
            m_words[kTickWord].store(Word(NextLapTick(currentLapTick)), std::memory_order_relaxed);
        }
        m_words[kPointerWord].store(PointerWord(writePointer), std::memory_order_relaxed);
    }
    // release: the record stores precede the even count; pairs with the reader's first count read
    m_sequence.store(sequence + 2, std::memory_order_release);
}

void SeqLockRing::ReadData(PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                           s32* pIndex) const {
    *pReadCount = 0;
    if (bufferNum <= 0) {
        return;
    }
    PlainPadRing copy;
    for (;;) {
        // acquire: pairs with the writer's even count; the words below are no older than it
        const std::uint32_t sequence = m_sequence.load(std::memory_order_acquire);
        if ((sequence & 1) != 0) {
            ++t_retries;
            continue;
        }
        std::uint64_t words[kWords];
        for (int i = 0; i < kWords; ++i) {
            words[i] = m_words[i].load(std::memory_order_relaxed);
        }
        // acquire: pairs with the writer's fence after its odd count; a word from a newer write
        // makes the count below differ
        std::atomic_thread_fence(std::memory_order_acquire);
        if (m_sequence.load(std::memory_order_relaxed) != sequence) {
            ++t_retries;
            continue;
        }
        std::memcpy(&copy, words, sizeof(copy));
        break;
    }
    const ControlFields controls{copy.writePointer, copy.tickWriteZero, copy.oldTickWriteZero};
    const ReadPlan plan = PlanRead(controls, *pTick, *pIndex, MaxRead(bufferNum));
    if (plan.newestSlot < 0) {
        return;
    }
    CopySlots(copy, plan, pBuffers);
    Commit(plan, controls.tickWriteZero, pReadCount, pTick, pIndex);
}

std::uint64_t SeqLockRing::ThreadRetries() {
    return t_retries;
}

}  // namespace qor::bench
