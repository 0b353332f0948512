// Arbitrary command sequences (CDBs, data lengths, data-out bytes, clock steps, attach and
// detach) through the command layer with a small fake medium that answers from the same
// input. Checks that nothing is copied outside a request's data, every result is one of the
// layer's codes, and sense is pending exactly when the result says so.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "imagepath/clock.h"
#include "imagepath/scsi.h"
#include "imagepath/scsi_device.h"
#include "platform/win32/win32.h"

namespace {

using namespace imagepath;

uint64_t g_now = 1'000'000;
uint64_t Now() { return g_now; }

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Data {
  std::vector<uint8_t> bytes;
};

// Stores or reads the request's data; a copy past its end is a fault of the layer.
void Copy(void* context, void* buffer, uint32_t length, uint32_t offset, uint32_t direction) {
  auto* data = static_cast<Data*>(context);
  Check(static_cast<uint64_t>(offset) + length <= data->bytes.size());
  if (direction == kCopyToRequest) {
    std::memcpy(data->bytes.data() + offset, buffer, length);
  } else {
    std::memcpy(buffer, data->bytes.data() + offset, length);
  }
}

// Answers from the fuzz input: good with data, CHECK CONDITION with any sense, a refusal
// of the dispatcher, a failed engine call; head position and rotation from the input too.
struct FakeMedium {
  FuzzedDataProvider* input;
  uint32_t capacity;

  static uint32_t Callback(void* context, MediaRequest* mr, EngineCompletion, void*) {
    auto* self = static_cast<FakeMedium*>(context);
    FuzzedDataProvider& in = *self->input;
    uint8_t data[4096];
    in.ConsumeData(data, in.ConsumeIntegralInRange<size_t>(0, sizeof(data)));
    const uint32_t wanted = in.ConsumeIntegralInRange<uint32_t>(0, 5000);
    // The engine may ask for more than the request holds; the copy function must clip.
    for (uint32_t done = 0; done < wanted; done += 1024) {
      mr->copy(mr->copyContext, data, 1024, done, kCopyToRequest);
    }
    if (mr->cdb[0] == 0x43 && in.ConsumeBool()) {
      uint8_t toc[20] = {0, 18, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0, 0, 0x14, 0xAA, 0};
      PutBe32(toc + 16, self->capacity);
      mr->copy(mr->copyContext, toc, sizeof(toc), 0, kCopyToRequest);
    }
    std::memset(mr->cdb, 0, sizeof(mr->cdb));
    const uint64_t position = in.ConsumeIntegral<uint64_t>();
    const uint32_t rotation = in.ConsumeIntegral<uint32_t>();
    std::memcpy(mr->cdb + kResultHeadLba, &position, sizeof(position));
    std::memcpy(mr->cdb + kResultRotation, &rotation, sizeof(rotation));
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
      case 0:
        return 0;
      case 1: {
        const uint8_t length = in.ConsumeIntegralInRange<uint8_t>(0, 18);
        in.ConsumeData(mr->sense, length);
        mr->cdb[kResultSenseLength] = length;
        mr->cdb[kResultFlags] = kResultCheckCondition;
        return 0;
      }
      case 2:
        return 995;
      case 3:
        return 5;
      default:
        return 87;
    }
  }

  static uint32_t Audio(void*, uint32_t, uintptr_t, uint32_t, uint32_t) { return 1; }
};

void Completion(void*, ScsiRequest*, uint32_t) { Check(false); }  // every answer is at once

bool IsLayerResult(uint32_t r) {
  switch (r) {
    case 0: case 1: case 5: case 9: case 21: case 22: case 23: case 25: case 27: case 31:
    case 87: case 1110: case 1112: case 1117:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider in(bytes, size);
  testing::SetClock(Now);
  testing::SetRandomSeed(1);
  g_now = 1'000'000;
  win32::CRITICAL_SECTION lock{};
  win32::InitializeCriticalSection(&lock);
  const uint8_t identity[28] = {'V', 'E', 'N', 'D', 'O', 'R'};
  ScsiDevice* device = nullptr;
  Check(CreateScsiDevice(kTargetDeviceFlags, identity, &lock, Completion, nullptr, nullptr,
                         nullptr, nullptr, &device) == 0);
  FakeMedium medium{&in, 0};

  static const uint8_t kOpcodes[] = {0x00, 0x01, 0x03, 0x12, 0x1B, 0x1D, 0x1E, 0x23, 0x25,
                                     0x28, 0x2B, 0x2F, 0x35, 0x42, 0x43, 0x44, 0x45, 0x46,
                                     0x47, 0x4A, 0x4B, 0x4E, 0x51, 0x52, 0x55, 0x5A, 0xA0,
                                     0xA3, 0xA4, 0xA5, 0xA7, 0xA8, 0xAC, 0xAD, 0xB6, 0xB9,
                                     0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0x2A};
  while (in.remaining_bytes() > 0) {
    g_now += in.ConsumeIntegralInRange<uint64_t>(0, 3'000'000);
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
      case 0: {
        static const uint8_t kClasses[] = {0, 1, 2, 3, 7, 8, 12, 9, 0x80};
        const uint32_t descriptor = kMediumCdbForm | in.PickValueInArray(kClasses) |
                                    (in.ConsumeIntegral<uint32_t>() & 0xFF007F00u);
        medium.capacity = in.ConsumeIntegralInRange<uint32_t>(0, 500'000);
        const uint32_t period = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<uint32_t>(6000, 70000);
        AttachMedium(device, &medium, FakeMedium::Callback, FakeMedium::Audio, descriptor,
                     period, medium.capacity, 0, 0, nullptr, nullptr);
        continue;
      }
      case 1:
        DetachMedium(device, nullptr, nullptr, in.ConsumeBool());
        continue;
      default:
        break;
    }
    ScsiRequest request{};
    Data data;
    const uint32_t length = in.ConsumeIntegralInRange<uint32_t>(0, 4096);
    data.bytes = in.ConsumeBytes<uint8_t>(length);
    data.bytes.resize(length);
    if (length != 0 || in.ConsumeBool()) {
      request.data_length = length;
      request.data_context = &data;
      request.copy = Copy;
    }
    in.ConsumeData(request.cdb, sizeof(request.cdb));
    if (in.ConsumeBool()) request.cdb[0] = in.PickValueInArray(kOpcodes);
    const bool request_sense = request.cdb[0] == 0x03;

    const uint32_t result = ExecuteCommand(device, &request);
    Check(IsLayerResult(result));
    Check(device->current == nullptr);
    Check(request.data_length <= length);
    if (result != 0 && result != 5 && result != 87) Check(SensePending(device));
    if (request_sense && result == 0) Check(!SensePending(device));
  }

  DestroyScsiDevice(device);
  win32::DeleteCriticalSection(&lock);
  return 0;
}
