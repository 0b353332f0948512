// `skellmere-sim read`: the command line of the read job (sim/read_job.h).
#pragma once

namespace sim {

// argv[1] is "read". Returns the process exit status: 0 only when every sector matched,
// 1 when the read failed or differed, 2 for a bad command line.
int ReadCommand(int argc, char** argv);
void ReadUsage();

}  // namespace sim
