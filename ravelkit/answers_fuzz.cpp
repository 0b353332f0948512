// Arbitrary CDBs, byte counts and region flags against the engine on three small images it
// writes at start-up: a mixed-mode CD with CD-TEXT (cue sheet), a DVD and a BD (sparse ISOs).
// Checks that no answer moves data outside the request and every result is well formed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "ravelkit/ravelkit.h"

namespace {

namespace fs = std::filesystem;

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Sink {
  std::vector<uint8_t> bytes;
};

void Copy(void* context, void* buffer, uint32_t length, uint32_t offset, uint32_t direction) {
  auto* sink = static_cast<Sink*>(context);
  Check(static_cast<uint64_t>(offset) + length <= sink->bytes.size());
  if (direction == kCopyToRequest)
    std::memcpy(sink->bytes.data() + offset, buffer, length);
  else
    std::memcpy(buffer, sink->bytes.data() + offset, length);
}

std::string WriteFile(const fs::path& path, const std::string& bytes, uint64_t size) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  fs::resize_file(path, size);
  return path.string();
}

ImageHandle Open(const std::string& path) {
  std::u16string wide(path.begin(), path.end());
  ImageHandle h = nullptr;
  Check(ImageOpen(0, wide.c_str(), 1, 0, 0, 0, 0, nullptr, &h, 0) == kImageOk);
  return h;
}

struct Images {
  std::vector<ImageHandle> handles;
  Images() {
    ImageSetRotationTiming(1);
    fs::path dir = fs::temp_directory_path() / ("ravelkit_answers_fuzz_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    WriteFile(dir / "data.bin", std::string(16 * 2048, 'd'), 20 * 2048);
    WriteFile(dir / "audio.bin", std::string(2352, 'a'), 40 * 2352);
    std::string cue =
        "TITLE \"Disc\"\nFILE \"data.bin\" BINARY\n TRACK 01 MODE1/2048\n  INDEX 01 00:00:00\n"
        "FILE \"audio.bin\" BINARY\n TRACK 02 AUDIO\n  PERFORMER \"Band\"\n  INDEX 00 00:00:00\n"
        "  INDEX 01 00:00:10\n TRACK 03 AUDIO\n  INDEX 01 00:00:30\n";
    handles.push_back(Open(WriteFile(dir / "mixed.cue", cue, cue.size())));
    handles.push_back(Open(WriteFile(dir / "dvd.iso", "", uint64_t{3000000} * 2048)));
    handles.push_back(Open(WriteFile(dir / "bd.iso", "", uint64_t{13000000} * 2048)));
    // The images stay open; their files can go now.
    fs::remove_all(dir);
  }
  ~Images() {
    for (ImageHandle h : handles) ImageClose(h, 0);
  }
};

// Sector counts are kept small so that one input reads at most a few hundred sectors.
void LimitCounts(uint8_t* cdb) {
  switch (cdb[0]) {
    case 0x28: cdb[7] = 0; break;
    case 0xA8: cdb[6] = cdb[7] = cdb[8] = 0; break;
    case 0xBE: cdb[6] = cdb[7] = 0; break;
    case 0xB9: cdb[6] = cdb[3], cdb[7] = cdb[4]; break;
    default: break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Images images;
  FuzzedDataProvider in(data, size);
  ImageHandle image = images.handles[in.ConsumeIntegralInRange<size_t>(0, images.handles.size() - 1)];
  while (in.remaining_bytes() > 0) {
    Sink sink{std::vector<uint8_t>(in.ConsumeIntegralInRange<uint32_t>(0, 70000))};
    MediaRequest req{};
    static constexpr uint8_t kOpcodes[] = {0x00, 0x25, 0x28, 0xA8, 0xBE, 0xB9, 0x44, 0x43, 0x51,
                                           0x52, 0xAD, 0xA4, 0xA3, 0x35, 0xA7, 0x2A};
    req.cdb[0] = in.ConsumeBool() ? in.PickValueInArray(kOpcodes) : in.ConsumeIntegral<uint8_t>();
    in.ConsumeData(req.cdb + 1, 15);
    LimitCounts(req.cdb);
    req.flags = kRequestCdb | (in.ConsumeBool() ? kRequestOwnSubchannel : 0) |
                static_cast<uint32_t>(in.ConsumeIntegral<uint8_t>()) << 24;
    req.byteCount = static_cast<uint32_t>(sink.bytes.size());
    req.copyContext = &sink;
    uint8_t sense[18] = {};
    req.sense = sense;
    req.copy = Copy;
    uint32_t status = 1;
    Check(ImageExecute(image, &req, &status) == 0);
    Check(status == kStatusDone);
    bool checkCondition = req.cdb[kResultFlags] & kResultCheckCondition;
    Check(!checkCondition || (req.cdb[kResultSenseLength] == 18 && sense[0] == 0x70 &&
                              sense[2] != 0));
    Check(checkCondition || sense[0] == 0);
  }
  return 0;
}
