// The target record and the read dispatcher's operations, shared by targets.cpp and
// dispatcher.cpp (and their tests). Not for the rest of the program: it sees targets.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "devaccess/vsbp2api.h"
#include "imagepath/scsi.h"
#include "imagepath/targets.h"
#include "platform/win32/win32.h"
#include "ravelkit/ravelkit.h"

namespace imagepath {

inline constexpr uint16_t kSectorSize = 2048;
inline constexpr uint32_t kRingEntries = 32;
inline constexpr uint32_t kEntrySectors = 32;  // one 64 KiB entry of 2,048-byte sectors
inline constexpr uint32_t kEntryBytes = kEntrySectors * kSectorSize;
inline constexpr uint32_t kReadAheadBytes = kRingEntries * kEntryBytes;
static_assert(kReadAheadBytes == 0x200000);
// The most a read-ahead request can hold: the whole ring.
inline constexpr uint32_t kRingSectors = kRingEntries * kEntrySectors;

inline constexpr uint64_t kNoLba = ~uint64_t{0};
// Rotation sums that reach bit 31 are held at this top byte so they never read as "from
// the ring".
inline constexpr uint32_t kRotationSaturated = 0x7F000000u;
// The status byte of every answer the dispatcher writes itself (rather than the engine).
inline constexpr uint8_t kDispatcherStatusByte = 0x50;
// MediaRequest flags of the prefetch: a background read the engine may treat as such.
inline constexpr uint32_t kRequestBackground = 1u << 10;

// One 64 KiB stretch of the read-ahead buffer: entry k's data starts at k * kEntryBytes
// and holds 32 / (ECC mask + 1) ECC blocks.
struct RingEntry {
  uint32_t valid;  // holds data that has not been consumed completely
  // Rotation of each ECC block as the engine reported it, in 2^-24 revolution, until it is
  // credited to the request that consumes the block.
  uint32_t cost[kEntrySectors];
  uint64_t start;  // first LBA held, kNoLba for none
  uint64_t end;    // LBA after the last one held, 0 for none
};

// Where the read-ahead request's copy function stores: {length, buffer}.
struct ReadAheadDescriptor {
  uint32_t length;
  uint8_t* buffer;
};

struct Target {
  uint16_t index;
  // Read by the submit path, the executor and the dispatcher without a common lock.
  std::atomic<uint8_t> stopping;
  // The executor thread's own (its release routine runs on it as well).
  uint8_t release_timer_armed;
  uint8_t resolution_raised;

  // ---- Read dispatcher state: guarded by dispatcher_lock. ----
  MediaRequest* pending;  // handed over, not yet answered
  EngineCompletion pending_completion;
  void* pending_user_data;
  uint64_t remaining_lba;  // the part of a READ the ring did not hold; kNoLba = none
  uint32_t remaining_count;
  uint32_t bytes_delivered;  // already copied into the pending request
  uint32_t credits;          // rotation of consumed prefetched blocks; kRotationFromRing
  uint8_t read_ahead_active;
  // Set around the prefetch's engine call, which runs without the lock; read by an unmount
  // waiting to close the image.
  std::atomic<uint8_t> engine_busy;
  // The current entry moved onto the entry being filled: keep prefetching although the
  // fill and current entries are the same.
  uint8_t prefetch_continue;
  uint8_t current_entry;
  uint8_t fill_entry;
  uint8_t fill_block;
  RingEntry ring[kRingEntries];

  ScsiDevice* device;
  win32::HANDLE executor_thread;
  win32::HANDLE dispatcher_thread;
  uint32_t cpu_affinity;  // 0 = none
  // Medium fields: written under dispatcher_lock (the dispatcher thread reads them there).
  ImageHandle image;  // null = nothing mounted
  uint64_t capacity;  // sectors
  uint32_t ecc_mask;
  uint64_t last_position;  // head position after the last engine call
  MediaRequest read_ahead_request;  // the dispatcher thread's own
  uint8_t read_ahead_sense[18];
  ReadAheadDescriptor read_ahead_descriptor;
  uint8_t* read_ahead_buffer;  // kReadAheadBytes
  win32::HANDLE dispatcher_event;

  win32::HANDLE release_timer;
  // Slots submitted and not yet taken by the executor, linked through their queue links;
  // queue[0] is the first, queue[1] the last (both point at the sentinel when empty).
  // Guarded by queue_lock.
  void* queue[2];
  uint32_t mount_result;       // set by the attach-done callback before mount_event
  uint32_t completion_result;  // set by the completion callback before completion_event
  win32::HANDLE completion_event;
  win32::HANDLE mount_event;
  win32::HANDLE queue_event;
  win32::HANDLE executor_stop_event;
  win32::CRITICAL_SECTION queue_lock;
  win32::CRITICAL_SECTION command_lock;  // the command layer device's
  win32::CRITICAL_SECTION dispatcher_lock;
  // The path of the mounted image, for the tray's menus; empty with none. Guarded by
  // dispatcher_lock.
  char16_t mounted_path[261];
};

// ---- Read dispatcher (dispatcher.cpp) ----

// The engine the targets use (ravelkit's unless a test replaced it).
const EngineOps& Engine();

// Makes the dispatcher lock and empties the ring; DestroyDispatcher deletes the lock.
void InitDispatcher(Target* target);
void DestroyDispatcher(Target* target);
// The event, the read-ahead buffer and the dispatcher thread: false (nothing left behind)
// when one cannot be had. StopDispatcher ends the thread (set `stopping` first) and frees
// them; it may be called on a target that was started only in part.
bool StartDispatcher(Target* target);
void StopDispatcher(Target* target);
// Sets the medium the dispatcher reads (null image: none) and the ECC block of its class.
void SetDispatcherMedium(Target* target, ImageHandle image, uint64_t capacity, uint32_t descriptor);

// The command layer's medium callback; `medium_context` is the Target. 0 answered from the
// ring, 997 handed to the dispatcher thread (the completion follows there with status 0 or
// 87), 995 the target is stopping, 5 a request is already pending.
uint32_t SubmitMediaRequest(void* medium_context, MediaRequest* request, EngineCompletion completion,
                            void* completion_user_data);
win32::DWORD DispatcherThread(void* target);

void ResetReadAhead(Target* target);
// Credits every uncredited block cost and marks every entry invalid. Lock held.
void FlushReadAhead(Target* target);
// Serves what the ring holds of [*lba, *lba + *count) into `request`, starting the search at
// entry `first`; true when the count reached 0. Lock held.
bool ServeFromRing(Target* target, uint32_t first, MediaRequest* request, uint64_t* lba,
                   uint32_t* count, bool* moved);

// The results the engine (or the dispatcher) writes over a request's consumed CDB.
uint64_t ResultPosition(const MediaRequest& request);
uint32_t ResultRotation(const MediaRequest& request);
void SetResultPosition(MediaRequest& request, uint64_t position);
void SetResultRotation(MediaRequest& request, uint32_t rotation);

// ---- Targets (targets.cpp) ----

// The callbacks targets give VSbp2ApiOpenUnit; they find the target by the unit index.
const devaccess::UnitCallbacks& TargetUnitCallbacks();

}  // namespace imagepath
