// The drive timing model: a simulated head and rotation phase around every medium access,
// from which each command gets the moment a spinning drive would have answered.
//
// All times are MicrosecondClock microseconds. The engine reports the rotation an access
// took in 2^-24 revolution; a period P turns it into time as (P × f) >> 24.
#include <algorithm>
#include <cstring>

#include "imagepath/clock.h"
#include "imagepath/scsi_device.h"
#include "imagepath/timing.h"

namespace imagepath {
namespace {

// An answer leaves this long after the moment it is computed.
constexpr uint64_t kAnswerLatencyUs = 50;
// How far the rotation phase may run ahead of the clock before it is pulled back.
constexpr int64_t kMaxPhaseLeadUs = 4'000'000;
// A ring hit that moved more than this many sectors gives back one period less.
constexpr int64_t kLongRingMoveSectors = 128;

constexpr uint8_t kOpRead10 = 0x28;
constexpr uint8_t kOpRead12 = 0xA8;
constexpr uint8_t kFua = 0x08;

// Rounds towards +infinity; `b` > 0.
int64_t CeilDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if (a % b != 0 && a > 0) ++q;
  return q;
}

bool KeepsRotation(uint32_t result) {
  return result == kResultGood || result == kResultLbaOutOfRange ||
         result == kResultUnrecoveredRead || result == kResultIllegalModeForTrack ||
         result == kResultSeekError;
}

}  // namespace

void SetRotationPeriods(ScsiDevice* d, uint32_t rotation_period_us) {
  TimingState& t = d->timing;
  if (rotation_period_us == 0) {
    t.nominal_period = 0;
    t.minimum_period = 0;
    return;
  }
  const uint32_t minimum = timing::MinimumPeriodUs(d->sectors_per_ecc == 16, d->descriptor);
  t.minimum_period = minimum;
  t.nominal_period = std::max(rotation_period_us, minimum);
}

void ClearCommandTiming(ScsiDevice* d) {
  TimingState& t = d->timing;
  t.period = 0;
  t.ring_hit = 0;
  t.seek_time = 0;
  t.rotation_time = 0;
}

void UpdateHeadAtCommandStart(ScsiDevice* d) {
  TimingState& t = d->timing;
  if (t.seek_duration == 0) return;
  const int64_t remaining = static_cast<int64_t>(t.seek_arrival - d->command_start);
  if (remaining > 0 && remaining < static_cast<int64_t>(t.seek_duration)) {
    const int64_t target = t.seek_target;
    const int64_t head = t.head;
    t.head = static_cast<uint32_t>(target - (target - head) * remaining /
                                                static_cast<int64_t>(t.seek_duration));
    t.seek_duration = static_cast<uint64_t>(remaining);
  } else {
    t.seek_duration = 0;
    t.head = t.seek_target;
  }
}

void AbandonSeek(ScsiDevice* d) {
  TimingState& t = d->timing;
  if (t.seek_duration == 0) return;
  t.seek_target = t.head;
  t.seek_arrival = d->command_start;
  t.seek_duration = 0;
}

void Seek(ScsiDevice* d, uint32_t lba) {
  StopAudioPlay(d);
  AbandonSeek(d);
  TimingState& t = d->timing;
  // The head rests after the sector it last read.
  const uint32_t destination = lba + 1;
  if (t.nominal_period == 0) {
    t.seek_arrival = d->command_start;
    t.head = destination;
    t.seek_target = destination;
    return;
  }
  const timing::SeekSteps steps = timing::SeekStepsFor(MediumClass(d));
  const uint32_t distance = destination > t.head ? destination - t.head : t.head - destination;
  // Within one step ahead the drive just waits for the sectors to come round: no seek.
  if (destination > t.head && distance < steps.sectors && MediumClass(d) > 2) return;
  if (distance == 0) return;
  const uint64_t time = distance < steps.sectors
                            ? static_cast<uint64_t>(t.nominal_period) * distance / steps.sectors
                            : timing::SeekUs(steps, distance);
  t.seek_duration = time;
  t.seek_target = destination;
  t.seek_arrival = d->command_start + time;
}

