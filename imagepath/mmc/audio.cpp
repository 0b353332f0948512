// Audio play and sub-channel. The drive has no sound output: a play or scan is checked, its
// start sector is read with its Q sub-channel, and the audio state that READ SUB-CHANNEL,
// REQUEST SENSE and MECHANISM STATUS report is kept; the medium's audio callback hears of
// every start and stop. READ SUB-CHANNEL answers from Q frames the engine delivers for READ
// CD with sub-channel selection 2; outside a play, the current position comes from a cached
// block of frames around the head that the reported frame walks through once per rotation.
//
// The engine requests made here are the layer's own, not the initiator's CDB, and carry no
// rotation timing. Handlers leave the device lock only around the engine and the audio
// callback. The mechanism state is read and changed with the lock held, since a mount or
// unmount on another thread reads and changes it while a command runs; the other audio
// fields belong to the executing command alone.
#include <algorithm>
#include <cstring>

#include "imagepath/clock.h"
#include "imagepath/mmc/handlers.h"
#include "imagepath/mmc/records.h"
#include "imagepath/scsi_device.h"
#include "imagepath/timing.h"
#include "ravelkit/disc.h"

namespace imagepath {
namespace {

// ---------------------------------------------------------------------------------------
// Q sub-channel frames, 16 bytes each as READ CD returns them with sub-channel selection 2:
// CONTROL and ADR, nine bytes of Q data, the CRC, padding.

constexpr uint32_t kQFrameSize = 16;
constexpr uint8_t kAdrPosition = 1;

struct QFrame {
  uint8_t control_adr;  // CONTROL bits 4-7, ADR bits 0-3
  uint8_t q[9];         // Q data; q[k] is byte k + 1 of the frame
  uint8_t crc[2];
  uint8_t pad[4];
};
static_assert(sizeof(QFrame) == kQFrameSize);
static_assert(offsetof(QFrame, q) == 1 && offsetof(QFrame, crc) == 10);

uint8_t Adr(const QFrame& f) { return f.control_adr & 0x0F; }
uint8_t Control(const QFrame& f) { return f.control_adr >> 4; }
// Q byte `k` (1-9) of the frame.
uint8_t QByte(const QFrame& f, int k) { return f.q[k - 1]; }

using ravelkit::FromBcd;  // BCD as high nibble × 10 + low nibble, without a validity check

QFrame FrameAt(const uint8_t* bytes) { return mmc::LoadRecord<QFrame>(bytes); }

// CONTROL bits 4-7 of a frame hold these as the data track and four-channel audio flags.
constexpr uint8_t kControlData = 0x4;
constexpr uint8_t kControlFourChannel = 0x8;

// ---------------------------------------------------------------------------------------
// Position records (see PositionRecord): the four CONTROL bits sit in bit 7 of bytes 0, 1,
// 2 and 5; every other value is a plain number.

constexpr uint8_t kRecordBit7 = 0x80;
constexpr uint8_t kRecordValue = 0x7F;
enum RecordByte : int {
  kRecTrack = 0,      // control bit 3
  kRecIndex = 1,      // control bit 2
  kRecRelMinute = 2,  // control bit 1
  kRecRelSecond = 3,
  kRecRelFrame = 4,
  kRecAbsMinute = 5,  // control bit 0
  kRecAbsSecond = 6,
  kRecAbsFrame = 7,
};
// Which record byte holds each CONTROL bit, from bit 3 down to bit 0.
constexpr int kControlBytes[4] = {kRecTrack, kRecIndex, kRecRelMinute, kRecAbsMinute};

bool Empty(const PositionRecord& r) { return r.bytes[kRecTrack] == 0; }
uint8_t Track(const PositionRecord& r) { return r.bytes[kRecTrack] & kRecordValue; }
uint8_t Index(const PositionRecord& r) { return r.bytes[kRecIndex] & kRecordValue; }
uint8_t Control(const PositionRecord& r) {
  uint8_t control = 0;
  for (int byte : kControlBytes) {
    control = static_cast<uint8_t>(control << 1 | r.bytes[byte] >> 7);
  }
  return control;
}
struct Msf {
  uint8_t m, s, f;
};
Msf Absolute(const PositionRecord& r) {
  return {static_cast<uint8_t>(r.bytes[kRecAbsMinute] & kRecordValue), r.bytes[kRecAbsSecond],
          r.bytes[kRecAbsFrame]};
}
Msf Relative(const PositionRecord& r) {
  return {static_cast<uint8_t>(r.bytes[kRecRelMinute] & kRecordValue), r.bytes[kRecRelSecond],
          r.bytes[kRecRelFrame]};
}

// A frame of ADR 1 as a record.
PositionRecord Decode(const QFrame& f) {
  PositionRecord r{};
  r.bytes[kRecTrack] = FromBcd(QByte(f, 1)) & kRecordValue;
  r.bytes[kRecIndex] = FromBcd(QByte(f, 2)) & kRecordValue;
  r.bytes[kRecRelMinute] = FromBcd(QByte(f, 3)) & kRecordValue;
  r.bytes[kRecRelSecond] = FromBcd(QByte(f, 4));
  r.bytes[kRecRelFrame] = FromBcd(QByte(f, 5));
  r.bytes[kRecAbsMinute] = FromBcd(QByte(f, 7)) & kRecordValue;
  r.bytes[kRecAbsSecond] = FromBcd(QByte(f, 8));
  r.bytes[kRecAbsFrame] = FromBcd(QByte(f, 9));
  const uint8_t control = Control(f);
  for (int bit = 3, k = 0; bit >= 0; --bit, ++k) {
    if (control & (1 << bit)) r.bytes[kControlBytes[k]] |= kRecordBit7;
  }
  return r;
}

// Moves a time one frame forwards (+1) or backwards (-1). Frames wrap 74 <-> 0 and seconds
// 59 <-> 0, carrying into the next field; the minute keeps its control bit.
constexpr uint8_t kLastFrame = 74;
constexpr uint8_t kLastSecond = 59;
void StepTime(uint8_t* m, uint8_t* s, uint8_t* f, int d) {
  auto step_minute = [&](int by) {
    *m = static_cast<uint8_t>((*m & kRecordBit7) | ((*m + by) & kRecordValue));
  };
  if (d > 0) {
    if (*f < kLastFrame) {
      ++*f;
      return;
    }
    *f = 0;
    if (*s < kLastSecond) {
      ++*s;
      return;
    }
    *s = 0;
    step_minute(1);
  } else {
    if (*f > 0) {
      --*f;
      return;
    }
    *f = kLastFrame;
    if (*s > 0) {
      --*s;
      return;
    }
    *s = kLastSecond;
    step_minute(-1);
  }
}

// The record of the frame next to `from`'s in direction `d`. In a pregap (index 0) the
// relative time counts down, so it moves the other way.
PositionRecord Neighbour(const PositionRecord& from, int d) {
  PositionRecord r = from;
  StepTime(&r.bytes[kRecAbsMinute], &r.bytes[kRecAbsSecond], &r.bytes[kRecAbsFrame], d);
  StepTime(&r.bytes[kRecRelMinute], &r.bytes[kRecRelSecond], &r.bytes[kRecRelFrame],
           Index(from) == 0 ? -d : d);
  return r;
}

// Fills the empty records of a block from their neighbours; false when none is present.
bool FillEmptyRecords(PositionRecord* records, uint32_t count) {
  for (;;) {
    bool met_empty = false;
    bool any_present = false;
    for (uint32_t i = 0; i < count; ++i) {
      if (Empty(records[i])) {
        met_empty = true;
        continue;
      }
      any_present = true;
      if (i > 0 && Empty(records[i - 1])) {
        records[i - 1] = Neighbour(records[i], -1);
      } else if (i + 1 < count && Empty(records[i + 1])) {
        records[i + 1] = Neighbour(records[i], +1);
      }
    }
    if (!any_present) return false;
    if (!met_empty) return true;
  }
}

// ---------------------------------------------------------------------------------------
// READ SUB-CHANNEL answers.

constexpr uint8_t kSubQ = 0x40;          // CDB byte 2
constexpr uint8_t kSubchannelMsf = 0x02; // CDB byte 1
constexpr uint8_t kAdrShift = 4;
constexpr uint8_t kValid = 0x80;         // MCVal, TCVal
constexpr uint32_t kFramesPerMinute = 60 * ravelkit::kFramesPerSecond;

struct SubchannelHeader {
  uint8_t reserved;
  uint8_t audio_status;
  mmc::Be16Field data_length;  // bytes after the header
};
static_assert(sizeof(SubchannelHeader) == 4);

struct CurrentPosition {
  SubchannelHeader header;
  uint8_t format;       // 1
  uint8_t adr_control;  // ADR bits 4-7, CONTROL bits 0-3
  uint8_t track;
  uint8_t index;
  mmc::Be32Field absolute;  // LBA, or 0 M S F
  mmc::Be32Field relative;
};
static_assert(sizeof(CurrentPosition) == 16);
static_assert(offsetof(CurrentPosition, absolute) == 8 && offsetof(CurrentPosition, relative) == 12);

// Formats 2 and 3 share one 24-byte shape.
struct Catalogue {
  SubchannelHeader header;
  uint8_t format;
  uint8_t adr_control;  // format 3 only
  uint8_t track;        // format 3 only
  uint8_t reserved;
  uint8_t valid;        // MCVal / TCVal in bit 7
  uint8_t text[15];     // 13 digits, 0, AFRAME / 12 characters, 0, AFRAME, reserved
};
static_assert(sizeof(Catalogue) == 24);
static_assert(offsetof(Catalogue, valid) == 8 && offsetof(Catalogue, text) == 9);
constexpr int kCatalogueDigits = 13;
constexpr int kIsrcCharacters = 12;
constexpr int kIsrcCodedCharacters = 5;  // 6-bit codes; the other seven are nibbles
constexpr uint8_t kAframeCatalogue = 14;  // in `text`: byte 23
constexpr uint8_t kAframeIsrc = 13;       // byte 22

uint32_t MsfField(const Msf& t) {
  return static_cast<uint32_t>(t.m) << 16 | static_cast<uint32_t>(t.s) << 8 | t.f;
}
uint32_t Frames(const Msf& t) {
  return t.m * kFramesPerMinute + t.s * ravelkit::kFramesPerSecond + t.f;
}

void SendCurrentPosition(ScsiDevice* d, const ScsiRequest* request, const PositionRecord& r) {
  CurrentPosition answer{};
  answer.header.audio_status = AudioStatus(d);
  answer.header.data_length.Set(sizeof(answer) - sizeof(answer.header));
  answer.format = kBlockPosition;
  answer.adr_control = static_cast<uint8_t>(kAdrPosition << kAdrShift | Control(r));
  answer.track = Track(r);
  answer.index = Index(r);
  const Msf absolute = Absolute(r);
  const Msf relative = Relative(r);
  if (request->cdb[1] & kSubchannelMsf) {
    answer.absolute.Set(MsfField(absolute));
    answer.relative.Set(MsfField(relative));
  } else {
    answer.absolute.Set(Frames(absolute) - ravelkit::kLbaOffset);
    // In a pregap the relative time counts down to the track's start: a negative address.
    const uint32_t rel = Frames(relative);
    answer.relative.Set(Index(r) == 0 ? 0u - rel : rel);
  }
  PutData(d, &answer, sizeof(answer));
}

// ISRC character codes 0-9 and 17-42 are the digits and letters; anything else is not a
// character.
uint8_t IsrcCharacter(uint8_t code) {
  constexpr uint8_t kLastDigit = 9, kFirstLetter = 17, kLastLetter = 42;
  if (code <= kLastDigit || (code >= kFirstLetter && code <= kLastLetter)) {
    return static_cast<uint8_t>('0' + code);
  }
  return 0;
}

// Nibble `n` of the Q data, counting from the high nibble of byte 1.
uint8_t QNibble(const QFrame& f, int n) {
  const uint8_t byte = QByte(f, 1 + n / 2);
  return n % 2 == 0 ? byte >> 4 : byte & 0x0F;
}

void SendCatalogue(ScsiDevice* d, const ScsiRequest* request) {
  const SubchannelState& sc = d->subchannel;
  const uint8_t format = request->cdb[3];
  Catalogue answer{};
  answer.header.data_length.Set(sizeof(answer) - sizeof(answer.header));
  answer.format = format;
  const QFrame* found = nullptr;
  QFrame frame{};
  for (uint32_t i = 0; i < sc.raw_frames; ++i) {
    frame = FrameAt(d->work.bytes + i * kQFrameSize);
    if (Adr(frame) == format) {
      found = &frame;
      break;
    }
  }
  const uint8_t aframe = static_cast<uint8_t>(FromBcd(QByte(frame, 9)) % ravelkit::kFramesPerSecond);
  if (format == kBlockCatalogue) {
    if (found != nullptr) {
      answer.valid = kValid;
      for (int n = 0; n < kCatalogueDigits; ++n) {
        answer.text[n] = static_cast<uint8_t>('0' + QNibble(frame, n));
      }
      answer.text[kAframeCatalogue] = aframe;
    }
  } else {
    answer.track = sc.block_track[toc::kTrackNumber];
    if (found != nullptr) {
      answer.adr_control = static_cast<uint8_t>(kBlockIsrc << kAdrShift | Control(frame));
      answer.valid = kValid;
      // Five 6-bit codes from the 32 bits of Q bytes 1-4, most significant first.
      const uint32_t bits = static_cast<uint32_t>(QByte(frame, 1)) << 24 |
                            static_cast<uint32_t>(QByte(frame, 2)) << 16 |
                            static_cast<uint32_t>(QByte(frame, 3)) << 8 | QByte(frame, 4);
      for (int c = 0; c < kIsrcCodedCharacters; ++c) {
        answer.text[c] = IsrcCharacter(static_cast<uint8_t>(bits >> (26 - 6 * c) & 0x3F));
      }
      // Then seven nibbles from the high nibble of Q byte 5.
      for (int c = kIsrcCodedCharacters; c < kIsrcCharacters; ++c) {
        answer.text[c] = static_cast<uint8_t>('0' + QNibble(frame, 8 + c - kIsrcCodedCharacters));
      }
      answer.text[kAframeIsrc] = aframe;
    } else {
      answer.adr_control =
          static_cast<uint8_t>(kBlockIsrc << kAdrShift | (sc.block_track[toc::kAdrControl] & 0x0F));
    }
  }
  PutData(d, &answer, sizeof(answer));
}

// The record the head passes over now: the block turns under the head once per rotation
// period, starting from the head index where the rotation phase or the seek's arrival was.
const PositionRecord& RecordByTime(const ScsiDevice* d) {
  const SubchannelState& sc = d->subchannel;
  const TimingState& t = d->timing;
  if (t.seek_duration != 0 || sc.block_count == 0) return sc.block[sc.head_index];
  const uint64_t now = MicrosecondClock();
  const int64_t a = static_cast<int64_t>(now - t.phase);
  const int64_t b = static_cast<int64_t>(now - t.seek_arrival);
  int64_t since;
  if (a >= 0 && b >= 0) {
    since = std::min(a, b);
  } else if (a >= 0 || b >= 0) {
    since = std::max(a, b);
  } else {
    since = std::min(-a, -b);
  }
  // Without rotation timing the block turns as a CD at full speed.
  const uint64_t period = t.nominal_period != 0 ? t.nominal_period : timing::kMinimumPeriodUs;
  uint64_t i = static_cast<uint64_t>(since) % period * sc.block_count / period + sc.head_index;
  if (i >= sc.block_count) i -= sc.block_count;
  return sc.block[i];
}

// READ SUB-CHANNEL once its frames are in: the position passing under the head, or the
// catalogue number or ISRC found among the frames.
uint32_t SendSubChannelAnswer(ScsiDevice* d, ScsiRequest* request, bool*) {
  if (request->cdb[3] == kBlockPosition) {
    SendCurrentPosition(d, request, RecordByTime(d));
  } else {
    SendCatalogue(d, request);
  }
  return kResultGood;
}

// ---------------------------------------------------------------------------------------
// Position block reads.

constexpr uint8_t kOpReadCd = 0xBE;
constexpr uint8_t kSubchannelQ = 0x02;  // READ CD byte 10
constexpr uint32_t kCatalogueSearchFrames = 100;
constexpr uint32_t kPlacementNarrowDiff = 10;  // this close to a track's start, a short block
constexpr uint32_t kPlacementNarrowCount = 7;
// Blocks grow by one frame for every 30,000 sectors into the disc, from 11.
constexpr uint32_t kPlacementSectorsPerFrame = 30'000;
constexpr uint32_t kPlacementBaseCount = 11;

uint32_t TocDescriptors(const ScsiDevice* d) {
  const uint32_t length = Be16(d->toc);
  if (length < 2) return 0;
  return std::min<uint32_t>((length - 2) / toc::kDescriptorSize,
                            (kTocBufferSize - toc::kHeaderSize) / toc::kDescriptorSize);
}
const uint8_t* TocDescriptor(const ScsiDevice* d, uint32_t i) {
  return d->toc + toc::kHeaderSize + i * toc::kDescriptorSize;
}

// Where the engine's answer leaves the head; 2^32 and beyond count as the capacity.
uint32_t AnswerPosition(const ScsiDevice* d, const MediaRequest* mr) {
  uint64_t position = 0;
  std::memcpy(&position, mr->cdb + kResultHeadLba, sizeof(position));
  return position > d->capacity ? d->capacity : static_cast<uint32_t>(position);
}
// The engine itself answered (good, or with its CHECK CONDITION): its position is real. A
// request refused before it reached the engine leaves the head alone.
bool EngineAnswered(const MediaRequest* mr, uint32_t r) {
  return r == kResultGood || (mr->cdb[kResultFlags] & kResultCheckCondition);
}

// The block read has been answered (result `r`, mapped). With the lock held.
uint32_t EndBlockRead(ScsiDevice* d, MediaRequest* mr, uint32_t r) {
  SubchannelState& sc = d->subchannel;
  if (sc.block_moves_head && EngineAnswered(mr, r)) d->timing.head = AnswerPosition(d, mr);
  sc.block_moves_head = 0;
  // Running past the end of the medium still delivers the frames before it.
  if (r == kResultLbaOutOfRange) {
    r = kResultGood;
    d->sense[0] = 0;  // a good answer leaves nothing for REQUEST SENSE
  }
  const uint32_t delivered = std::min(mr->byteCount, d->flat.moved) / kQFrameSize;
  if (sc.block_kind != kBlockPosition) {
    sc.raw_frames = static_cast<uint16_t>(r == kResultGood ? delivered : 0);
    return r;
  }
  if (r != kResultGood) {
    ForgetPositionBlock(d);
    return r;
  }
  const uint32_t frames = std::min(delivered, kSubchannelBlockRecords);
  for (uint32_t i = 0; i < kSubchannelBlockRecords; ++i) {
    sc.block[i] = PositionRecord{};
    if (i >= frames) continue;
    const QFrame frame = FrameAt(d->work.bytes + i * kQFrameSize);
    if (Adr(frame) == kAdrPosition) sc.block[i] = Decode(frame);
  }
  if (!FillEmptyRecords(sc.block, frames)) {
    ForgetPositionBlock(d);
    return Fail(d, sense::kPositioningError, kResultSeekError);
  }
  sc.block_count = static_cast<uint8_t>(frames);
  // The head index must name one of the records that came back.
  if (sc.head_index >= sc.block_count) sc.head_index = 0;
  return kResultGood;
}

void BlockCompletion(void* user_data, MediaRequest* mr, uint32_t status) {
  auto* d = static_cast<ScsiDevice*>(user_data);
  bool held = false;
  EnterLock(d, &held);
  ScsiRequest* request = d->current;
  uint32_t r = EndBlockRead(d, mr, MapEngineAnswer(d, mr, status));
  if (r == kResultGood) r = d->subchannel.block_continuation(d, request, &held);
  FinishCommand(d, request, r, true, held);
}

// Reads the Q frames of `kind` (kBlock*): for the position, a block around the head, unless
// the cached block was read around the same sector; for the catalogue number and the ISRC,
// the first frames of the track. 997 when the answer comes later: then `continuation` runs
// on it (when good) and the command ends there. Otherwise the result; the lock is held again
// when the engine was asked, and as the caller had it when it was not.
uint32_t ReadSubChannelBlock(ScsiDevice* d, ScsiRequest* request, bool* lock_held, uint8_t kind,
                             uint8_t track_number, CommandHandler continuation) {
  SubchannelState& sc = d->subchannel;
  const uint32_t head = d->timing.head;
  const uint32_t descriptors = TocDescriptors(d);
  const uint8_t* track = nullptr;
  uint32_t start = 0;
  uint32_t end = 0;
  // The last descriptor is the lead-out: a track ends where the next begins, the last at the
  // capacity.
  for (uint32_t i = 0; i + 1 < descriptors; ++i) {
    const uint8_t* e = TocDescriptor(d, i);
    const uint32_t e_end = i + 2 < descriptors ? Be32(TocDescriptor(d, i + 1) + toc::kStart)
                                               : d->capacity;
    const bool match = kind == kBlockIsrc ? e[toc::kTrackNumber] == track_number : e_end >= head;
    if (match) {
      track = e;
      start = Be32(e + toc::kStart);
      end = e_end;
      break;
    }
  }
  if (track == nullptr) {
    sc.block_moves_head = 0;
    return InvalidField(d);
  }
  sc.block_track = track;
  sc.block_kind = kind;
  sc.block_continuation = continuation;
  const uint32_t length = end > start ? end - start : 0;

  uint32_t first = start;
  uint32_t count = 0;
  if (kind == kBlockPosition) {
    uint32_t h = head == 0 ? 0 : head - 1;
    if (h == sc.cached_lba) {
      sc.block_moves_head = 0;
      return kResultGood;
    }
    sc.cached_lba = h;
    // A head before the track's start (a disc whose first track does not start at 0) is
    // placed at the start, so the block never begins before the track.
    h = std::max(h, start);
    const uint32_t diff = h - start;
    uint32_t n = std::min(length, kSubchannelBlockRecords);
    if (diff <= kPlacementNarrowDiff && n > kPlacementNarrowCount) n = kPlacementNarrowCount;
    n = std::min(n, h / kPlacementSectorsPerFrame + kPlacementBaseCount);
    const uint32_t half = n / 2;
    const uint32_t upper = n - half;
    if (diff < half) {
      sc.head_index = static_cast<uint8_t>(diff);
      count = upper + diff;
    } else {
      const uint32_t ahead = end - h;
      sc.head_index = static_cast<uint8_t>(ahead < upper ? n - ahead : half);
      first = h - sc.head_index;
      count = n;
    }
  } else {
    count = std::min(length, kCatalogueSearchFrames);
    AbandonSeek(d);
  }

  const uint32_t bytes = count * kQFrameSize;
  std::memset(d->work.bytes, 0, bytes);
  uint8_t cdb[16] = {kOpReadCd, 0};
  PutBe32(cdb + 2, first);
  cdb[6] = static_cast<uint8_t>(count >> 16);
  cdb[7] = static_cast<uint8_t>(count >> 8);
  cdb[8] = static_cast<uint8_t>(count);
  cdb[9] = 0;  // no main channel data
  cdb[10] = kSubchannelQ;
  const uint32_t r = SendToMedium(d, request, lock_held, d->work.bytes, bytes, cdb,
                                  BlockCompletion, kRequestOwnSubchannel);
  if (r == kResultPending) return r;
  return EndBlockRead(d, &request->medium_request, r);
}

// ---------------------------------------------------------------------------------------
// Starting a play or scan.

constexpr uint32_t kStartSectorAudio = 2352;
constexpr uint32_t kStartSectorBytes = kStartSectorAudio + kQFrameSize;
static_assert(kStartSectorBytes <= kWorkAreaSize);
constexpr uint8_t kExpectCdda = 0x04;        // READ CD byte 1: expected sector type CD-DA
constexpr uint8_t kWholeSector = 0xF8;       // sync, all headers, user data, EDC/ECC
constexpr uint8_t kMaxTrackNumber = 99;
constexpr uint8_t kMaxIndex = 99;

uint32_t CallAudio(ScsiDevice* d, uint32_t call, uintptr_t a = 0, uint32_t b = 0,
                   uint32_t c = 0) {
  if (d->audio_callback == nullptr) return 1;
  return d->audio_callback(d->medium, call, a, b, c);
}

// The audio callback, with the lock left around it only: held again on return.
uint32_t CallAudioOutsideLock(ScsiDevice* d, bool* lock_held, uint32_t call, uintptr_t a = 0,
                              uint32_t b = 0, uint32_t c = 0) {
  LeaveLock(d, lock_held);
  const uint32_t r = CallAudio(d, call, a, b, c);
  EnterLock(d, lock_held);
  return r;
}

// StopAudioPlay and AskAudioPosition for a handler that may have left the lock: each takes
// it and keeps it, leaving it only for the callback.
void StopPlay(ScsiDevice* d, bool* lock_held) {
  EnterLock(d, lock_held);
  if (!AudioPlaying(d)) return;
  CallAudioOutsideLock(d, lock_held, kAudioStop);
  d->mechanism = mechanism::kIdle;
}

void AskPosition(ScsiDevice* d, bool* lock_held) {
  EnterLock(d, lock_held);
  if (!AudioPlaying(d)) return;
  AudioPosition position{};
  const uintptr_t answer = reinterpret_cast<uintptr_t>(&position);
  if (CallAudioOutsideLock(d, lock_held, kAudioPosition, answer) != 0) return;
  d->timing.head = MsfToLba(position.absolute_msf[0], position.absolute_msf[1],
                            position.absolute_msf[2]);
}

// The start position is known: the play or scan runs. Leaves the lock for the callback.
uint32_t BeginAudio(ScsiDevice* d, bool* lock_held, const PositionRecord& start) {
  SubchannelState& sc = d->subchannel;
  sc.saved_position = start;
  switch (sc.start_kind) {
    case kAudioKindScanForward: d->mechanism = mechanism::kScanForward; break;
    case kAudioKindScanReverse: d->mechanism = mechanism::kScanBackward; break;
    default: d->mechanism = mechanism::kPlaying; break;
  }
  const uint32_t audio_start = d->audio_start;
  const uint32_t audio_length = d->audio_length;
  LeaveLock(d, lock_held);
  CallAudio(d, kAudioStart, sc.start_kind, audio_start, audio_length);
  return kResultGood;
}

// The block read around the start sector has come back good: its record at the head index
// is where the play starts.
uint32_t StartFromBlock(ScsiDevice* d, ScsiRequest*, bool* lock_held) {
  return BeginAudio(d, lock_held, d->subchannel.block[d->subchannel.head_index]);
}

// The start sector has been read (`r`, mapped). With the lock held.
uint32_t StartSectorRead(ScsiDevice* d, ScsiRequest* request, bool* lock_held, uint32_t r) {
  MediaRequest* mr = &request->medium_request;
  if (EngineAnswered(mr, r)) d->timing.head = AnswerPosition(d, mr);
  if (r != kResultGood) return r;
  const QFrame q = FrameAt(d->work.bytes + kStartSectorAudio);
  if (Adr(q) == kAdrPosition) {
    const PositionRecord start = Decode(q);
    const uint8_t track = FromBcd(QByte(q, 1));
    if ((Control(q) & (kControlData | kControlFourChannel)) || track < 1 ||
        track > kMaxTrackNumber || FromBcd(QByte(q, 2)) > kMaxIndex) {
      return InvalidField(d);
    }
    return BeginAudio(d, lock_held, start);
  }
  // No position in this sector's Q (a catalogue or ISRC frame): take it from the frames
  // around it.
  d->subchannel.block_moves_head = 1;
  r = ReadSubChannelBlock(d, request, lock_held, kBlockPosition, 0, StartFromBlock);
  if (r != kResultGood) return r;
  return StartFromBlock(d, request, lock_held);
}

void StartSectorCompletion(void* user_data, MediaRequest* mr, uint32_t status) {
  auto* d = static_cast<ScsiDevice*>(user_data);
  bool held = false;
  EnterLock(d, &held);
  ScsiRequest* request = d->current;
  const uint32_t r = StartSectorRead(d, request, &held, MapEngineAnswer(d, mr, status));
  FinishCommand(d, request, r, true, held);
}

// Reads the start sector with its Q (audio start set); the play or scan of `kind` begins
// when it is a valid audio position.
uint32_t ReadStartSector(ScsiDevice* d, ScsiRequest* request, bool* lock_held, uint8_t kind) {
  d->subchannel.start_kind = kind;
  d->subchannel.block_moves_head = 0;
  std::memset(d->work.bytes, 0, kStartSectorBytes);
  uint8_t cdb[16] = {kOpReadCd, kExpectCdda};
  PutBe32(cdb + 2, d->audio_start);
  cdb[8] = 1;
  cdb[9] = kWholeSector;
  cdb[10] = kSubchannelQ;
  const uint32_t r = SendToMedium(d, request, lock_held, d->work.bytes, kStartSectorBytes, cdb,
                                  StartSectorCompletion);
  if (r == kResultPending) return r;
  return StartSectorRead(d, request, lock_held, r);
}

// A play of `count` sectors from `start` (0xFFFFFFFF: where audio plays now).
uint32_t StartAudio(ScsiDevice* d, ScsiRequest* request, bool* lock_held, uint32_t start,
                    uint32_t count) {
  constexpr uint32_t kCurrentPosition = 0xFFFFFFFF;
  EnterLock(d, lock_held);
  if (!IsCdClass(MediumClass(d))) return IncompatibleMedium(d);
  if (count == 0) return kResultGood;
  if (start == kCurrentPosition) {
    AskPosition(d, lock_held);
    start = d->timing.head;
  }
  if (start >= d->capacity) return Fail(d, sense::kLbaOutOfRange, kResultInvalidField);
  if (start + count < start) count = d->capacity - start + 1;
  StopPlay(d, lock_held);
  d->audio_start = start;
  d->audio_length = count;
  d->last_lba = start + count - 1;
  return ReadStartSector(d, request, lock_held, kAudioKindPlay);
}

// An MSF field of a CDB: FF:FF:FF is where audio plays now.
constexpr uint8_t kMsfCurrent = 0xFF;
bool IsCurrentMsf(const uint8_t* msf) {
  return msf[0] == kMsfCurrent && msf[1] == kMsfCurrent && msf[2] == kMsfCurrent;
}

// A play from the MSF at `start_msf` up to the one at `end_msf`. Frames are counted from
// 00:00:00, so that addresses inside the first two seconds cannot wrap below the start.
uint32_t PlayMsfRange(ScsiDevice* d, ScsiRequest* request, bool* lock_held,
                      const uint8_t* start_msf, const uint8_t* end_msf) {
  uint64_t start;
  if (IsCurrentMsf(start_msf)) {
    AskPosition(d, lock_held);
    start = static_cast<uint64_t>(d->timing.head) + ravelkit::kLbaOffset;
  } else {
    start = Frames({start_msf[0], start_msf[1], start_msf[2]});
  }
  const uint64_t end = Frames({end_msf[0], end_msf[1], end_msf[2]});
  if (end < start) return InvalidField(d);
  return StartAudio(d, request, lock_held, static_cast<uint32_t>(start - ravelkit::kLbaOffset),
                    static_cast<uint32_t>(end - start));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Hooks of the frame and the reading commands.

void StopAudioPlay(ScsiDevice* d) {
  if (!AudioPlaying(d)) return;
  CallAudio(d, kAudioStop);
  d->mechanism = mechanism::kIdle;
}

void AskAudioPosition(ScsiDevice* d) {
  if (!AudioPlaying(d)) return;
  AudioPosition position{};
  if (CallAudio(d, kAudioPosition, reinterpret_cast<uintptr_t>(&position)) != 0) return;
  d->timing.head = MsfToLba(position.absolute_msf[0], position.absolute_msf[1],
                            position.absolute_msf[2]);
}

void ForgetPositionBlock(ScsiDevice* d) {
  d->subchannel.cached_lba = kNoCachedLba;
  d->subchannel.block_count = 0;
}

namespace mmc {

uint32_t ReadSubChannel(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  const uint8_t format = cdb[3];
  if (!OnlyBits(cdb[1], kSubchannelMsf) || !OnlyBits(cdb[2], kSubQ) ||
      (format != kBlockPosition && format != kBlockCatalogue && format != kBlockIsrc) ||
      !ZeroBytes(cdb, {4, 5, 9})) {
    return InvalidField(d);
  }
  if (!IsCdClass(MediumClass(d))) return IncompatibleMedium(d);
  LimitData(d, Be16(cdb + 7));
  if (!(cdb[2] & kSubQ)) {
    SubchannelHeader header{};
    header.audio_status = AudioStatus(d);
    PutData(d, &header, sizeof(header));
    return kResultGood;
  }
  if (format == kBlockPosition && AudioPlaying(d)) {
    SendCurrentPosition(d, request, d->subchannel.saved_position);
    return kResultGood;
  }
  const uint32_t r =
      ReadSubChannelBlock(d, request, lock_held, format, cdb[6], SendSubChannelAnswer);
  if (r != kResultGood) return r;
  return SendSubChannelAnswer(d, request, lock_held);
}

uint32_t PlayAudio10(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  if (!ZeroBytes(cdb, {1, 6, 9})) return InvalidField(d);
  return StartAudio(d, request, lock_held, Be32(cdb + 2), Be16(cdb + 7));
}

uint32_t PlayAudio12(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  if (!ZeroBytes(cdb, {1, 10, 11})) return InvalidField(d);
  return StartAudio(d, request, lock_held, Be32(cdb + 2), Be32(cdb + 6));
}

uint32_t PlayAudioMsf(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  if (!ZeroBytes(cdb, {1, 2, 9})) return InvalidField(d);
  return PlayMsfRange(d, request, lock_held, cdb + 3, cdb + 6);
}

uint32_t PlayCd(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  constexpr uint8_t kMsf = 0x02;
  constexpr uint8_t kSectorTypeShift = 2;
  constexpr uint8_t kSectorTypeMask = 0x07;
  constexpr uint8_t kSectorTypeCdda = 1;
  const uint8_t* cdb = request->cdb;
  if (!OnlyBits(cdb[1], kMsf | kSectorTypeMask << kSectorTypeShift) ||
      ((cdb[1] >> kSectorTypeShift) & kSectorTypeMask) > kSectorTypeCdda || cdb[11] != 0) {
    return InvalidField(d);
  }
  if (cdb[1] & kMsf) {
    if (!ZeroBytes(cdb, {2, 6})) return InvalidField(d);
    return PlayMsfRange(d, request, lock_held, cdb + 3, cdb + 7);
  }
  return StartAudio(d, request, lock_held, Be32(cdb + 2), Be32(cdb + 6));
}

uint32_t Scan(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  constexpr uint8_t kReverse = 0x10;
  constexpr uint8_t kTypeLba = 0x00;
  constexpr uint8_t kTypeMsf = 0x40;
  constexpr uint8_t kTypeTrack = 0x80;
  const uint8_t* cdb = request->cdb;
  const uint8_t type = cdb[9];
  if (!OnlyBits(cdb[1], kReverse) || !ZeroBytes(cdb, {6, 7, 8, 10, 11}) ||
      (type != kTypeLba && type != kTypeMsf && type != kTypeTrack) ||
      (type == kTypeMsf && cdb[2] != 0) || (type == kTypeTrack && !ZeroBytes(cdb, {2, 3, 4}))) {
    return InvalidField(d);
  }
  if (!IsCdClass(MediumClass(d))) return IncompatibleMedium(d);
  uint32_t start = 0;
  if (type == kTypeLba) {
    start = Be32(cdb + 2);
  } else if (type == kTypeMsf) {
    start = MsfToLba(cdb[3], cdb[4], cdb[5]);
  } else {
    const uint32_t descriptors = TocDescriptors(d);
    bool found = false;
    for (uint32_t i = 0; i + 1 < descriptors && !found; ++i) {
      const uint8_t* e = TocDescriptor(d, i);
      if (e[toc::kTrackNumber] == cdb[5]) {
        start = Be32(e + toc::kStart);
        found = true;
      }
    }
    if (!found) return InvalidField(d);
  }
  const bool reverse = cdb[1] & kReverse;
  d->audio_start = start;
  d->audio_length = reverse ? start : d->capacity - start;
  StopPlay(d, lock_held);
  return ReadStartSector(d, request, lock_held,
                         reverse ? kAudioKindScanReverse : kAudioKindScanForward);
}

uint32_t PauseResume(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  constexpr uint8_t kResume = 0x01;
  const uint8_t* cdb = request->cdb;
  if (!ZeroBytes(cdb, {1, 2, 3, 4, 5, 6, 7}) || !OnlyBits(cdb[8], kResume)) {
    return InvalidField(d);
  }
  const uint8_t activity = d->mechanism & mechanism::kActivityMask;
  const bool play_mode = activity == mechanism::kActivityPlay;
  const bool scan_mode = activity == mechanism::kActivityScan;
  if (cdb[8] & kResume) {
    if (play_mode) {
      if (d->mechanism != mechanism::kPaused) return kResultGood;
    } else if (scan_mode) {
      // A scan resumes as a play from where the scan has got to.
      AskPosition(d, lock_held);
      const uint32_t head = d->timing.head;
      if (head > d->last_lba) {
        CallAudioOutsideLock(d, lock_held, kAudioStop);
        d->mechanism = mechanism::kStopped;
        return kResultGood;
      }
      d->audio_length = d->last_lba - head + 1;
      d->audio_start = head;
    } else {
      return Fail(d, sense::kCommandSequenceError, kResultInvalidField);
    }
    d->mechanism = mechanism::kPlaying;
    const uint32_t audio_start = d->audio_start;
    const uint32_t audio_length = d->audio_length;
    LeaveLock(d, lock_held);
    CallAudio(d, kAudioStart, kAudioKindPlay, audio_start, audio_length);
    return kResultGood;
  }
  if ((play_mode || scan_mode) && d->mechanism != mechanism::kPaused) {
    AskPosition(d, lock_held);
    CallAudioOutsideLock(d, lock_held, kAudioStop);
    const uint32_t head = d->timing.head;
    if (scan_mode) {
      d->audio_length += d->audio_start - head;
    } else {
      d->audio_length = d->last_lba - head + 1;
    }
    d->audio_start = head;
    d->mechanism = mechanism::kPaused;
  }
  return kResultGood;
}

uint32_t StopPlayScan(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  if (!IsCdClass(MediumClass(d))) return IncompatibleMedium(d);
  if (!ZeroBytes(request->cdb, {1, 2, 3, 4, 5, 6, 7, 8, 9})) return InvalidField(d);
  const uint8_t activity = d->mechanism & mechanism::kActivityMask;
  if (activity == mechanism::kActivityPlay || activity == mechanism::kActivityScan) {
    CallAudioOutsideLock(d, lock_held, kAudioStop);
    d->mechanism = mechanism::kStopped;
  }
  return kResultGood;
}

}  // namespace mmc
}  // namespace imagepath
