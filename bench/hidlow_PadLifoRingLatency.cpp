// How long the producer's WriteData takes, call by call, with consumers in
// other processes: the ring (named shared memory through qor::hidlow_shared)
// next to the robust mutex ring and the ck_sequence ring (a shared mapping).
// The producer is a forked process writing one sample per call at a fixed
// rate; consumers are forked processes that poll at 1 kHz or flat out, and a
// controller (this process) stops or kills one in the middle of a read.
//
//   pad_ring_latency [--quick] [--out FILE]
//
// --quick runs a fifth of a second per case and stops the reader twice rather
// than five times: for CI, to keep the program working, not to measure.
// Writes every case as JSON (bench/summarize_latency.sh makes the table,
// bench/plot_latency.sh the chart) and a line per case as it goes.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "CkSequenceRing.h"
#include "MutexRing.h"
#include "PlainPadRing.h"
#include "SharedMemory.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingProducer.h"

namespace qor::bench {
namespace {

using hidlow::QVA::SharedPadRingConsumer;
using hidlow::QVA::SharedPadRingError;
using hidlow::QVA::SharedPadRingMapping;
using hidlow::QVA::SharedPadRingProducer;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kMaxConsumers = 8;
// The producer sleeps until this long before a sample is due and spins the
// rest: a sleep alone would measure the scheduler's wake-up, spinning a whole
// millisecond would take a processor from the consumers. At 100 kHz the
// period is shorter, so it spins throughout.
constexpr Clock::duration kSpinMargin = 200us;
// Set-up steps (making the ring, starting consumers) that take longer failed.
constexpr Clock::duration kSetUpTimeout = 10s;
constexpr Clock::duration kStopLength = 50ms;
// A stop lands outside a read now and then; it is undone and tried again.
constexpr int kMaxStopAttempts = 10000;

enum class Variant { kRing, kMutex, kCkSequence };
constexpr Variant kVariants[] = {Variant::kRing, Variant::kMutex, Variant::kCkSequence};

const char* VariantName(Variant variant) {
    switch (variant) {
        case Variant::kRing:
            return "ring";
        case Variant::kMutex:
            return "mutex";
        case Variant::kCkSequence:
            return "ck_sequence";
    }
    return "?";
}

enum class Disturbance { kNone, kStop, kKill };

struct Scenario {
    const char* key;
    int consumers;
    bool consumersPaced;  // at 1 kHz, else flat out
    Disturbance disturbance;
};

constexpr Scenario kScenarios[] = {
    {"alone", 0, false, Disturbance::kNone},      {"reader_1kHz", 1, true, Disturbance::kNone},
    {"flat_out_1", 1, false, Disturbance::kNone}, {"flat_out_2", 2, false, Disturbance::kNone},
    {"flat_out_4", 4, false, Disturbance::kNone}, {"flat_out_8", 8, false, Disturbance::kNone},
    {"stopped", 1, false, Disturbance::kStop},    {"killed", 1, false, Disturbance::kKill},
};

struct Rate {
    const char* name;
    Clock::duration period;
    s32 samples;
    s32 quickSamples;
};

// Five seconds at the pad's rate, three at 100 kHz; a fifth of a second each
// with --quick.
constexpr Rate kRates[] = {{"1kHz", 1ms, 5000, 200}, {"100kHz", 10us, 300000, 20000}};

struct Options {
    bool quick = false;
    std::string out = "latency.json";
    int stops = 5;
};

// Sample n: every field made from n, so a sample mixing two writes shows.
PadStatus PatternSample(bit32 n) {
    return PadStatus{n, ~n, n * 2654435761u, {static_cast<s16>(n), static_cast<s16>(n >> 16)}};
}

bool Whole(const PadStatus& sample) {
    const PadStatus expected = PatternSample(sample.hold);
    return sample.trigger == expected.trigger && sample.release == expected.release &&
           sample.stick.x == expected.stick.x && sample.stick.y == expected.stick.y;
}

// Samples in one read that break a promise: torn, not newest first and
// consecutive, or not newer than every sample delivered before.
std::uint64_t Problems(const PadStatus* samples, s32 count, bit32* pNewestSeen) {
    std::uint64_t problems = 0;
    for (s32 i = 0; i < count; ++i) {
        if (!Whole(samples[i]) || samples[i].hold != samples[0].hold - static_cast<bit32>(i)) {
            ++problems;
        }
    }
    if (count > 0) {
        if (samples[count - 1].hold <= *pNewestSeen) {
            ++problems;
        }
        *pNewestSeen = samples[0].hold;
    }
    return problems;
}

s64 Nanoseconds(Clock::duration duration) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

s64 NowNs() {
    return Nanoseconds(Clock::now().time_since_epoch());
}

timespec AsTimespec(Clock::time_point when) {
    const s64 ns = Nanoseconds(when.time_since_epoch());
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// steady_clock is CLOCK_MONOTONIC, so its time points are absolute times for
// clock_nanosleep.
void SleepUntil(Clock::time_point when) {
    const timespec until = AsTimespec(when);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

void WaitUntil(Clock::time_point due) {
    if (Clock::now() < due - kSpinMargin) {
        SleepUntil(due - kSpinMargin);
    }
    while (Clock::now() < due) {
    }
}

// One producer call, as the producer records it: how long WriteData took,
// how late it started, and the context switches of the producer's thread
// between two getrusage calls just outside the timed region.
struct CallRecord {
    std::uint32_t latencyNs;
    std::uint32_t lateNs;
    std::uint16_t involuntary;  // preempted
    std::uint16_t voluntary;    // slept in the call: waited for the lock
};

struct alignas(64) ConsumerSlot {
    std::atomic<bool> polling;  // attached, waiting for the start
    std::atomic<bool> inRead;   // inside ReadData
    std::atomic<std::uint64_t> reads;
    std::atomic<std::uint64_t> delivered;
    std::atomic<std::uint64_t> problems;
    std::atomic<s64> startNs;
    std::atomic<s64> endNs;
    char error[128];
};

enum Phase : s32 { kSettingUp, kRingReady, kGo };

// What the controller, the producer and the consumers of one case share.
struct Shared {
    alignas(64) std::atomic<s32> phase;
    alignas(64) std::atomic<bool> stopConsumers;
    // The producer's outcome, read by the controller once it has exited.
    alignas(64) s64 startNs;
    s64 endNs;
    s32 written;
    char error[256];
    ConsumerSlot consumers[kMaxConsumers];
};

static_assert(std::atomic<s64>::is_always_lock_free &&
                  std::atomic<std::uint64_t>::is_always_lock_free,
              "counters shared between processes");

void CopyMessage(char* to, std::size_t size, const char* message) {
    std::snprintf(to, size, "%s", message);
}

// Everything one case needs; the regions are mapped before the children are
// forked, so every process sees them at the same addresses.
struct Case {
    const Rate* rate;
    const Scenario* scenario;
    Variant variant;
    s32 samples;
    int stops;
    Clock::duration cap;  // the producer gives up after this long
    std::string ringName;
    Shared* shared;
    CallRecord* records;
    MutexRing* mutexRing;
    CkSequenceRing* ckRing;
};

// The phases and the stop flag only say when to go on, and are relaxed: what
// each process needs of another was made before the fork, or, for the ring,
// is published by the library through the object's header.
bool SeesGo(const Shared& shared) {
    // relaxed: see above
    return shared.phase.load(std::memory_order_relaxed) == kGo;
}

void SleepUntilGo(const Shared& shared) {
    while (!SeesGo(shared)) {
        const timespec pause{0, 100000};
        nanosleep(&pause, nullptr);
    }
}

template <typename Ring>
void Produce(Ring& ring, const Case& c) {
    Shared& shared = *c.shared;
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // Every page of the record array is touched now, not in the timed loop.
    std::memset(static_cast<void*>(c.records), 0,
                sizeof(CallRecord) * static_cast<std::size_t>(c.samples));
    // relaxed: see SeesGo
    shared.phase.store(kRingReady, std::memory_order_relaxed);
    SleepUntilGo(shared);

    const Clock::duration period = c.rate->period;
    const Clock::time_point start = Clock::now();
    Clock::time_point due = start;
    s32 written = 0;
    for (; written < c.samples; ++written) {
        due += period;
        WaitUntil(due);
        const PadStatus sample = PatternSample(static_cast<bit32>(written + 1));
        rusage before;
        rusage after;
        getrusage(RUSAGE_THREAD, &before);
        const Clock::time_point begin = Clock::now();
        ring.WriteData(&sample, 1);
        const Clock::time_point end = Clock::now();
        getrusage(RUSAGE_THREAD, &after);
        const Clock::duration late = begin - due;
        c.records[written] = CallRecord{
            static_cast<std::uint32_t>(std::min<s64>(Nanoseconds(end - begin), UINT32_MAX)),
            static_cast<std::uint32_t>(std::clamp<s64>(Nanoseconds(late), 0, UINT32_MAX)),
            static_cast<std::uint16_t>(
                std::min<long>(after.ru_nivcsw - before.ru_nivcsw, UINT16_MAX)),
            static_cast<std::uint16_t>(
                std::min<long>(after.ru_nvcsw - before.ru_nvcsw, UINT16_MAX))};
        if (late > period) {
            due = begin;  // carry on at the rate from here rather than catch up in a burst
        }
        if (end - start > c.cap) {
            ++written;
            break;
        }
    }
    shared.startNs = Nanoseconds(start.time_since_epoch());
    shared.endNs = NowNs();
    shared.written = written;
}

int RunProducer(const Case& c) {
    try {
        switch (c.variant) {
            case Variant::kRing: {
                SharedPadRingProducer producer =
                    SharedPadRingProducer::CreateOrTakeOver(c.ringName, 0600);
                Produce(producer.Ring(), c);
                producer.RemoveName();
                return 0;
            }
            case Variant::kMutex:
                Produce(*c.mutexRing, c);
                return 0;
            case Variant::kCkSequence:
                Produce(*c.ckRing, c);
                return 0;
        }
    } catch (const std::exception& error) {
        CopyMessage(c.shared->error, sizeof c.shared->error, error.what());
    }
    return 1;
}

template <typename Ring>
void Consume(const Ring& ring, ConsumerSlot& slot, const Shared& shared, bool paced) {
    if (paced) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    // relaxed: only says this consumer is attached; the controller publishes nothing through it
    slot.polling.store(true, std::memory_order_relaxed);
    SleepUntilGo(shared);
    const Clock::time_point start = Clock::now();
    // relaxed: read by the controller after this process has stopped or ended
    slot.startNs.store(Nanoseconds(start.time_since_epoch()), std::memory_order_relaxed);
    Clock::time_point next = start;
    s64 tick = -1;
    s32 index = -1;
    bit32 newestSeen = 0;
    std::uint64_t reads = 0;
    std::uint64_t delivered = 0;
    std::uint64_t problems = 0;
    PadStatus samples[kMaxRead];
    // relaxed: see SeesGo
    while (!shared.stopConsumers.load(std::memory_order_relaxed)) {
        if (paced) {
            // A consumer that overslept reads on at its rate rather than in a burst.
            next = std::max(next + 1ms, Clock::now());
            SleepUntil(next);
        }
        s32 count = 0;
        // relaxed, both: the controller reads the flag only once this process has stopped, when
        // its stores have all landed; the call is opaque, so neither store moves across it.
        slot.inRead.store(true, std::memory_order_relaxed);
        ring.ReadData(samples, kMaxRead, &count, &tick, &index);
        slot.inRead.store(false, std::memory_order_relaxed);
        ++reads;
        delivered += static_cast<std::uint64_t>(count);
        problems += Problems(samples, count, &newestSeen);
        // relaxed: tallies for the controller, read after this process has stopped or ended
        slot.reads.store(reads, std::memory_order_relaxed);
        slot.delivered.store(delivered, std::memory_order_relaxed);
        slot.problems.store(problems, std::memory_order_relaxed);
    }
    // relaxed: read by the controller after this process has ended
    slot.endNs.store(NowNs(), std::memory_order_relaxed);
}

int RunConsumer(const Case& c, int index) {
    ConsumerSlot& slot = c.shared->consumers[index];
    const bool paced = c.scenario->consumersPaced;
    try {
        switch (c.variant) {
            case Variant::kRing: {
                const SharedPadRingConsumer consumer = SharedPadRingConsumer::Open(c.ringName);
                Consume(consumer.Ring(), slot, *c.shared, paced);
                return 0;
            }
            case Variant::kMutex:
                MutexRing::MarkThreadReads(index + 1);
                Consume(*c.mutexRing, slot, *c.shared, paced);
                return 0;
            case Variant::kCkSequence:
                Consume(*c.ckRing, slot, *c.shared, paced);
                return 0;
        }
    } catch (const std::exception& error) {
        CopyMessage(slot.error, sizeof slot.error, error.what());
    }
    return 1;
}

// Forks a child that runs body and leaves with its result, never returning
// into the controller's code.
template <typename Body>
pid_t Fork(Body body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    return pid;
}

bool Exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

// What the controller saw of one stop or kill.
struct Disturbed {
    int done = 0;
    int attempts = 0;
    double stoppedMs = 0;  // summed
};

// Stops the consumer at a moment it is inside ReadData (for the mutex ring:
// holding the lock), trying again after a short random pause when a stop
// lands elsewhere. Returns the attempts, or 0 if it never landed.
int StopInsideRead(pid_t pid, const ConsumerSlot& slot, const MutexRing* mutexRing, s32 mark,
                   std::minstd_rand& random) {
    std::uniform_int_distribution<long> pauseNs(20000, 200000);
    for (int attempt = 1; attempt <= kMaxStopAttempts; ++attempt) {
        kill(pid, SIGSTOP);
        int status = 0;
        if (waitpid(pid, &status, WUNTRACED) != pid || !WIFSTOPPED(status)) {
            return 0;
        }
        // relaxed: this process is stopped; its last store landed when it stopped
        const bool inside = mutexRing != nullptr ? mutexRing->MarkedHolder() == mark
                                                 : slot.inRead.load(std::memory_order_relaxed);
        if (inside) {
            return attempt;
        }
        kill(pid, SIGCONT);
        const timespec pause{0, pauseNs(random)};
        nanosleep(&pause, nullptr);
    }
    return 0;
}

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
    double p999 = 0;
    double max = 0;
};

// Nearest rank; sorts values.
Percentiles PercentilesOf(std::vector<std::uint32_t>& values) {
    Percentiles result;
    if (values.empty()) {
        return result;
    }
    std::sort(values.begin(), values.end());
    const auto rank = [&values](double fraction) {
        const double position = std::ceil(fraction * static_cast<double>(values.size()));
        return static_cast<double>(
            values[std::max<std::size_t>(static_cast<std::size_t>(position), 1) - 1]);
    };
    result.p50 = rank(0.5);
    result.p99 = rank(0.99);
    result.p999 = rank(0.999);
    result.max = static_cast<double>(values.back());
    return result;
}

struct Result {
    std::string rate;
    std::string scenario;
    std::string variant;
    s32 planned = 0;
    s32 written = 0;
    double seconds = 0;
    double meanNs = 0;
    Percentiles all;
    s32 calmCalls = 0;  // not preempted
    Percentiles calm;
    s32 preempted = 0;
    s32 blocked = 0;
    s32 late = 0;
    double maxLateNs = 0;
    int consumers = 0;
    double readsPerSecond = 0;  // all consumers together
    std::uint64_t delivered = 0;
    double deliveredPct = 0;  // of the samples written, per consumer, averaged
    std::uint64_t problems = 0;
    Disturbed stops;
    int kills = 0;
    s32 recoveries = -1;  // the mutex ring only
    bool capped = false;
    std::string error;
};

void Summarize(const Case& c, Result& result) {
    const Shared& shared = *c.shared;
    result.written = shared.written;
    result.seconds = static_cast<double>(shared.endNs - shared.startNs) / 1e9;
    result.capped = shared.written < c.samples;
    std::vector<std::uint32_t> all;
    std::vector<std::uint32_t> calm;
    all.reserve(static_cast<std::size_t>(shared.written));
    calm.reserve(static_cast<std::size_t>(shared.written));
    double sum = 0;
    for (s32 i = 0; i < shared.written; ++i) {
        const CallRecord& record = c.records[i];
        all.push_back(record.latencyNs);
        sum += record.latencyNs;
        if (record.involuntary == 0) {
            calm.push_back(record.latencyNs);
        } else {
            ++result.preempted;
        }
        if (record.voluntary != 0) {
            ++result.blocked;
        }
        if (std::chrono::nanoseconds(record.lateNs) > c.rate->period) {
            ++result.late;
        }
        result.maxLateNs = std::max(result.maxLateNs, static_cast<double>(record.lateNs));
    }
    result.meanNs = all.empty() ? 0 : sum / static_cast<double>(all.size());
    result.calmCalls = static_cast<s32>(calm.size());
    result.all = PercentilesOf(all);
    result.calm = PercentilesOf(calm);

    double deliveredPctSum = 0;
    for (int i = 0; i < c.scenario->consumers; ++i) {
        const ConsumerSlot& slot = shared.consumers[i];
        // relaxed, all: every consumer has ended or been killed
        const auto reads = slot.reads.load(std::memory_order_relaxed);
        const auto delivered = slot.delivered.load(std::memory_order_relaxed);
        const s64 seconds = slot.endNs.load(std::memory_order_relaxed) -
                            slot.startNs.load(std::memory_order_relaxed);
        if (seconds > 0) {
            result.readsPerSecond +=
                static_cast<double>(reads) * 1e9 / static_cast<double>(seconds);
        }
        result.delivered += delivered;
        result.problems += slot.problems.load(std::memory_order_relaxed);
        if (shared.written > 0) {
            deliveredPctSum += 100.0 * static_cast<double>(delivered) / shared.written;
        }
    }
    result.consumers = c.scenario->consumers;
    result.deliveredPct = result.consumers > 0 ? deliveredPctSum / result.consumers : 0;
    if (c.variant == Variant::kMutex) {
        result.recoveries = c.mutexRing->Recoveries();
    }
}

// Waits until ready() or a child in pids has exited or the set-up timeout has
// passed; true for ready.
template <typename Ready>
bool WaitForSetUp(Ready ready, const std::vector<pid_t>& pids) {
    const Clock::time_point giveUp = Clock::now() + kSetUpTimeout;
    while (!ready()) {
        for (const pid_t pid : pids) {
            if (Exited(pid)) {
                return false;
            }
        }
        if (Clock::now() > giveUp) {
            return false;
        }
        const timespec pause{0, 200000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

void EndAll(const std::vector<pid_t>& pids) {
    for (const pid_t pid : pids) {
        kill(pid, SIGKILL);
        kill(pid, SIGCONT);
    }
    for (const pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
    }
}

Result RunCase(Case& c, std::minstd_rand& random) {
    Result result;
    result.rate = c.rate->name;
    result.scenario = c.scenario->key;
    result.variant = VariantName(c.variant);
    result.planned = c.samples;
    Shared& shared = *c.shared;

    const pid_t producer = Fork([&c] { return RunProducer(c); });
    std::vector<pid_t> children{producer};
    const auto fail = [&](const std::string& what) {
        EndAll(children);
        result.error = what;
        if (shared.error[0] != '\0') {
            result.error += std::string(": ") + shared.error;
        }
        for (int i = 0; i < c.scenario->consumers; ++i) {
            if (shared.consumers[i].error[0] != '\0') {
                result.error += std::string(": ") + shared.consumers[i].error;
            }
        }
        if (c.variant == Variant::kRing) {
            try {
                SharedPadRingMapping::Remove(c.ringName);
            } catch (const SharedPadRingError&) {
                // Already gone, or never made.
            }
        }
        return result;
    };
    // relaxed: see SeesGo
    if (!WaitForSetUp(
            [&shared] { return shared.phase.load(std::memory_order_relaxed) == kRingReady; },
            children)) {
        return fail("the producer did not make its ring");
    }
    std::vector<pid_t> consumers;
    for (int i = 0; i < c.scenario->consumers; ++i) {
        consumers.push_back(Fork([&c, i] { return RunConsumer(c, i); }));
        children.push_back(consumers.back());
    }
    const auto attached = [&c, &shared] {
        for (int i = 0; i < c.scenario->consumers; ++i) {
            // relaxed: only says the consumer is attached
            if (!shared.consumers[i].polling.load(std::memory_order_relaxed)) {
                return false;
            }
        }
        return true;
    };
    if (!WaitForSetUp(attached, children)) {
        return fail("a consumer did not attach");
    }
    const Clock::time_point go = Clock::now();
    // relaxed: see SeesGo
    shared.phase.store(kGo, std::memory_order_relaxed);

    const Clock::duration planned = c.rate->period * c.samples;
    const Disturbance disturbance = c.scenario->disturbance;
    const s32 mark = 1;  // the first consumer's, see RunConsumer
    const MutexRing* marked = c.variant == Variant::kMutex ? c.mutexRing : nullptr;
    if (disturbance == Disturbance::kStop) {
        for (int s = 0; s < c.stops; ++s) {
            SleepUntil(go + planned * (s + 1) / (c.stops + 1));
            const int attempts =
                StopInsideRead(consumers[0], shared.consumers[0], marked, mark, random);
            if (attempts == 0) {
                return fail("could not stop the consumer inside a read");
            }
            const Clock::time_point stopped = Clock::now();
            SleepUntil(stopped + kStopLength);
            kill(consumers[0], SIGCONT);
            ++result.stops.done;
            result.stops.attempts += attempts;
            result.stops.stoppedMs +=
                std::chrono::duration<double, std::milli>(Clock::now() - stopped).count();
        }
    } else if (disturbance == Disturbance::kKill) {
        SleepUntil(go + planned / 2);
        const int attempts =
            StopInsideRead(consumers[0], shared.consumers[0], marked, mark, random);
        if (attempts == 0) {
            return fail("could not stop the consumer inside a read");
        }
        kill(consumers[0], SIGKILL);
        int status = 0;
        waitpid(consumers[0], &status, 0);
        // relaxed: the consumer is gone; its reads end here
        shared.consumers[0].endNs.store(NowNs(), std::memory_order_relaxed);
        children.erase(std::find(children.begin(), children.end(), consumers[0]));
        result.kills = 1;
        result.stops.attempts = attempts;
    }

    int status = 0;
    waitpid(producer, &status, 0);
    children.erase(children.begin());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return fail("the producer failed");
    }
    // relaxed: see SeesGo
    shared.stopConsumers.store(true, std::memory_order_relaxed);
    bool consumerFailed = false;
    for (const pid_t pid : children) {
        waitpid(pid, &status, 0);
        consumerFailed = consumerFailed || !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    children.clear();
    if (consumerFailed) {
        return fail("a consumer failed");
    }
    Summarize(c, result);
    return result;
}

void JsonString(std::FILE* out, const std::string& text) {
    std::fputc('"', out);
    for (const char ch : text) {
        if (ch == '"' || ch == '\\') {
            std::fputc('\\', out);
            std::fputc(ch, out);
        } else if (static_cast<unsigned char>(ch) < 0x20) {
            std::fputc(' ', out);
        } else {
            std::fputc(ch, out);
        }
    }
    std::fputc('"', out);
}

void JsonPercentiles(std::FILE* out, const char* prefix, const Percentiles& p) {
    std::fprintf(
        out, ", \"%sp50_ns\": %.0f, \"%sp99_ns\": %.0f, \"%sp999_ns\": %.0f, \"%smax_ns\": %.0f",
        prefix, p.p50, prefix, p.p99, prefix, p.p999, prefix, p.max);
}

bool WriteJson(const std::string& path, const Options& options, const std::string& date,
               const double (&load)[3], const std::vector<Result>& results) {
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        return false;
    }
    utsname system{};
    uname(&system);
    std::fprintf(out, "{\n  \"context\": {\"date\": ");
    JsonString(out, date);
    std::fprintf(out, ", \"processors\": %ld, \"load_avg\": [%.2f, %.2f, %.2f], \"kernel\": ",
                 sysconf(_SC_NPROCESSORS_ONLN), load[0], load[1], load[2]);
    JsonString(out, system.release);
    std::fprintf(out,
                 ", \"quick\": %s, \"stops\": %d, \"stop_ms\": %lld, \"spin_margin_us\": %lld,\n"
                 "    \"late\": \"a call that started more than one period after it was due\",\n"
                 "    \"latency\": \"WriteData of one sample, between two steady_clock reads "
                 "(one clock read included)\",\n"
                 "    \"preempted\": \"the producer's involuntary context switches went up across "
                 "the call (getrusage RUSAGE_THREAD just outside the timed region)\",\n"
                 "    \"blocked\": \"its voluntary context switches went up: it slept in the "
                 "call\"},\n  \"cases\": [",
                 options.quick ? "true" : "false", options.stops,
                 static_cast<long long>(
                     std::chrono::duration_cast<std::chrono::milliseconds>(kStopLength).count()),
                 static_cast<long long>(
                     std::chrono::duration_cast<std::chrono::microseconds>(kSpinMargin).count()));
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Result& r = results[i];
        std::fprintf(out, "%s\n    {\"rate\": ", i == 0 ? "" : ",");
        JsonString(out, r.rate);
        std::fprintf(out, ", \"scenario\": ");
        JsonString(out, r.scenario);
        std::fprintf(out, ", \"variant\": ");
        JsonString(out, r.variant);
        std::fprintf(out,
                     ", \"planned\": %d, \"written\": %d, \"seconds\": %.3f, \"mean_ns\": %.1f",
                     r.planned, r.written, r.seconds, r.meanNs);
        JsonPercentiles(out, "", r.all);
        std::fprintf(out, ",\n     \"calm_calls\": %d", r.calmCalls);
        JsonPercentiles(out, "calm_", r.calm);
        std::fprintf(out,
                     ", \"preempted\": %d, \"blocked\": %d, \"late\": %d, \"max_late_ns\": %.0f,\n"
                     "     \"consumers\": %d, \"reads_per_s\": %.1f, \"delivered\": %llu, "
                     "\"delivered_pct\": %.2f, \"problems\": %llu, \"stops\": %d, "
                     "\"stop_attempts\": %d, \"stopped_ms\": %.1f, \"kills\": %d, \"capped\": %s",
                     r.preempted, r.blocked, r.late, r.maxLateNs, r.consumers, r.readsPerSecond,
                     static_cast<unsigned long long>(r.delivered), r.deliveredPct,
                     static_cast<unsigned long long>(r.problems), r.stops.done, r.stops.attempts,
                     r.stops.stoppedMs, r.kills, r.capped ? "true" : "false");
        if (r.recoveries >= 0) {
            std::fprintf(out, ", \"recoveries\": %d", r.recoveries);
        }
        if (!r.error.empty()) {
            std::fprintf(out, ", \"error\": ");
            JsonString(out, r.error);
        }
        std::fprintf(out, "}");
    }
    std::fprintf(out, "\n  ]\n}\n");
    return std::fclose(out) == 0;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--quick") {
            options.quick = true;
            options.stops = 2;
        } else if (argument == "--out" && i + 1 < argc) {
            options.out = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--out FILE]\n", argv[0]);
            return false;
        }
    }
    return true;
}

int Main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        return 2;
    }
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    const std::string date = UtcNow();

    s32 mostSamples = 0;
    for (const Rate& rate : kRates) {
        mostSamples = std::max(mostSamples, options.quick ? rate.quickSamples : rate.samples);
    }
    SharedMemory sharedMemory(sizeof(Shared));
    SharedMemory recordMemory(sizeof(CallRecord) * static_cast<std::size_t>(mostSamples));
    SharedMemory ringMemory(std::max(sizeof(MutexRing), sizeof(CkSequenceRing)));
    if (sharedMemory.Address() == nullptr || recordMemory.Address() == nullptr ||
        ringMemory.Address() == nullptr) {
        std::fprintf(stderr, "pad_ring_latency: no POSIX shared memory\n");
        return 1;
    }
    std::minstd_rand random(static_cast<std::minstd_rand::result_type>(getpid()));
    std::vector<Result> results;
    bool failed = false;
    std::printf("%-7s %-12s %-12s %9s %9s %9s %11s %8s %6s %12s\n", "rate", "scenario", "variant",
                "p50 us", "p99 us", "p99.9 us", "max us", "preempt", "late", "reads/s");
    for (const Rate& rate : kRates) {
        for (const Scenario& scenario : kScenarios) {
            for (const Variant variant : kVariants) {
                auto* shared = new (sharedMemory.Address()) Shared();
                Case c{&rate,
                       &scenario,
                       variant,
                       options.quick ? rate.quickSamples : rate.samples,
                       options.stops,
                       rate.period * (options.quick ? rate.quickSamples : rate.samples) * 10 + 2s,
                       "/qor_latency_" + std::to_string(getpid()),
                       shared,
                       static_cast<CallRecord*>(recordMemory.Address()),
                       nullptr,
                       nullptr};
                if (variant == Variant::kMutex) {
                    c.mutexRing = new (ringMemory.Address()) MutexRing();
                } else if (variant == Variant::kCkSequence) {
                    c.ckRing = new (ringMemory.Address()) CkSequenceRing();
                }
                Result result = RunCase(c, random);
                if (c.mutexRing != nullptr) {
                    c.mutexRing->~MutexRing();
                }
                if (c.ckRing != nullptr) {
                    c.ckRing->~CkSequenceRing();
                }
                if (!result.error.empty()) {
                    std::printf("%-7s %-12s %-12s FAILED: %s\n", rate.name, scenario.key,
                                result.variant.c_str(), result.error.c_str());
                    failed = true;
                } else {
                    std::printf("%-7s %-12s %-12s %9.2f %9.2f %9.2f %11.1f %8d %6d %12.0f%s\n",
                                rate.name, scenario.key, result.variant.c_str(),
                                result.all.p50 / 1e3, result.all.p99 / 1e3, result.all.p999 / 1e3,
                                result.all.max / 1e3, result.preempted, result.late,
                                result.readsPerSecond, result.problems != 0 ? "  PROBLEMS" : "");
                    failed = failed || result.problems != 0;
                }
                std::fflush(stdout);
                results.push_back(result);
            }
        }
    }
    if (!WriteJson(options.out, options, date, load, results)) {
        std::fprintf(stderr, "pad_ring_latency: cannot write %s\n", options.out.c_str());
        return 1;
    }
    std::printf("wrote %s\n", options.out.c_str());
    return failed ? 1 : 0;
}

}  // namespace
}  // namespace qor::bench

int main(int argc, char** argv) {
    return qor::bench::Main(argc, argv);
}
