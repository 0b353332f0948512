// The command layer's own view of a device: the ScsiDevice record, the opcode table entry,
// and the operations that the command families (frame, mmc/reading, mmc/timing and the
// later information and audio families) share. Not for use outside imagepath/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "imagepath/big_endian.h"
#include "imagepath/scsi.h"
#include "platform/win32/win32.h"
#include "ravelkit/ravelkit.h"

namespace imagepath {

// ---------------------------------------------------------------------------------------
// Sense codes by name (fixed format: key, additional sense code, qualifier).
struct SenseCode {
  uint8_t key;
  uint8_t asc;
  uint8_t ascq;
  friend bool operator==(const SenseCode&, const SenseCode&) = default;
};

namespace sense {
inline constexpr uint8_t kKeyNoSense = 0x0;
inline constexpr uint8_t kKeyNotReady = 0x2;
inline constexpr uint8_t kKeyMediumError = 0x3;
inline constexpr uint8_t kKeyHardwareError = 0x4;
inline constexpr uint8_t kKeyIllegalRequest = 0x5;
inline constexpr uint8_t kKeyUnitAttention = 0x6;

inline constexpr SenseCode kBecomingReady{kKeyNotReady, 0x04, 0x01};
inline constexpr SenseCode kNotPresentTrayClosed{kKeyNotReady, 0x3A, 0x01};
inline constexpr SenseCode kNotPresentTrayOpen{kKeyNotReady, 0x3A, 0x02};
inline constexpr SenseCode kMediumNotPresent{kKeyNotReady, 0x3A, 0x00};
inline constexpr SenseCode kUnknownFormat{kKeyNotReady, 0x30, 0x01};
inline constexpr SenseCode kRemovalPreventedNotReady{kKeyNotReady, 0x53, 0x02};
inline constexpr SenseCode kUnrecoveredRead{kKeyMediumError, 0x11, 0x00};
inline constexpr SenseCode kNoSeekComplete{kKeyMediumError, 0x02, 0x00};
inline constexpr SenseCode kAsleep{kKeyHardwareError, 0x05, 0x00};
inline constexpr SenseCode kDataPhaseError{kKeyHardwareError, 0x4B, 0x00};
inline constexpr SenseCode kPositioningError{kKeyHardwareError, 0x01, 0x00};
inline constexpr SenseCode kInvalidOpcode{kKeyIllegalRequest, 0x20, 0x00};
inline constexpr SenseCode kLbaOutOfRange{kKeyIllegalRequest, 0x21, 0x00};
inline constexpr SenseCode kInvalidFieldInCdb{kKeyIllegalRequest, 0x24, 0x00};
inline constexpr SenseCode kParameterListLength{kKeyIllegalRequest, 0x1A, 0x00};
inline constexpr SenseCode kInvalidFieldInParameters{kKeyIllegalRequest, 0x26, 0x00};
inline constexpr SenseCode kCommandSequenceError{kKeyIllegalRequest, 0x2C, 0x00};
inline constexpr SenseCode kIncompatibleMedium{kKeyIllegalRequest, 0x30, 0x02};
inline constexpr SenseCode kSavingNotSupported{kKeyIllegalRequest, 0x39, 0x00};
inline constexpr SenseCode kRemovalPrevented{kKeyIllegalRequest, 0x53, 0x02};
inline constexpr SenseCode kIllegalModeForTrack{kKeyIllegalRequest, 0x64, 0x00};
inline constexpr SenseCode kMediumChanged{kKeyUnitAttention, 0x28, 0x00};

// Fixed-format layout.
inline constexpr size_t kSize = 18;
inline constexpr uint8_t kResponseCode = 0x70;
inline constexpr size_t kKeyOffset = 2;
inline constexpr size_t kAdditionalLengthOffset = 7;
inline constexpr uint8_t kAdditionalLength = 10;
inline constexpr size_t kAscOffset = 12;
inline constexpr size_t kAscqOffset = 13;
}  // namespace sense

// ---------------------------------------------------------------------------------------
// Mechanism state byte.
namespace mechanism {
inline constexpr uint8_t kActivityMask = 0xE0;  // bits 5-7
inline constexpr uint8_t kActivityPlay = 0x20;
inline constexpr uint8_t kActivityScan = 0x40;
inline constexpr uint8_t kNoMedium = 0x10;       // tray open, or loading/unloading
inline constexpr uint8_t kScanReverse = 0x08;
inline constexpr uint8_t kAudioStatusMask = 0x07;  // READ SUB-CHANNEL audio status - 0x10

inline constexpr uint8_t kInitial = 0xE5;   // closed, empty
inline constexpr uint8_t kIdle = 0x05;      // medium present, idle
inline constexpr uint8_t kAccess = 0x60;    // a medium access begun by BeginMediumAccess
inline constexpr uint8_t kTrayOpen = 0xF5;  // empty with the tray out
inline constexpr uint8_t kUnloaded = 0x15;  // medium taken out of a loaded drive
inline constexpr uint8_t kPlaying = 0x21;
inline constexpr uint8_t kPaused = 0x22;
inline constexpr uint8_t kScanForward = 0x41;
inline constexpr uint8_t kScanBackward = 0x49;
inline constexpr uint8_t kStopped = 0x03;

inline constexpr uint8_t kAudioStatusBase = 0x10;
}  // namespace mechanism

// Power conditions.
inline constexpr uint8_t kPowerActive = 1;
inline constexpr uint8_t kPowerIdle = 2;
inline constexpr uint8_t kPowerStandby = 3;
inline constexpr uint8_t kPowerSleep = 4;

// ---------------------------------------------------------------------------------------
// Opcode table.
namespace opflag {
inline constexpr uint8_t kDirectAccess = 0x01;  // allowed on a direct-access device
inline constexpr uint8_t kCdDvd = 0x02;         // allowed on a CD/DVD device
inline constexpr uint8_t kMediumAccess = 0x08;  // wakes the drive: power, spin-up, ready
inline constexpr uint8_t kNeedsMedium = 0x10;
inline constexpr uint8_t kDataIn = 0x40;        // answers with data
inline constexpr uint8_t kDataOut = 0x80;       // carries data from the initiator
}  // namespace opflag

// `lock_held` says whether the device lock is held; a handler that leaves it (to reach the
// engine) clears it. The result is a layer result code; 997 means the command goes on
// elsewhere (an engine answer, or the data-out continuation the handler set).
using CommandHandler = uint32_t (*)(ScsiDevice* device, ScsiRequest* request, bool* lock_held);

struct OpcodeEntry {
  uint8_t flags;
  CommandHandler handler;  // null: INVALID COMMAND OPERATION CODE
};
const OpcodeEntry& LookupOpcode(uint8_t opcode);

// ---------------------------------------------------------------------------------------
// The device record.

// Copies into or out of {length, pointer}: the layer's own buffers (TOC, work area).
struct FlatBuffer {
  uint32_t length;
  uint8_t* data;
  uint32_t moved;  // highest offset stored into, so a reader knows what came back
};

// How far a multi-request command (VERIFY) has got.
struct TransferCursor {
  uint32_t lba;
  uint32_t sectors_per_request;
  uint32_t bytes_per_sector;
  uint32_t sectors_left;
};

// The drive's simulated head and rotation. Times are MicrosecondClock microseconds; rotation
// values from the engine are in 2^-24 revolution.
struct TimingState {
  uint64_t phase;            // W: where on the rotation grid the last access ended
  uint32_t previous_head;    // head before the last access
  uint32_t nominal_period;   // random access; 0 = no rotation timing
  uint32_t minimum_period;   // at full speed, for sequential reads
  uint32_t period;           // P: period of the current command, 0 = none
  uint8_t ring_hit;          // the current command's data came from the read-ahead ring
  uint64_t seek_time;        // S of the current command
  uint64_t rotation_time;    // R of the current command
  uint32_t head;             // LBA the head is at (the one after the last sector read)
  uint32_t seek_target;
  uint64_t seek_arrival;
  uint64_t seek_duration;    // 0 = no seek in progress
};

// A decoded Q position (see the audio family): track with control bit 3 in bit 7, index
// with control bit 2, relative M (control bit 1), S, F, absolute M (control bit 0), S, F.
struct PositionRecord {
  uint8_t bytes[8];
};
static_assert(sizeof(PositionRecord) == 8);

inline constexpr uint32_t kSubchannelBlockRecords = 26;
inline constexpr uint32_t kNoCachedLba = 0xFFFFFFFF;

// What a sub-channel block read is for (READ SUB-CHANNEL's format codes).
inline constexpr uint8_t kBlockPosition = 1;
inline constexpr uint8_t kBlockCatalogue = 2;
inline constexpr uint8_t kBlockIsrc = 3;

// What a start sector read starts (the audio callback's start kinds).
inline constexpr uint8_t kAudioKindPlay = 1;
inline constexpr uint8_t kAudioKindScanForward = 2;
inline constexpr uint8_t kAudioKindScanReverse = 3;

// Position block of READ SUB-CHANNEL and the audio play being started (mmc/audio.cpp). The
// executing command alone touches these fields, with or without the device lock.
struct SubchannelState {
  PositionRecord saved_position;  // where the current play or scan started
  const uint8_t* block_track;     // TOC descriptor of the last block read's track
  uint8_t block_kind;             // kBlockPosition, kBlockCatalogue or kBlockIsrc
  CommandHandler block_continuation;
  uint32_t cached_lba;            // kNoCachedLba = none
  uint8_t block_count;
  uint8_t head_index;
  PositionRecord block[kSubchannelBlockRecords];
  // Raw Q frames of the last catalogue or ISRC block, in the work area.
  uint16_t raw_frames;
  // The play or scan that the start sector read is starting (kAudioKind*).
  uint8_t start_kind;
  // The block read stands in for the start sector's Q: its answer leaves the head where the
  // engine says, like the start sector read's.
  uint8_t block_moves_head;
};

inline constexpr size_t kInquiryImageSize = 56;
inline constexpr size_t kWorkAreaSize = 2368;
inline constexpr size_t kTocBufferSize = 804;

// READ TOC format 0 as `toc` holds it: a header (data length, first and last track), then
// one descriptor per track and the lead-out's: ADR and CONTROL, track number, start LBA.
namespace toc {
inline constexpr uint32_t kHeaderSize = 4;
inline constexpr uint32_t kDescriptorSize = 8;
inline constexpr size_t kAdrControl = 1;
inline constexpr size_t kTrackNumber = 2;
inline constexpr size_t kStart = 4;
}  // namespace toc
inline constexpr uint16_t kBlockSize = 2048;

// Each flag byte is 0 or 1.
struct ScsiDevice {
  uint8_t inquiry[kInquiryImageSize];
  win32::CRITICAL_SECTION* lock;  // the target's; guards everything below
  CompletionCallback completion;
  PowerCallback power_callback;
  RegionCallback region_callback;
  DoorCallback door_callback;
  void* user_data;
  uint16_t block_size;
  uint8_t sectors_per_ecc;  // 1 CD or none, 16 DVD, 32 BD
  uint8_t device_type;      // 5 CD/DVD, 0 direct access

