// The command layer's test fixture: a fake medium (a table of canned engine answers,
// answering at once or later from another thread), a clock advanced by hand, and a device
// created as the targets create theirs. Shared by the command layer's tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "imagepath/clock.h"
#include "imagepath/scsi.h"
#include "imagepath/scsi_device.h"
#include "platform/win32/win32.h"

namespace imagepath {

inline std::ostream& operator<<(std::ostream& os, const SenseCode& s) {
  char text[16];
  std::snprintf(text, sizeof(text), "%X/%02X/%02X", s.key, s.asc, s.ascq);
  return os << text;
}

namespace {

template <class Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& param_info) {
  return param_info.param.name;
}

constexpr uint64_t kStart = 1'000'000'000;  // the manual clock's first reading
std::atomic<uint64_t> g_now{kStart};
uint64_t ManualNow() { return g_now.load(); }
void Advance(uint64_t us) { g_now += us; }

constexpr uint32_t kCd = kMediumCdbForm | kMediumCdRom;
constexpr uint32_t kDvd = kMediumCdbForm | kMediumDvdRom;
constexpr uint32_t kRingHit = 0x80000000;

// A CD whose Q sub-channel the fake answers READ CD with sub-channel selection 2 from: mode-1
// Q (ADR 1) of every sector with a correct CRC, except the sectors given a catalogue number
// (ADR 2) or ISRC (ADR 3) frame, or a frame of some other ADR. READ TOC answers its tracks.
// Absolute times and AFRAMEs follow the sector's LBA; the lead-out counts from the capacity.
struct DiscTrack {
  uint8_t number;
  uint8_t control;  // 4 data, 0 two-channel audio
  uint32_t start;   // index 1
  uint32_t pregap;  // sectors of index 0 before the start
};

class SyntheticDisc {
 public:
  std::vector<DiscTrack> tracks;
  uint32_t lead_out = 0;
  std::string catalogue;                   // 13 digits, or empty
  std::map<uint8_t, std::string> isrc;     // track number -> 12 characters
  std::map<uint32_t, uint8_t> frame_adr;   // LBA -> ADR of its frame, where not 1

  bool empty() const { return tracks.empty(); }

  static uint8_t Bcd(uint32_t v) { return static_cast<uint8_t>(v / 10 << 4 | v % 10); }

  // CRC-16 (x^16 + x^12 + x^5 + 1) over the ten Q bytes, stored inverted.
  static uint16_t QCrc(const uint8_t* q) {
    uint16_t crc = 0;
    for (int i = 0; i < 10; ++i) {
      crc ^= static_cast<uint16_t>(q[i] << 8);
      for (int k = 0; k < 8; ++k) {
        crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
      }
    }
    return static_cast<uint16_t>(~crc);
  }

  // The 16 bytes READ CD returns for the Q of `lba`.
  std::vector<uint8_t> Q(uint32_t lba) const {
    std::vector<uint8_t> q(16, 0);
    const DiscTrack* t = TrackAt(lba);
    const uint8_t control = t != nullptr ? t->control : tracks.back().control;
    const auto special = frame_adr.find(lba);
    const uint8_t adr = special != frame_adr.end() ? special->second : 1;
    q[0] = static_cast<uint8_t>(control << 4 | adr);
    const uint32_t absolute = lba + 150;
    if (adr == 1) {
      uint32_t relative = 0;
      uint8_t index = 1;
      if (t != nullptr && lba < t->start) {
        index = 0;
        relative = t->start - lba;
      } else {
        relative = lba - (t != nullptr ? t->start : lead_out);
      }
      q[1] = t != nullptr ? Bcd(t->number) : 0xAA;
      q[2] = Bcd(index);
      PutMsf(q.data() + 3, relative);
      PutMsf(q.data() + 7, absolute);
    } else if (adr == 2) {
      PutNibbles(q.data() + 1, catalogue);
    } else if (adr == 3 && t != nullptr) {
      const std::string& code = isrc.at(t->number);
      uint32_t bits = 0;
      for (int c = 0; c < 5; ++c) {
        const uint32_t v = code[c] >= 'A' ? code[c] - 'A' + 17 : code[c] - '0';
        bits |= v << (26 - 6 * c);
      }
      PutBe32(q.data() + 1, bits);
      PutNibbles(q.data() + 5, code.substr(5));
    }
    if (adr == 2 || adr == 3) q[9] = Bcd(absolute % 75);  // AFRAME
    const uint16_t crc = QCrc(q.data());
    q[10] = static_cast<uint8_t>(crc >> 8);
    q[11] = static_cast<uint8_t>(crc);
    return q;
  }

