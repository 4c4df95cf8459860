// padring produce: the producer alone, until stopped, so that other terminals
// can attach to its ring with watch and dump. It takes over a ring whose
// producer is gone and goes on with the pattern where that one stopped.
#include <chrono>
#include <cstdio>
#include <string>

#include "Commands.h"
#include "Counters.h"
#include "LiveStatus.h"
#include "Loops.h"
#include "StopSignal.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingProducer.h"

namespace padring {

int RunProduce(const ProduceOptions& options) {
    InstallStopHandlers();
    qor::hidlow::QVA::SharedPadRingProducer producer =
        qor::hidlow::QVA::SharedPadRingProducer::CreateOrTakeOver(options.name, options.mode);
    const std::string& objectName = producer.Name();
    if (producer.TookOver()) {
        if (producer.PreviousProducerPid() > 0) {
            std::printf("taking over %s, its producer (pid %d) is gone\n", objectName.c_str(),
                        producer.PreviousProducerPid());
        } else {
            std::printf("taking over %s, its last producer stopped\n", objectName.c_str());
        }
    }
    const Sequence first = NextInPattern(producer.Ring());
    std::printf("producing into %s at %g Hz from sample %lld; Ctrl-C stops%s\n", objectName.c_str(),
                options.rateHz, static_cast<long long>(first),
                options.keep ? " and leaves it to the next producer" : " and removes it");
    const char* bare = objectName.c_str() + 1;
    std::printf("attach from another terminal: padring watch --name %s, padring dump --name %s\n",
                bare, bare);
    std::fflush(stdout);

    Counters counters;
    LiveStatus status(stdout);
    const Clock::time_point start = Clock::now();
    ProduceSamples(producer.Ring(), first, options.rateHz, counters, [&] {
        if (status.Due()) {
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            // relaxed: this thread wrote them.
            const long long samples = counters.samples.load(std::memory_order_relaxed) - first;
            const long long calls = counters.calls.load(std::memory_order_relaxed);
            char line[128];
            std::snprintf(line, sizeof line, "written %lld samples in %lld writes, %.0f/s", samples,
                          calls, seconds > 0 ? samples / seconds : 0.0);
            status.Show({line});
        }
        return !StopRequested();
    });
    if (!options.keep) {
        producer.RemoveName();
    }
    // relaxed: the loop that wrote it ran on this thread.
    const long long samples = counters.samples.load(std::memory_order_relaxed) - first;
    std::printf("stopped after %lld samples; %s %s\n", samples,
                options.keep ? "left for the next producer:" : "removed", objectName.c_str());
    return kSuccess;
}

}  // namespace padring
