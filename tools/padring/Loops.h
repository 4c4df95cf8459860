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

// Where a producer goes on in the pattern: after the newest sample readers
// find in the ring, or at 0 when it holds none of the pattern's samples.
Sequence NextInPattern(const qor::hidlow::QVA::PadLifoRing& ring);

// Writes PadSample(first), PadSample(first + 1), ... at rateHz. Samples that
// fell due while the process was held up go in as one batch. counters.samples
// follows the pattern: the next sample's number.
void ProduceSamples(qor::hidlow::QVA::PadLifoRing& ring, Sequence first, double rateHz,
                    Counters& counters, const KeepGoing& keepGoing);

// Reads with a cursor of its own pollHz times a second (0: as fast as it can)
// and checks every read with a ReadCheck.
void ConsumeSamples(const qor::hidlow::QVA::PadLifoRing& ring, double pollHz, Counters& counters,
                    const KeepGoing& keepGoing);

}  // namespace padring