  std::vector<uint8_t> Toc() const {
    std::vector<uint8_t> toc(4 + 8 * (tracks.size() + 1), 0);
    PutBe16(toc.data(), static_cast<uint32_t>(toc.size() - 2));
    toc[2] = tracks.front().number;
    toc[3] = tracks.back().number;
    for (size_t i = 0; i <= tracks.size(); ++i) {
      uint8_t* e = toc.data() + 4 + 8 * i;
      const bool lead_out_entry = i == tracks.size();
      e[1] = static_cast<uint8_t>(0x10 | (lead_out_entry ? tracks.back().control
                                                         : tracks[i].control));
      e[2] = lead_out_entry ? 0xAA : tracks[i].number;
      PutBe32(e + 4, lead_out_entry ? lead_out : tracks[i].start);
    }
    return toc;
  }

 private:
  // The track whose pregap or body holds `lba`; null in the lead-out.
  const DiscTrack* TrackAt(uint32_t lba) const {
    if (lba >= lead_out) return nullptr;
    const DiscTrack* found = &tracks.front();
    for (const DiscTrack& t : tracks) {
      if (lba + t.pregap >= t.start) found = &t;
    }
    return found;
  }
  static void PutMsf(uint8_t* p, uint32_t frames) {
    p[0] = Bcd(frames / 4500);
    p[1] = Bcd(frames / 75 % 60);
    p[2] = Bcd(frames % 75);
  }
  // Digits as nibbles from the high nibble of p[0] on.
  static void PutNibbles(uint8_t* p, const std::string& digits) {
    for (size_t n = 0; n < digits.size(); ++n) {
      const uint8_t v = static_cast<uint8_t>(digits[n] - '0');
      p[n / 2] |= n % 2 == 0 ? static_cast<uint8_t>(v << 4) : v;
    }
  }
};

// One canned engine answer.
struct Canned {
  uint32_t callback_result = 0;  // what the medium callback answers when it answers at once
  uint32_t status = kStatusDone;  // the status handed to the completion of a later answer
  bool check = false;
  uint8_t sense_length = 18;
  SenseCode sense{};
  uint32_t rotation = 0;         // 2^-24 revolution; kRingHit marks a ring answer
  bool has_position = false;
  uint64_t position = 0;
  std::vector<uint8_t> data;     // stored into the request's data
};

struct Recorded {
  uint8_t cdb[16];
  uint32_t flags;
  uint32_t byte_count;
};

// One call of the audio callback.
struct AudioCall {
  uint32_t call;
  uintptr_t a;
  uint32_t b, c;
  friend bool operator==(const AudioCall&, const AudioCall&) = default;
};

// A small engine: READs answer a pattern (every byte of sector n is n & 0xFF) and leave the
// head after the last sector; READ TOC answers a two-entry TOC; everything else answers
// good without data. With a `disc`, READ TOC answers its TOC and READ CD with sub-channel
// selection 2 its Q frames (after 2,352 bytes of each sector when main channel data is
// asked for), running past the capacity with 5/21/00. `canned` replaces the answer for an
// opcode. Does not model timing beyond the rotation it is told to report. The audio
// callback records its calls and answers 1, as the targets' does.
class FakeMedium {
 public:
  uint32_t capacity = 100'000;
  uint32_t read_rotation = 0;
  bool answer_later = false;
  // Runs at each audio callback, before it is recorded (set before the command runs).
  std::function<void(uint32_t call)> on_audio;
  std::map<uint8_t, Canned> canned;
  SyntheticDisc disc;

  static uint32_t Callback(void* context, MediaRequest* mr, EngineCompletion done,
                           void* user_data) {
    auto* self = static_cast<FakeMedium*>(context);
    std::lock_guard<std::mutex> guard(self->mutex_);
    Recorded r{};
    std::memcpy(r.cdb, mr->cdb, sizeof(r.cdb));
    r.flags = mr->flags;
    r.byte_count = mr->byteCount;
    self->requests_.push_back(r);
    if (self->answer_later) {
      self->pending_ = {mr, done, user_data};
      return kResultPending;
    }
    Canned answer = self->AnswerFor(mr);
    self->Apply(mr, answer);
    return answer.callback_result;
  }

  static uint32_t Audio(void* context, uint32_t call, uintptr_t a, uint32_t b, uint32_t c) {
    auto* self = static_cast<FakeMedium*>(context);
    if (self->on_audio) self->on_audio(call);
    std::lock_guard<std::mutex> guard(self->mutex_);
    self->audio_calls_.push_back({call, call == kAudioPosition ? 0 : a, b, c});
    return 1;
  }
  std::vector<AudioCall> AudioCalls() {
    std::lock_guard<std::mutex> guard(mutex_);
    return audio_calls_;
  }
  void ClearAudioCalls() {
    std::lock_guard<std::mutex> guard(mutex_);
    audio_calls_.clear();
  }

