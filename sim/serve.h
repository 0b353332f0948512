// `skellmere-sim serve`: the drive brought up as the read job brings it up, with the
// simulated initiator logged in, and a Unix-domain socket through which other programs send
// it SCSI commands one by one (the protocol of sim/serve_protocol.h). Each command goes to
// the drive as the initiator sends any: an ORB, with a page table where the length needs
// one; commands of several connections queue on the one login as an operating system's do.
#pragma once

namespace sim {

// argv[1] is "serve". Returns the process exit status: 0 after a clean end on SIGINT or
// SIGTERM, 1 when the drive or the socket could not be brought up, 2 for a bad command line.
int ServeCommand(int argc, char** argv);
void ServeUsage();

}  // namespace sim
