// padring: shows a pad ring at work between processes, and looks inside a
// live one.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "Commands.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingMapping.h"

namespace {

using qor::hidlow::QVA::SharedPadRingError;
using qor::hidlow::QVA::SharedPadRingMapping;

constexpr const char* kExitStatusNote =
    "Exit status: 0 success, 1 a ring could not be used or broke a promise, 2 bad usage.";

// Numbers are decimal: "010" is ten, and "0x10" or "1e1" are refused, where
// CLI11 would read octal, hexadecimal or an exponent. This only checks and
// tidies the text; CLI11 converts it and CLI::Range checks the range.
CLI::Validator Decimal(bool whole) {
    return CLI::Validator(
        [whole](std::string& text) -> std::string {
            const std::size_t point = text.find('.');
            const std::string integer = text.substr(0, point);
            const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
            const bool digits = !integer.empty() &&
                                integer.find_first_not_of("0123456789") == std::string::npos &&
                                fraction.find_first_not_of("0123456789") == std::string::npos;
            if (!digits || (whole && point != std::string::npos)) {
                return "'" + text + "' is not a decimal " + (whole ? "whole number" : "number");
            }
            const std::size_t first = integer.find_first_not_of('0');
            text = (first == std::string::npos ? "0" : integer.substr(first)) +
                   (point == std::string::npos ? "" : "." + fraction);
            return std::string();
        },
        whole ? "WHOLE" : "NUMBER");
}

// Permission bits written in octal, as chmod takes them, handed on to CLI11 as
// the number they stand for.
CLI::Validator OctalMode() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const bool octal = !text.empty() && text.size() <= 4 &&
                               text.find_first_not_of("01234567") == std::string::npos;
            if (!octal) {
                return "'" + text + "' is not an octal mode such as 0644";
            }
            text = std::to_string(std::stoul(text, nullptr, 8));
            return std::string();
        },
        "MODE");
}

// A name the library takes, checked by the library, so that a bad one is a
// usage error like any other.
CLI::Validator RingName() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            try {
                SharedPadRingMapping::ObjectName(text);
                return std::string();
            } catch (const SharedPadRingError& error) {
                return error.what();
            }
        },
        "NAME");
}

CLI::Option* AddNameOption(CLI::App& command, std::string& name, const char* what) {
    return command.add_option("--name", name, what)->check(RingName());
}

// The ring a consumer command reads, and whose rings it trusts.
void AddRingToRead(CLI::App& command, std::string& name, std::string& owner,
                   const char* what = "shared-memory object of the ring") {
    AddNameOption(command, name, what)->required();
    command
        .add_option("--owner", owner,
                    "a user whose rings to trust besides yours and root's (a ring other users "
                    "may write is never trusted)")
        ->type_name("USER");
}

// A closed standard stream is opened on /dev/null before anything else, so
// that no ring's descriptor takes its number and the process's output never
// lands in a ring. Opened read-only, a closed stdout still fails every write.
void KeepStandardStreamsTaken() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int opened = open("/dev/null", O_RDONLY);
            if (opened >= 0 && opened != fd) {
                dup2(opened, fd);
                close(opened);
            }
        }
    }
}

