// padring's subcommands. Each returns the process's exit status; failures to
// reach a ring are thrown with a one-line message that names it.
#pragma once

#include <sys/types.h>

#include <string>

namespace padring {

enum ExitStatus { kSuccess = 0, kFailure = 1, kUsage = 2 };

constexpr int kMaxReaders = 16;
constexpr int kMaxProducerKills = 1000;

struct DemoOptions {
    int readers = 3;
    double seconds = 5.0;
    double rateHz = 1000.0;
    int producerKills = 0;  // SIGKILLs at random moments, each followed by a takeover
    std::string name;       // empty: one named after the demo's process id
};

struct WatchOptions {
    std::string name;
    std::string owner;  // a user whose rings to trust besides this one's and root's
    bool wait = false;  // until a producer makes the ring, instead of giving up at once
};

// A ring to read, for dump and show.
struct ReadOptions {
    std::string name;
    std::string owner;  // as for watch
};

struct ProduceOptions {
    std::string name;
    double rateHz = 1000.0;
    mode_t mode = 0600;
    bool keep = false;  // leave the ring for the next producer instead of removing it
};

struct RecordOptions {
    std::string name;
    std::string owner;   // as for watch
    double seconds = 0;  // 0: until stopped
    std::string out;     // empty: standard output
    bool wait = false;   // until a producer makes the ring, instead of giving up at once
};

// One producer process and options.readers consumer processes on one ring;
// kFailure when any delivered sample breaks the ring's promises.
int RunDemo(const DemoOptions& options);

// Makes the ring, or takes over one whose producer is gone, and writes
// samples into it until stopped.
int RunProduce(const ProduceOptions& options);

// Attaches read-only as one more consumer and prints every sample it gets.
int RunWatch(const WatchOptions& options);

// Writes every sample a consumer of its own receives, with its time, as text
// (# padring samples 1, then MICROSECONDS HOLD TRIGGER RELEASE X Y).
int RunRecord(const RecordOptions& options);

// A live picture of one pad in the terminal, redrawn at 60 Hz, until q or
// Ctrl-C.
int RunShow(const ReadOptions& options);

// Prints the owner, the producer, the control fields and the eight slots of a
// ring once.
int RunDump(const ReadOptions& options);

// Removes a ring that no producer holds.
int RunRemove(const std::string& name);

}  // namespace padring
