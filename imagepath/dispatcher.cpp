// The read dispatcher: the only caller of the engine for a target's medium requests, with
// the 2 MiB read-ahead ring that serves sequential READs from memory while the dispatcher
// thread prefetches the following ECC blocks, one engine call per block.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "imagepath/big_endian.h"
#include "imagepath/target.h"
#include "imagepath/timing.h"

namespace imagepath {

using namespace win32;

namespace {

const EngineOps kRavelkit = {&::ImageOpen, &::ImageQueryMedium, &::ImageExecute, &::ImageClose};
std::atomic<const EngineOps*> g_engine{&kRavelkit};

class DispatcherLock {
 public:
  explicit DispatcherLock(Target* t) : t_(t) { EnterCriticalSection(&t_->dispatcher_lock); }
  ~DispatcherLock() { LeaveCriticalSection(&t_->dispatcher_lock); }
  DispatcherLock(const DispatcherLock&) = delete;
  DispatcherLock& operator=(const DispatcherLock&) = delete;

 private:
  Target* t_;
};

uint8_t& SenseLength(MediaRequest& r) { return r.cdb[kResultSenseLength]; }
uint8_t& StatusByte(MediaRequest& r) { return r.cdb[kResultFlags]; }

// An answer the dispatcher writes itself.
void AnswerHere(MediaRequest& r, uint64_t position, uint32_t rotation) {
  SetResultPosition(r, position);
  SetResultRotation(r, rotation);
  SenseLength(r) = 0;
  StatusByte(r) = kDispatcherStatusByte;
}

uint32_t AddRotation(uint32_t a, uint32_t b) {
  const uint32_t sum = a + b;
  return (sum & kRotationFromRing) != 0 ? (sum & 0x00FFFFFFu) | kRotationSaturated : sum;
}

// The engine call: a call that cannot run counts as a failed request.
uint32_t Execute(ImageHandle image, MediaRequest* request) {
  uint32_t status = kStatusFailed;
  if (Engine().execute(image, request, &status) != 0) return kStatusFailed;
  return status;
}

bool CheckCondition(MediaRequest& r) { return (StatusByte(r) & kResultCheckCondition) != 0; }

struct ReadRange {
  uint64_t lba;
  uint32_t count;
};

// READ(10) and READ(12) without options (no FUA, DPO or streaming bits), which the ring may
// serve.
bool RingCandidate(const MediaRequest& r, ReadRange* range) {
  if ((r.flags & kRequestCdb) == 0 || (r.flags & kRequestToMedium) != 0) return false;
  const uint8_t* c = r.cdb;
  if (c[0] == 0x28 && c[1] == 0 && c[6] == 0 && c[9] == 0) {
    *range = {Be32(c + 2), uint32_t{c[7]} << 8 | c[8]};
    return true;
  }
  if (c[0] == 0xA8 && c[1] == 0 && c[10] == 0 && c[11] == 0) {
    *range = {Be32(c + 2), Be32(c + 6)};
    return true;
  }
  return false;
}

// Requests that move the head: whatever the ring holds is no longer ahead of it.
bool MovesHead(const MediaRequest& r) {
  const uint8_t* c = r.cdb;
  switch (c[0]) {
    case 0x28:  // READ(10)
    case 0xA8:  // READ(12)
    case 0xBE:  // READ CD
    case 0x44:  // READ HEADER
      return true;
    case 0xA4:  // REPORT KEY, title key
      return (c[10] & 0x3F) == 4;
    case 0xAD:  // READ DISC STRUCTURE, DVD copyright information of a sector
      return c[1] == 0 && c[7] == 5;
    default:
      return false;
  }
}

uint64_t RoundUpToBlock(const Target* t, uint64_t lba) { return (lba + t->ecc_mask) & ~uint64_t{t->ecc_mask}; }

// Stores the engine's data into the read-ahead buffer; nothing beyond the descriptor.
void StoreReadAhead(void* context, void* buffer, uint32_t length, uint32_t offset, uint32_t direction) {
  auto* d = static_cast<ReadAheadDescriptor*>(context);
  if (direction != kCopyToRequest || offset >= d->length) return;
  std::memcpy(d->buffer + offset, buffer, std::min(length, d->length - offset));
}

// Builds the read-ahead request for `count` sectors at `lba` into (entry, block), widened
// to whole ECC blocks within the capacity. Returns the range it reads.
ReadRange BuildReadAhead(Target* t, uint64_t lba, uint32_t count, uint32_t entry, uint32_t block) {
  const uint32_t mask = t->ecc_mask;
  uint64_t l = lba;
  uint64_t c = count;
  if (l < t->capacity) {
    c += l & mask;
    l &= ~uint64_t{mask};
    if (l + c < t->capacity) {
      c = std::max<uint64_t>((c + mask) & ~uint64_t{mask}, mask + 1);
      if (l + c > t->capacity) c = t->capacity - l;
    }
  }
  // Callers keep the range within the ring (see SubmitMediaRequest).
  c = std::min<uint64_t>(c, kRingSectors);
  const uint32_t sectors = static_cast<uint32_t>(c);
  t->read_ahead_descriptor = {sectors * kSectorSize,
                              t->read_ahead_buffer + entry * kEntryBytes + block * (mask + 1) * kSectorSize};
  MediaRequest& r = t->read_ahead_request;
  r = {};
  r.flags = kRequestCdb;
  r.byteCount = sectors * kSectorSize;
  r.copyContext = &t->read_ahead_descriptor;
  r.sense = t->read_ahead_sense;
  r.copy = &StoreReadAhead;
  r.cdb[0] = 0x28;
  PutBe32(&r.cdb[2], static_cast<uint32_t>(l));
  r.cdb[7] = static_cast<uint8_t>(sectors >> 8);
  r.cdb[8] = static_cast<uint8_t>(sectors);
  return {l, sectors};
}

void CreditEntry(Target* t, RingEntry& e) {
  for (uint32_t& cost : e.cost) {
    if (cost != 0) t->credits = AddRotation(t->credits, cost);
    cost = 0;
  }
}

uint32_t BlocksHeld(const Target* t, const RingEntry& e) {
  const uint64_t block = t->ecc_mask + 1;
  return static_cast<uint32_t>((e.end - e.start + block - 1) / block);
}

// A request handed over without a ring range: the engine answers it directly.
uint32_t ExecuteDirect(Target* t, MediaRequest* r) {
  if (MovesHead(*r)) {
    FlushReadAhead(t);
    ResetReadAhead(t);
  }
  const uint32_t status = Execute(t->image, r);
  if (status == kStatusFailed) {
    AnswerHere(*r, t->last_position, 0);
  } else {
    t->last_position = ResultPosition(*r);
  }
  SetResultRotation(*r, AddRotation(ResultRotation(*r), t->credits));
  return status;
}

// A READ whose remaining range the ring did not hold when it was submitted.
uint32_t ExecuteRingRead(Target* t, MediaRequest* r, uint64_t* next_prefetch) {
  uint64_t lba = t->remaining_lba;
  uint32_t count = t->remaining_count;
  bool moved = false;
  uint32_t status = kStatusDone;
  // A prefetch may have brought the data meanwhile.
  if (ServeFromRing(t, t->fill_entry, r, &lba, &count, &moved)) {
    AnswerHere(*r, RoundUpToBlock(t, lba), 0);
    t->credits |= kRotationFromRing;
    if (moved && t->read_ahead_active) t->prefetch_continue = 1;
  } else {
    // What the ring served just now is delivered: only the rest is missing.
    t->remaining_lba = lba;
    t->remaining_count = count;
    FlushReadAhead(t);
    ResetReadAhead(t);
    const ReadRange range = BuildReadAhead(t, t->remaining_lba, t->remaining_count, 0, 0);
    MediaRequest& ra = t->read_ahead_request;
    status = Execute(t->image, &ra);
    if (status != kStatusFailed) t->last_position = ResultPosition(ra);
    // A check condition means the data did not arrive: nothing of the range may be held.
    const bool check = status == kStatusDone && CheckCondition(ra);
    if (status == kStatusDone && !check) {
      const uint32_t used = (range.count + kEntrySectors - 1) / kEntrySectors;
      for (uint32_t i = 0; i < used; ++i) {
        RingEntry& e = t->ring[i];
        e.valid = 1;
        e.start = range.lba + uint64_t{kEntrySectors} * i;
        e.end = std::min(e.start + kEntrySectors, range.lba + range.count);
      }
      *next_prefetch = range.lba + range.count;
      lba = t->remaining_lba;
      count = t->remaining_count;
      if (ServeFromRing(t, 0, r, &lba, &count, &moved)) {
        SenseLength(*r) = 0;
        StatusByte(*r) = kDispatcherStatusByte;
        t->current_entry = 0;
        t->fill_block = 0;
        if (used < kRingEntries) {
          t->fill_entry = static_cast<uint8_t>(used);
          t->read_ahead_active = 1;
        } else {
          t->fill_entry = 0;
        }
      } else {
        status = kStatusFailed;
      }
    }
    uint32_t rotation = ResultRotation(ra);
    if (status != kStatusDone || check) {
      t->bytes_delivered = 0;
      if (status == kStatusFailed) {
        rotation = 0;
        SenseLength(*r) = 0;
        StatusByte(*r) = kDispatcherStatusByte;
      } else {
        const uint8_t n = std::min<uint8_t>(SenseLength(ra), sizeof(t->read_ahead_sense));
        if (n > 0 && r->sense != nullptr) std::memcpy(r->sense, t->read_ahead_sense, n);
        SenseLength(*r) = n;
        StatusByte(*r) = StatusByte(ra);
      }
    }
    t->credits = AddRotation(t->credits, rotation);
    SetResultPosition(*r, t->last_position);
  }
  r->byteCount = t->bytes_delivered;
  SetResultRotation(*r, t->credits);
  return status;
}

// One background engine call for the next ECC block. Lock held; left around the call.
void Prefetch(Target* t, uint64_t* next) {
  const uint32_t block_sectors = t->ecc_mask + 1;
  if (*next + block_sectors > t->capacity) {
    t->read_ahead_active = 0;
    return;
  }
  const uint32_t entry = t->fill_entry;
  const uint32_t block = t->fill_block;
  BuildReadAhead(t, *next, block_sectors, entry, block);
  t->read_ahead_request.flags |= kRequestBackground;
  t->engine_busy = 1;
  RingEntry& e = t->ring[entry];
  if (block == 0) {
    e.valid = 0;
    e.start = kNoLba;
    e.end = 0;
  }
  e.cost[block] = 0;
  ImageHandle image = t->image;
  LeaveCriticalSection(&t->dispatcher_lock);
  const uint32_t status = Execute(image, &t->read_ahead_request);
  t->engine_busy = 0;
  EnterCriticalSection(&t->dispatcher_lock);
  if (t->read_ahead_active == 0) return;  // reset meanwhile: the data is not wanted
  MediaRequest& ra = t->read_ahead_request;
  if (status != kStatusFailed) t->last_position = ResultPosition(ra);
  if (status != kStatusDone || CheckCondition(ra)) {
    t->read_ahead_active = 0;
    if (t->fill_block != 0) {
      t->fill_entry = static_cast<uint8_t>((t->fill_entry + 1) % kRingEntries);
      t->fill_block = 0;
    }
    return;
  }
  if (block == 0) {
    e.start = *next;
    e.end = *next + block_sectors;
  } else {
    e.end += block_sectors;
  }
  // The new block has not been consumed, whether or not the ones before it have.
  e.valid = 1;
  e.cost[block] = ResultRotation(ra);
  *next = e.end;
  if (++t->fill_block == kEntrySectors / block_sectors) {
    t->fill_entry = static_cast<uint8_t>((t->fill_entry + 1) % kRingEntries);
    t->fill_block = 0;
    t->prefetch_continue = 0;
  }
}

bool WantsPrefetch(const Target* t) {
  return t->read_ahead_active != 0 && t->stopping == 0 &&
         (t->prefetch_continue != 0 || t->fill_entry != t->current_entry);
}

}  // namespace

const EngineOps& RavelkitEngine() { return kRavelkit; }
void SetEngineForTesting(const EngineOps* ops) { g_engine = ops != nullptr ? ops : &kRavelkit; }
const EngineOps& Engine() { return *g_engine.load(); }

uint64_t ResultPosition(const MediaRequest& r) {
  uint64_t v;
  std::memcpy(&v, r.cdb + kResultHeadLba, sizeof(v));
  return v;
}
uint32_t ResultRotation(const MediaRequest& r) {
  uint32_t v;
  std::memcpy(&v, r.cdb + kResultRotation, sizeof(v));
  return v;
}
void SetResultPosition(MediaRequest& r, uint64_t position) {
  std::memcpy(r.cdb + kResultHeadLba, &position, sizeof(position));
}
void SetResultRotation(MediaRequest& r, uint32_t rotation) {
  std::memcpy(r.cdb + kResultRotation, &rotation, sizeof(rotation));
}

void InitDispatcher(Target* t) {
  InitializeCriticalSection(&t->dispatcher_lock);
  ResetReadAhead(t);
}

void DestroyDispatcher(Target* t) { DeleteCriticalSection(&t->dispatcher_lock); }

bool StartDispatcher(Target* t) {
  t->dispatcher_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (t->dispatcher_event == nullptr) return false;
  t->read_ahead_buffer = new (std::nothrow) uint8_t[kReadAheadBytes];
  if (t->read_ahead_buffer == nullptr) return false;
  t->dispatcher_thread = CreateThread(nullptr, 0, &DispatcherThread, t, 0, nullptr);
  return t->dispatcher_thread != nullptr;
}

void StopDispatcher(Target* t) {
  if (t->dispatcher_thread != nullptr) {
    SetEvent(t->dispatcher_event);
    WaitForSingleObject(t->dispatcher_thread, INFINITE);
    CloseHandle(t->dispatcher_thread);
    t->dispatcher_thread = nullptr;
  }
  delete[] t->read_ahead_buffer;
  t->read_ahead_buffer = nullptr;
  if (t->dispatcher_event != nullptr) CloseHandle(t->dispatcher_event);
  t->dispatcher_event = nullptr;
}

void SetDispatcherMedium(Target* t, ImageHandle image, uint64_t capacity, uint32_t descriptor) {
  DispatcherLock lock(t);
  t->image = image;
  t->capacity = capacity;
  t->ecc_mask = timing::SectorsPerEcc(descriptor & kMediumClassMask) - 1;
}

void ResetReadAhead(Target* t) {
  DispatcherLock lock(t);
  for (RingEntry& e : t->ring) {
    e.valid = 0;
    e.start = kNoLba;
    e.end = 0;
    std::fill(std::begin(e.cost), std::end(e.cost), 0u);
  }
  t->read_ahead_active = 0;
  t->prefetch_continue = 0;
  t->current_entry = 0;
  t->fill_entry = 0;
  t->fill_block = 0;
}

void FlushReadAhead(Target* t) {
  for (uint32_t i = 0; i < kRingEntries; ++i) {
    RingEntry& e = t->ring[(t->current_entry + i) % kRingEntries];
    CreditEntry(t, e);
    e.valid = 0;
  }
}

bool ServeFromRing(Target* t, uint32_t first, MediaRequest* r, uint64_t* lba, uint32_t* count, bool* moved) {
  *moved = false;
  const uint32_t block = t->ecc_mask + 1;
  for (uint32_t i = 0; i < kRingEntries; ++i) {
    const uint32_t k = (first + i) % kRingEntries;
    RingEntry& e = t->ring[k];
    if (!(e.start <= *lba && *lba < e.end)) continue;
    const uint64_t off = *lba - e.start;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(e.end - *lba, *count));
    if (e.valid != 0) {
      // Everything before this entry has been passed over: its time is the request's.
      for (uint32_t j = t->current_entry; j != k; j = (j + 1) % kRingEntries) {
        RingEntry& passed = t->ring[j];
        passed.start = kNoLba;
        passed.end = 0;
        CreditEntry(t, passed);
        passed.valid = 0;
      }
      const uint32_t held = BlocksHeld(t, e);
      const uint32_t used = std::min(static_cast<uint32_t>((off + n + block - 1) / block), held);
      for (uint32_t b = 0; b < used; ++b) {
        if (e.cost[b] != 0) t->credits = AddRotation(t->credits, e.cost[b]);
        e.cost[b] = 0;
      }
      if (used == held) e.valid = 0;
      if (!*moved && k != t->current_entry) {
        t->current_entry = static_cast<uint8_t>(k);
        *moved = true;
      }
    }
    if (n > 0) {
      r->copy(r->copyContext, t->read_ahead_buffer + k * kEntryBytes + off * kSectorSize, n * kSectorSize,
              t->bytes_delivered, kCopyToRequest);
      t->bytes_delivered += n * kSectorSize;
      *lba += n;
      *count -= n;
      if (*count == 0) return true;
    }
  }
  return false;
}

