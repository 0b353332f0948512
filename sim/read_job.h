// The read job: the serving side brought up as the tray program drives it (targets, the
// device access library on every host controller, target 0 with the default identity, an
// image mounted), and a simulated initiator that reads the whole disc the way an operating
// system does, comparing every sector with the image's data: the TOC says where the tracks
// are, data tracks are read with READ(10) and audio tracks with READ CD, track by track.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/bus1394/bus1394.h"
#include "sim/initiator.h"
#include "sim/rom.h"

namespace sim {

enum class Client { kWindows, kMac };

struct ReadJobOptions {
  std::string image;   // mounted into target 0
  std::string expect;  // whose user data the sectors are compared with; empty: `image`
  // The unit directory variant and the initiator's behaviour: a Windows initiator links
  // several ORBs behind each other, a Mac one sends one command at a time.
  Client client = Client::kWindows;
  uint8_t speed = bus1394::SPEED_S400;  // of the initiator's link and the controller's
  // Paced: answers leave at the drive's timing. Unpaced: the engine reports no rotation,
  // so only becoming ready and spin-up delay an answer.
  bool paced = true;
  // Wire time on the bus (platform/bus1394/wire_time.h): packets take as long as on a real
  // cable, so the figure is what a real bus would carry.
  bool wire = false;
  uint32_t sectors_per_command = 32;  // 64 KiB READ(10)s
  int in_flight = 8;                  // commands handed to the initiator at once
  // Called after every READ(10) with the sectors done so far and the capacity.
  std::function<void(uint64_t done, uint64_t total)> progress;
};

// Answer time minus deadline of every answer the target held back, in microseconds.
struct PacingSummary {
  uint64_t answers = 0;
  int64_t p50_us = 0;
  int64_t p99_us = 0;
};

// One track as read: its place from the TOC, its length up to the next track's pregap or
// its session's lead-out (the pregaps between tracks are not read, as ripping software
// reads), and how it compared with the image's track.
struct TrackReport {
  uint8_t number = 0;
  bool audio = false;    // read with READ CD as CD-DA, 2,352 bytes a sector; else READ(10)
  uint64_t start = 0;    // LBA of index 1
  uint64_t sectors = 0;  // the track's length as the initiator found it
  uint64_t read = 0;     // sectors read before the job ended
  uint64_t mismatched = 0;  // of those, sectors that differ from the image's
  std::string sha256;    // of the track's data as read
  bool match = false;    // read whole, equal to the image's data, and where the image has it
};

struct ReadJobReport {
  bool match = false;  // every sector of the capacity was read and equals the expected data
  std::string error;   // why the job stopped early, or what differed; empty when matched
  std::string vendor, product, revision;  // INQUIRY, trailing spaces removed
  uint64_t capacity = 0;        // READ CAPACITY, sectors
  uint64_t sectors = 0;         // read by READ(10) and READ CD, over all tracks
  uint64_t bytes = 0;
  double seconds = 0;           // first read sent to last answered
  // What the drive's timing model says the same reads take (paced reads only, else 0).
  double model_seconds = 0;
  // The first read's answer, sent to answered, and the model's figure for it (with the
  // mean wait for the rotation grid, which adds up to one period).
  double first_answer_seconds = 0;
  double model_first_answer_seconds = 0;
  double mb_per_s = 0;          // 10^6 bytes per second
  // With wire time: what the bus carries at best for this speed, client and command size
  // (bus1394::wire::CeilingBytesPerSecond), in 10^6 bytes per second; 0 without.
  double wire_ceiling_mb_per_s = 0;
  // CPU time of the serving side's threads alone (driver callbacks and work items, login,
  // management, executor and dispatcher threads; not the simulated initiator and bus) over
  // the same span as `seconds`.
  double serving_cpu_seconds = 0;
  double serving_cpu_ms_per_mib = 0;
  uint64_t commands = 0;        // every command of the session, TEST UNIT READYs included
  uint64_t bus_requests = 0;    // asynchronous requests on the bus from discovery to the end
  uint64_t bus_packets = 0;     // the packets they went out as
  std::string sha256;           // of the data read, in LBA order
  uint64_t mismatched_sectors = 0;
  int64_t first_mismatch = -1;  // LBA
  int not_ready_answers = 0;    // 2/04/01 while the drive became ready
  int unit_attentions = 0;      // 6/28/00
  PacingSummary pacing;
  std::vector<TrackReport> tracks;  // in TOC order
};

ReadJobReport RunReadJob(const ReadJobOptions& options);

// The drive as an operating system finds it before it reads: the machine and the serving
// side brought up as for the read job (`options.image` mounted on target 0), an initiator
// of `options.client` that found the unit in the configuration ROM, logged in and waited
// until the drive was ready. Then `use` runs with them and its text is returned; else the
// text of what failed before.
std::string WithReadyDrive(const ReadJobOptions& options,
                           const std::function<std::string(Initiator& initiator)>& use);

// Nearest-rank percentile (0 < p ≤ 100) of unsorted values; 0 for none.
int64_t Percentile(std::vector<int64_t> values, double p);

}  // namespace sim
