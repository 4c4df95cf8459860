// padring's subcommands. Each returns the process's exit status; failures to
// reach a ring are thrown as SharedRingError with a one-line message.
#pragma once

#include <string>

namespace padring {

enum ExitStatus { kSuccess = 0, kFailure = 1, kUsage = 2 };

constexpr int kMaxReaders = 16;

struct DemoOptions {
    int readers = 3;
    double seconds = 5.0;
    double rateHz = 1000.0;
    std::string name;  // empty: one named after the demo's process id
};

// One producer process and options.readers consumer processes on one ring;
// kFailure when any delivered sample breaks the ring's promises.
int RunDemo(const DemoOptions& options);

// Creates the ring and writes samples into it until stopped, then removes it.
int RunProduce(const std::string& name, double rateHz);

// Attaches read-only as one more consumer and prints every sample it gets.
int RunWatch(const std::string& name);

// Prints the control fields and the eight slots of a live ring once.
int RunDump(const std::string& name);

}  // namespace padring
