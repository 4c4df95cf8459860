// padservice: puts the controllers SDL reports on pad rings in shared memory,
// one ring per player, until SIGINT, SIGTERM or SIGHUP.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "PadService.h"
#include "Replay.h"
#include "SdlSession.h"
#include "ServiceLoop.h"

namespace {

constexpr int kMaxPlayers = 16;

volatile std::sig_atomic_t g_stopRequested = 0;

void RequestStop(int) {
    g_stopRequested = 1;
}

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

// Handled on this thread only: threads SDL starts inherit the signals
// blocked, so a signal always cuts this thread's sleep short.
void InstallStopHandlers() {
    struct sigaction action = {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void UnblockStopSignals() {
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

void Log(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace padservice;

    CLI::App app{
        "padservice: the controllers SDL reports, one pad ring per player in shared memory.\n"
        "A controller takes the lowest free player; one plugged back gets its player back."};
    app.name("padservice");
    ServiceOptions options;
    std::string mode = "0600";
    app.add_option("--name", options.prefix, "prefix of the rings: PREFIX0, PREFIX1, ...")
        ->type_name("PREFIX")
        ->capture_default_str();
    app.add_option("--players", options.players, "players, one ring each")
        ->check(CLI::Range(1, kMaxPlayers))
        ->capture_default_str();
    app.add_option("--mode", mode,
                   "permission bits of the rings it makes: 0644 lets every user read, 0640 the "
                   "group")
        ->check([](const std::string& text) {
            const bool octal = !text.empty() && text.size() <= 4 &&
                               text.find_first_not_of("01234567") == std::string::npos;
            return octal ? std::string() : "'" + text + "' is not an octal mode such as 0644";
        })
        ->capture_default_str();
    app.add_flag("--keep", options.keep,
                 "leave the rings to the next service instead of removing them");
    std::vector<std::string> replayFiles;
    app.add_option("--replay", replayFiles,
                   "play a file padring record wrote through a virtual controller of its own "
                   "(repeatable: one controller per file)")
        ->type_name("FILE")
        ->take_all()
        ->allow_extra_args(false);
    double speed = 1.0;
    app.add_option("--speed", speed, "play the replays this many times as fast")
        ->check(CLI::Range(0.01, 1000.0))
        ->capture_default_str();
    app.footer("Exit status: 0 stopped by a signal, 1 it could not start, 2 bad usage.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "padservice: %s (see padservice --help)\n", error.what());
        return 2;
    }
    options.mode = static_cast<mode_t>(std::stoul(mode, nullptr, 8));

    InstallStopHandlers();
    try {
        // Every file is read before anything plays.
        std::vector<std::vector<ReplayLine>> replayLines;
        for (const std::string& file : replayFiles) {
            replayLines.push_back(ReadReplayFile(file));
        }
        const SdlSession sdl;
        UnblockStopSignals();
        PadService service(options, Log);
        std::vector<std::unique_ptr<Replay>> replays;
        for (std::size_t i = 0; i < replayFiles.size(); ++i) {
            replays.push_back(
                std::make_unique<Replay>(replayFiles[i], std::move(replayLines[i]), speed, Log));
        }
        const std::string rings =
            service.Players() == 1
                ? "ring " + service.RingName(0)
                : "rings " + service.RingName(0) + " to " + service.RingName(service.Players() - 1);
        Log("padservice: players on " + rings + "; Ctrl-C stops and " +
            (options.keep ? "leaves" : "removes") + (service.Players() == 1 ? " it" : " them"));
        RunService(service, replays, [] { return g_stopRequested == 0; });
        service.Stop();
        Log(std::string("padservice: stopped; ") +
            (options.keep ? "left the rings to the next service" : "removed the rings"));
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "padservice: %s\n", error.what());
        return 1;
    }
}
