// The command layer's frame: the device, the opcode table, the dispatch rules, sense and
// unit attention, data movement, medium requests, attach and detach, and the commands that
// drive the state (TEST UNIT READY, REQUEST SENSE, INQUIRY, PREVENT ALLOW MEDIUM REMOVAL,
// START STOP UNIT).
#include "imagepath/scsi_device.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "imagepath/clock.h"
#include "imagepath/mmc/handlers.h"
#include "imagepath/timing.h"
#include "ravelkit/disc.h"

namespace imagepath {
namespace {

constexpr uint8_t kDeviceTypeDirectAccess = 0;
constexpr uint8_t kDeviceTypeCdDvd = 5;
constexpr uint32_t kDeviceTypeMask = 0x1F;
constexpr uint32_t kFlagBufferSizeGiven = 1u << 9;  // buffer size in bits 24-31, 64 KB units
constexpr uint32_t kFlagLongIdentity = 1u << 10;    // identity carries the vendor-specific 20
constexpr uint32_t kDefaultBufferKb = 128;
constexpr size_t kLongIdentitySize = kIdentitySize + 20;  // and 20 vendor-specific bytes
constexpr char kVendorSpecific[21] = " 10/08/14           ";

constexpr uint32_t kErrorNotSupported = 1785;  // medium not supported
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorNoMedium = 2250;
constexpr uint32_t kErrorNoMemory = 8;

constexpr uint32_t kMinMaxTransfer = 4096;
constexpr uint32_t kMaxRotationPeriodUs = 65536;

// Mechanical delays of the drive, in microseconds.
constexpr uint64_t kSpinUpUs = 400'000;        // spin-up or spin-down, plus up to 99 ms
constexpr uint64_t kTrayTravelUs = 1'000'000;  // the tray moving in or out
constexpr uint64_t kLoadToReadyUs = 1'400'000;  // tray closed on a disc to ready, plus up to 99 ms
constexpr uint32_t kJitterSteps = 100;          // random part, in whole milliseconds
constexpr int64_t kReadyMarginUs = 16;          // a ready deadline this close counts as passed
// A drive still this far from ready has its tray out (loading from the open state).
constexpr uint64_t kTrayOpenReadyUs = 400'000;

// GET EVENT STATUS NOTIFICATION event values.
constexpr uint8_t kOperationalChange = 2;
constexpr uint8_t kMediaNew = 2;
constexpr uint8_t kMediaRemoval = 3;
constexpr uint8_t kPowerChanged = 1;

// READ TOC format 0 of the whole disc, 804 bytes: the TOC read at attach.
constexpr uint8_t kTocCdb[16] = {0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24};
constexpr uint32_t kTocMinDescriptors = 2;
constexpr uint32_t kTocMaxDescriptors = 100;

uint64_t Jitter() { return static_cast<uint64_t>(RandomBelow(kJitterSteps)) * 1000; }

// ---------------------------------------------------------------------------------------
// Copy functions handed to the engine.

void FlatCopy(void* context, void* buffer, uint32_t length, uint32_t offset,
              uint32_t direction) {
  auto* flat = static_cast<FlatBuffer*>(context);
  if (flat == nullptr || flat->data == nullptr || offset >= flat->length) return;
  const uint32_t n = std::min(length, flat->length - offset);
  if (direction == kCopyToRequest) {
    std::memcpy(flat->data + offset, buffer, n);
    flat->moved = std::max(flat->moved, offset + n);
  } else {
    std::memcpy(buffer, flat->data + offset, n);
  }
}

// The engine sees the window as data starting at 0; it lands at bytes-done in the
// request's data and never passes the data limit the window was cut to.
void WindowCopy(void* context, void* buffer, uint32_t length, uint32_t offset,
                uint32_t direction) {
  auto* d = static_cast<ScsiDevice*>(context);
  ScsiRequest* request = d->current;
  if (request == nullptr || request->copy == nullptr || offset >= d->window_length) return;
  const uint32_t n = std::min(length, d->window_length - offset);
  request->copy(request->data_context, buffer, n, d->window_offset + offset, direction);
}

// ---------------------------------------------------------------------------------------
// Drive state.

bool DoorAllows(ScsiDevice* d, uint32_t unloading) {
  return d->door_callback == nullptr || d->door_callback(d->user_data, unloading);
}

void EndBecomingReady(ScsiDevice* d) {
  d->becoming_ready = 0;
  if (d->medium_changed) {
    d->operational_event = kOperationalChange;
    d->media_event = kMediaNew;
  }
  if (d->mechanism & mechanism::kNoMedium) {
    d->mechanism = mechanism::kTrayOpen;
  } else {
    d->mechanism = d->medium != nullptr ? mechanism::kIdle : mechanism::kInitial;
  }
}

void LoadMedium(ScsiDevice* d) {
  if ((d->mechanism & mechanism::kNoMedium) && DoorAllows(d, 0)) {
    d->ready_deadline = MicrosecondClock() + kLoadToReadyUs + Jitter();
  }
  d->mechanism &= static_cast<uint8_t>(~mechanism::kNoMedium);
  d->timing.head = 0;
  d->timing.previous_head = 0;
  d->timing.seek_duration = 0;
  d->spun_down = 0;
  d->becoming_ready = 1;
  d->medium_changed = 1;
}

// Whether the tray may move.
bool UnloadMedium(ScsiDevice* d) {
  const bool may_move = DoorAllows(d, 1);
  StopAudioPlay(d);
  d->mechanism = (d->mechanism == mechanism::kInitial || d->mechanism == mechanism::kTrayOpen)
                     ? mechanism::kTrayOpen
                     : mechanism::kUnloaded;
  d->medium_changed = 0;
  d->operational_event = kOperationalChange;
  d->media_event = kMediaRemoval;
  SetPowerCondition(d, kPowerStandby);
  return may_move;
}

void TrayMovesOut(ScsiDevice* d) {
  d->ready_deadline = MicrosecondClock() + kTrayTravelUs;
  d->becoming_ready = 1;
}

void ForgetMedium(ScsiDevice* d) {
  ForgetPositionBlock(d);
  d->medium = nullptr;
  d->medium_callback = nullptr;
  d->audio_callback = nullptr;
}

// ---------------------------------------------------------------------------------------
// Engine answers.

bool IsLayerFailure(uint32_t r) {
  switch (r) {
    case kResultInvalidField:
    case kResultLbaOutOfRange:
    case kResultNotReady:
    case kResultUnrecoveredRead:
    case kResultIllegalModeForTrack:
    case kResultSeekError:
    case kResultNoMedium:
    case kResultFailure:
      return true;
    default:
      return false;
  }
}

const SenseCode& SenseForResult(uint32_t r) {
  switch (r) {
    case kResultInvalidField: return sense::kInvalidFieldInCdb;
    case kResultLbaOutOfRange: return sense::kLbaOutOfRange;
    case kResultUnrecoveredRead: return sense::kUnrecoveredRead;
    case kResultIllegalModeForTrack: return sense::kIllegalModeForTrack;
    case kResultSeekError: return sense::kNoSeekComplete;
    case kResultNoMedium: return sense::kMediumNotPresent;
    default: return sense::kDataPhaseError;
  }
}

// The result a CHECK CONDITION answer stands for, from the sense the engine wrote.
uint32_t ResultFromSense(const uint8_t* s, uint8_t length) {
  if (s == nullptr || length < 3) return kResultFailure;
  const uint8_t key = s[sense::kKeyOffset] & 0x0F;
  const bool has_asc = length > sense::kAscOffset;
  const uint8_t asc = has_asc ? s[sense::kAscOffset] : 0;
  switch (key) {
    case sense::kKeyNotReady:
      return has_asc && asc == 0x3A ? kResultNoMedium : kResultNotReady;
    case sense::kKeyIllegalRequest:
      if (has_asc && asc == 0x21) return kResultLbaOutOfRange;
      if (has_asc && asc == 0x64) return kResultIllegalModeForTrack;
      return kResultInvalidField;
    case sense::kKeyMediumError:
      if (has_asc && asc == 0x11) return kResultUnrecoveredRead;
      if (has_asc && asc == 0x02) return kResultSeekError;
      return kResultFailure;
    default:
      return kResultFailure;
  }
}

uint32_t MapAnswer(ScsiDevice* d, MediaRequest* mr, uint32_t r, bool queue_detach) {
  const uint8_t sense_length = mr->cdb[kResultSenseLength];
  if (r == kResultGood && (mr->cdb[kResultFlags] & kResultCheckCondition)) {
    r = ResultFromSense(mr->sense, sense_length);
  }
  // The dispatcher's own refusals (995 stopping, 5 busy) and failed engine calls (87) are
  // not results of this layer: an initiator sees them as a failed command.
  if (r != kResultGood && !IsLayerFailure(r)) r = kResultFailure;
  if (r != kResultGood && (sense_length < sense::kSize || mr->sense != d->sense ||
                           d->sense[0] == 0)) {
    SetSense(d, SenseForResult(r));
  }
  AccountEngineAnswer(d, mr, r);
  if (r == kResultNotReady && queue_detach && !d->detach_deferred) {
    // The medium is gone: drop it when the command ends.
    d->detach_deferred = 1;
    d->deferred_detach = nullptr;
    d->deferred_detach_user_data = nullptr;
  }
  return r;
}

void StandardEngineCompletion(void* user_data, MediaRequest* mr, uint32_t status) {
  auto* d = static_cast<ScsiDevice*>(user_data);
  bool held = false;
  EnterLock(d, &held);
  ScsiRequest* request = d->current;
  const uint32_t r = MapEngineAnswer(d, mr, status);
  if (AnswerMovedRequestData(d, mr)) ConsumeData(d, mr->byteCount);
  FinishCommand(d, request, r, true, held);
}

// ---------------------------------------------------------------------------------------
// Attach.

bool TocUsable(const ScsiDevice* d) {
  const uint32_t returned = d->flat.moved;
  if (returned < toc::kHeaderSize) return false;
  const uint32_t data_length = Be16(d->toc);
  if (data_length < 2 || (data_length - 2) % toc::kDescriptorSize != 0) return false;
  const uint32_t count = (data_length - 2) / toc::kDescriptorSize;
  if (count < kTocMinDescriptors || count > kTocMaxDescriptors) return false;
  if (data_length + 2 > returned) return false;
  const uint8_t* last = d->toc + toc::kHeaderSize + (count - 1) * toc::kDescriptorSize;
  return last[toc::kTrackNumber] == ravelkit::kLeadOutTrack;
}

// The TOC read has been answered: the attach ends. With the lock held.
uint32_t EndAttach(ScsiDevice* d, MediaRequest* mr, uint32_t r) {
  r = MapAnswer(d, mr, r, false);
  d->attach_busy = 0;
  if (r == kResultGood && !TocUsable(d)) r = Fail(d, sense::kUnknownFormat, kResultNotReady);
  void* context = d->attaching_medium;
  d->attaching_medium = nullptr;
  if (r != kResultGood) {
    ForgetMedium(d);
    return r;
  }
  LoadMedium(d);
  d->medium = context;
  return kResultGood;
}

void AttachTocCompletion(void* user_data, MediaRequest* mr, uint32_t status) {
  auto* d = static_cast<ScsiDevice*>(user_data);
  bool held = false;
  EnterLock(d, &held);
  const uint32_t r = EndAttach(d, mr, status);
  AttachDoneCallback done = d->attach_done;
  void* done_user_data = d->attach_done_user_data;
  d->attach_done = nullptr;
  d->attach_done_user_data = nullptr;
  LeaveLock(d, &held);
  if (done != nullptr) done(done_user_data, r);
}

// ---------------------------------------------------------------------------------------
// Handlers of the frame.

constexpr uint8_t kOpRequestSense = 0x03;
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpGetConfiguration = 0x46;
constexpr uint8_t kOpGetEventStatus = 0x4A;

// Never stopped by the medium-changed attention: an initiator must be able to identify the
// drive and collect the attention's own sense.
bool IgnoresAttention(uint8_t opcode) {
  return opcode == kOpInquiry || opcode == kOpGetConfiguration || opcode == kOpGetEventStatus ||
         opcode == kOpRequestSense;
}

uint32_t TestUnitReady(ScsiDevice* d, ScsiRequest* request, bool*) {
  if (!ZeroBytes(request->cdb, {1, 2, 3, 4, 5})) return InvalidField(d);
  return kResultGood;
}

uint32_t RequestSense(ScsiDevice* d, ScsiRequest* request, bool*) {
  const uint8_t* cdb = request->cdb;
  if (!ZeroBytes(cdb, {1, 2, 3, 5})) return InvalidField(d);
  if (!SensePending(d)) {
    SetSense(d, {sense::kKeyNoSense, 0x00, AudioStatus(d)});
  }
  LimitData(d, cdb[4]);
  const uint32_t length =
      std::min<uint32_t>(d->sense[sense::kAdditionalLengthOffset] + 8u, sense::kSize);
  PutData(d, d->sense, length);
  d->sense[0] = 0;
  return kResultGood;
}

// INQUIRY standard data.
constexpr size_t kInquirySize = 96;
constexpr uint8_t kInquiryRemovable = 0x80;
constexpr uint8_t kInquiryVersion = 0x32;
constexpr uint8_t kInquiryAdditionalLength = kInquirySize - 5;
constexpr size_t kInquiryIdentityOffset = 8;

uint32_t Inquiry(ScsiDevice* d, ScsiRequest* request, bool*) {
  const uint8_t* cdb = request->cdb;
  // No vital product data pages.
  if (!ZeroBytes(cdb, {1, 2, 5})) return InvalidField(d);
  uint8_t data[kInquirySize] = {};
  data[0] = d->inquiry[0];
  data[1] = kInquiryRemovable;
  data[3] = kInquiryVersion;
  data[4] = kInquiryAdditionalLength;
  std::memcpy(data + kInquiryIdentityOffset, d->inquiry + kInquiryIdentityOffset,
              kInquiryImageSize - kInquiryIdentityOffset);
  LimitData(d, cdb[4]);
  PutData(d, data, sizeof(data));
  return kResultGood;
}

uint32_t PreventAllowMediumRemoval(ScsiDevice* d, ScsiRequest* request, bool*) {
  const uint8_t* cdb = request->cdb;
  if (!ZeroBytes(cdb, {1, 2, 3, 5}) || cdb[4] >= 4) return InvalidField(d);
  const uint8_t prevent = cdb[4] & 0x01;
  if (cdb[4] & 0x02) {
    d->persistent_prevent = prevent;
  } else {
    d->prevent = prevent;
  }
  return kResultGood;
}

// START STOP UNIT fields.
constexpr uint8_t kStartImmed = 0x01;
constexpr uint8_t kStartStart = 0x01;
constexpr uint8_t kStartLoEj = 0x02;
constexpr uint8_t kStartReserved = 0x0C;
constexpr uint8_t kPowerConditionSleepField = 5;

uint32_t StartStopUnit(ScsiDevice* d, ScsiRequest* request, bool*) {
  const uint8_t* cdb = request->cdb;
  if (!OnlyBits(cdb[1], kStartImmed) || !ZeroBytes(cdb, {2, 3, 5}) ||
      (cdb[4] & kStartReserved) != 0) {
    return InvalidField(d);
  }
  const uint8_t condition = cdb[4] >> 4;
  if (condition == kPowerIdle || condition == kPowerStandby) {
    SetPowerCondition(d, condition);
    return kResultGood;
  }
  if (condition == kPowerConditionSleepField) {
    SetPowerCondition(d, kPowerSleep);
    return kResultGood;
  }
  if (condition != 0) return kResultGood;

  const bool immed = cdb[1] & kStartImmed;
  const bool loej = cdb[4] & kStartLoEj;
  const bool start = cdb[4] & kStartStart;
  const uint64_t t0 = d->command_start;
  const uint64_t ready = d->ready_deadline;
  // What is left of a spin-up (or spin-down) when the drive is still becoming ready.
  const uint64_t remaining_spin =
      static_cast<uint64_t>(std::max<int64_t>(0, static_cast<int64_t>(kSpinUpUs) -
                                                     static_cast<int64_t>(ready - t0)));
  bool has_end = false;
  uint64_t end = 0;

  if (!loej && start) {
    if (!MediumAvailable(d)) return NoMedium(d);
    if (d->becoming_ready) {
      d->becoming_ready = 0;
      has_end = true;
      if (d->spun_down) {
        d->spun_down = 0;
        end = t0 + remaining_spin + Jitter();
      } else {
        end = ready;
      }
    } else if (d->spun_down) {
      d->spun_down = 0;
      has_end = true;
      end = t0 + kSpinUpUs + Jitter();
    }
  } else if (!loej && !start) {
    if (!MediumAvailable(d)) return kResultGood;
    StopAudioPlay(d);
    d->mechanism = mechanism::kIdle;
    if (d->becoming_ready) {
      d->becoming_ready = 0;
      has_end = true;
      if (d->spun_down) {
        end = ready;
      } else {
        d->spun_down = 1;
        end = t0 + remaining_spin + Jitter();
      }
    } else if (!d->spun_down) {
      d->spun_down = 1;
      has_end = true;
      end = t0 + kSpinUpUs + Jitter();
    }
  } else if (loej && !start) {
    if (d->mechanism & mechanism::kNoMedium) return kResultGood;
    if (d->prevent) {
      return Fail(d, d->medium != nullptr ? sense::kRemovalPrevented
                                          : sense::kRemovalPreventedNotReady,
                  kResultInvalidField);
    }
    if (UnloadMedium(d)) {
      has_end = true;
      end = t0 + kTrayTravelUs;
    }
    if (!immed) d->mechanism = mechanism::kTrayOpen;
  } else {
    if (!(d->mechanism & mechanism::kNoMedium)) return kResultGood;
    const uint64_t base = DoorAllows(d, 0) ? t0 + kTrayTravelUs : t0;
    d->mechanism &= static_cast<uint8_t>(~mechanism::kNoMedium);
    if (d->medium != nullptr) {
      d->medium_changed = 1;
      d->spun_down = 0;
      has_end = true;
      end = base + kSpinUpUs + Jitter();
    }
  }

  if (immed) {
    if (has_end) d->ready_deadline = end;
    d->becoming_ready = 1;
  } else if (has_end) {
    request->deadline = end;
  }
  return kResultGood;
}

// ---------------------------------------------------------------------------------------
// The opcode table. Commands the drive refuses (writing, formatting) keep their flags and
// answer INVALID COMMAND OPERATION CODE from a null handler.

using namespace opflag;
// Flag sets of the table, named after what they allow.
constexpr uint8_t kBoth = kDirectAccess | kCdDvd;
constexpr uint8_t kNotAllowed = kDataOut | kNeedsMedium | kMediumAccess | kDirectAccess;

struct OpcodeRow {
  uint8_t opcode;
  uint8_t flags;
  CommandHandler handler;
};

constexpr OpcodeRow kOpcodeRows[] = {
    {0x00, kBoth | kNeedsMedium, TestUnitReady},
    {0x01, kBoth | kNeedsMedium | kMediumAccess, mmc::RezeroUnit},
    {0x03, kBoth | kDataIn, RequestSense},
    {0x04, kNotAllowed, nullptr},  // FORMAT UNIT
    {0x12, kBoth | kDataIn, Inquiry},
    {0x1B, kBoth, StartStopUnit},
    {0x1D, kBoth, mmc::SendDiagnostic},
    {0x1E, kBoth, PreventAllowMediumRemoval},
    {0x23, kBoth | kDataIn | kMediumAccess, mmc::ReadFormatCapacities},
    {0x25, kBoth | kDataIn | kNeedsMedium | kMediumAccess, mmc::ReadCapacity},
    {0x28, kBoth | kDataIn | kNeedsMedium | kMediumAccess, mmc::Read10},
    {0x2A, kNotAllowed, nullptr},  // WRITE(10)
    {0x2B, kBoth | kNeedsMedium | kMediumAccess, mmc::Seek10},
    {0x2E, kNotAllowed, nullptr},  // WRITE AND VERIFY(10)
    {0x2F, kBoth | kNeedsMedium | kMediumAccess, mmc::Verify10},
    {0x35, kBoth | kNeedsMedium | kMediumAccess, mmc::SynchronizeCache},
    {0x42, kCdDvd | kDataIn | kNeedsMedium | kMediumAccess, mmc::ReadSubChannel},
    {0x43, kCdDvd | kDataIn | kNeedsMedium | kMediumAccess, mmc::ReadToc},
    {0x44, kCdDvd | kDataIn | kNeedsMedium | kMediumAccess, mmc::ReadHeader},
    {0x45, kCdDvd | kNeedsMedium | kMediumAccess, mmc::PlayAudio10},
    {0x46, kCdDvd | kDataIn, mmc::GetConfiguration},
    {0x47, kCdDvd | kNeedsMedium | kMediumAccess, mmc::PlayAudioMsf},
    {0x4A, kCdDvd | kDataIn, mmc::GetEventStatusNotification},
    {0x4B, kCdDvd | kNeedsMedium | kMediumAccess, mmc::PauseResume},
    {0x4E, kCdDvd | kNeedsMedium | kMediumAccess, mmc::StopPlayScan},
    {0x51, kCdDvd | kDataIn | kNeedsMedium | kMediumAccess, mmc::ReadDiscInformation},
    {0x52, kCdDvd | kDataIn | kNeedsMedium | kMediumAccess, mmc::ReadTrackInformation},
    {0x55, kBoth | kDataOut, mmc::ModeSelect10},
    {0x5A, kBoth | kDataIn, mmc::ModeSense10},
    {0xA0, kBoth | kDataIn, mmc::ReportLuns},
    {0xA3, kCdDvd | kDataOut | kNeedsMedium | kMediumAccess, mmc::SendKey},
    {0xA4, kCdDvd | kDataIn | kMediumAccess, mmc::ReportKey},
    {0xA5, kCdDvd | kNeedsMedium | kMediumAccess, mmc::PlayAudio12},
    {0xA7, kCdDvd | kNeedsMedium | kMediumAccess, mmc::SetReadAhead},
    {0xA8, kBoth | kDataIn | kNeedsMedium | kMediumAccess, mmc::Read12},
    {0xAA, kDataIn | kNeedsMedium | kMediumAccess | kDirectAccess, nullptr},  // WRITE(12)
    {0xAC, kCdDvd | kDataIn | kMediumAccess, mmc::GetPerformance},
    {0xAD, kCdDvd | kDataIn | kMediumAccess, mmc::ReadDiscStructure},
    {0xB6, kCdDvd | kDataOut | kNeedsMedium | kMediumAccess, mmc::SetStreaming},
    {0xB9, kCdDvd | kDataIn | kNeedsMedium | kMediumAccess, mmc::ReadCdMsf},
    {0xBA, kCdDvd | kNeedsMedium | kMediumAccess, mmc::Scan},
    {0xBB, kCdDvd | kMediumAccess, mmc::SetCdSpeed},
    {0xBC, kCdDvd | kNeedsMedium | kMediumAccess, mmc::PlayCd},
    {0xBD, kCdDvd | kDataIn, mmc::MechanismStatus},
    {0xBE, kCdDvd | kDataIn | kNeedsMedium | kMediumAccess, mmc::ReadCd},
};

constexpr std::array<OpcodeEntry, 256> BuildOpcodeTable() {
  std::array<OpcodeEntry, 256> table{};
  for (const OpcodeRow& row : kOpcodeRows) table[row.opcode] = {row.flags, row.handler};
  return table;
}

constexpr std::array<OpcodeEntry, 256> kOpcodeTable = BuildOpcodeTable();
static_assert(kOpcodeTable[0x28].flags == 0x5B && kOpcodeTable[0x2A].flags == 0x99 &&
                  kOpcodeTable[0xAA].flags == 0x59 && kOpcodeTable[0xB6].flags == 0x9A &&
                  kOpcodeTable[0xBB].flags == 0x0A && kOpcodeTable[0x55].flags == 0x83 &&
                  kOpcodeTable[0x42].flags == 0x5A && kOpcodeTable[0xBC].flags == 0x1A,
              "flags as the drive defines them");

// ---------------------------------------------------------------------------------------
// Dispatch.

uint32_t CallHandler(ScsiDevice* d, ScsiRequest* request, const OpcodeEntry& op,
                     bool* lock_held) {
  if (op.handler == nullptr) return Fail(d, sense::kInvalidOpcode, kResultInvalidOpcode);
  return op.handler(d, request, lock_held);
}

uint32_t Dispatch(ScsiDevice* d, ScsiRequest* request, const OpcodeEntry& op, bool* lock_held) {
  if (d->power_condition == kPowerSleep) return Fail(d, sense::kAsleep, kResultAsleep);
  const uint8_t allowed = d->device_type == kDeviceTypeCdDvd ? kCdDvd : kDirectAccess;
  if ((op.flags & allowed) == 0) return Fail(d, sense::kInvalidOpcode, kResultInvalidOpcode);

  d->command_start = MicrosecondClock();
  UpdateHeadAtCommandStart(d);

  if (d->becoming_ready &&
      static_cast<int64_t>(d->ready_deadline - d->command_start) < kReadyMarginUs) {
    EndBecomingReady(d);
  }

  const bool needs_medium = op.flags & kNeedsMedium;
  if (MediumAvailable(d)) {
    if (d->medium_changed && !IgnoresAttention(request->cdb[0])) {
      if (d->becoming_ready) {
        if (needs_medium) return Fail(d, sense::kBecomingReady, kResultNoMedium);
      } else {
        d->medium_changed = 0;
        return Fail(d, sense::kMediumChanged, kResultMediumChanged);
      }
    }
  } else if (needs_medium) {
    return NoMedium(d);
  } else {
    return CallHandler(d, request, op, lock_held);
  }

  if (op.flags & kMediumAccess) {
    SetPowerCondition(d, kPowerActive);
    // The answer waits for the drive to be ready and spinning, whichever comes later.
    if (d->becoming_ready) {
      EndBecomingReady(d);
      request->deadline = std::max(request->deadline, d->ready_deadline);
    }
    if (d->spun_down) {
      d->spun_down = 0;
      request->deadline = std::max(request->deadline, d->command_start + kSpinUpUs + Jitter());
    }
  }
  return CallHandler(d, request, op, lock_held);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Shared operations.

const OpcodeEntry& LookupOpcode(uint8_t opcode) { return kOpcodeTable[opcode]; }

uint32_t MaximumSpeed(const ScsiDevice* d) {
  constexpr uint32_t kCdSpeed = 8467;   // kB/s
  constexpr uint32_t kBdSpeed = 53940;  // also reported without a medium
  constexpr uint32_t kDvdSpeed = 22160;
  if (!MediumAvailable(d)) return kBdSpeed;
  const uint8_t c = MediumClass(d);
  if (IsCdClass(c)) return kCdSpeed;
  if (IsBdClass(c)) return kBdSpeed;
  return kDvdSpeed;
}

void SetPowerCondition(ScsiDevice* d, uint8_t condition) {
  if (d->power_condition == condition) return;
  d->power_condition = condition;
  d->power_event = kPowerChanged;
  if (d->power_callback != nullptr) d->power_callback(d->user_data, condition);
}

bool TrayOpen(const ScsiDevice* d) {
  if (d->mechanism & mechanism::kNoMedium) return true;
  return d->becoming_ready &&
         static_cast<int64_t>(d->ready_deadline - d->command_start) >=
             static_cast<int64_t>(kTrayOpenReadyUs);
}

void EnterLock(ScsiDevice* d, bool* lock_held) {
  if (*lock_held) return;
  win32::EnterCriticalSection(d->lock);
  *lock_held = true;
}

void LeaveLock(ScsiDevice* d, bool* lock_held) {
  if (!*lock_held) return;
  win32::LeaveCriticalSection(d->lock);
  *lock_held = false;
}

void SetSense(ScsiDevice* d, const SenseCode& code) {
  std::memset(d->sense, 0, sizeof(d->sense));
  d->sense[0] = sense::kResponseCode;
  d->sense[sense::kKeyOffset] = code.key;
  d->sense[sense::kAdditionalLengthOffset] = sense::kAdditionalLength;
  d->sense[sense::kAscOffset] = code.asc;
  d->sense[sense::kAscqOffset] = code.ascq;
}

uint32_t Fail(ScsiDevice* d, const SenseCode& code, uint32_t result) {
  SetSense(d, code);
  return result;
}

bool ZeroBytes(const uint8_t* cdb, std::initializer_list<uint8_t> indices) {
  for (uint8_t i : indices) {
    if (cdb[i] != 0) return false;
  }
  return true;
}

void LimitData(ScsiDevice* d, uint32_t allocation_length) {
  d->data_limit = std::min(d->data_limit, allocation_length);
}

void ConsumeData(ScsiDevice* d, uint32_t n) {
  n = std::min(n, d->data_limit);
  d->bytes_done += n;
  d->data_limit -= n;
}

bool PutData(ScsiDevice* d, const void* bytes, uint32_t n) {
  const uint32_t m = std::min(n, d->data_limit);
  ScsiRequest* request = d->current;
  if (m != 0 && request != nullptr && request->copy != nullptr) {
    request->copy(request->data_context, const_cast<void*>(bytes), m, d->bytes_done,
                  kCopyToRequest);
  }
  ConsumeData(d, m);
  return m == n;
}

bool GetData(ScsiDevice* d, void* bytes, uint32_t n) {
  const uint32_t m = std::min(n, d->data_limit);
  ScsiRequest* request = d->current;
  if (m != 0 && request != nullptr && request->copy != nullptr) {
    request->copy(request->data_context, bytes, m, d->bytes_done, kCopyFromRequest);
  }
  ConsumeData(d, m);
  return m == n;
}

bool AnswerMovedRequestData(const ScsiDevice* d, const MediaRequest* mr) {
  return mr->copy == WindowCopy && mr->copyContext == d;
}

uint32_t MapEngineAnswer(ScsiDevice* d, MediaRequest* mr, uint32_t r) {
  return MapAnswer(d, mr, r, true);
}

uint32_t SendToMedium(ScsiDevice* d, ScsiRequest* request, bool* lock_held, void* data,
                      uint32_t length, const uint8_t* cdb, EngineCompletion completion,
                      uint32_t extra_flags) {
  EnterLock(d, lock_held);
  if (d->medium == nullptr || d->medium_callback == nullptr) {
    if (d->mechanism == mechanism::kAccess) d->mechanism = mechanism::kIdle;  // nothing began
    return NoMedium(d);
  }
  MediaRequest& mr = request->medium_request;
  mr = MediaRequest{};
  mr.flags = static_cast<uint32_t>(d->region_mask) << 24 | kRequestCdb | extra_flags;
  if (LookupOpcode(request->cdb[0]).flags & kDataOut) mr.flags |= kRequestToMedium;
  mr.sense = d->sense;
  if (cdb != nullptr) {
    std::memcpy(mr.cdb, cdb, sizeof(mr.cdb));
  } else {
    std::memcpy(mr.cdb, request->cdb, sizeof(request->cdb));
    std::memcpy(mr.cdb + sizeof(request->cdb), &request->reserved, sizeof(request->reserved));
  }
  if (data == nullptr || data == request->data_context) {
    const uint32_t n = data == nullptr ? d->data_limit : std::min(length, d->data_limit);
    d->window_offset = d->bytes_done;
    d->window_length = n;
    mr.byteCount = n;
    mr.copyContext = d;
    mr.copy = WindowCopy;
  } else {
    d->flat = {length, static_cast<uint8_t*>(data), 0};
    mr.byteCount = length;
    mr.copyContext = &d->flat;
    mr.copy = FlatCopy;
  }
  MediumCallback medium = d->medium_callback;
  void* context = d->medium;
  EngineCompletion done = completion != nullptr ? completion : StandardEngineCompletion;
  LeaveLock(d, lock_held);

  uint32_t r = medium(context, &mr, done, d);
  if (r == kResultPending) return kResultPending;

  EnterLock(d, lock_held);
  r = MapEngineAnswer(d, &mr, r);
  if (completion == nullptr && AnswerMovedRequestData(d, &mr)) ConsumeData(d, mr.byteCount);
  return r;
}

uint32_t FinishCommand(ScsiDevice* d, ScsiRequest* request, uint32_t result, bool async,
                       bool lock_held) {
  if (result == kResultPending) {
    if (lock_held) win32::LeaveCriticalSection(d->lock);
    return kResultPending;
  }
  if (!lock_held) win32::EnterCriticalSection(d->lock);
  bool detached = false;
  DetachDoneCallback detach_done = nullptr;
  void* detach_user_data = nullptr;
  if (d->detach_deferred) {
    detached = true;
    detach_done = d->deferred_detach;
    detach_user_data = d->deferred_detach_user_data;
    d->detach_deferred = 0;
    d->deferred_detach = nullptr;
    d->deferred_detach_user_data = nullptr;
    if (d->medium != nullptr && !(d->mechanism & mechanism::kNoMedium) && UnloadMedium(d)) {
      TrayMovesOut(d);
    }
    ForgetMedium(d);
  }
  request->data_length = d->bytes_done;
  // Under the lock: the next command may start as soon as the current one is cleared.
  const uint64_t deadline = TimingDeadline(d, request);
  if (deadline != 0) request->deadline = std::max(request->deadline, deadline);
  d->current = nullptr;
  CompletionCallback completion = d->completion;
  void* user_data = d->user_data;
  win32::LeaveCriticalSection(d->lock);
  if (detached && detach_done != nullptr) detach_done(detach_user_data, 0);
  if (async) completion(user_data, request, result);
  return result;
}

// ---------------------------------------------------------------------------------------
// Public interface.

uint32_t CreateScsiDevice(uint32_t flags, const uint8_t* identity, win32::CRITICAL_SECTION* lock,
                          CompletionCallback completion, PowerCallback power,
                          RegionCallback region, DoorCallback door, void* user_data,
                          ScsiDevice** out) {
  if (out == nullptr) return kResultBadArguments;
  *out = nullptr;
  const uint8_t type = static_cast<uint8_t>(flags & kDeviceTypeMask);
  if ((type != kDeviceTypeDirectAccess && type != kDeviceTypeCdDvd) || completion == nullptr ||
      identity == nullptr || lock == nullptr) {
    return kResultBadArguments;
  }
  auto* d = new (std::nothrow) ScsiDevice{};
  if (d == nullptr) return kErrorNoMemory;

  d->inquiry[0] = type;
  const uint32_t buffer_kb =
      (flags & kFlagBufferSizeGiven) ? ((flags >> 24) & 0xFF) * 64 : kDefaultBufferKb;
  PutBe16(d->inquiry + 2, buffer_kb);
  if (flags & kFlagLongIdentity) {
    std::memcpy(d->inquiry + kInquiryIdentityOffset, identity, kLongIdentitySize);
  } else {
    std::memcpy(d->inquiry + kInquiryIdentityOffset, identity, kIdentitySize);
    std::memcpy(d->inquiry + kInquiryIdentityOffset + kIdentitySize, kVendorSpecific,
                sizeof(kVendorSpecific) - 1);
  }
  d->lock = lock;
  d->completion = completion;
  d->power_callback = power;
  d->region_callback = region;
  d->door_callback = door;
  d->user_data = user_data;
  d->device_type = type;
  d->block_size = kBlockSize;
  d->sectors_per_ecc = 1;
  d->power_condition = kPowerStandby;
  d->rpc_state = 0x25;
  d->region_mask = 0xFF;
  d->mechanism = mechanism::kInitial;
  d->busy_event = 1;
  // Ports 0 and 1 on channels 1 and 2, ports 2 and 3 muted, all at full volume.
  constexpr uint8_t kAudioControl[8] = {0x01, 0xFF, 0x02, 0xFF, 0x00, 0xFF, 0x00, 0xFF};
  std::memcpy(d->audio_control, kAudioControl, sizeof(kAudioControl));
  d->subchannel.cached_lba = kNoCachedLba;
  *out = d;
  return kResultGood;
}

void DestroyScsiDevice(ScsiDevice* device) { delete device; }

uint32_t SetRegion(ScsiDevice* d, uint32_t region) {
  if (d == nullptr) return kResultBadArguments;
  if (d->device_type != kDeviceTypeCdDvd) return 1;
  win32::EnterCriticalSection(d->lock);
  if (region >= 1 && region <= 8) {
    d->region_mask = static_cast<uint8_t>(~(1u << (region - 1)));
    d->rpc_state = 0x64;
  } else {
    d->region_mask = 0xFF;
    d->rpc_state = 0x25;
  }
  win32::LeaveCriticalSection(d->lock);
  return kResultGood;
}

uint32_t AttachMedium(ScsiDevice* d, void* medium_context, MediumCallback medium,
                      AudioCallback audio, uint32_t descriptor, uint32_t rotation_period_us,
                      uint32_t capacity_low, uint32_t capacity_high, uint32_t max_transfer,
                      AttachDoneCallback attach_done, void* attach_done_user_data) {
  if (d == nullptr || medium_context == nullptr || medium == nullptr || audio == nullptr ||
      (capacity_low == 0 && capacity_high == 0) ||
      (max_transfer != 0 && max_transfer < kMinMaxTransfer) ||
      (rotation_period_us != 0 && (rotation_period_us < timing::kMinimumPeriodUs ||
                                   rotation_period_us > kMaxRotationPeriodUs))) {
    return kResultBadArguments;
  }
  if (capacity_high != 0) return kErrorNotSupported;
  const uint8_t medium_class = static_cast<uint8_t>(descriptor);
  if (!(descriptor & kMediumCdbForm) && medium_class != kMediumNone) return kErrorNotSupported;

  bool held = false;
  EnterLock(d, &held);
  if (d->medium != nullptr) {
    // The same drive with its tray out: the attach closes it again.
    if (d->mechanism & mechanism::kNoMedium) LoadMedium(d);
    LeaveLock(d, &held);
    return kErrorAlreadyExists;
  }
  if (d->device_type == kDeviceTypeCdDvd &&
      ((medium_class >= 9 && medium_class <= 11) || medium_class >= 15)) {
    LeaveLock(d, &held);
    return kErrorNotSupported;
  }
  if (d->attach_busy) {
    LeaveLock(d, &held);
    return kErrorAlreadyExists;
  }
  d->sectors_per_ecc = static_cast<uint8_t>(timing::SectorsPerEcc(medium_class));
  d->medium_callback = medium;
  d->audio_callback = audio;
  d->capacity = capacity_low;
  d->last_lba = capacity_low - 1;
  d->descriptor = descriptor;
  SetRotationPeriods(d, rotation_period_us);

  MediaRequest& mr = d->work.toc_request;
  mr = MediaRequest{};
  std::memset(d->toc, 0, sizeof(d->toc));
  d->flat = {kTocBufferSize, d->toc, 0};
  mr.flags = static_cast<uint32_t>(d->region_mask) << 24 | kRequestCdb;
  mr.byteCount = kTocBufferSize;
  mr.copyContext = &d->flat;
  mr.copy = FlatCopy;
  mr.sense = d->sense;
  std::memcpy(mr.cdb, kTocCdb, sizeof(mr.cdb));
  d->attach_done = attach_done;
  d->attach_done_user_data = attach_done_user_data;
  d->attaching_medium = medium_context;
  d->attach_busy = 1;
  LeaveLock(d, &held);

  const uint32_t r = medium(medium_context, &mr, AttachTocCompletion, d);
  if (r == kResultPending) return kResultPending;

  EnterLock(d, &held);
  const uint32_t result = EndAttach(d, &mr, r);
  d->attach_done = nullptr;
  d->attach_done_user_data = nullptr;
  LeaveLock(d, &held);
  return result;
}

uint32_t DetachMedium(ScsiDevice* d, DetachDoneCallback done, void* done_user_data, bool force) {
  if (d == nullptr) return kResultBadArguments;
  bool held = false;
  EnterLock(d, &held);
  if (d->medium == nullptr) {
    LeaveLock(d, &held);
    return kErrorNoMedium;
  }
  if (!(d->mechanism & mechanism::kNoMedium)) {
    if (!force && (d->prevent || d->persistent_prevent)) {
      LeaveLock(d, &held);
      return kErrorRemovalPrevented;
    }
    if (d->current != nullptr) {
      const uint32_t r = d->detach_deferred ? kErrorAlreadyExists : kResultPending;
      if (!d->detach_deferred) {
        d->detach_deferred = 1;
        d->deferred_detach = done;
        d->deferred_detach_user_data = done_user_data;
      }
      LeaveLock(d, &held);
      return r;
    }
    if (UnloadMedium(d)) TrayMovesOut(d);
  }
  ForgetMedium(d);
  LeaveLock(d, &held);
  return kResultGood;
}

uint32_t ExecuteCommand(ScsiDevice* d, ScsiRequest* request) {
  if (d == nullptr || request == nullptr || request->flags > 1) return kResultBadArguments;
  const OpcodeEntry& op = LookupOpcode(request->cdb[0]);
  bool held = false;
  EnterLock(d, &held);
  if (d->current != nullptr) {
    LeaveLock(d, &held);
    return kResultBusy;
  }
  request->deadline = 0;
  d->current = request;
  ClearCommandTiming(d);
  d->bytes_done = 0;
  // Without a copy function nothing can move, whatever length the request claims.
  d->data_limit = request->copy != nullptr ? request->data_length : 0;
  d->data_out_continuation = nullptr;

  uint32_t r = Dispatch(d, request, op, &held);
  if (r == kResultPending && held) {
    CommandHandler continuation = d->data_out_continuation;
    d->data_out_continuation = nullptr;
    if (continuation != nullptr) {
      // The initiator's data is already in the request: go on at once.
      const uint32_t n = std::min(request->data_length, d->data_limit);
      request->data_length = n;
      d->data_limit = n;
      r = continuation(d, request, &held);
    }
    if (r == kResultPending && held) {
      // Pending with nothing that could end it: fail rather than never answer.
      r = Fail(d, sense::kDataPhaseError, kResultFailure);
    }
  }
  return FinishCommand(d, request, r, false, held);
}

}  // namespace imagepath