  // Answers the request held by `answer_later` from another thread, as the dispatcher does.
  void AnswerOnThread() {
    Pending p;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      p = pending_;
      pending_ = {};
    }
    ASSERT_NE(p.request, nullptr);
    std::thread([&] {
      Canned answer;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        answer = AnswerFor(p.request);
        Apply(p.request, answer);
      }
      p.done(p.user_data, p.request, answer.status);
    }).join();
  }

  std::vector<Recorded> Requests() {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
  }
  void ClearRequests() {
    std::lock_guard<std::mutex> guard(mutex_);
    requests_.clear();
  }

  // A TOC of `count` descriptors whose last is the lead-out, as READ TOC format 0 answers.
  static std::vector<uint8_t> Toc(uint32_t tracks, uint32_t capacity, uint8_t last = 0xAA) {
    std::vector<uint8_t> toc(4 + 8 * (tracks + 1), 0);
    PutBe16(toc.data(), static_cast<uint32_t>(toc.size() - 2));
    toc[2] = 1;
    toc[3] = static_cast<uint8_t>(tracks);
    for (uint32_t i = 0; i <= tracks; ++i) {
      uint8_t* e = toc.data() + 4 + 8 * i;
      e[1] = 0x14;
      e[2] = i == tracks ? last : static_cast<uint8_t>(i + 1);
      PutBe32(e + 4, i == tracks ? capacity : i * 1000);
    }
    return toc;
  }

 private:
  struct Pending {
    MediaRequest* request = nullptr;
    EngineCompletion done = nullptr;
    void* user_data = nullptr;
  };

  Canned AnswerFor(const MediaRequest* mr) const {
    const uint8_t op = mr->cdb[0];
    auto it = canned.find(op);
    if (it != canned.end()) return it->second;
    Canned a;
    if (op == 0x43) {
      a.data = disc.empty() ? Toc(1, capacity) : disc.Toc();
    } else if (op == 0xBE && mr->cdb[10] == 2 && !disc.empty()) {
      a = SubchannelAnswer(mr);
    } else if (op == 0x28 || op == 0xA8 || op == 0xBE) {
      const uint32_t lba = Be32(mr->cdb + 2);
      const uint32_t count = op == 0x28 ? Be16(mr->cdb + 7)
                                        : op == 0xA8 ? Be32(mr->cdb + 6) : Be24(mr->cdb + 6);
      for (uint32_t i = 0; i < count && a.data.size() < mr->byteCount; ++i) {
        a.data.insert(a.data.end(), kBlockSize, static_cast<uint8_t>(lba + i));
      }
      a.rotation = read_rotation;
      a.has_position = true;
      a.position = static_cast<uint64_t>(lba) + count;
    }
    return a;
  }

  Canned SubchannelAnswer(const MediaRequest* mr) const {
    Canned a;
    const uint32_t lba = Be32(mr->cdb + 2);
    const uint32_t count = Be24(mr->cdb + 6);
    const bool main_channel = mr->cdb[9] != 0;
    uint32_t i = 0;
    for (; i < count && lba + i < capacity; ++i) {
      if (main_channel) a.data.insert(a.data.end(), 2352, static_cast<uint8_t>(lba + i));
      const std::vector<uint8_t> q = disc.Q(lba + i);
      a.data.insert(a.data.end(), q.begin(), q.end());
    }
    if (i < count) {
      a.check = true;
      a.sense = sense::kLbaOutOfRange;
    }
    a.has_position = true;
    a.position = static_cast<uint64_t>(lba) + i;
    return a;
  }

  static void Apply(MediaRequest* mr, const Canned& a) {
    if (!a.data.empty() && mr->copy != nullptr) {
      mr->copy(mr->copyContext, const_cast<uint8_t*>(a.data.data()),
               static_cast<uint32_t>(a.data.size()), 0, kCopyToRequest);
    }
    std::memset(mr->cdb, 0, sizeof(mr->cdb));
    std::memcpy(mr->cdb + kResultHeadLba, &a.position, sizeof(a.position));
    std::memcpy(mr->cdb + kResultRotation, &a.rotation, sizeof(a.rotation));
    if (a.check) {
      std::memset(mr->sense, 0, 18);
      mr->sense[0] = 0x70;
      mr->sense[2] = a.sense.key;
      mr->sense[7] = 10;
      mr->sense[12] = a.sense.asc;
      mr->sense[13] = a.sense.ascq;
      mr->cdb[kResultSenseLength] = a.sense_length;
      mr->cdb[kResultFlags] = kResultCheckCondition;
    }
  }

  std::mutex mutex_;
  std::vector<Recorded> requests_;
  std::vector<AudioCall> audio_calls_;
  Pending pending_;
};