  // The command in execution.
  uint32_t bytes_done;
  uint32_t data_limit;  // what may still move; handlers lower it to allocation lengths
  ScsiRequest* current;
  uint64_t command_start;
  CommandHandler data_out_continuation;
  uint8_t detach_deferred;
  DetachDoneCallback deferred_detach;
  void* deferred_detach_user_data;
  TransferCursor cursor;

  // Power and mode page state.
  uint32_t idle_timer;
  uint32_t standby_timer;
  uint8_t power_condition;
  uint8_t idle_enabled;
  uint8_t standby_enabled;
  uint8_t read_cache_disabled;   // RCD
  uint8_t write_cache_enabled;   // WCE

  uint8_t becoming_ready;
  uint8_t medium_changed;  // unit attention pending
  uint8_t spun_down;
  uint8_t attach_busy;
  uint8_t persistent_prevent;
  uint8_t prevent;

  // GET EVENT STATUS NOTIFICATION events.
  uint8_t operational_event;
  uint8_t power_event;
  uint8_t media_event;
  uint8_t busy_event;

  void* medium;  // the attached medium's context, null = none
  MediumCallback medium_callback;
  AudioCallback audio_callback;
  uint32_t descriptor;  // low byte: medium class
  uint32_t capacity;    // sectors
  void* attaching_medium;  // the context of an attach whose TOC read is running
  AttachDoneCallback attach_done;
  void* attach_done_user_data;
  FlatBuffer flat;
  // The window of the request's data that an engine request may reach: it starts at the
  // bytes already done and never passes the data limit.
  uint32_t window_offset;
  uint32_t window_length;

