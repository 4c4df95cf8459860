// padring demo: the ring shared by one producer process and several consumer
// processes that poll it at different rates, with live counters and a verdict
// on every sample each consumer received. On request the producer is killed
// at random moments and a new one takes over each time.
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Commands.h"
#include "Counters.h"
#include "LiveStatus.h"
#include "Loops.h"
#include "StopSignal.h"
#include "qor/dbg/dbg_Enum.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingProducer.h"

namespace padring {
namespace {

using qor::hidlow::QVA::SharedPadRingConsumer;
using qor::hidlow::QVA::SharedPadRingError;
using qor::hidlow::QVA::SharedPadRingMapping;
using qor::hidlow::QVA::SharedPadRingProducer;

// Poll rates of the consumers in turn; 0 is as fast as it can.
constexpr double kReaderRates[] = {60, 250, 0, 1000, 30};
constexpr auto kStopGrace = std::chrono::seconds(5);
constexpr auto kRingWait = std::chrono::seconds(5);

// Lives in memory shared with the children.
struct Board {
    std::atomic<bool> stop{false};
    Counters counters[1 + kMaxReaders];
};

struct Process {
    Process(std::string label, bool producer, double hz, Counters* counters)
        : label(std::move(label)), producer(producer), hz(hz), counters(counters) {}

    std::string label;
    bool producer;
    double hz;
    Counters* counters;
    int starts = 0;  // a producer started again takes the ring over; the first one makes it
    pid_t pid = -1;
    bool exited = false;
    std::string endProblem;  // how it ended, when that was not a clean exit
    std::int64_t shownCalls = 0;
    Clock::time_point shownAt;
    double callsPerSecond = 0;
};

std::int64_t Load(const std::atomic<std::int64_t>& counter) {
    // relaxed: a display value; the child that writes it publishes nothing else through it.
    return counter.load(std::memory_order_relaxed);
}

Counters* g_childCounters = nullptr;

// A failed check inside the ring is a problem like any other: record it and
// let the call return, as a debugger that continues would.
void RecordBreak(qordbgBreakReason, const char* fileName, int line, const char* message) {
    char text[256];
    std::snprintf(text, sizeof text, "ring check failed at %s:%d: %s", fileName, line, message);
    g_childCounters->RecordProblem(text);
}

// A child ends with the demo, however the demo ends: the kernel sends it
// SIGTERM when the demo dies, which it takes as a stop. The producer then
// removes the ring, as the demo would have.
void EndWithTheDemo(pid_t demo) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != demo) {
        _exit(kFailure);  // the demo died before the request was in place
    }
}

[[noreturn]] void RunChild(const std::string& name, const Process& process, const Board& board,
                           pid_t demo) {
    EndWithTheDemo(demo);
    int status = kSuccess;
    try {
        g_childCounters = process.counters;
        qor::dbg::SetBreakHandler(&RecordBreak);
        const KeepGoing keepGoing = [&board] {
            // relaxed: the flag carries no data, the child only has to see it soon.
            return !StopRequested() && !board.stop.load(std::memory_order_relaxed);
        };
        if (process.producer) {
            SharedPadRingProducer producer = process.starts == 1
                                                 ? SharedPadRingProducer::Create(name)
                                                 : SharedPadRingProducer::CreateOrTakeOver(name);
            ProduceSamples(producer.Ring(), NextInPattern(producer.Ring()), process.hz,
                           *process.counters, keepGoing);
            if (getppid() != demo) {
                producer.RemoveName();
            }
        } else {
            const SharedPadRingConsumer consumer = SharedPadRingConsumer::Open(name);
            ConsumeSamples(consumer.Ring(), process.hz, *process.counters, keepGoing);
        }
    } catch (const std::exception& error) {
        process.counters->RecordProblem(error.what());
        status = kFailure;
    }
    // Skips the parent's destructors and atexit work, which belong to the parent.
    _exit(status);
}

std::string HzText(double hz) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g Hz", hz);
    return text;
}

std::string RateText(const Process& process) {
    return process.hz > 0 ? HzText(process.hz) : "flat out";
}