void BufferCopy(void* context, void* buffer, uint32_t length, uint32_t offset,
                uint32_t direction) {
  auto* data = static_cast<std::vector<uint8_t>*>(context);
  if (offset >= data->size()) return;
  const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(data->size()) - offset);
  if (direction == kCopyToRequest) {
    std::memcpy(data->data() + offset, buffer, n);
  } else {
    std::memcpy(buffer, data->data() + offset, n);
  }
}

// One command with its data buffer (bound to the request when it runs).
struct Command {
  ScsiRequest request{};
  std::vector<uint8_t> data;

  Command(const std::vector<uint8_t>& cdb, uint32_t data_length) : data(data_length, 0xEE) {
    std::copy(cdb.begin(), cdb.end(), request.cdb);
    request.data_length = data_length;
  }
};

std::vector<uint8_t> Read10Cdb(uint32_t lba, uint16_t count, bool fua = false) {
  std::vector<uint8_t> cdb(10, 0);
  cdb[0] = 0x28;
  cdb[1] = fua ? 0x08 : 0;
  PutBe32(cdb.data() + 2, lba);
  PutBe16(cdb.data() + 7, count);
  return cdb;
}

class ScsiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = kStart;
    testing::SetClock(ManualNow);
    testing::SetRandomSeed(1);
    win32::InitializeCriticalSection(&lock_);
    const std::string identity = "KORVEN  RIRazuVezi VOVUV1.0b";
    ASSERT_EQ(CreateScsiDevice(kTargetDeviceFlags, reinterpret_cast<const uint8_t*>(identity.data()),
                               &lock_, OnComplete, nullptr, nullptr, nullptr, this, &device_),
              0u);
    ASSERT_EQ(SetRegion(device_, 1), 0u);
  }

  void TearDown() override {
    DestroyScsiDevice(device_);
    win32::DeleteCriticalSection(&lock_);
    testing::SetClock(nullptr);
  }

  static void OnComplete(void* user_data, ScsiRequest*, uint32_t result) {
    auto* self = static_cast<ScsiTest*>(user_data);
    std::lock_guard<std::mutex> guard(self->done_mutex_);
    self->completions_.push_back(result);
    self->done_cv_.notify_all();
  }

  uint32_t WaitCompletion() {
    std::unique_lock<std::mutex> guard(done_mutex_);
    done_cv_.wait(guard, [&] { return !completions_.empty(); });
    const uint32_t r = completions_.front();
    completions_.erase(completions_.begin());
    return r;
  }

  uint32_t Attach(uint32_t descriptor = kDvd, uint32_t period = 0, uint32_t capacity = 100'000) {
    medium_.capacity = capacity;
    return AttachMedium(device_, &medium_, FakeMedium::Callback, FakeMedium::Audio, descriptor,
                        period, capacity, 0, 0, nullptr, nullptr);
  }

  // Attached, past becoming ready and with the medium-changed attention collected.
  void AttachReady(uint32_t descriptor = kDvd, uint32_t period = 0,
                   uint32_t capacity = 100'000) {
    ASSERT_EQ(Attach(descriptor, period, capacity), 0u);
    Advance(2'000'000);
    ASSERT_EQ(Run({0x00}), kResultMediumChanged);
    ASSERT_EQ(Sense(), sense::kMediumChanged);  // as the executor fetches it
    ASSERT_EQ(Run({0x00}), kResultGood);
    medium_.ClearRequests();
  }

  uint32_t Run(Command& c) {
    if (!c.data.empty()) {
      c.request.data_context = &c.data;
      c.request.copy = BufferCopy;
    }
    return ExecuteCommand(device_, &c.request);
  }
  uint32_t Run(const std::vector<uint8_t>& cdb, uint32_t data_length = 0) {
    Command c(cdb, data_length);
    return Run(c);
  }

  // The sense that REQUEST SENSE hands out (and so consumes).
  SenseCode Sense() {
    Command c({0x03, 0, 0, 0, 18, 0}, 18);
    EXPECT_EQ(Run(c), kResultGood);
    return {static_cast<uint8_t>(c.data[2] & 0x0F), c.data[12], c.data[13]};
  }

  win32::CRITICAL_SECTION lock_{};
  ScsiDevice* device_ = nullptr;
  FakeMedium medium_;
  std::mutex done_mutex_;
  std::condition_variable done_cv_;
  std::vector<uint32_t> completions_;
};

}  // namespace
}  // namespace imagepath