uint32_t SubmitMediaRequest(void* medium_context, MediaRequest* r, EngineCompletion completion,
                            void* completion_user_data) {
  Target* t = static_cast<Target*>(medium_context);
  DispatcherLock lock(t);
  if (t->stopping != 0) {
    AnswerHere(*r, t->last_position, 0);
    return ERROR_OPERATION_ABORTED;
  }
  if (t->pending != nullptr) {
    AnswerHere(*r, t->last_position, 0);
    return ERROR_ACCESS_DENIED;
  }
  t->pending_completion = completion;
  t->pending_user_data = completion_user_data;
  t->remaining_lba = kNoLba;
  t->remaining_count = 0;
  t->bytes_delivered = 0;
  t->credits = 0;

  ReadRange range;
  if (RingCandidate(*r, &range) && r->copy != nullptr && range.count != 0 && range.lba < t->capacity &&
      RoundUpToBlock(t, range.lba + range.count) <= t->capacity &&
      // A range wider than the ring cannot be read ahead: the engine serves it directly.
      RoundUpToBlock(t, range.lba + range.count) - (range.lba & ~uint64_t{t->ecc_mask}) <= kRingSectors) {
    uint64_t lba = range.lba;
    uint32_t count = range.count;
    bool moved = false;
    if (ServeFromRing(t, t->fill_entry, r, &lba, &count, &moved)) {
      r->byteCount = t->bytes_delivered;
      AnswerHere(*r, RoundUpToBlock(t, lba), t->credits | kRotationFromRing);
      if (moved && t->read_ahead_active != 0) {
        t->prefetch_continue = 1;
        SetEvent(t->dispatcher_event);
      }
      return 0;
    }
    t->remaining_lba = lba;
    t->remaining_count = count;
  }
  SetEvent(t->dispatcher_event);
  t->pending = r;
  SetThreadPriority(t->dispatcher_thread, THREAD_PRIORITY_ABOVE_NORMAL);
  return ERROR_IO_PENDING;
}