// What a reader passed over, as the ring counted it; "+" marks a lower bound
// (a read that found its cursor more than a lap behind).
std::string SkippedText(const Process& process) {
    if (process.producer) {
        return "-";
    }
    // relaxed: a display value, like the counters.
    const bool exact = process.counters->skippedExact.load(std::memory_order_relaxed);
    return std::to_string(Load(process.counters->skipped)) + (exact ? "" : "+");
}

std::string StatusLine(const Process& process) {
    const Counters& c = *process.counters;
    const std::string skipped = SkippedText(process);
    char line[256];
    std::snprintf(line, sizeof line, "%-9s %10s  %-8s %9lld  skipped %8s  %8.0f %s/s",
                  process.label.c_str(), RateText(process).c_str(),
                  process.producer ? "written" : "received",
                  static_cast<long long>(Load(c.samples)), skipped.c_str(), process.callsPerSecond,
                  process.producer ? "writes" : "reads");
    std::string text = line;
    if (const std::int64_t problems = Load(c.problems)) {
        text += "  PROBLEMS " + std::to_string(problems);
    }
    return text;
}

std::vector<std::string> StatusLines(std::vector<Process>& processes) {
    const Clock::time_point now = Clock::now();
    std::vector<std::string> lines;
    for (Process& process : processes) {
        const std::int64_t calls = Load(process.counters->calls);
        const double seconds = std::chrono::duration<double>(now - process.shownAt).count();
        process.callsPerSecond = seconds > 0 ? (calls - process.shownCalls) / seconds : 0;
        process.shownCalls = calls;
        process.shownAt = now;
        lines.push_back(StatusLine(process));
    }
    return lines;
}

void NoteEnd(Process& process, int waitStatus) {
    process.exited = true;
    if (WIFSIGNALED(waitStatus)) {
        process.endProblem = "killed by signal " + std::to_string(WTERMSIG(waitStatus)) + " (" +
                             strsignal(WTERMSIG(waitStatus)) + ")";
    } else if (WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) != kSuccess) {
        process.endProblem = "exited with status " + std::to_string(WEXITSTATUS(waitStatus));
    }
}

// Whether any child has ended, noting how.
bool AnyEnded(std::vector<Process>& processes) {
    bool ended = false;
    for (Process& process : processes) {
        int waitStatus = 0;
        if (!process.exited && process.pid > 0 && waitpid(process.pid, &waitStatus, WNOHANG) > 0) {
            NoteEnd(process, waitStatus);
        }
        ended = ended || process.exited;
    }
    return ended;
}

