// The MMC command layer: one ScsiDevice per target turns the SCSI commands of a virtual
// CD/DVD/BD-ROM drive into a drive's behaviour (state, sense, timing) and passes the
// medium-dependent ones to the image engine through a medium callback.
//
// Results are Win32 error codes: 0 good; 997 pending (the completion callback delivers the
// result); 1 invalid field; 5 a command is already executing; 9 LBA out of range; 21 not
// ready; 22 invalid operation code; 23 unrecovered read error; 25 illegal mode for this
// track; 27 seek error; 31 drive asleep; 87 bad arguments; 1110 medium changed; 1112 no
// medium or becoming ready; 1117 any other failure. Every non-zero result except 5, 87 and
// 997 leaves fixed-format sense data pending for REQUEST SENSE.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32/win32.h"
#include "ravelkit/ravelkit.h"

namespace imagepath {

// (context, buffer, length, offset, direction): direction 0 stores `buffer` into the
// request's data, 1 reads the request's data into `buffer`. Moves at most what lies between
// `offset` and the end of the request's data; gives no result. The same type as the
// engine's and the command slots' copy functions, so either can be handed on unchanged.
using CopyFunction = MediaCopyFn;

// Result codes of the layer.
inline constexpr uint32_t kResultGood = 0;
inline constexpr uint32_t kResultInvalidField = 1;
inline constexpr uint32_t kResultBusy = 5;
inline constexpr uint32_t kResultLbaOutOfRange = 9;
inline constexpr uint32_t kResultNotReady = 21;
inline constexpr uint32_t kResultInvalidOpcode = 22;
inline constexpr uint32_t kResultUnrecoveredRead = 23;
inline constexpr uint32_t kResultIllegalModeForTrack = 25;
inline constexpr uint32_t kResultSeekError = 27;
inline constexpr uint32_t kResultAsleep = 31;
inline constexpr uint32_t kResultBadArguments = 87;
inline constexpr uint32_t kResultMediumChanged = 1110;
inline constexpr uint32_t kResultNoMedium = 1112;
inline constexpr uint32_t kResultFailure = 1117;
inline constexpr uint32_t kResultPending = 997;

// One command in execution, built by the target's executor.
struct ScsiRequest {
  uint32_t flags;        // 0 (1 is accepted too; anything else is refused)
  uint32_t data_length;  // in: bytes the initiator's buffer holds; out: bytes moved
  void* data_context;    // first argument of `copy`; null without data
  CopyFunction copy;     // null without data
  uint8_t cdb[12];
  uint32_t reserved;
  uint64_t deadline;     // out: MicrosecondClock time before which no answer; 0 = none
  MediaRequest medium_request;  // work area for the command's engine request
};
static_assert(offsetof(ScsiRequest, data_length) == 4);
static_assert(offsetof(ScsiRequest, data_context) == 8);
static_assert(sizeof(void*) != 8 || offsetof(ScsiRequest, cdb) == 24);
static_assert(sizeof(void*) != 8 || offsetof(ScsiRequest, deadline) == 40);
static_assert(sizeof(void*) != 8 || offsetof(ScsiRequest, medium_request) == 48);
static_assert(sizeof(void*) != 8 || sizeof(ScsiRequest) == 104);

struct ScsiDevice;  // the layer's own (imagepath/scsi_device.h)

// Called when a command that returned 997 ends.
using CompletionCallback = void (*)(void* user_data, ScsiRequest* request, uint32_t result);
// Optional notifications, null in this system.
using PowerCallback = void (*)(void* user_data, uint8_t power_condition);
using RegionCallback = void (*)(void* user_data, uint8_t region_mask);
// Whether the tray may move; `unloading` is 1 when the medium is being taken out.
// Absent means yes.
using DoorCallback = bool (*)(void* user_data, uint32_t unloading);

// Ends an engine request that the medium callback answered 997: (user data, request,
// status 0 done or 87 failed). `user_data` is what the layer handed the medium callback.
using EngineCompletion = void (*)(void* user_data, MediaRequest* request, uint32_t status);
// How the layer reaches the medium (the target's read dispatcher): 0 answered at once,
// 997 the completion follows on another thread, else failed with that code.
using MediumCallback = uint32_t (*)(void* medium_context, MediaRequest* request,
                                    EngineCompletion completion, void* completion_user_data);
// Bit 31 of an answer's rotation: the medium served it from its read-ahead ring, without a
// seek of its own; the low bits are still the rotation it costs.
inline constexpr uint32_t kRotationFromRing = 0x80000000u;

// The audio playback hook. Calls: kAudioStop (0, 0, 0), kAudioStart (kind 1 play,
// 2 scan forward, 3 scan reverse; start LBA; length), kAudioPosition (pointer to an
// AudioPosition as `a`, filled when the answer is 0).
inline constexpr uint32_t kAudioStop = 0;
inline constexpr uint32_t kAudioStart = 1;
inline constexpr uint32_t kAudioPosition = 2;
struct AudioPosition {
  uint8_t track, index;
  uint8_t absolute_msf[3];  // M, S, F
  uint8_t relative_msf[3];
};
using AudioCallback = uint32_t (*)(void* medium_context, uint32_t call, uintptr_t a,
                                   uint32_t b, uint32_t c);

// Called by an attach or detach that went on after its call returned 997.
using AttachDoneCallback = void (*)(void* user_data, uint32_t result);
using DetachDoneCallback = void (*)(void* user_data, uint32_t result);

// Flags word of the targets' devices: device type 5, a 2,048 KB buffer, 28-byte identity.
inline constexpr uint32_t kTargetDeviceFlags = 0x20000205;

// The INQUIRY identity: vendor 8, product 16, revision 4, space padded.
inline constexpr uint32_t kIdentitySize = 28;

// `identity` is kIdentitySize bytes; with flags bit 10 set it is 48, the 20 vendor-specific
// INQUIRY bytes following. 0, 87 (device type not 0 or 5, or no
// identity, lock, completion callback or `out`), 8 (no memory).
// `lock` guards the device's state; it belongs to the caller and outlives the device.
uint32_t CreateScsiDevice(uint32_t flags, const uint8_t* identity, win32::CRITICAL_SECTION* lock,
                          CompletionCallback completion, PowerCallback power,
                          RegionCallback region, DoorCallback door, void* user_data,
                          ScsiDevice** out);
void DestroyScsiDevice(ScsiDevice* device);

// Region 1..8 locks the drive to that region; anything else restores the defaults.
// 0, or 1 on a direct-access device.
uint32_t SetRegion(ScsiDevice* device, uint32_t region);

uint32_t AttachMedium(ScsiDevice* device, void* medium_context, MediumCallback medium,
                      AudioCallback audio, uint32_t descriptor, uint32_t rotation_period_us,
                      uint32_t capacity_low, uint32_t capacity_high, uint32_t max_transfer,
                      AttachDoneCallback attach_done, void* attach_done_user_data);
// 0 detached, 1109 removal prevented (without force), 997 after the executing command
// (183 when a detach already waits), 2250 no medium.
inline constexpr uint32_t kErrorRemovalPrevented = 1109;
uint32_t DetachMedium(ScsiDevice* device, DetachDoneCallback done, void* done_user_data,
                      bool force);

uint32_t ExecuteCommand(ScsiDevice* device, ScsiRequest* request);

}  // namespace imagepath