DWORD DispatcherThread(void* arg) {
  Target* t = static_cast<Target*>(arg);
  if (t->cpu_affinity != 0) SetThreadAffinityMask(GetCurrentThread(), t->cpu_affinity);
  uint64_t next_prefetch = 0;  // kept from one wake-up to the next
  for (;;) {
    if (WaitForSingleObject(t->dispatcher_event, INFINITE) != WAIT_OBJECT_0) return 0;
    DispatcherLock lock(t);
    // A request handed over just before the stop is still answered: its command waits for it.
    if (t->stopping != 0 && t->pending == nullptr) return 0;
    do {
      ResetEvent(t->dispatcher_event);
      if (t->pending != nullptr) {
        MediaRequest* r = t->pending;
        const uint32_t status = t->remaining_lba == kNoLba ? ExecuteDirect(t, r)
                                                           : ExecuteRingRead(t, r, &next_prefetch);
        t->pending = nullptr;
        // The completion may submit the command's next request on this thread.
        t->pending_completion(t->pending_user_data, r, status);
        if (t->pending != nullptr) continue;
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
      }
      if (WantsPrefetch(t)) Prefetch(t, &next_prefetch);
    } while (t->pending != nullptr || WantsPrefetch(t));
    // The loop's reset may have taken the stop's wake-up: look before waiting again.
    if (t->stopping != 0) return 0;
  }
}

}  // namespace imagepath
