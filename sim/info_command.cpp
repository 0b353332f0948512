#include "sim/info_command.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ravelkit/disc.h"
#include "sim/command_line.h"
#include "sim/read_job.h"
#include "sim/serving.h"

namespace sim {
namespace {

struct InfoArgs {
  ReadJobOptions job;
  bool json = false;
};

bool Parse(int argc, char** argv, InfoArgs* a) {
  for (int i = 2; i < argc; ++i) {
    const std::string k = argv[i];
    std::string v;
    if (k == "--client") {
      if (!TakeValue(argc, argv, &i, &v) || !ParseClient(v, &a->job.client)) return false;
    } else if (k == "--json") {
      a->json = true;
    } else if (!k.starts_with("--") && a->job.image.empty()) {
      a->job.image = k;
    } else {
      return false;
    }
  }
  // Nothing here reads sectors in bulk: the drive's pacing would only slow the answers.
  a->job.paced = false;
  return !a->job.image.empty();
}

// ---- Output helpers ----

// The answers' texts come from the device and need not be UTF-8, so this command's JSON is
// ASCII throughout.
std::string JsonText(const std::string& s) { return JsonString(s, /*ascii_only=*/true); }

std::string Hex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

std::string Format(const char* format, auto... values) {
  const int n = std::snprintf(nullptr, 0, format, values...);
  if (n <= 0) return {};
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(text.data(), text.size(), format, values...);
  text.pop_back();
  return text;
}

// One decoded answer: lines for a person, and the same facts as the members of a JSON object.
class Decoded {
 public:
  void Line(std::string text) { lines_.push_back(std::move(text)); }
  void Field(const std::string& key, const std::string& json_value) {
    json_ += (json_.empty() ? "" : ", ") + JsonText(key) + ": " + json_value;
  }
  void Number(const std::string& key, uint64_t v) { Field(key, std::to_string(v)); }
  void Bool(const std::string& key, bool v) { Field(key, v ? "true" : "false"); }
  void Text(const std::string& key, const std::string& v) { Field(key, JsonText(v)); }

  const std::vector<std::string>& lines() const { return lines_; }
  std::string json() const { return "{" + json_ + "}"; }

