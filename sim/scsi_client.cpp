// skellmere-scsi: sends one SCSI command to `skellmere-sim serve` and prints what came back.
//
//   skellmere-scsi --socket PATH [--read N | --write FILE] [--timeout MS] [--outfile FILE]
//                  CDB-BYTES...
//
// CDB bytes are hex, one byte an argument ("28 00 00 00 00 10 00 00 01 00") or several run
// together ("2800000000100000 0100"). --read N asks for N bytes from the drive, --write FILE
// sends the file's bytes to it. It prints the SCSI status and the transport's outcome, the
// sense decoded, and the data as a hex dump, or writes the data to --outfile.
//
// Exit status: 0 when the command ended GOOD, 1 when it ended otherwise (a status other
// than GOOD, or a transport outcome other than ok), 2 for a bad command line, 3 when the
// server could not be reached or answered out of protocol.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "sim/command_line.h"
#include "sim/serve_protocol.h"

namespace {

using sim::serve::Direction;
using sim::serve::ReceiveAll;
using sim::serve::SendAll;

struct Args {
  std::string socket;
  std::optional<uint32_t> read;
  std::string write;
  std::string outfile;
  uint32_t timeout_ms = 0;
  std::vector<uint8_t> cdb;
};

void Usage() {
  std::fprintf(stderr,
               "usage: skellmere-scsi --socket PATH [--read N | --write FILE] [--timeout MS] [--outfile FILE]\n"
               "                      CDB-BYTES...\n");
}

bool ParseNumber(const std::string& s, uint32_t* out) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool ParseHexBytes(std::string s, std::vector<uint8_t>* out) {
  if (s.starts_with("0x") || s.starts_with("0X")) s = s.substr(2);
  if (s.empty()) return false;
  if (s.size() % 2 != 0) {
    if (s.size() != 1) return false;  // a single digit is a byte; longer runs come in pairs
    s = "0" + s;
  }
  for (size_t i = 0; i < s.size(); i += 2) {
    unsigned v = 0;
    for (size_t j = i; j < i + 2; ++j) {
      const int c = std::tolower(static_cast<unsigned char>(s[j]));
      if (!std::isxdigit(c)) return false;
      v = v * 16 + static_cast<unsigned>(std::isdigit(c) ? c - '0' : c - 'a' + 10);
    }
    out->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

bool Parse(int argc, char** argv, Args* a) {
  for (int i = 1; i < argc; ++i) {
    const std::string k = argv[i];
    auto value = [&](std::string* out) { return sim::TakeValue(argc, argv, &i, out); };
    std::string v;
    if (k == "--socket") {
      if (!value(&a->socket)) return false;
    } else if (k == "--read") {
      uint32_t n = 0;
      if (!value(&v) || !ParseNumber(v, &n)) return false;
      a->read = n;
    } else if (k == "--write") {
      if (!value(&a->write)) return false;
    } else if (k == "--timeout") {
      if (!value(&v) || !ParseNumber(v, &a->timeout_ms)) return false;
    } else if (k == "--outfile") {
      if (!value(&a->outfile)) return false;
    } else if (k.starts_with("--") || !ParseHexBytes(k, &a->cdb)) {
      return false;
    }
  }
  return !a->socket.empty() && !a->cdb.empty() && !(a->read && !a->write.empty());
}

const char* StatusName(uint8_t status) {
  switch (status) {
    case 0x00: return "GOOD";
    case 0x02: return "CHECK CONDITION";
    case 0x04: return "CONDITION MET";
    case 0x08: return "BUSY";
    case 0x18: return "RESERVATION CONFLICT";
    case 0x28: return "TASK SET FULL";
    case 0x30: return "ACA ACTIVE";
    case 0x40: return "TASK ABORTED";
  }
  return "?";
}

void PrintSense(const std::vector<uint8_t>& sense) {
  if (sense.empty()) return;
  uint8_t key = 0, asc = 0, ascq = 0;
  const uint8_t format = sense[0] & 0x7F;
  if ((format == 0x72 || format == 0x73) && sense.size() >= 4) {
    key = sense[1] & 0xF;
    asc = sense[2];
    ascq = sense[3];
  } else if (sense.size() >= 14) {
    key = sense[2] & 0xF;
    asc = sense[12];
    ascq = sense[13];
  } else {
    std::printf("sense: %zu bytes, too short to decode\n", sense.size());
    return;
  }
  const char* name = sim::serve::AscName(asc, ascq);
  std::printf("sense: key %X %s, ASC/ASCQ %02X/%02X%s%s\n", key, sim::serve::SenseKeyName(key), asc, ascq,
              name != nullptr ? " " : "", name != nullptr ? name : "");
  std::printf("sense bytes:");
  for (uint8_t b : sense) std::printf(" %02x", b);
  std::printf("\n");
}

void HexDump(const std::vector<uint8_t>& data) {
  for (size_t at = 0; at < data.size(); at += 16) {
    std::printf("%08zx ", at);
    for (size_t i = at; i < at + 16; ++i) {
      if (i < data.size()) {
        std::printf(" %02x", data[i]);
      } else {
        std::printf("   ");
      }
      if (i == at + 7) std::printf(" ");
    }
    std::printf("  |");
    for (size_t i = at; i < at + 16 && i < data.size(); ++i) {
      std::putchar(std::isprint(data[i]) ? data[i] : '.');
    }
    std::printf("|\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!Parse(argc, argv, &args)) {
    Usage();
    return 2;
  }
  std::vector<uint8_t> out;
  if (!args.write.empty()) {
    std::ifstream in(args.write, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "skellmere-scsi: cannot read %s\n", args.write.c_str());
      return 2;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const Direction direction = args.read && *args.read > 0 ? Direction::kIn
                              : !out.empty()              ? Direction::kOut
                                                          : Direction::kNone;
  const uint32_t length = direction == Direction::kIn ? *args.read : static_cast<uint32_t>(out.size());

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (args.socket.size() >= sizeof(address.sun_path)) {
    std::fprintf(stderr, "skellmere-scsi: socket path too long\n");
    return 2;
  }
  std::memcpy(address.sun_path, args.socket.c_str(), args.socket.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "skellmere-scsi: cannot connect to %s: %s\n", args.socket.c_str(), std::strerror(errno));
    return 3;
  }
  const std::vector<uint8_t> request =
      sim::serve::EncodeRequest(args.cdb, direction, length, args.timeout_ms, out);
  uint8_t raw[sizeof(sim::serve::ResponseHeader)];
  if (!SendAll(fd, request) || !ReceiveAll(fd, raw, sizeof raw)) {
    std::fprintf(stderr, "skellmere-scsi: the server closed the connection\n");
    ::close(fd);
    return 3;
  }
  const std::optional<sim::serve::ResponseHeader> header = sim::serve::DecodeResponseHeader(raw);
  if (!header) {
    std::fprintf(stderr, "skellmere-scsi: the answer's magic is wrong\n");
    ::close(fd);
    return 3;
  }
  const auto transport = static_cast<sim::serve::TransportCode>(header->transport.get());
  const auto data_len = static_cast<uint32_t>(header->data_len.get());
  std::vector<uint8_t> sense(header->sense_len);
  std::vector<uint8_t> data(direction == Direction::kIn ? data_len : 0);
  if (data.size() > length || !ReceiveAll(fd, sense.data(), sense.size()) ||
      !ReceiveAll(fd, data.data(), data.size())) {
    std::fprintf(stderr, "skellmere-scsi: the answer is cut short or longer than asked\n");
    ::close(fd);
    return 3;
  }
  ::close(fd);

  if (transport == sim::serve::TransportCode::kOk) {
    std::printf("status: %s (0x%02x), transport: ok (0), %llu us\n", StatusName(header->scsi_status),
                header->scsi_status, static_cast<unsigned long long>(header->duration_us.get()));
  } else {
    // No status block came back, so there is no SCSI status to show.
    std::printf("status: none, transport: %s (%u), %llu us\n", sim::serve::ToString(transport),
                static_cast<unsigned>(transport), static_cast<unsigned long long>(header->duration_us.get()));
  }
  PrintSense(sense);
  if (direction == Direction::kOut) std::printf("data out: %u of %u bytes accepted\n", data_len, length);
  if (direction == Direction::kIn) {
    if (!args.outfile.empty()) {
      std::ofstream file(args.outfile, std::ios::binary);
      file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
      if (!file) {
        std::fprintf(stderr, "skellmere-scsi: cannot write %s\n", args.outfile.c_str());
        return 2;
      }
      std::printf("data in: %zu bytes written to %s\n", data.size(), args.outfile.c_str());
    } else {
      std::printf("data in: %zu bytes\n", data.size());
      HexDump(data);
    }
  }
  return transport == sim::serve::TransportCode::kOk && header->scsi_status == 0 ? 0 : 1;
}