// Waits for every started child; one that has not stopped after kStopGrace is killed.
void WaitForAll(std::vector<Process>& processes) {
    const Clock::time_point giveUp = Clock::now() + kStopGrace;
    for (Process& process : processes) {
        while (process.pid > 0 && !process.exited) {
            int waitStatus = 0;
            if (waitpid(process.pid, &waitStatus, WNOHANG) > 0) {
                NoteEnd(process, waitStatus);
            } else if (Clock::now() >= giveUp) {
                kill(process.pid, SIGKILL);
                waitpid(process.pid, &waitStatus, 0);
                process.exited = true;
                process.endProblem = "did not stop within 5 s, killed";
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }
}

// The process's problems in one line, or an empty string.
std::string ProblemsOf(const Process& process) {
    const Counters& c = *process.counters;
    std::string problems;
    if (const char* first = c.FirstProblem()) {
        problems = first;
        const std::int64_t more = Load(c.problems) - 1;
        if (more > 0) {
            problems += " (and " + std::to_string(more) + " more)";
        }
    }
    if (!process.endProblem.empty()) {
        problems += (problems.empty() ? "" : "; ") + process.endProblem;
    }
    if (problems.empty() && Load(c.samples) == 0) {
        problems = process.producer ? "wrote no samples" : "received no samples";
    }
    return problems;
}

// Prints the table and the verdict; returns whether the verdict is a pass.
bool PrintSummary(const std::vector<Process>& processes, double seconds, int producerKills) {
    std::printf("\n%-9s %7s %10s %9s %9s %9s %10s %8s\n", "process", "pid", "rate", "samples",
                "skipped", "calls/s", "empty", "problems");
    std::int64_t delivered = 0;
    int failing = 0;
    for (const Process& process : processes) {
        const Counters& c = *process.counters;
        const std::string skipped = SkippedText(process);
        const std::string empty = process.producer ? "-" : std::to_string(Load(c.emptyReads));
        std::printf("%-9s %7d %10s %9lld %9s %9.0f %10s %8lld\n", process.label.c_str(),
                    process.pid, RateText(process).c_str(), static_cast<long long>(Load(c.samples)),
                    skipped.c_str(), static_cast<double>(Load(c.calls)) / seconds, empty.c_str(),
                    static_cast<long long>(Load(c.problems)));
        delivered += process.producer ? 0 : Load(c.samples);
    }
    std::printf(
        "ran %.1f s; samples: written (producer) or received (reader); skipped: passed over\n"
        "between two reads, as the ring counted them (+: at least, a reader fell more than a lap\n"
        "behind); calls/s: WriteData or ReadData calls per second; empty: reads that found\n"
        "nothing new\n",
        seconds);
    if (producerKills > 0) {
        std::printf(
            "the producer was killed with SIGKILL %d time%s at random moments; each time a new "
            "one took over (pid above: the last)\n",
            producerKills, producerKills == 1 ? "" : "s");
    }
    std::printf("\n");
    for (const Process& process : processes) {
        const std::string problems = ProblemsOf(process);
        if (!problems.empty()) {
            std::printf("problem: %s: %s\n", process.label.c_str(), problems.c_str());
            ++failing;
        }
    }
    const int readers = static_cast<int>(processes.size()) - 1;
    const std::string across =
        producerKills > 0 ? " across " + std::to_string(producerKills + 1) + " producers" : "";
    if (failing == 0) {
        std::printf(
            "verdict: PASS (%lld samples to %d reader%s%s: whole, newest first, consecutive, none "
            "twice, skips counted)\n",
            static_cast<long long>(delivered), readers, readers == 1 ? "" : "s", across.c_str());
    } else {
        std::printf("verdict: FAIL (%d of %d processes reported problems, listed above)\n", failing,
                    readers + 1);
    }
    return failing == 0;
}

Board* MapBoard() {
    void* memory =
        mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        throw std::runtime_error(std::string("cannot map the demo's counters: ") +
                                 std::strerror(errno));
    }
    return new (memory) Board{};
}

void Start(Process& process, const std::string& name, const Board& board) {
    const pid_t demo = getpid();
    ++process.starts;
    process.pid = fork();
    if (process.pid == 0) {
        RunChild(name, process, board, demo);
    }
    if (process.pid < 0) {
        throw std::runtime_error(std::string("cannot start a process: ") + std::strerror(errno));
    }
}

// Waits until the producer has made the ring, and keeps an eye on it: a ring
// its creator did not record as this producer's belongs to someone else. A
// producer that gives up first leaves its reason, which becomes the demo's.
SharedPadRingConsumer WaitForRing(const std::string& name, Process& producer) {
    const Clock::time_point giveUp = Clock::now() + kRingWait;
    for (;;) {
        int waitStatus = 0;
        if (waitpid(producer.pid, &waitStatus, WNOHANG) > 0) {
            NoteEnd(producer, waitStatus);
            const char* reason = producer.counters->FirstProblem();
            throw std::runtime_error(reason != nullptr ? reason : producer.endProblem);
        }
        try {
            SharedPadRingConsumer ring = SharedPadRingConsumer::Open(name);
            if (ring.ProducerPid() == producer.pid) {
                return ring;
            }
        } catch (const SharedPadRingError&) {
            // Not made yet, or not this producer's: its own outcome decides.
        }
        if (Clock::now() >= giveUp) {
            kill(producer.pid, SIGKILL);
            waitpid(producer.pid, &waitStatus, 0);
            producer.exited = true;
            throw std::runtime_error("the producer did not make " + name + " within 5 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Kills the producer where it stands and starts the next, which takes over.
void ReplaceProducer(Process& producer, const std::string& name, const Board& board) {
    kill(producer.pid, SIGKILL);
    int waitStatus = 0;
    waitpid(producer.pid, &waitStatus, 0);
    Start(producer, name, board);
}

// kills moments spread at random over the run.
std::vector<Clock::time_point> KillMoments(int kills, Clock::time_point start,
                                           Clock::time_point end) {
    std::mt19937_64 random(std::random_device{}());
    std::uniform_int_distribution<Clock::rep> offset(0, (end - start).count() - 1);
    std::vector<Clock::time_point> moments;
    for (int i = 0; i < kills; ++i) {
        moments.push_back(start + Clock::duration(offset(random)));
    }
    std::sort(moments.begin(), moments.end());
    return moments;
}

}  // namespace

int RunDemo(const DemoOptions& options) {
    InstallStopHandlers();
    const std::string name = SharedPadRingMapping::ObjectName(
        options.name.empty() ? "padring-demo-" + std::to_string(getpid()) : options.name);
    Board* board = MapBoard();

    std::vector<Process> processes;
    processes.emplace_back("producer", true, options.rateHz, &board->counters[0]);
    for (int i = 0; i < options.readers; ++i) {
        const double hz = kReaderRates[i % std::size(kReaderRates)];
        processes.emplace_back("reader " + std::to_string(i + 1), false, hz,
                               &board->counters[1 + i]);
    }
    std::printf(
        "padring demo: a producer at %s and %d reader%s share the pad ring %s for %g s "
        "(Ctrl-C stops early)\n",
        HzText(options.rateHz).c_str(), options.readers, options.readers == 1 ? "" : "s",
        name.c_str(), options.seconds);
    if (options.producerKills > 0) {
        std::printf(
            "the producer is killed with SIGKILL %d times at random moments and taken "
            "over by a new one\n",
            options.producerKills);
    }
    std::fflush(stdout);  // the children must not inherit unwritten output

    const Clock::time_point start = Clock::now();
    Process& producer = processes.front();
    std::string startProblem;
    std::optional<SharedPadRingConsumer> ring;  // the ring this demo made, to remove at the end
    try {
        producer.shownAt = start;
        Start(producer, name, *board);
        ring.emplace(WaitForRing(name, producer));
        for (std::size_t i = 1; i < processes.size(); ++i) {
            processes[i].shownAt = start;
            Start(processes[i], name, *board);
        }
    } catch (const std::exception& error) {
        startProblem = error.what();
    }

    LiveStatus status(stdout);
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(options.seconds));
    const std::vector<Clock::time_point> kills = KillMoments(options.producerKills, start, end);
    std::size_t killed = 0;
    while (startProblem.empty() && !StopRequested() && Clock::now() < end && !AnyEnded(processes)) {
        if (status.Due()) {
            status.Show(StatusLines(processes));
        }
        if (killed < kills.size() && Clock::now() >= kills[killed]) {
            try {
                ReplaceProducer(producer, name, *board);
            } catch (const std::exception& error) {
                startProblem = error.what();
            }
            ++killed;
            continue;
        }
        const Clock::time_point wake = killed < kills.size() ? std::min(end, kills[killed]) : end;
        SleepUntil(std::min(wake, Clock::now() + std::chrono::milliseconds(50)));
    }
    // relaxed: the flag carries no data; the children's results come back through waitpid.
    board->stop.store(true, std::memory_order_relaxed);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    WaitForAll(processes);
    if (status.OnTerminal() && startProblem.empty()) {
        status.Show(StatusLines(processes));
    }
    try {
        if (ring && ring->StillLinked()) {
            SharedPadRingMapping::Remove(name);
        }
    } catch (const SharedPadRingError& error) {
        if (startProblem.empty()) {
            startProblem = error.what();
        }
    }

    if (!startProblem.empty()) {
        munmap(board, sizeof(Board));
        throw std::runtime_error(startProblem);
    }
    const bool pass = PrintSummary(processes, seconds, static_cast<int>(killed));
    munmap(board, sizeof(Board));
    return pass ? kSuccess : kFailure;
}

}  // namespace padring
