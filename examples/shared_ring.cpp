// A producer process and a consumer process on one pad ring in named shared
// memory. The producer makes the ring (or takes over one whose producer died)
// and writes a sample every millisecond for a second; the consumer waits for
// the ring, maps it read-only and polls it twice a millisecond, so that most
// reads find one new sample or none, until the producer removes the ring's
// name.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingProducer.h"

using qor::hid::QVA::PadStatus;
using qor::hidlow::QVA::SharedPadRingConsumer;
using qor::hidlow::QVA::SharedPadRingProducer;

namespace {

int Consume(const char* name) {
    // Waits for the producer to make the ring; gives up after ten seconds.
    const SharedPadRingConsumer consumer =
        SharedPadRingConsumer::OpenWhenMade(name, std::chrono::seconds(10));
    qor::s64 tick = -1;  // a new cursor
    qor::s32 index = -1;
    long received = 0;
    long twice = 0;  // the producer numbers its samples in hold; none may come again
    long newest = -1;
    while (consumer.StillLinked()) {
        PadStatus samples[7];
        qor::s32 count = 0;
        consumer.Ring().ReadData(samples, 7, &count, &tick, &index);  // samples[0] is the newest
        for (qor::s32 i = 0; i < count; ++i) {
            twice += static_cast<long>(samples[i].hold) <= newest;
        }
        newest = count > 0 ? static_cast<long>(samples[0].hold) : newest;
        received += count;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    std::printf("consumer: %ld samples received, %ld of them twice\n", received, twice);
    std::fflush(stdout);  // the child leaves with _exit, which flushes nothing
    return received > 0 && twice == 0 ? 0 : 1;
}

}  // namespace

int main() {
    const char* name = "qor-example-shared-ring";
    const pid_t consumer = fork();
    if (consumer == 0) {
        _exit(Consume(name));
    }
    // Mode 0600: only this user's processes may read; 0644 would let all read.
    SharedPadRingProducer producer = SharedPadRingProducer::CreateOrTakeOver(name);

    qor::bit32 written = 0;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) {
        const PadStatus sample = {written, 0, 0, {static_cast<qor::s16>(written % 200), 0}};
        producer.Ring().WriteData(&sample, 1);
        ++written;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    producer.RemoveName();  // a clean stop that leaves nothing behind
    int status = 0;
    waitpid(consumer, &status, 0);
    std::printf("producer: %u samples written\n", written);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
