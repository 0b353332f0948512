#include "sim/serve.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/command_line.h"
#include "sim/initiator.h"
#include "sim/read_job.h"
#include "sim/serve_protocol.h"

namespace sim {
namespace {

using serve::Direction;
using serve::Parsed;
using serve::Request;
using serve::Response;
using serve::TransportCode;

// A command whose request names no time-out gets as long as an operating system's disc
// class driver commonly allows.
constexpr uint32_t kDefaultTimeoutMs = 10'000;
// Connections served at once; one more is accepted and closed at once.
constexpr size_t kMaxConnections = 32;

// The signal handlers' only work: a byte into this pipe, which the accept loop polls.
// 'q' ends the server (SIGINT, SIGTERM), 'r' forces one bus reset (SIGUSR1).
int g_signal_pipe[2] = {-1, -1};

void OnSignal(int signal) {
  const int saved = errno;
  const char c = signal == SIGUSR1 ? 'r' : 'q';
  [[maybe_unused]] const ssize_t n = ::write(g_signal_pipe[1], &c, 1);
  errno = saved;
}

bool InstallSignals() {
  if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGUSR1}) {
    if (::sigaction(s, &action, nullptr) != 0) return false;
  }
  // A reader of the output that went away must not end the server before its clean-up.
  action.sa_handler = SIG_IGN;
  return ::sigaction(SIGPIPE, &action, nullptr) == 0;
}

struct ServeArgs {
  ReadJobOptions job;
  std::string socket;
};

bool Parse(int argc, char** argv, ServeArgs* a) {
  for (int i = 2; i < argc; ++i) {
    const std::string k = argv[i];
    auto value = [&](std::string* out) { return TakeValue(argc, argv, &i, out); };
    std::string v;
    if (k == "--socket") {
      if (!value(&a->socket) || a->socket.empty()) return false;
    } else if (k == "--client") {
      if (!value(&v) || !ParseClient(v, &a->job.client)) return false;
    } else if (k == "--unpaced") {
      a->job.paced = false;
    } else if (k == "--wire") {
      a->job.wire = true;
    } else if (!k.starts_with("--") && a->job.image.empty()) {
      a->job.image = k;
    } else {
      return false;
    }
  }
  return !a->job.image.empty() && !a->socket.empty();
}

TransportCode CodeOf(Transport t) {
  switch (t) {
    case Transport::kOk: return TransportCode::kOk;
    case Transport::kAborted: return TransportCode::kAborted;
    case Transport::kTimeout: return TransportCode::kTimeout;
    case Transport::kNoDevice: return TransportCode::kNoDevice;
    case Transport::kTransportFailure: break;
  }
  return TransportCode::kFailure;
}

Response Run(Initiator& initiator, const Request& request, int connection) {
  Command command;
  command.cdb = request.cdb;
  if (request.direction == Direction::kIn) command.data_in_length = request.transfer_len;
  if (request.direction == Direction::kOut) command.data_out = request.data_out;
  command.timeout = std::chrono::milliseconds(request.timeout_ms != 0 ? request.timeout_ms : kDefaultTimeoutMs);
  Result result = initiator.Execute(std::move(command));
  if (result.attempts > 1) {
    std::fprintf(stderr, "serve: connection %d: command %02X sent %d times (bus resets), %s\n", connection,
                 request.cdb[0], result.attempts, ToString(result.transport));
  }
  Response response;
  response.transport = CodeOf(result.transport);
  response.duration_us = static_cast<uint32_t>(
      std::clamp<int64_t>(result.duration.count(), 0, std::numeric_limits<uint32_t>::max()));
  // Without a status block there is no SCSI status to report.
  if (response.transport != TransportCode::kOk) return response;
  response.scsi_status = result.scsi_status;
  response.sense = std::move(result.sense);
  if (request.direction == Direction::kIn) {
    // The initiator keeps data in only of a command that ended GOOD.
    response.data = std::move(result.data);
    if (response.data.size() > request.transfer_len) response.data.resize(request.transfer_len);
  } else if (request.direction == Direction::kOut && result.good()) {
    response.data_len = request.transfer_len;
  }
  return response;
}

// One connection's thread: requests in order, each answered before the next is read.
void ServeConnection(int fd, int id, Initiator& initiator) {
  serve::RequestStream stream;
  std::vector<uint8_t> chunk(64 * 1024);
  for (;;) {
    while (std::optional<Parsed> parsed = stream.Next()) {
      Response response;
      if (parsed->kind == Parsed::Kind::kRequest) {
        response = Run(initiator, parsed->request, id);
      } else {
        response.transport = TransportCode::kMalformed;
        std::fprintf(stderr, "serve: connection %d: request refused: %s%s\n", id, parsed->why.c_str(),
                     parsed->kind == Parsed::Kind::kRefusedAndClose ? " (connection closed)" : "");
      }
      if (!serve::SendAll(fd, serve::EncodeResponse(response))) return;
      if (parsed->kind == Parsed::Kind::kRefusedAndClose) return;
    }
    const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // closed by the client, or shut down by the server's end
    stream.Append({chunk.data(), static_cast<size_t>(n)});
  }
}