 private:
  std::vector<std::string> lines_;
  std::string json_;
};

std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  return out + "]";
}

uint16_t Be16(const std::vector<uint8_t>& d, size_t at) { return static_cast<uint16_t>(d[at] << 8 | d[at + 1]); }

// ---- The unit directory ----

const char* EntryName(uint8_t key) {
  switch (key) {
    case 0x12: return "Unit_Spec_ID";
    case 0x13: return "Unit_SW_Version";
    case 0x38: return "Command_Set_Spec_ID";
    case 0x39: return "Command_Set";
    case 0x54: return "Management_Agent";
    case 0x3A: return "Unit_Characteristics";
    case 0x3D: return "Reconnect_Timeout";
    case 0x14: return "Logical_Unit_Number";
    case 0x17: return "Model_ID";
    case 0xD4: return "Logical_Unit_Directory";
    default: return (key >> 6) == 2 ? "Textual_Descriptor leaf" : "entry";
  }
}

// The directory's quadlets as the ROM holds them, from its header to the end of the last
// block it points to (its logical unit directory and leaves follow it).
struct DirectoryBytes {
  uint32_t index = 0;  // quadlet index of the header in the ROM
  std::vector<uint8_t> bytes;
  std::string error;
};

DirectoryBytes ReadDirectory(Initiator& initiator, uint32_t index) {
  DirectoryBytes out;
  out.index = index;
  auto quadlet = [&](uint32_t at) -> std::optional<uint32_t> {
    const bus1394::Response r =
        initiator.SendToTarget(bus1394::TCODE_READ_QUADLET, bus1394::kConfigRomBase + 4ull * at);
    if (r.rcode != bus1394::RCODE_RESPONSE_COMPLETE || r.data.size() != 4) return std::nullopt;
    return LoadBe32(r.data.data());
  };
  // The end of the block at `at` and of the blocks its entries point to (one level down).
  std::function<std::optional<uint32_t>(uint32_t, bool)> block_end = [&](uint32_t at,
                                                                          bool directory) -> std::optional<uint32_t> {
    const std::optional<uint32_t> header = quadlet(at);
    if (!header) return std::nullopt;
    uint32_t end = at + 1 + (*header >> 16);
    if (!directory) return end;
    for (uint32_t i = at + 1; i < at + 1 + (*header >> 16); ++i) {
      const std::optional<uint32_t> entry = quadlet(i);
      if (!entry) return std::nullopt;
      const uint8_t type = static_cast<uint8_t>(*entry >> 30);
      if (type < 2) continue;  // immediate values and CSR offsets
      const std::optional<uint32_t> sub = block_end(i + (*entry & 0xFFFFFF), type == 3 && at == index);
      if (!sub) return std::nullopt;
      end = std::max(end, *sub);
    }
    return end;
  };
  const std::optional<uint32_t> end = block_end(index, true);
  if (!end) {
    out.error = "configuration ROM read failed";
    return out;
  }
  for (uint32_t i = index; i < *end; ++i) {
    const std::optional<uint32_t> q = quadlet(i);
    if (!q) {
      out.error = "configuration ROM read failed";
      return out;
    }
    out.bytes.resize(out.bytes.size() + 4);
    StoreBe32(&out.bytes[out.bytes.size() - 4], *q);
  }
  return out;
}

Decoded DecodeUnitDirectory(const DirectoryBytes& dir, const UnitInfo& unit) {
  Decoded d;
  d.Line(Format("%zu bytes at ROM quadlet %u", dir.bytes.size(), dir.index));
  const size_t entries = dir.bytes.size() >= 4 ? Be16(dir.bytes, 0) : 0;
  for (size_t i = 1; i <= entries && 4 * i + 4 <= dir.bytes.size(); ++i) {
    const uint32_t entry = LoadBe32(&dir.bytes[4 * i]);
    const auto key = static_cast<uint8_t>(entry >> 24);
    d.Line(Format("  %02X %-24s %06X", key, EntryName(key), entry & 0xFFFFFF));
  }
  auto registrant = [](uint32_t id) { return id == kNcitsId ? " (NCITS)" : ""; };
  d.Line(Format("Unit_Spec_ID %06X%s, Unit_SW_Version %06X%s", unit.unit_spec_id,
                registrant(unit.unit_spec_id), unit.unit_sw_version,
                unit.unit_sw_version == kSbp2SwVersion ? " (SBP-2)" : ""));
  d.Line(Format("Command_Set_Spec_ID %06X%s, Command_Set %06X%s", unit.command_set_spec_id,
                registrant(unit.command_set_spec_id), unit.command_set,
                unit.command_set == kScsiMmcCommandSet ? " (SCSI primary and multimedia commands)" : ""));
  d.Line(Format("management agent at CSR offset 0x%06X, management ORB time-out %u ms, ORB size %u bytes",
                unit.management_agent, unit.mgt_orb_timeout_ms(), unit.orb_size_bytes()));
  d.Line(Format("reconnect time-out %u, logical unit %u, device type %u%s%s", unit.reconnect_timeout, unit.lun(),
                unit.device_type(), unit.device_type() == 5 ? " (CD/DVD)" : "",
                unit.has_logical_unit_directory ? ", in a logical unit directory" : ""));
  if (unit.model_id) d.Line(Format("model ID %06X", *unit.model_id));
  std::vector<std::string> texts;
  for (const TextLeaf& t : unit.texts) {
    d.Line(Format("text leaf %02X: \"%s\"", t.key, t.text.c_str()));
    texts.push_back(JsonText(t.text));
  }
  d.Number("unit_spec_id", unit.unit_spec_id);
  d.Number("unit_sw_version", unit.unit_sw_version);
  d.Number("command_set_spec_id", unit.command_set_spec_id);
  d.Number("command_set", unit.command_set);
  d.Number("management_agent", unit.management_agent);
  d.Number("mgt_orb_timeout_ms", unit.mgt_orb_timeout_ms());
  d.Number("orb_size", unit.orb_size_bytes());
  d.Number("reconnect_timeout", unit.reconnect_timeout);
  d.Number("lun", unit.lun());
  d.Number("device_type", unit.device_type());
  d.Bool("logical_unit_directory", unit.has_logical_unit_directory);
  if (unit.model_id) d.Number("model_id", *unit.model_id);
  d.Field("texts", JsonArray(texts));
  return d;
}

// ---- The commands' answers ----

Decoded DecodeInquiry(const std::vector<uint8_t>& a) {
  Decoded d;
  if (a.size() < 36) return d;
  const std::string vendor = Trimmed(a, 8, 8), product = Trimmed(a, 16, 16), revision = Trimmed(a, 32, 4);
  d.Line(Format("device type %u%s, %s medium, version %u, response format %u", a[0] & 0x1F,
                (a[0] & 0x1F) == 5 ? " (CD/DVD)" : "", (a[1] & 0x80) ? "removable" : "fixed", a[2], a[3] & 0x0F));
  d.Line("\"" + vendor + "\" \"" + product + "\" \"" + revision + "\"");
  d.Number("device_type", a[0] & 0x1F);
  d.Bool("removable", (a[1] & 0x80) != 0);
  d.Text("vendor", vendor);
  d.Text("product", product);
  d.Text("revision", revision);
  return d;
}

Decoded DecodeCapacity(const std::vector<uint8_t>& a) {
  Decoded d;
  if (a.size() < 8) return d;
  const uint32_t last = LoadBe32(a.data()), block = LoadBe32(&a[4]);
  const uint64_t sectors = uint64_t{last} + 1;
  d.Line(Format("last LBA %u, block length %u: %llu sectors, %.1f MB", last, block,
                static_cast<unsigned long long>(sectors), static_cast<double>(sectors * block) / 1e6));
  d.Number("last_lba", last);
  d.Number("block_length", block);
  d.Number("sectors", sectors);
  return d;
}

constexpr uint16_t kProfileCdRom = 0x0008;

const char* ProfileName(uint16_t profile) {
  switch (profile) {
    case 0x0000: return "none";
    case 0x0008: return "CD-ROM";
    case 0x0010: return "DVD-ROM";
    case 0x0040: return "BD-ROM";
    default: return "other";
  }
}

const char* FeatureName(uint16_t code) {
  struct Name {
    uint16_t code;
    const char* name;
  };
  static constexpr Name kNames[] = {
      {0x0000, "Profile List"},        {0x0001, "Core"},
      {0x0002, "Morphing"},            {0x0003, "Removable Medium"},
      {0x0010, "Random Readable"},     {0x001D, "Multi-Read"},
      {0x001E, "CD Read"},             {0x001F, "DVD Read"},
      {0x002A, "DVD+RW"},              {0x002B, "DVD+R"},
      {0x003A, "DVD+RW Dual Layer"},   {0x003B, "DVD+R Dual Layer"},
      {0x0040, "BD Read"},             {0x0100, "Power Management"},
      {0x0103, "CD External Audio Play"}, {0x0105, "Timeout"},
      {0x0106, "DVD CSS"},             {0x0107, "Real Time Streaming"},
      {0x010B, "DVD CPRM"},
  };
  for (const Name& n : kNames) {
    if (n.code == code) return n.name;
  }
  return "unknown feature";
}

Decoded DecodeConfiguration(const std::vector<uint8_t>& a) {
  Decoded d;
  if (a.size() < 8) return d;
  const uint16_t current = Be16(a, 6);
  d.Line(Format("current profile %04X (%s)", current, ProfileName(current)));
  d.Number("current_profile", current);
  d.Text("current_profile_name", ProfileName(current));
  const size_t end = std::min<size_t>(a.size(), size_t{LoadBe32(a.data())} + 4);
  std::vector<std::string> features;
  for (size_t at = 8; at + 4 <= end; at += 4 + a[at + 3]) {
    const uint16_t code = Be16(a, at);
    const bool is_current = (a[at + 2] & 1) != 0;
    std::string line = Format("  %04X %-24s version %u%s", code, FeatureName(code), (a[at + 2] >> 2) & 0xF,
                              is_current ? ", current" : "");
    if (code == 0x0000) {
      for (size_t p = at + 4; p + 4 <= at + 4 + a[at + 3] && p + 4 <= end; p += 4) {
        line += Format("%s %s%s", p == at + 4 ? ":" : ",", ProfileName(Be16(a, p)), (a[p + 2] & 1) ? " (current)" : "");
      }
    }
    d.Line(line);
    features.push_back(Format("{\"code\": %u, \"name\": ", code) + JsonText(FeatureName(code)) +
                       Format(", \"current\": %s}", is_current ? "true" : "false"));
  }
  d.Field("features", JsonArray(features));
  return d;
}

Decoded DecodeCapabilities(const std::vector<uint8_t>& a) {
  Decoded d;
  // The mode parameter header (8 bytes, no block descriptor asked for), then the page.
  if (a.size() < 8 + 16 || (a[8] & 0x3F) != 0x2A) return d;
  const uint8_t* p = &a[8];
  struct Bit {
    int byte, bit;
    const char* key;
    const char* text;
  };
  static constexpr Bit kBits[] = {
      {2, 0, "reads_cd_r", "reads CD-R"},
      {2, 1, "reads_cd_rw", "reads CD-RW"},
      {2, 3, "reads_dvd_rom", "reads DVD-ROM"},
      {2, 4, "reads_dvd_r", "reads DVD-R"},
      {2, 5, "reads_dvd_ram", "reads DVD-RAM"},
      {4, 0, "audio_play", "audio play"},
      {4, 1, "composite", "composite audio and video"},
      {4, 2, "digital_port_1", "digital port 1"},
      {4, 3, "digital_port_2", "digital port 2"},
      {4, 4, "mode2_form1", "mode 2 form 1"},
      {4, 5, "mode2_form2", "mode 2 form 2"},
      {4, 6, "multi_session", "multi-session"},
      {5, 0, "cd_da_commands", "CD-DA commands"},
      {5, 1, "cd_da_stream_accurate", "CD-DA stream accurate"},
      {5, 2, "rw_subchannel", "R-W sub-channel"},
      {5, 3, "rw_deinterleaved", "R-W de-interleaved"},
      {5, 4, "c2_pointers", "C2 pointers"},
      {5, 5, "isrc", "ISRC"},
      {5, 6, "upc", "UPC"},
      {5, 7, "bar_code", "bar code"},
      {6, 0, "lock", "lock"},
      {6, 3, "eject", "eject"},
      {7, 0, "separate_volume", "separate volume levels"},
      {7, 1, "separate_mute", "separate channel mute"},
  };
  std::string yes;
  for (const Bit& b : kBits) {
    const bool set = (p[b.byte] >> b.bit) & 1;
    if (set) yes += (yes.empty() ? "" : ", ") + std::string(b.text);
    d.Bool(b.key, set);
  }
  const uint16_t max_speed = static_cast<uint16_t>(p[8] << 8 | p[9]);
  const uint16_t volume_levels = static_cast<uint16_t>(p[10] << 8 | p[11]);
  const uint16_t buffer = static_cast<uint16_t>(p[12] << 8 | p[13]);
  const uint16_t current_speed = static_cast<uint16_t>(p[14] << 8 | p[15]);
  d.Line(Format("page 2A, %u bytes: %s", p[1], yes.c_str()));
  d.Line(Format("loading mechanism type %u", p[6] >> 5));
  d.Line(Format("read speed %u kB/s maximum, %u kB/s current; %u volume levels; buffer %u KiB", max_speed,
                current_speed, volume_levels, buffer));
  d.Number("loading_mechanism", p[6] >> 5);
  d.Number("max_read_speed_kbps", max_speed);
  d.Number("current_read_speed_kbps", current_speed);
  d.Number("volume_levels", volume_levels);
  d.Number("buffer_kib", buffer);
  return d;
}

std::string MsfText(int32_t lba) {
  const ravelkit::Msf m = ravelkit::LbaToMsf(lba);
  return Format("%02u:%02u:%02u", m.m, m.s, m.f);
}

Decoded DecodeToc(const std::vector<uint8_t>& a) {
  Decoded d;
  if (a.size() < 4) return d;
  d.Line(Format("tracks %u to %u", a[2], a[3]));
  d.Number("first_track", a[2]);
  d.Number("last_track", a[3]);
  const size_t end = std::min<size_t>(a.size(), size_t{Be16(a, 0)} + 2);
  std::vector<std::string> tracks;
  for (size_t at = 4; at + 8 <= end; at += 8) {
    const uint8_t point = a[at + 2], control = a[at + 1] & 0x0F;
    const auto lba = static_cast<int32_t>(LoadBe32(&a[at + 4]));
    const bool lead_out = point == 0xAA;
    d.Line(Format("  %-8s %s  LBA %7d  %s  ADR %u, control %X", lead_out ? "lead-out" : Format("track %u", point).c_str(),
                  lead_out ? "     " : (control & 0x4) ? "data " : "audio", lba, MsfText(lba).c_str(), a[at + 1] >> 4,
                  control));
    if (lead_out) {
      d.Number("lead_out", static_cast<uint32_t>(lba));
    } else {
      tracks.push_back(Format("{\"number\": %u, \"type\": \"%s\", \"start\": %d, \"control\": %u}", point,
                              (control & 0x4) ? "data" : "audio", lba, control));
    }
  }
  d.Field("tracks", JsonArray(tracks));
  return d;
}

std::string PointName(uint8_t point) {
  switch (point) {
    case 0xA0: return "A0 first track";
    case 0xA1: return "A1 last track";
    case 0xA2: return "A2 lead-out";
    default: return Format("track %u", point);
  }
}

Decoded DecodeFullToc(const std::vector<uint8_t>& a) {
  Decoded d;
  if (a.size() < 4) return d;
  d.Line(Format("sessions %u to %u", a[2], a[3]));
  d.Number("first_session", a[2]);
  d.Number("last_session", a[3]);
  const size_t end = std::min<size_t>(a.size(), size_t{Be16(a, 0)} + 2);
  std::vector<std::string> entries;
  for (size_t at = 4; at + 11 <= end; at += 11) {
    const uint8_t session = a[at], point = a[at + 3];
    const uint8_t m = a[at + 8], s = a[at + 9], f = a[at + 10];
    std::string value = point == 0xA0 || point == 0xA1 ? Format("%u", m) : Format("%02u:%02u:%02u", m, s, f);
    if (point == 0xA0) value += Format(", disc type %02X", s);
    d.Line(Format("  session %u  %-15s ADR %u, control %X  %s", session, PointName(point).c_str(), a[at + 1] >> 4,
                  a[at + 1] & 0x0F, value.c_str()));
    entries.push_back(Format("{\"session\": %u, \"point\": %u, \"adr_control\": %u, \"pmin\": %u, \"psec\": %u, "
                             "\"pframe\": %u}",
                             session, point, a[at + 1], m, s, f));
  }
  d.Field("entries", JsonArray(entries));
  return d;
}

Decoded DecodeDiscInformation(const std::vector<uint8_t>& a) {
  Decoded d;
  if (a.size() < 12) return d;
  static constexpr const char* kStatus[] = {"empty", "incomplete", "finalized", "other"};
  static constexpr const char* kSessionState[] = {"empty", "incomplete", "reserved", "complete"};
  const uint8_t status = a[2] & 3, last_session = (a[2] >> 2) & 3;
  const unsigned sessions = a[4] | (a.size() > 9 ? a[9] << 8 : 0);
  const unsigned first_last = a[5] | (a.size() > 10 ? a[10] << 8 : 0);
  const unsigned last_last = a[6] | (a.size() > 11 ? a[11] << 8 : 0);
  d.Line(Format("disc %s, last session %s, %s", kStatus[status], kSessionState[last_session],
                (a[2] & 0x10) ? "erasable" : "not erasable"));
  d.Line(Format("first track %u; %u session(s), the last holding tracks %u to %u; disc type %02X", a[3], sessions,
                first_last, last_last, a[8]));
  d.Text("disc_status", kStatus[status]);
  d.Text("last_session_state", kSessionState[last_session]);
  d.Bool("erasable", (a[2] & 0x10) != 0);
  d.Number("first_track", a[3]);
  d.Number("sessions", sessions);
  d.Number("first_track_last_session", first_last);
  d.Number("last_track_last_session", last_last);
  d.Number("disc_type", a[8]);
  return d;
}

// ---- The run ----

// The initiator receives the whole allocation; the answer says how much of it it filled.
size_t AdditionalLength8(const std::vector<uint8_t>& a) { return a.size() < 5 ? a.size() : size_t{a[4]} + 5; }
size_t Fixed8(const std::vector<uint8_t>&) { return 8; }
size_t Length16(const std::vector<uint8_t>& a) { return a.size() < 2 ? a.size() : size_t{Be16(a, 0)} + 2; }
size_t Length32(const std::vector<uint8_t>& a) { return a.size() < 4 ? a.size() : size_t{LoadBe32(a.data())} + 4; }

struct Query {
  const char* key;    // JSON key: the raw answer as hex
  const char* title;  // heading of the text output
  Command command;
  size_t (*length)(const std::vector<uint8_t>&);
  Decoded (*decode)(const std::vector<uint8_t>&);
  bool cd_only = false;  // asked only when the current profile is a CD's
};

std::vector<Query> Queries() {
  constexpr uint8_t kAlloc = 0x08;  // 2,048 bytes, high byte of the allocation length
  return {
      {"inquiry", "INQUIRY", Command::Make({0x12, 0, 0, 0, 96, 0}, 96), AdditionalLength8, DecodeInquiry},
      {"read_capacity", "READ CAPACITY", Command::Make({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8), Fixed8, DecodeCapacity},
      {"get_configuration", "GET CONFIGURATION",
       Command::Make({0x46, 0, 0, 0, 0, 0, 0, kAlloc, 0, 0}, 2048), Length32,
       DecodeConfiguration},
      {"mode_sense_2a", "MODE SENSE page 2A (capabilities)",
       Command::Make({0x5A, 0x08, 0x2A, 0, 0, 0, 0, 0, 64, 0}, 64), Length16,
       DecodeCapabilities},
      {"read_toc_0", "READ TOC format 0 (tracks)", Command::Make({0x43, 0, 0, 0, 0, 0, 0, kAlloc, 0, 0}, 2048),
       Length16, DecodeToc},
      {"read_toc_2", "READ TOC format 2 (full TOC)", Command::Make({0x43, 0, 2, 0, 0, 0, 1, kAlloc, 0, 0}, 2048),
       Length16, DecodeFullToc, true},
      {"read_disc_information", "READ DISC INFORMATION",
       Command::Make({0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, 34), Length16,
       DecodeDiscInformation},
  };
}

struct Answer {
  std::string key;
  std::string title;
  bool good = false;
  bool asked = true;  // false: the command does not apply to the medium
  std::string failure;  // status and sense when not GOOD
  std::vector<uint8_t> data;
  Decoded decoded;
};

std::string Failure(const Result& r) {
  if (r.transport != Transport::kOk) return ToString(r.transport);
  std::string text = Format("status %u", r.scsi_status);
  if (r.sense.size() >= 14) text += Format(", sense %X/%02X/%02X", r.sense[2] & 0x0F, r.sense[12], r.sense[13]);
  return text;
}

void PrintText(const InfoArgs& a, const std::vector<Answer>& answers, const std::string& error) {
  std::printf("drive serving %s to a %s initiator\n", a.job.image.c_str(),
              a.job.client == Client::kMac ? "Mac" : "Windows");
  for (const Answer& answer : answers) {
    std::printf("\n%s:", answer.title.c_str());
    if (!answer.good) {
      std::printf(" %s%s\n", answer.asked ? "FAILED: " : "", answer.failure.c_str());
      continue;
    }
    std::printf("\n");
    for (const std::string& line : answer.decoded.lines()) std::printf("  %s\n", line.c_str());
  }
  if (!error.empty()) std::printf("\nerror: %s\n", error.c_str());
}

void PrintJson(const InfoArgs& a, const std::vector<Answer>& answers, const std::string& error, bool ok) {
  std::string out = "{\"image\": " + JsonText(a.job.image) + ", \"client\": \"" +
                    (a.job.client == Client::kMac ? "mac" : "windows") + "\"";
  std::string decoded, status;
  for (const Answer& answer : answers) {
    out += ", " + JsonText(answer.key) + ": " + (answer.good ? "\"" + Hex(answer.data) + "\"" : "null");
    status += (status.empty() ? "" : ", ") + JsonText(answer.key) + ": " +
              JsonText(answer.good ? "GOOD" : answer.failure);
    if (answer.good) decoded += (decoded.empty() ? "" : ", ") + JsonText(answer.key) + ": " + answer.decoded.json();
  }
  out += ", \"status\": {" + status + "}, \"decoded\": {" + decoded + "}, \"ok\": " + (ok ? "true" : "false") +
         ", \"error\": " + JsonText(error) + "}";
  std::printf("%s\n", out.c_str());
}

}  // namespace

void InfoUsage() { std::fprintf(stderr, "usage: skellmere-sim info IMAGE [--client windows|mac] [--json]\n"); }

int InfoCommand(int argc, char** argv) {
  InfoArgs args;
  if (!Parse(argc, argv, &args)) {
    InfoUsage();
    return 2;
  }
  if (const std::string problem = ImageMountProblem(args.job.image); !problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return kExitNotMounted;
  }
  std::vector<Answer> answers;
  const std::string error = WithReadyDrive(args.job, [&](Initiator& initiator) -> std::string {
    const std::optional<UnitInfo> unit = initiator.unit();
    Answer directory{"unit_directory", "Unit directory", false, true, {}, {}, {}};
    const DirectoryBytes bytes = ReadDirectory(initiator, unit->directory_index);
    directory.good = bytes.error.empty();
    directory.failure = bytes.error;
    directory.data = bytes.bytes;
    if (directory.good) directory.decoded = DecodeUnitDirectory(bytes, *unit);
    answers.push_back(std::move(directory));
    // The full TOC is a CD's; other media answer it with ILLEGAL REQUEST, as they should.
    uint16_t profile = 0;
    for (Query& q : Queries()) {
      if (q.cd_only && profile != kProfileCdRom) {
        answers.push_back({q.key, q.title, false, false, "not asked: the medium is not a CD", {}, {}});
        continue;
      }
      const Result r = initiator.Execute(q.command);
      Answer answer{q.key, q.title, r.good(), true, r.good() ? std::string() : Failure(r), r.data, {}};
      answer.data.resize(std::min(answer.data.size(), q.length(answer.data)));
      if (answer.good) answer.decoded = q.decode(answer.data);
      if (answer.good && answer.key == "get_configuration" && answer.data.size() >= 8) profile = Be16(answer.data, 6);
      answers.push_back(std::move(answer));
    }
    return {};
  });
  bool ok = error.empty() && !answers.empty();
  for (const Answer& answer : answers) ok = ok && (answer.good || !answer.asked);
  if (args.json) {
    PrintJson(args, answers, error, ok);
  } else {
    PrintText(args, answers, error);
  }
  return ok ? 0 : 1;
}

}  // namespace sim
