// padring produce: the producer alone, until stopped, so that other terminals
// can attach to its ring with watch and dump.
#include <chrono>
#include <cstdio>
#include <string>

#include "Commands.h"
#include "Counters.h"
#include "LiveStatus.h"
#include "Loops.h"
#include "SharedRing.h"
#include "StopSignal.h"

namespace padring {

int RunProduce(const std::string& name, double rateHz) {
    InstallStopHandlers();
    Counters counters;
    std::string objectName;
    {
        SharedRing ring = SharedRing::Create(name);
        objectName = ring.Name();
        const char* bare = objectName.c_str() + 1;
        std::printf("producing into %s at %g Hz; Ctrl-C stops and removes it\n", objectName.c_str(),
                    rateHz);
        std::printf(
            "attach from another terminal: padring watch --name %s, padring dump --name %s\n", bare,
            bare);
        std::fflush(stdout);

        LiveStatus status(stdout);
        const Clock::time_point start = Clock::now();
        ProduceSamples(ring.WritableRing(), rateHz, counters, [&] {
            if (status.Due()) {
                const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
                // relaxed: this thread wrote them.
                const long long samples = counters.samples.load(std::memory_order_relaxed);
                const long long calls = counters.calls.load(std::memory_order_relaxed);
                char line[128];
                std::snprintf(line, sizeof line, "written %lld samples in %lld writes, %.0f/s",
                              samples, calls, seconds > 0 ? samples / seconds : 0.0);
                status.Show({line});
            }
            return !StopRequested();
        });
    }
    // relaxed: the loop that wrote it ran on this thread.
    std::printf("stopped after %lld samples; removed %s\n",
                static_cast<long long>(counters.samples.load(std::memory_order_relaxed)),
                objectName.c_str());
    return kSuccess;
}

}  // namespace padring