// A failed write to stdout makes the command fail, with one line on stderr;
// a reader that went away (a closed pipe) is no error.
int FinishOutput(int status) {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
        return status;
    }
    if (errno == EPIPE) {
        return status;
    }
    std::fprintf(stderr, "padring: cannot write the output: %s\n", std::strerror(errno));
    return padring::kFailure;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace padring;
    KeepStandardStreamsTaken();

    CLI::App app{
        "padring: a lock-free pad sample ring shared between processes.\n"
        "One producer writes pad samples; every consumer reads the newest ones it has not seen."};
    app.name("padring");
    app.footer(kExitStatusNote);
    app.set_version_flag("--version", "padring " QOR_VERSION);
    app.require_subcommand(1);

    DemoOptions demo;
    CLI::App* demoCommand = app.add_subcommand(
        "demo", "Producer and consumer processes on one ring, live, then a verdict");
    demoCommand->add_option("--readers", demo.readers, "consumer processes")
        ->transform(Decimal(true))
        ->check(CLI::Range(1, kMaxReaders))
        ->capture_default_str();
    demoCommand->add_option("--seconds", demo.seconds, "how long to run")
        ->transform(Decimal(false))
        ->check(CLI::Range(0.1, 86400.0))
        ->capture_default_str();
    demoCommand->add_option("--rate", demo.rateHz, "samples the producer writes per second")
        ->transform(Decimal(false))
        ->check(CLI::Range(1.0, 1e6))
        ->type_name("HZ")
        ->capture_default_str();
    demoCommand
        ->add_option("--kill-producer", demo.producerKills,
                     "kill the producer with SIGKILL this many times at random moments, a new "
                     "one taking over each time")
        ->transform(Decimal(true))
        ->check(CLI::Range(0, kMaxProducerKills))
        ->type_name("N")
        ->capture_default_str();
    AddNameOption(*demoCommand, demo.name,
                  "shared-memory object for the ring, which must not exist yet (default: "
                  "padring-demo-PID)");

    ProduceOptions produce;
    CLI::App* produceCommand = app.add_subcommand(
        "produce",
        "Makes a ring, or takes over one whose producer is gone, and writes into it until "
        "Ctrl-C");
    AddNameOption(*produceCommand, produce.name, "shared-memory object of the ring")->required();
    produceCommand->add_option("--rate", produce.rateHz, "samples per second")
        ->transform(Decimal(false))
        ->check(CLI::Range(1.0, 1e6))
        ->type_name("HZ")
        ->capture_default_str();
    produceCommand
        ->add_option("--mode", produce.mode,
                     "permission bits of a ring it makes: 0644 lets every user read, 0640 the "
                     "group")
        ->transform(OctalMode())
        ->default_str("0600");
    produceCommand->add_flag("--keep", produce.keep,
                             "leave the ring to the next producer instead of removing it");

    std::string removeName;
    CLI::App* removeCommand = app.add_subcommand("remove", "Removes a ring that no producer holds");
    AddNameOption(*removeCommand, removeName, "shared-memory object of the ring")->required();

    WatchOptions watch;
    CLI::App* watchCommand = app.add_subcommand(
        "watch", "Attaches as one more consumer and prints every sample it gets");
    AddRingToRead(*watchCommand, watch.name, watch.owner,
                  "shared-memory object of a running producer");
    watchCommand->add_flag("--wait", watch.wait,
                           "wait for a producer to make the ring instead of giving up");

    ReadOptions dump;
    CLI::App* dumpCommand = app.add_subcommand(
        "dump", "Prints a ring's owner, producer, control fields and eight slots once");
    AddRingToRead(*dumpCommand, dump.name, dump.owner);

    RecordOptions record;
    CLI::App* recordCommand = app.add_subcommand(
        "record", "Writes every sample it receives, with its time, as text a replay can play");
    AddRingToRead(*recordCommand, record.name, record.owner);
    recordCommand->add_flag("--wait", record.wait,
                            "wait for a producer to make the ring instead of giving up");
    recordCommand
        ->add_option("--seconds", record.seconds, "how long to record (default: until Ctrl-C)")
        ->transform(Decimal(false))
        ->check(CLI::Range(0.001, 1e9));
    recordCommand->add_option("--out", record.out, "the file to write (default: standard output)")
        ->type_name("FILE");

    ReadOptions show;
    CLI::App* showCommand = app.add_subcommand(
        "show", "A live picture of one pad: buttons, stick, controller, rate and producer");
    AddRingToRead(*showCommand, show.name, show.owner);

    const std::vector<CLI::App*> commands = {demoCommand, produceCommand, watchCommand,
                                             dumpCommand, removeCommand,  recordCommand,
                                             showCommand};
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
        std::fprintf(stderr,
                     "padring: unknown command '%s' (commands: demo, produce, watch, dump, remove, "
                     "record, show)\n",
                     argv[1]);
        return kUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& helpOrVersion) {
        return app.exit(helpOrVersion);
    } catch (const CLI::ParseError& error) {
        std::string helpCommand = "padring --help";
        std::string problem = error.what();
        for (const CLI::App* command : commands) {
            if (command->parsed()) {
                helpCommand = "padring " + command->get_name() + " --help";
                // An unknown option matters more than the required one it may
                // have been meant as (--nme for --name).
                const std::vector<std::string> unknown = command->remaining();
                if (!unknown.empty()) {
                    problem = CLI::ExtrasError({unknown.rbegin(), unknown.rend()}).what();
                }
            }
        }
        std::fprintf(stderr, "padring: %s (see %s)\n", problem.c_str(), helpCommand.c_str());
        return kUsage;
    }

    int status = kFailure;
    try {
        if (demoCommand->parsed()) {
            status = RunDemo(demo);
        } else if (produceCommand->parsed()) {
            status = RunProduce(produce);
        } else if (watchCommand->parsed()) {
            status = RunWatch(watch);
        } else if (showCommand->parsed()) {
            status = RunShow(show);
        } else if (recordCommand->parsed()) {
            status = RunRecord(record);
        } else if (removeCommand->parsed()) {
            status = RunRemove(removeName);
        } else {
            status = RunDump(dump);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "padring: %s\n", error.what());
    }
    return FinishOutput(status);
}
