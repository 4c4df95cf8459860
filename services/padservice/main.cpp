// padservice: puts the controllers SDL reports on pad rings in shared memory,
// one ring per player, until SIGINT, SIGTERM or SIGHUP.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "PadService.h"
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
        const SdlSession sdl;
        UnblockStopSignals();
        PadService service(options, Log);
        Log("padservice: " + std::to_string(service.Players()) + " players on " +
            service.RingName(0) + " to " + service.RingName(service.Players() - 1) +
            "; Ctrl-C stops" + (options.keep ? " and leaves them" : " and removes them"));
        RunService(service, [] { return g_stopRequested == 0; });
        service.Stop();
        Log(std::string("padservice: stopped; ") +
            (options.keep ? "left the rings to the next service" : "removed the rings"));
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "padservice: %s\n", error.what());
        return 1;
    }
}
