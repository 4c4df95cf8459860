// The producer's and the consumer's loops, shared by the demo's processes and
// by the produce command.
#pragma once

#include <functional>

#include "Counters.h"
#include "PadPattern.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"

namespace padring {

// Called between ring calls; returns false to end the loop.
using KeepGoing = std::function<bool()>;

// Writes PadSample(0), PadSample(1), ... at rateHz. Samples that fell due
// while the process was held up go in as one batch.
void ProduceSamples(qor::hidlow::QVA::PadLifoRing& ring, double rateHz, Counters& counters,
                    const KeepGoing& keepGoing);

// Reads with a cursor of its own pollHz times a second (0: as fast as it can)
// and checks every read with a ReadCheck.
void ConsumeSamples(const qor::hidlow::QVA::PadLifoRing& ring, double pollHz, Counters& counters,
                    const KeepGoing& keepGoing);

}  // namespace padring
