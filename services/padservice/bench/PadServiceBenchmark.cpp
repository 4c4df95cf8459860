// How fast padservice puts a controller's change on its ring, and what the
// service costs: latency from a change on an SDL virtual controller to the
// sample being readable, with 1 and 4 controllers, and for the first change
// after a quiet spell (the service's core in this process); processor use of
// the real program over 10 s, with 4 controllers idle and with one changing
// at 1 kHz (replays, measured from /proc).
//   padservice_benchmark --padservice PATH [--quick]
#include <dirent.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "PadService.h"
#include "Replay.h"
#include "SdlSession.h"
#include "ServiceLoop.h"
#include "VirtualController.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"

namespace {

using padservice::Clock;
using qor::hid::QVA::PadStatus;
using qor::hidlow::QVA::SharedPadRingConsumer;
using Microseconds = std::chrono::duration<double, std::micro>;

class VirtualPad {
public:
    explicit VirtualPad(const std::string& name)
        : m_joystick(SDL_JoystickOpen(padservice::AttachVirtualController(name.c_str()))) {}
    void SetX(Sint16 x) { SDL_JoystickSetVirtualAxis(m_joystick, SDL_CONTROLLER_AXIS_LEFTX, x); }

private:
    SDL_Joystick* m_joystick;
};

// One consumer of a player's ring, reading every 20 µs until a sample with x
// arrives. It sleeps in between: one spinning would take a whole processor
// of two, and anything else the machine runs would then hold up the service.
class Reader {
public:
    explicit Reader(const std::string& ring) : m_ring(SharedPadRingConsumer::Open(ring)) {
        Drain(0, false);
    }
    // Whether a sample with this x arrived within a second.
    bool Drain(qor::s16 x, bool wait) {
        const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(1);
        do {
            PadStatus samples[7];
            qor::s32 count = 0;
            m_ring.Ring().ReadData(samples, 7, &count, &m_tick, &m_index);
            for (qor::s32 i = 0; i < count; ++i) {
                if (samples[i].stick.x == x) {
                    return true;
                }
            }
            if (wait) {
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        } while (wait && Clock::now() < giveUp);
        return false;
    }

private:
    SharedPadRingConsumer m_ring;
    qor::s64 m_tick = -1;
    qor::s32 m_index = -1;
};

struct Figures {
    double p50, p99, max;
    std::size_t count;
};

Figures Summarize(std::vector<double> latencies) {
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) {
        return latencies[std::min(
            latencies.size() - 1,
            static_cast<std::size_t>(q * static_cast<double>(latencies.size())))];
    };
    return Figures{at(0.5), at(0.99), latencies.back(), latencies.size()};
}

// The service's core on a thread of its own, as padservice runs it.
class ServiceThread {
public:
    explicit ServiceThread(const std::string& prefix) {
        padservice::ServiceOptions options;
        options.prefix = prefix;
        m_service = std::make_unique<padservice::PadService>(options, [](const std::string&) {});
        m_thread = std::thread([this] {
            prctl(PR_SET_TIMERSLACK, 0);  // back to the default: the service's own timing
            padservice::RunService(*m_service, m_replays, [this] { return !m_stop.load(); });
        });
    }
    ~ServiceThread() {
        m_stop = true;
        m_thread.join();
        m_service->Stop();
    }
    const std::string& RingName(int player) const { return m_service->RingName(player); }

private:
    std::unique_ptr<padservice::PadService> m_service;
    std::vector<std::unique_ptr<padservice::Replay>> m_replays;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Changes one controller after another, round robin, at random moments 1 to
// 10 ms apart, and times each change until its sample is readable.
Figures ChangeLatency(int controllers, int changes, const std::string& prefix) {
    std::vector<std::unique_ptr<VirtualPad>> pads;
    for (int i = 0; i < controllers; ++i) {
        pads.push_back(std::make_unique<VirtualPad>("bench pad " + std::to_string(i)));
    }
    ServiceThread service(prefix);
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < controllers; ++i) {
        readers.push_back(std::make_unique<Reader>(service.RingName(i)));
    }
    std::mt19937 random(42);
    std::uniform_int_distribution<int> pause(1000, 10000);
    std::vector<double> latencies;
    for (int change = 0; change < changes; ++change) {
        const int pad = change % controllers;
        const auto x = static_cast<qor::s16>(1 + change % 30000);
        const Clock::time_point start = Clock::now();
        pads[static_cast<std::size_t>(pad)]->SetX(x);
        if (readers[static_cast<std::size_t>(pad)]->Drain(x, true)) {
            latencies.push_back(Microseconds(Clock::now() - start).count());
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
    }
    return Summarize(latencies);
}

// One change after each quiet spell.
Figures AfterQuiet(std::chrono::seconds quiet, int spells, const std::string& prefix) {
    VirtualPad pad("bench pad quiet");
    ServiceThread service(prefix);
    Reader reader(service.RingName(0));
    std::vector<double> latencies;
    for (int spell = 0; spell < spells; ++spell) {
        std::this_thread::sleep_for(quiet);
        const auto x = static_cast<qor::s16>(100 + spell);
        const Clock::time_point start = Clock::now();
        pad.SetX(x);
        if (reader.Drain(x, true)) {
            latencies.push_back(Microseconds(Clock::now() - start).count());
        }
    }
    return Summarize(latencies);
}

// Processor time of every thread of a process so far, in nanoseconds, and
// the voluntary context switches (each a sleep) of its main thread.
struct Usage {
    double cpuNanoseconds = 0;
    long long sleeps = 0;
};

Usage UsageOf(pid_t pid) {
    Usage usage;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* directory = opendir(tasks.c_str());
    while (directory != nullptr) {
        const dirent* entry = readdir(directory);
        if (entry == nullptr) {
            break;
        }
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream schedstat(tasks + "/" + entry->d_name + "/schedstat");
        double onCpu = 0;
        schedstat >> onCpu;
        usage.cpuNanoseconds += onCpu;
    }
    if (directory != nullptr) {
        closedir(directory);
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            usage.sleeps = std::stoll(line.substr(line.find(':') + 1));
        }
    }
    return usage;
}

// Runs padservice on these replay files, lets it settle, and measures its
// processor use over the window: percent of one core, and sleeps a second.
std::pair<double, double> ServiceUsage(const std::string& padservice,
                                       const std::vector<std::string>& files,
                                       const std::string& prefix, std::chrono::seconds settle,
                                       std::chrono::seconds window) {
    std::fflush(stdout);  // or the child's copy of the buffer is written twice
    const pid_t child = fork();
    if (child == 0) {
        std::vector<std::string> arguments = {padservice, "--name", prefix};
        for (const std::string& file : files) {
            arguments.push_back("--replay");
            arguments.push_back(file);
        }
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (std::freopen("/dev/null", "w", stdout) == nullptr) {
            _exit(127);
        }
        execv(padservice.c_str(), argv.data());
        _exit(127);
    }
    std::this_thread::sleep_for(settle);
    const Usage before = UsageOf(child);
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(window);
    const Usage after = UsageOf(child);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    kill(child, SIGINT);
    waitpid(child, nullptr, 0);
    return {100.0 * (after.cpuNanoseconds - before.cpuNanoseconds) / 1e9 / seconds,
            static_cast<double>(after.sleeps - before.sleeps) / seconds};
}

std::string WriteReplay(const std::string& path, int lines, int periodMicroseconds) {
    std::ofstream file(path);
    file << "# padring samples 1\n";
    for (int line = 0; line < lines; ++line) {
        file << static_cast<long long>(line) * periodMicroseconds << " 0x00000000 0x0 0x0 "
             << (line % 2 == 0 ? 1000 : -1000) << " 0\n";
    }
    return path;
}

void PrintLatency(const char* what, const Figures& figures) {
    std::printf("| %s | %zu | %.0f | %.0f | %.0f |\n", what, figures.count, figures.p50,
                figures.p99, figures.max);
}

}  // namespace

