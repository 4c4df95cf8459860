// One producer thread writes a pad sample every millisecond for a second; two
// consumers poll the ring at 60 Hz and 500 Hz, each with its own cursor, and
// report what they received, what they skipped for being slower, and whether
// any sample came twice or out of order (none ever does).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"

using qor::hid::QVA::PadStatus;
using qor::hidlow::QVA::PadLifoRing;

namespace {

struct Consumer {
    const char* name;
    int pollHz;
    long received = 0;
    long skipped = 0;
    long twice = 0;
    long outOfOrder = 0;
};

void Poll(const PadLifoRing& ring, const std::atomic<bool>& stop, Consumer& consumer) {
    qor::s64 tick = -1;  // a new cursor: nothing received yet
    qor::s32 index = -1;
    long newestSeen = -1;
    const auto period = std::chrono::microseconds(1000000 / consumer.pollHz);
    while (!stop) {
        PadStatus samples[7];
        qor::s32 count = 0;
        ring.ReadData(samples, 7, &count, &tick, &index);
        for (qor::s32 i = 0; i < count; ++i) {  // samples[0] is the newest
            const long expected = static_cast<long>(samples[0].hold) - i;
            consumer.outOfOrder += samples[i].hold != static_cast<qor::bit32>(expected);
            consumer.twice += static_cast<long>(samples[i].hold) <= newestSeen;
        }
        if (count > 0) {
            const long oldest = static_cast<long>(samples[count - 1].hold);
            consumer.skipped += oldest - newestSeen - 1;
            consumer.received += count;
            newestSeen = static_cast<long>(samples[0].hold);
        }
        std::this_thread::sleep_for(period);
    }
}

}  // namespace

int main() {
    PadLifoRing ring;  // made empty: nothing written, no lap begun

    std::atomic<bool> stop{false};
    Consumer consumers[] = {{"60 Hz consumer", 60}, {"500 Hz consumer", 500}};
    std::thread slow(Poll, std::cref(ring), std::cref(stop), std::ref(consumers[0]));
    std::thread fast(Poll, std::cref(ring), std::cref(stop), std::ref(consumers[1]));

    qor::bit32 written = 0;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) {
        const qor::s16 x = static_cast<qor::s16>(written % 200 - 100);
        const PadStatus sample = {written, written % 16 == 0 ? 1u : 0u, 0, {x, 0}};
        ring.WriteData(&sample, 1);
        ++written;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop = true;
    slow.join();
    fast.join();

    std::printf("producer: %u samples written\n", written);
    bool kept = true;
    for (const Consumer& c : consumers) {
        std::printf("%-16s received %5ld, skipped %5ld, twice %ld, out of order %ld\n", c.name,
                    c.received, c.skipped, c.twice, c.outOfOrder);
        kept = kept && c.received > 0 && c.twice == 0 && c.outOfOrder == 0;
    }
    return kept ? 0 : 1;
}