class Connections {
 public:
  explicit Connections(Initiator& initiator) : initiator_(initiator) {}
  ~Connections() { CloseAll(); }

  void Add(int fd) {
    Reap();
    std::lock_guard<std::mutex> lock(mu_);
    if (list_.size() >= kMaxConnections) {
      ::close(fd);
      return;
    }
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    Connection* raw = c.get();
    const int id = ++next_id_;
    c->thread = std::thread([this, raw, id] {
      ServeConnection(raw->fd, id, initiator_);
      raw->done = true;
    });
    list_.push_back(std::move(c));
  }

  // Joins the threads that have ended. The descriptor is closed only here, after the join,
  // so that a shutdown from CloseAll never reaches a number the system has handed out again.
  void Reap() {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = list_.begin(); it != list_.end();) {
      if (!(*it)->done) {
        ++it;
        continue;
      }
      (*it)->thread.join();
      ::close((*it)->fd);
      it = list_.erase(it);
    }
  }

  // Wakes every connection from its read; the caller ends the commands still open.
  void ShutdownAll() {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& c : list_) ::shutdown(c->fd, SHUT_RDWR);
  }

  void CloseAll() {
    ShutdownAll();
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& c : list_) {
      c->thread.join();
      ::close(c->fd);
    }
    list_.clear();
  }

 private:
  struct Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  Initiator& initiator_;
  std::mutex mu_;
  std::list<std::unique_ptr<Connection>> list_;  // guarded by mu_
  int next_id_ = 0;                              // guarded by mu_
};

class Listener {
 public:
  ~Listener() { Close(); }

  // Stops listening and removes the socket file.
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (bound_) ::unlink(path_.c_str());
    bound_ = false;
  }

  // Empty, or what failed.
  std::string Open(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return "socket path too long: " + path;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // A socket left by a server that did not end cleanly is replaced; anything else stays.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
      if (!S_ISSOCK(st.st_mode)) return path + " exists and is not a socket";
      ::unlink(path.c_str());
    }
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return std::string("socket: ") + std::strerror(errno);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      return "bind " + path + ": " + std::strerror(errno);
    }
    path_ = path;
    bound_ = true;
    if (::listen(fd_, 16) != 0) return std::string("listen: ") + std::strerror(errno);
    return {};
  }

  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::string path_;
  bool bound_ = false;
};

std::string Serve(Initiator& initiator, const ServeArgs& args) {
  Listener listener;
  if (std::string failure = listener.Open(args.socket); !failure.empty()) return failure;
  std::printf("ready: serving %s on %s as a %s initiator%s\n", args.job.image.c_str(), args.socket.c_str(),
              args.job.client == Client::kMac ? "Mac" : "Windows", args.job.paced ? "" : ", unpaced");
  std::fflush(stdout);

  Connections connections(initiator);
  for (bool stop = false; !stop;) {
    pollfd fds[2] = {{listener.fd(), POLLIN, 0}, {g_signal_pipe[0], POLLIN, 0}};
    // The time-out only bounds how long an ended connection waits to be joined.
    const int n = ::poll(fds, 2, 200);
    if (n < 0 && errno != EINTR) return std::string("poll: ") + std::strerror(errno);
    if (n > 0 && (fds[1].revents & POLLIN) != 0) {
      char signals[16];
      const ssize_t got = ::read(g_signal_pipe[0], signals, sizeof signals);
      for (ssize_t i = 0; i < got; ++i) {
        if (signals[i] == 'q') {
          stop = true;
        } else if (signals[i] == 'r') {
          std::fprintf(stderr, "serve: bus reset forced\n");
          initiator.controller().BusReset();
        }
      }
    }
    if (!stop && n > 0 && (fds[0].revents & POLLIN) != 0) {
      const int fd = ::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) connections.Add(fd);
    }
    connections.Reap();
  }
  // Ending: no new connections, every connection woken, and the commands still open ended
  // by the logout (they answer "aborted" to a client that is gone).
  listener.Close();
  connections.ShutdownAll();
  initiator.Logout();
  connections.CloseAll();
  std::printf("stopped\n");
  std::fflush(stdout);
  return {};
}

}  // namespace

void ServeUsage() {
  std::fprintf(stderr, "       skellmere-sim serve IMAGE --socket PATH [--client windows|mac] [--unpaced] [--wire]\n");
}

int ServeCommand(int argc, char** argv) {
  ServeArgs args;
  if (!Parse(argc, argv, &args)) {
    std::fprintf(stderr, "usage:\n");
    ServeUsage();
    return 2;
  }
  if (const std::string problem = ImageMountProblem(args.job.image); !problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return kExitNotMounted;
  }
  if (!InstallSignals()) {
    std::fprintf(stderr, "serve: signal handlers: %s\n", std::strerror(errno));
    return 1;
  }
  const std::string failure =
      WithReadyDrive(args.job, [&](Initiator& initiator) { return Serve(initiator, args); });
  if (!failure.empty()) {
    std::fprintf(stderr, "serve: %s\n", failure.c_str());
    return 1;
  }
  return 0;
}

}  // namespace sim