void BeginMediumAccess(ScsiDevice* d, const ScsiRequest* request, uint32_t lba, uint32_t count) {
  StopAudioPlay(d);
  d->mechanism = mechanism::kAccess;
  AbandonSeek(d);
  TimingState& t = d->timing;
  if (t.nominal_period == 0) return;
  const uint8_t* cdb = request->cdb;
  const bool fua = (cdb[0] == kOpRead10 || cdb[0] == kOpRead12) && (cdb[1] & kFua);
  const uint64_t spe = d->sectors_per_ecc;
  const uint64_t aligned = (static_cast<uint64_t>(lba) + spe - 1) / spe * spe;
  // A read that continues where the head is, in blocks of some size, runs at full speed.
  const bool sequential = !fua && aligned == t.head && count >= 16;
  t.period = sequential ? t.minimum_period : t.nominal_period;
}

void AccountEngineAnswer(ScsiDevice* d, const MediaRequest* mr, uint32_t result) {
  uint32_t f = 0;
  if ((mr->flags & kRequestCdb) && !(mr->flags & kRequestOwnSubchannel) &&
      KeepsRotation(result)) {
    std::memcpy(&f, mr->cdb + kResultRotation, sizeof(f));
  }
  if (d->mechanism != mechanism::kAccess) return;
  d->mechanism = mechanism::kIdle;
  TimingState& t = d->timing;
  uint64_t reported = 0;
  std::memcpy(&reported, mr->cdb + kResultHeadLba, sizeof(reported));
  const uint32_t position =
      reported > d->capacity ? d->capacity : static_cast<uint32_t>(reported);
  if (t.period != 0 && f != 0) {
    if (f & kRotationFromRing) {
      t.ring_hit = 1;
      f &= ~kRotationFromRing;
    } else {
      const uint32_t distance = t.head > position ? t.head - position : position - t.head;
      t.seek_time += timing::SeekUs(timing::SeekStepsFor(MediumClass(d)), distance);
    }
    t.rotation_time += (static_cast<uint64_t>(t.period) * f) >> 24;
  } else {
    t.seek_arrival = MicrosecondClock();
  }
  t.previous_head = t.head;
  t.head = position;
}

uint64_t TimingDeadline(ScsiDevice* d, const ScsiRequest* request) {
  TimingState& t = d->timing;
  if (t.period == 0) return 0;
  const int64_t period = t.period;
  const int64_t start = static_cast<int64_t>(d->command_start);
  int64_t now = static_cast<int64_t>(MicrosecondClock() + kAnswerLatencyUs);
  int64_t rotation = static_cast<int64_t>(t.rotation_time);
  int64_t phase = static_cast<int64_t>(t.phase);

  if (t.ring_hit) {
    // The data came from the read-ahead ring: the rotation it cost was spent while the
    // drive read ahead, so the answer is due where the phase has got to.
    phase += rotation;
    const int64_t diff = now - phase;
    if (diff >= 0 || diff < -kMaxPhaseLeadUs || rotation == 0) {
      t.phase = static_cast<uint64_t>(phase + diff / period * period);
      return 0;
    }
    const int64_t moved = static_cast<int64_t>(t.head) - static_cast<int64_t>(t.previous_head);
    const int64_t spe = d->sectors_per_ecc;
    if (moved >= spe) {
      const int64_t blocks = moved / spe;
      const int64_t per_block = rotation / blocks;
      const int64_t sectors = CeilDiv(request->data_length, kBlockSize);
      const int64_t n = std::min(CeilDiv(sectors, spe), blocks);
      const int64_t elapsed = phase - start;
      if (elapsed > n * per_block) {
        int64_t k = (elapsed - n * per_block) / period;
        if (moved > kLongRingMoveSectors && k > 0) --k;
        if (k > 0) {
          phase -= k * period;
          rotation -= k * period;
        }
      }
    }
    t.phase = static_cast<uint64_t>(phase);
    t.rotation_time = static_cast<uint64_t>(rotation);
    return t.phase;
  }

  if (rotation == 0) return 0;
  // The seek must end before the sectors can come round.
  if (now - start < static_cast<int64_t>(t.seek_time)) {
    now = start + static_cast<int64_t>(t.seek_time);
  }
  phase += CeilDiv(now - phase, period) * period + rotation;
  t.phase = static_cast<uint64_t>(phase);
  return t.phase;
}

}  // namespace imagepath
