// `skellmere-sim info`: what an initiator sees of the drive and its medium, decoded for a
// person or as one JSON object with the raw answers.
#pragma once

namespace sim {

// argv[1] is "info". Returns the process exit status: 0 when every command answered GOOD,
// 1 when one did not or the drive could not be reached, 2 for a bad command line.
int InfoCommand(int argc, char** argv);
void InfoUsage();

}  // namespace sim