int main(int argc, char** argv) {
    std::string padservicePath;
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--padservice") == 0 && i + 1 < argc) {
            padservicePath = argv[++i];
        } else {
            std::fprintf(stderr, "usage: padservice_benchmark --padservice PATH [--quick]\n");
            return 2;
        }
    }
    if (padservicePath.empty()) {
        std::fprintf(stderr, "usage: padservice_benchmark --padservice PATH [--quick]\n");
        return 2;
    }
    // The reader's 20 µs pauses to the microsecond; the service thread goes
    // back to the default slack.
    prctl(PR_SET_TIMERSLACK, 1);
    const std::string prefix = "padservice-bench-" + std::to_string(getpid()) + "-";
    const int changes = quick ? 100 : 2000;

    std::printf("| change to readable sample | changes | p50 µs | p99 µs | max µs |\n");
    std::printf("|---|---|---|---|---|\n");
    {
        const padservice::SdlSession sdl;
        PrintLatency("1 controller, changes 1-10 ms apart", ChangeLatency(1, changes, prefix));
    }
    {
        const padservice::SdlSession sdl;
        PrintLatency("4 controllers, round robin, 1-10 ms apart",
                     ChangeLatency(4, changes, prefix));
    }
    {
        const padservice::SdlSession sdl;
        PrintLatency("first change after 3 s quiet",
                     AfterQuiet(std::chrono::seconds(3), quick ? 2 : 20, prefix));
    }
    {
        const padservice::SdlSession sdl;
        PrintLatency("first change after a quiet minute",
                     AfterQuiet(std::chrono::seconds(quick ? 3 : 60), 1, prefix));
    }

    const std::string directory = "/tmp/" + prefix + "files";
    std::filesystem::create_directory(directory);
    std::vector<std::string> idle;
    for (int i = 0; i < 4; ++i) {
        idle.push_back(WriteReplay(directory + "/idle" + std::to_string(i), 1, 0));
    }
    const auto window = std::chrono::seconds(quick ? 2 : 10);
    const auto settle = std::chrono::seconds(3);
    const std::string busy = WriteReplay(
        directory + "/busy", static_cast<int>((settle + window).count() + 2) * 1000, 1000);
    std::printf("\n| padservice over %lld s | %% of one core | sleeps/s |\n",
                static_cast<long long>(window.count()));
    std::printf("|---|---|---|\n");
    const auto idleUsage = ServiceUsage(padservicePath, idle, prefix, settle, window);
    std::printf("| 4 controllers attached, idle | %.3f | %.0f |\n", idleUsage.first,
                idleUsage.second);
    const auto busyUsage = ServiceUsage(padservicePath, {busy}, prefix, settle, window);
    std::printf("| 1 controller changing at 1 kHz | %.3f | %.0f |\n", busyUsage.first,
                busyUsage.second);
    std::filesystem::remove_all(directory);
    return 0;
}
