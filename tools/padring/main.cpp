// padring: shows a pad ring at work between processes, and looks inside a
// live one.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "Commands.h"

namespace {

constexpr const char* kExitStatusNote =
    "Exit status: 0 success, 1 a ring could not be used or broke a promise, 2 bad usage.";

std::string Plain(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// One message for a value that is no number, not whole, or out of range.
CLI::Validator NumberIn(double low, double high, bool whole) {
    const std::string range = Plain(low) + " to " + Plain(high);
    const std::string kind = whole ? "a whole number" : "a number";
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const double value = std::strtod(text.c_str(), &end);
            const bool number = !text.empty() && *end == '\0' && errno == 0 && std::isfinite(value);
            if (!number || (whole && value != std::floor(value)) || value < low || value > high) {
                return "'" + text + "' is not " + kind + " from " + range;
            }
            return std::string();
        },
        range);
}

// Permission bits written in octal, as chmod takes them.
CLI::Validator OctalMode() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const bool octal = !text.empty() && text.size() <= 4 &&
                               text.find_first_not_of("01234567") == std::string::npos;
            return octal ? std::string() : "'" + text + "' is not an octal mode such as 0644";
        },
        "MODE");
}

void AddNameOption(CLI::App& command, std::string& name, const char* what) {
    command.add_option("--name", name, what)->required()->type_name("NAME");
}

}  // namespace

int main(int argc, char** argv) {
    using namespace padring;

    CLI::App app{
        "padring: a lock-free pad sample ring shared between processes.\n"
        "One producer writes pad samples; every consumer reads the newest ones it has not seen."};
    app.name("padring");
    app.footer(kExitStatusNote);
    app.require_subcommand(1);

    DemoOptions demo;
    CLI::App* demoCommand = app.add_subcommand(
        "demo", "Producer and consumer processes on one ring, live, then a verdict");
    demoCommand->add_option("--readers", demo.readers, "consumer processes")
        ->check(NumberIn(1, kMaxReaders, true))
        ->capture_default_str();
    demoCommand->add_option("--seconds", demo.seconds, "how long to run")
        ->check(NumberIn(0.1, 86400, false))
        ->capture_default_str();
    demoCommand->add_option("--rate", demo.rateHz, "samples the producer writes per second")
        ->check(NumberIn(1, 1e6, false))
        ->type_name("HZ")
        ->capture_default_str();
    demoCommand
        ->add_option("--kill-producer", demo.producerKills,
                     "kill the producer with SIGKILL this many times at random moments, a new "
                     "one taking over each time")
        ->check(NumberIn(0, kMaxProducerKills, true))
        ->type_name("N")
        ->capture_default_str();
    demoCommand
        ->add_option("--name", demo.name,
                     "shared-memory object for the ring (default: padring-demo-PID)")
        ->type_name("NAME");

    ProduceOptions produce;
    std::string produceMode = "0600";
    CLI::App* produceCommand = app.add_subcommand(
        "produce",
        "Makes a ring, or takes over one whose producer is gone, and writes into it until "
        "Ctrl-C");
    AddNameOption(*produceCommand, produce.name, "shared-memory object of the ring");
    produceCommand->add_option("--rate", produce.rateHz, "samples per second")
        ->check(NumberIn(1, 1e6, false))
        ->type_name("HZ")
        ->capture_default_str();
    produceCommand
        ->add_option("--mode", produceMode,
                     "permission bits of a ring it makes: 0644 lets every user read, 0640 the "
                     "group")
        ->check(OctalMode())
        ->capture_default_str();
    produceCommand->add_flag("--keep", produce.keep,
                             "leave the ring to the next producer instead of removing it");

    std::string removeName;
    CLI::App* removeCommand = app.add_subcommand("remove", "Removes a ring that no producer holds");
    AddNameOption(*removeCommand, removeName, "shared-memory object of the ring");

    std::string watchName;
    CLI::App* watchCommand = app.add_subcommand(
        "watch", "Attaches as one more consumer and prints every sample it gets");
    AddNameOption(*watchCommand, watchName, "shared-memory object of a running producer");

    std::string dumpName;
    CLI::App* dumpCommand =
        app.add_subcommand("dump", "Prints a ring's control fields and its eight slots once");
    AddNameOption(*dumpCommand, dumpName, "shared-memory object of the ring");

    const std::vector<CLI::App*> commands = {demoCommand, produceCommand, watchCommand, dumpCommand,
                                             removeCommand};
    for (CLI::App* command : commands) {
        command->footer(kExitStatusNote);
    }
    auto known = [&commands](const std::string& word) {
        for (const CLI::App* command : commands) {
            if (command->get_name() == word) {
                return true;
            }
        }
        return false;
    };
    if (argc > 1 && argv[1][0] != '-' && !known(argv[1])) {
        std::fprintf(
            stderr,
            "padring: unknown command '%s' (commands: demo, produce, watch, dump, remove)\n",
            argv[1]);
        return kUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        std::string helpCommand = "padring --help";
        for (const CLI::App* command : commands) {
            if (command->parsed()) {
                helpCommand = "padring " + command->get_name() + " --help";
            }
        }
        std::fprintf(stderr, "padring: %s (see %s)\n", error.what(), helpCommand.c_str());
        return kUsage;
    }

    try {
        if (demoCommand->parsed()) {
            return RunDemo(demo);
        }
        if (produceCommand->parsed()) {
            produce.mode = static_cast<mode_t>(std::stoul(produceMode, nullptr, 8));
            return RunProduce(produce);
        }
        if (watchCommand->parsed()) {
            return RunWatch(watchName);
        }
        if (removeCommand->parsed()) {
            return RunRemove(removeName);
        }
        return RunDump(dumpName);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "padring: %s\n", error.what());
        return kFailure;
    }
}
