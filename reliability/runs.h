// The reliability runs. Each brings up its own simulated machine and serving side, runs for
// about `seconds`, tears everything down and reports what it tried and what was lost.
#pragma once

#include "reliability/stack.h"

namespace reliability {

// Two initiators on two host controllers read the whole disc over and over while the
// buses reset at random moments.
RunReport RunStorm(const RunOptions& options);
// A hostile node beside a well-behaved initiator reading the disc.
RunReport RunHostile(const RunOptions& options);
// Failed and delayed bus transactions, pool allocation failures and engine read errors.
RunReport RunFaults(const RunOptions& options);
// The unit closed, the target removed, the image unmounted with commands in flight.
RunReport RunTeardown(const RunOptions& options);

}  // namespace reliability