  uint8_t rpc_state;
  uint8_t region_mask;
  uint8_t mechanism;
  uint64_t ready_deadline;
  uint8_t sense[sense::kSize];  // byte 0 = 0: nothing pending
  uint8_t audio_control[8];     // channel and volume of ports 0-3 (mode page 0x0E)
  uint32_t audio_start;
  uint32_t audio_length;
  uint32_t last_lba;
  TimingState timing;
  SubchannelState subchannel;
  union {
    uint8_t bytes[kWorkAreaSize];
    MediaRequest toc_request;  // the medium request of the TOC read at attach
  } work;
  uint8_t toc[kTocBufferSize];  // the medium's TOC, format 0, read at attach
};

// ---------------------------------------------------------------------------------------
// Medium classes (descriptor low byte) and what depends on them.
inline uint8_t MediumClass(const ScsiDevice* d) { return static_cast<uint8_t>(d->descriptor); }
inline bool IsCdClass(uint8_t c) { return c <= 2; }
inline bool IsDvdClass(uint8_t c) { return c >= 3 && c <= 8; }
inline bool IsBdClass(uint8_t c) { return c >= 12 && c <= 14; }
// Maximum read speed in kB/s (GET PERFORMANCE, SET STREAMING, mode page 0x2A).
uint32_t MaximumSpeed(const ScsiDevice* d);
// A medium is attached and the tray holds it.
inline bool MediumAvailable(const ScsiDevice* d) {
  return d->medium != nullptr && (d->mechanism & mechanism::kNoMedium) == 0;
}
// Changes the power condition, raising the power event and calling the power callback.
void SetPowerCondition(ScsiDevice* d, uint8_t condition);
// Tray open, for the ASCQ of MEDIUM NOT PRESENT and the door-open answers.
bool TrayOpen(const ScsiDevice* d);

// ---------------------------------------------------------------------------------------
// Shared operations.

void EnterLock(ScsiDevice* d, bool* lock_held);
void LeaveLock(ScsiDevice* d, bool* lock_held);

void SetSense(ScsiDevice* d, const SenseCode& code);
inline bool SensePending(const ScsiDevice* d) { return d->sense[0] != 0; }
// Sets `code` and answers `result`, for handlers: `return Fail(d, sense::X, kResultY);`
uint32_t Fail(ScsiDevice* d, const SenseCode& code, uint32_t result);
// The failures that several command families answer.
inline uint32_t InvalidField(ScsiDevice* d) {
  return Fail(d, sense::kInvalidFieldInCdb, kResultInvalidField);
}
// A command for another kind of medium (audio on a DVD, CSS keys on a CD).
inline uint32_t IncompatibleMedium(ScsiDevice* d) {
  return Fail(d, sense::kIncompatibleMedium, kResultInvalidField);
}
// MEDIUM NOT PRESENT, its qualifier saying whether the tray is out.
inline uint32_t NoMedium(ScsiDevice* d) {
  return Fail(d, TrayOpen(d) ? sense::kNotPresentTrayOpen : sense::kNotPresentTrayClosed,
              kResultNoMedium);
}
// CDB checks: the listed bytes are zero; a byte has no bits outside `allowed`.
bool ZeroBytes(const uint8_t* cdb, std::initializer_list<uint8_t> indices);
inline bool OnlyBits(uint8_t value, uint8_t allowed) { return (value & ~allowed) == 0; }

// Move min(n, data limit) bytes at bytes-done; true when all n fitted.
bool PutData(ScsiDevice* d, const void* bytes, uint32_t n);
bool GetData(ScsiDevice* d, void* bytes, uint32_t n);
// Lowers the data limit to an allocation length.
void LimitData(ScsiDevice* d, uint32_t allocation_length);

// Sends a medium request for the current command. Data: `data` equal to the request's own
// data context moves `length` bytes of it from bytes-done on, within the data limit; another
// buffer moves through the flat copy function; null moves what remains of the request's
// data. `cdb` (16 bytes) defaults to the request's CDB and reserved word; `completion`
// defaults to the standard one, which maps the answer and finishes the command. Leaves the
// lock around the medium callback: on 997 it is left, otherwise held again and the answer
// mapped.
// `extra_flags` are added to the request's flags (kRequestOwnSubchannel: the answer stays out
// of the timing).
uint32_t SendToMedium(ScsiDevice* d, ScsiRequest* request, bool* lock_held, void* data,
                      uint32_t length, const uint8_t* cdb, EngineCompletion completion,
                      uint32_t extra_flags = 0);
// The initiator's own CDB and data to the medium, answered by the standard completion.
inline uint32_t ToMedium(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  return SendToMedium(d, request, lock_held, nullptr, 0, nullptr, nullptr);
}
// Maps the engine's answer `r` to a layer result (sense, timing). With the lock held.
uint32_t MapEngineAnswer(ScsiDevice* d, MediaRequest* mr, uint32_t r);
// Ends the command: deferred detach, deadline, data length, completion callback when
// `async`. Leaves the lock. Returns `result`.
uint32_t FinishCommand(ScsiDevice* d, ScsiRequest* request, uint32_t result, bool async,
                       bool lock_held);
// The engine answered a request that SendToMedium built: did the data go to the request's
// own data (rather than a flat buffer of the layer)?
bool AnswerMovedRequestData(const ScsiDevice* d, const MediaRequest* mr);
// Counts `n` bytes as moved (engine answers): bytes-done grows, the limit shrinks.
void ConsumeData(ScsiDevice* d, uint32_t n);

// Audio play (mmc/audio.cpp). Stopping ends a play or scan in progress (a paused play stays
// paused); asking the position moves the head to what the audio callback says is playing.
void StopAudioPlay(ScsiDevice* d);
void AskAudioPosition(ScsiDevice* d);
// Forgets the position block, so that a new medium is never answered from the old one's.
void ForgetPositionBlock(ScsiDevice* d);
inline bool AudioPlaying(const ScsiDevice* d) {
  return d->mechanism == mechanism::kPlaying || d->mechanism == mechanism::kScanForward ||
         d->mechanism == mechanism::kScanBackward;
}
// The audio status READ SUB-CHANNEL reports, and REQUEST SENSE as its ASCQ with nothing
// pending.
inline uint8_t AudioStatus(const ScsiDevice* d) {
  return static_cast<uint8_t>(mechanism::kAudioStatusBase +
                              (d->mechanism & mechanism::kAudioStatusMask));
}

// Drive timing (mmc/timing.cpp).
void ClearCommandTiming(ScsiDevice* d);
void UpdateHeadAtCommandStart(ScsiDevice* d);
void AbandonSeek(ScsiDevice* d);
void Seek(ScsiDevice* d, uint32_t lba);
void BeginMediumAccess(ScsiDevice* d, const ScsiRequest* request, uint32_t lba, uint32_t count);
void AccountEngineAnswer(ScsiDevice* d, const MediaRequest* mr, uint32_t result);
// The deadline of the finished command; 0 when the timing model sets none.
uint64_t TimingDeadline(ScsiDevice* d, const ScsiRequest* request);
void SetRotationPeriods(ScsiDevice* d, uint32_t rotation_period_us);

// M × 4,500 + S × 75 + F - 150, without range checks.
inline uint32_t MsfToLba(uint8_t m, uint8_t s, uint8_t f) {
  return static_cast<uint32_t>(m) * 4500 + static_cast<uint32_t>(s) * 75 + f - 150;
}

}  // namespace imagepath
