// Reading commands: checked here, then handed to the engine as their CDBs, with the timing
// model told where each access begins. The capacity and performance answers are the
// drive's own.
#include <algorithm>
#include <cstring>

#include "imagepath/mmc/handlers.h"
#include "imagepath/scsi_device.h"
#include "ravelkit/disc.h"

namespace imagepath::mmc {
namespace {

constexpr uint8_t kFua = 0x08;
constexpr uint8_t kStreaming = 0x80;  // READ(12) byte 10
constexpr uint8_t kMsf = 0x02;        // READ HEADER byte 1
constexpr uint8_t kImmed = 0x02;      // SYNCHRONIZE CACHE byte 1

// READ CD byte 1: expected sector type (bits 2-4) and DAP (bit 1); the rest is reserved.
constexpr uint8_t kReadCdByte1 = 0x1E;
// READ CD sub-channel selections: none, raw P-W, Q, R-W.
bool ValidSubchannel(uint8_t selection) {
  return selection == 0 || selection == 1 || selection == 2 || selection == 4;
}
// Special READ CD addresses.
constexpr uint32_t kLeadInLba = 0xF0000000;       // raw sub-channel of the lead-in
constexpr uint32_t kAudioPositionLba = 0xFFFFFFFF;  // sub-channel where audio plays
constexpr uint32_t kMaxReadCdCount = 0xFFFFFF;

// ---------------------------------------------------------------------------------------
// VERIFY(10): one READ(10) with FUA per sector into the work area, so that every sector is
// really read from the medium and costs a revolution's share at the nominal period.

constexpr uint32_t kVerifySectorBytes = 2048;
uint32_t VerifyNext(ScsiDevice* d, ScsiRequest* request, bool* lock_held);

void VerifyCompletion(void* user_data, MediaRequest* mr, uint32_t status) {
  auto* d = static_cast<ScsiDevice*>(user_data);
  bool held = false;
  EnterLock(d, &held);
  ScsiRequest* request = d->current;
  uint32_t r = MapEngineAnswer(d, mr, status);
  if (r == kResultGood) {
    ++d->cursor.lba;
    --d->cursor.sectors_left;
    r = VerifyNext(d, request, &held);
    if (r == kResultPending) return;
  }
  d->mechanism = mechanism::kIdle;
  FinishCommand(d, request, r, true, held);
}

// With the lock held. 997 when an answer is awaited; otherwise the result, with the lock
// held again.
uint32_t VerifyNext(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  while (d->cursor.sectors_left > 0) {
    uint8_t cdb[16] = {0x28, kFua};
    PutBe32(cdb + 2, d->cursor.lba);
    PutBe16(cdb + 7, d->cursor.sectors_per_request);
    BeginMediumAccess(d, request, d->cursor.lba, d->cursor.sectors_per_request);
    d->timing.period = d->timing.nominal_period;
    const uint32_t r = SendToMedium(d, request, lock_held, d->work.bytes,
                                    d->cursor.bytes_per_sector, cdb, VerifyCompletion);
    if (r != kResultGood) return r;
    ++d->cursor.lba;
    --d->cursor.sectors_left;
  }
  return kResultGood;
}

// ---------------------------------------------------------------------------------------
// SET STREAMING parameter data: one 20-byte performance descriptor.

constexpr uint32_t kPerformanceDescriptorSize = 20;
constexpr uint8_t kRestoreDefaults = 0x04;
constexpr uint8_t kExact = 0x02;
constexpr uint8_t kUnsupportedBits = 0x18;  // write-related fields a reader cannot honour

uint32_t SetStreamingData(ScsiDevice* d, ScsiRequest*, bool*) {
  uint8_t descriptor[kPerformanceDescriptorSize] = {};
  if (!GetData(d, descriptor, 1)) {
    return Fail(d, sense::kParameterListLength, kResultInvalidField);
  }
  if (descriptor[0] & kRestoreDefaults) return kResultGood;
  if (descriptor[0] & kUnsupportedBits) {
    return Fail(d, sense::kInvalidFieldInParameters, kResultInvalidField);
  }
  if (!GetData(d, descriptor + 1, kPerformanceDescriptorSize - 1)) {
    return Fail(d, sense::kParameterListLength, kResultInvalidField);
  }
  const uint32_t read_size = Be32(descriptor + 12);
  const uint32_t read_time = Be32(descriptor + 16);
  if (read_time == 0) return Fail(d, sense::kInvalidFieldInParameters, kResultInvalidField);
  if (!(descriptor[0] & kExact)) return kResultGood;
  // Only the drive's one speed can be had exactly.
  if (static_cast<uint64_t>(read_size) * 1000 / read_time != MaximumSpeed(d)) {
    return Fail(d, sense::kInvalidFieldInParameters, kResultInvalidField);
  }
  return kResultGood;
}

}  // namespace

uint32_t Read10(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  if (!OnlyBits(cdb[1], kFua) || !ZeroBytes(cdb, {6, 9})) return InvalidField(d);
  BeginMediumAccess(d, request, Be32(cdb + 2), Be16(cdb + 7));
  return ToMedium(d, request, lock_held);
}

uint32_t Read12(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  if ((cdb[1] != 0 && cdb[1] != kFua) || !OnlyBits(cdb[10], kStreaming) ||
      ((cdb[10] & kStreaming) && (cdb[1] & kFua)) || cdb[11] != 0) {
    return InvalidField(d);
  }
  BeginMediumAccess(d, request, Be32(cdb + 2), Be32(cdb + 6));
  return ToMedium(d, request, lock_held);
}

uint32_t ReadCd(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  if (!OnlyBits(cdb[1], kReadCdByte1) || (cdb[9] & 0x01) || !ValidSubchannel(cdb[10]) ||
      cdb[11] != 0) {
    return InvalidField(d);
  }
  const uint32_t lba = Be32(cdb + 2);
  if (lba == kLeadInLba && cdb[9] == 0 && cdb[10] == 1) {
    return Fail(d, sense::kIllegalModeForTrack, kResultIllegalModeForTrack);
  }
  if (lba == kAudioPositionLba && cdb[9] == 0 && cdb[10] != 0) {
    if (!AudioPlaying(d)) return Fail(d, sense::kCommandSequenceError, kResultInvalidField);
    AskAudioPosition(d);
    // The engine knows no audio position: it is asked for the sector under the head.
    uint8_t at_head[16];
    std::memcpy(at_head, request->cdb, sizeof(request->cdb));
    std::memcpy(at_head + sizeof(request->cdb), &request->reserved, sizeof(request->reserved));
    PutBe32(at_head + 2, d->timing.head);
    return SendToMedium(d, request, lock_held, nullptr, 0, at_head, nullptr);
  }
  BeginMediumAccess(d, request, lba, Be24(cdb + 6));
  return ToMedium(d, request, lock_held);
}

uint32_t ReadCdMsf(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  // Absolute frame numbers, pregap included, so that odd field values cannot make the end
  // come before the start.
  const uint32_t start = MsfToLba(cdb[3], cdb[4], cdb[5]) + ravelkit::kLbaOffset;
  const uint32_t end = MsfToLba(cdb[6], cdb[7], cdb[8]) + ravelkit::kLbaOffset;
  if (!OnlyBits(cdb[1], kReadCdByte1) || cdb[2] != 0 || start < ravelkit::kLbaOffset ||
      (cdb[9] & 0x01) || cdb[10] >= 8 || cdb[11] != 0 || end < start) {
    return InvalidField(d);
  }
  const uint32_t count = std::min(end - start, kMaxReadCdCount);
  BeginMediumAccess(d, request, start - ravelkit::kLbaOffset, count);
  return ToMedium(d, request, lock_held);
}

uint32_t ReadHeader(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  if (!OnlyBits(cdb[1], kMsf) || !ZeroBytes(cdb, {6, 9})) return InvalidField(d);
  BeginMediumAccess(d, request, Be32(cdb + 2), 1);
  return ToMedium(d, request, lock_held);
}

uint32_t Verify10(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  if (!ZeroBytes(cdb, {1, 6, 9})) return InvalidField(d);
  d->cursor = {Be32(cdb + 2), 1, kVerifySectorBytes, Be16(cdb + 7)};
  if (d->cursor.sectors_left == 0) return kResultGood;
  const uint32_t r = VerifyNext(d, request, lock_held);
  if (r != kResultPending) d->mechanism = mechanism::kIdle;
  return r;
}

uint32_t Seek10(ScsiDevice* d, ScsiRequest* request, bool*) {
  const uint8_t* cdb = request->cdb;
  if (!ZeroBytes(cdb, {1, 6, 7, 8, 9})) return InvalidField(d);
  const uint32_t lba = Be32(cdb + 2);
  if (lba >= d->capacity) return Fail(d, sense::kLbaOutOfRange, kResultLbaOutOfRange);
  Seek(d, lba);
  return kResultGood;
}

uint32_t RezeroUnit(ScsiDevice* d, ScsiRequest* request, bool*) {
  if (!ZeroBytes(request->cdb, {1, 2, 3, 4, 5})) return InvalidField(d);
  Seek(d, 0);
  SetPowerCondition(d, kPowerStandby);
  return kResultGood;
}

uint32_t SynchronizeCache(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  if (!OnlyBits(cdb[1], kImmed) || !ZeroBytes(cdb, {6, 9})) return InvalidField(d);
  AbandonSeek(d);
  return ToMedium(d, request, lock_held);
}

uint32_t SetReadAhead(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  if (!ZeroBytes(request->cdb, {1, 10, 11})) return InvalidField(d);
  AbandonSeek(d);
  return ToMedium(d, request, lock_held);
}

uint32_t SetCdSpeed(ScsiDevice* d, ScsiRequest* request, bool*) {
  const uint8_t* cdb = request->cdb;
  if (cdb[1] > 3 || !ZeroBytes(cdb, {6, 7, 8, 9, 10, 11})) return InvalidField(d);
  return kResultGood;
}

uint32_t SetStreaming(ScsiDevice* d, ScsiRequest* request, bool*) {
  const uint8_t* cdb = request->cdb;
  if (!ZeroBytes(cdb, {1, 2, 3, 4, 5, 6, 7, 8, 11})) return InvalidField(d);
  const uint32_t list_length = Be16(cdb + 9);
  if (list_length == 0) return kResultGood;
  LimitData(d, list_length);
  d->data_out_continuation = SetStreamingData;
  return kResultPending;
}

uint32_t GetPerformance(ScsiDevice* d, ScsiRequest* request, bool*) {
  const uint8_t* cdb = request->cdb;
  if (cdb[1] >= 32 || !ZeroBytes(cdb, {6, 7, 10, 11})) return InvalidField(d);
  constexpr uint8_t kWrite = 0x04;
  constexpr uint8_t kExcept = 0x03;
  uint8_t out[24] = {};
  if (cdb[1] & (kWrite | kExcept)) {
    // Neither write performance nor exception lists: an empty list of the kind asked for.
    PutBe32(out, 4);
    out[4] = static_cast<uint8_t>(((cdb[1] & kWrite) ? 2 : 0) + ((cdb[1] & kExcept) ? 1 : 0));
    PutData(d, out, 8);
    return kResultGood;
  }
  PutBe32(out, 20);
  if (Be16(cdb + 8) == 0) {
    PutData(d, out, 8);
    return kResultGood;
  }
  const uint32_t speed = MaximumSpeed(d);
  PutBe32(out + 12, speed * 240 / 585);
  PutBe32(out + 16, MediumAvailable(d) ? d->capacity - 1 : 0);
  PutBe32(out + 20, speed);
  PutData(d, out, sizeof(out));
  return kResultGood;
}

uint32_t ReadCapacity(ScsiDevice* d, ScsiRequest* request, bool*) {
  if (!ZeroBytes(request->cdb, {1, 6, 7, 8, 9})) return InvalidField(d);
  uint8_t out[8];
  PutBe32(out, d->capacity - 1);
  PutBe32(out + 4, d->block_size);
  PutData(d, out, sizeof(out));
  return kResultGood;
}

uint32_t ReadFormatCapacities(ScsiDevice* d, ScsiRequest* request, bool*) {
  const uint8_t* cdb = request->cdb;
  if (!ZeroBytes(cdb, {1, 2, 3, 4, 5, 6, 9})) return InvalidField(d);
  constexpr uint8_t kFormattedMedia = 2;
  constexpr uint8_t kNoMediaPresent = 3;
  constexpr uint32_t kNoMediaBlocks = 0x01900000;
  uint8_t out[12] = {};
  out[3] = 8;  // capacity list length: one descriptor
  const bool present = MediumAvailable(d);
  PutBe32(out + 4, present ? d->capacity : kNoMediaBlocks);
  out[8] = present ? kFormattedMedia : kNoMediaPresent;
  out[10] = static_cast<uint8_t>(kBlockSize >> 8);
  LimitData(d, Be16(cdb + 7));
  PutData(d, out, sizeof(out));
  return kResultGood;
}

}  // namespace imagepath::mmc
