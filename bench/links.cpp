// The link measures: a small command over TCP loopback to tavelo-camd against
// a raw socket ping-pong of the same bytes, and a download over a serial
// line (a pseudo-terminal paced to 115200 baud by the daemon) against the
// line's byte rate. Elapsed time: here the time is spent in two processes.
#include "context.h"
#include "tavelo/transport.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <span>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef TAVELO_BENCH_CAMD
#define TAVELO_BENCH_CAMD "tavelo-camd"
#endif

extern char **environ;

namespace tavelo::bench {

namespace {

constexpr unsigned kLineBaud = 115200;
constexpr double kLineBytesPerSecond = kLineBaud / 10.0; // 8N1: ten bits a byte
constexpr ULONG kSerialPacketLimit = 4096;               // two chunks of the small file
constexpr ULONG kNoisyPacketLimit = 1024;                // a frame an error rarely hits
constexpr unsigned kFlipEvery = 10000;
constexpr std::uint8_t kGetPowerMode = 0x19;
constexpr int kTurn = 64; // round trips of one kind in a row
// The request TaveloGetPowerMode sends: a bare header, length field 8.
constexpr std::array<std::uint8_t, 12> kPowerModeRequest = {
    0, 0, 0, 8, 1, 0, 0, 0, 0, kGetPowerMode, 0, 0};
constexpr ULONG kTagPacketLimit = ULONG{'m'} << 24 | ULONG{'h'} << 16 | ULONG{'b'} << 8 | 's';

// tavelo-camd serving the link store; stopped on destruction.
class Daemon {
public:
  // Starts it with `args` and returns what follows `announce` in its first
  // line of output (the address it serves on).
  Daemon(std::vector<std::string> args, const char *announce) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      Fail("pipe", errno);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    args.insert(args.begin(), TAVELO_BENCH_CAMD);
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (std::string &arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
      Fail("cannot start tavelo-camd", spawned);
    }
    FILE *in = fdopen(out[0], "r");
    std::array<char, 256> line{};
    const bool got = std::fgets(line.data(), line.size(), in) != nullptr;
    std::fclose(in);
    const std::string text(line.data(), std::strcspn(line.data(), "\n"));
    const auto at = text.find(announce);
    if (!got || at == std::string::npos) {
      Fail("tavelo-camd did not start: " + text, 0);
    }
    where_ = text.substr(at + std::strlen(announce));
  }
  ~Daemon() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  Daemon(const Daemon &) = delete;
  Daemon &operator=(const Daemon &) = delete;
  const std::string &Where() const { return where_; }

private:
  pid_t pid_ = -1;
  std::string where_;
};

void Check(CAMRESULT result, const char *what) {
  if (result < 0) {
    Fail(what, result);
  }
}

// Binds the camera of a stream transport's device, e.g. "net:127.0.0.1:4000".
void BindStream(BoundCamera &camera, const CLSID &transport, const std::string &id) {
  OLECHAR wide[64] = {};
  const int n = StringFromGUID2(transport, wide, 64);
  for (int i = 0; i + 1 < n && i + 1 < static_cast<int>(sizeof camera.record.transportClsid); ++i) {
    camera.record.transportClsid[i] = static_cast<char>(wide[i]);
  }
  camera.record.deviceId.vt = VT_BSTR;
  camera.record.deviceId.bstrVal = SysAllocString(std::u16string(id.begin(), id.end()).c_str());
  Check(TaveloBindCamera(&camera.handle, &camera.record), "bind a stream camera");
}

int Connect(const std::string &hostPort) {
  const auto colon = hostPort.rfind(':');
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(hostPort.substr(colon + 1))));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    Fail("cannot connect to " + hostPort, errno);
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// Reads exactly `size` bytes.
void ReadAll(int fd, std::uint8_t *out, std::size_t size) {
  while (size > 0) {
    const ssize_t n = read(fd, out, size);
    if (n <= 0) {
      Fail("raw socket read", errno);
    }
    out += n;
    size -= static_cast<std::size_t>(n);
  }
}

// The daemon's answer to the power-mode request, asked over a plain socket.
std::vector<std::uint8_t> PowerModeAnswer(const std::string &hostPort) {
  const int fd = Connect(hostPort);
  if (write(fd, kPowerModeRequest.data(), kPowerModeRequest.size()) !=
      static_cast<ssize_t>(kPowerModeRequest.size())) {
    Fail("raw socket write", errno);
  }
  std::vector<std::uint8_t> answer(4);
  ReadAll(fd, answer.data(), 4);
  const std::size_t length = std::size_t{answer[0]} << 24 | std::size_t{answer[1]} << 16 |
                             std::size_t{answer[2]} << 8 | answer[3];
  answer.resize(4 + length);
  ReadAll(fd, answer.data() + 4, length);
  close(fd);
  return answer;
}

// A process that answers every packet on a loopback socket with `answer`,
// one read and one write per packet; ends when the socket closes.
class RawServer {
public:
  explicit RawServer(const std::vector<std::uint8_t> &answer) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
      Fail("raw listener", errno);
    }
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = accept(listener, nullptr, nullptr);
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      std::array<std::uint8_t, 256> request{};
      while (read(fd, request.data(), request.size()) > 0 &&
             write(fd, answer.data(), answer.size()) == static_cast<ssize_t>(answer.size())) {
      }
      _exit(0);
    }
    close(listener);
    fd_ = Connect("127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
  }
  ~RawServer() {
    close(fd_);
    waitpid(pid_, nullptr, 0);
  }
  RawServer(const RawServer &) = delete;
  RawServer &operator=(const RawServer &) = delete;

  // One round trip: the request written, the answer read.
  void PingPong(std::span<std::uint8_t> answer) const {
    if (write(fd_, kPowerModeRequest.data(), kPowerModeRequest.size()) !=
        static_cast<ssize_t>(kPowerModeRequest.size())) {
      Fail("raw socket write", errno);
    }
    ReadAll(fd_, answer.data(), answer.size());
  }

private:
  pid_t pid_ = -1;
  int fd_ = -1;
};

// A small command through the network transport to tavelo-camd, and the same
// request and answer bytes through a raw socket ping-pong, taken in turns so
// that the load of a shared machine weighs on both alike: each turn is a
// run of round trips, so that neither side runs cold.
void BM_TcpCommand(benchmark::State &state) {
  Daemon camd({Context::Get().LinkStore().string(), "--listen", "127.0.0.1:0"}, "listening on ");
  const std::vector<std::uint8_t> answer = PowerModeAnswer(camd.Where());
  const RawServer raw(answer);
  BoundCamera camera;
  BindStream(camera, CLSID_TaveloNetTransport, "net:" + camd.Where());
  ULONG mode = 0;
  Check(TaveloGetPowerMode(camera.handle, &mode), "power mode over TCP");
  std::vector<std::uint8_t> got(answer.size());
  using Clock = std::chrono::steady_clock;
  Clock::duration library{};
  Clock::duration plain{};
  for (auto _ : state) {
    const auto start = Clock::now();
    for (int i = 0; i < kTurn; ++i) {
      Check(TaveloGetPowerMode(camera.handle, &mode), "power mode over TCP");
    }
    const auto middle = Clock::now();
    for (int i = 0; i < kTurn; ++i) {
      raw.PingPong(got);
    }
    library += middle - start;
    plain += Clock::now() - middle;
  }
  if (got != answer) {
    Fail("the raw ping-pong garbled the answer", 0);
  }
  const auto perCall = [&](Clock::duration total) {
    return std::chrono::duration<double, std::micro>(total).count() /
           static_cast<double>(state.iterations() * kTurn);
  };
  state.counters["library_us"] = perCall(library);
  state.counters["raw_us"] = perCall(plain);
  state.counters["x_raw"] = perCall(plain) / perCall(library);
}
BENCHMARK(BM_TcpCommand)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A download over a pseudo-terminal that the daemon paces to 115200 baud.
void BM_SerialDownload(benchmark::State &state) {
  Daemon camd({Context::Get().LinkStore().string(), "--pty", "--pace", std::to_string(kLineBaud)},
              "serving on ");
  BoundCamera camera;
  BindStream(camera, CLSID_TaveloSerialTransport,
             "serial:" + camd.Where() + "@" + std::to_string(kLineBaud));
  VARIANT limit;
  VariantInit(&limit);
  limit.vt = VT_UI4;
  limit.ulVal = kSerialPacketLimit;
  Check(TaveloSetParameter(camera.handle, kTagPacketLimit, limit), "packet limit over serial");
  FH file{};
  file.kind = 1;
  std::snprintf(file.path, sizeof file.path, "%s", kLinkFile);
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    BYTE *data = nullptr;
    ULONG size = 0;
    Check(TaveloGetFileData(camera.handle, &file, 0, &data, &size), "download over serial");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    CoTaskMemFree(data);
    if (size != kLinkFileSize) {
      Fail("serial download of the wrong size", size);
    }
  }
  state.counters["x_line_rate"] =
      static_cast<double>(state.iterations() * kLinkFileSize) / seconds / kLineBytesPerSecond;
}
BENCHMARK(BM_SerialDownload)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Seconds to download the 1 MB line file over a pseudo-terminal paced to
// 115200 baud, with `flipEvery` (when not 0) flipping one bit in every that
// many bytes each way; checks the bytes.
double LineDownload(unsigned flipEvery) {
  std::vector<std::string> args = {Context::Get().LinkStore().string(), "--pty", "--pace",
                                   std::to_string(kLineBaud)};
  if (flipEvery != 0) {
    args.insert(args.end(), {"--bit-errors", std::to_string(flipEvery)});
  }
  Daemon camd(args, "serving on ");
  BoundCamera camera;
  BindStream(camera, CLSID_TaveloSerialTransport,
             "serial:" + camd.Where() + "@" + std::to_string(kLineBaud));
  VARIANT limit;
  VariantInit(&limit);
  limit.vt = VT_UI4;
  limit.ulVal = kNoisyPacketLimit;
  Check(TaveloSetParameter(camera.handle, kTagPacketLimit, limit), "packet limit over serial");
  FH file{};
  file.kind = 1;
  std::snprintf(file.path, sizeof file.path, "%s", kLineFile);
  const auto start = std::chrono::steady_clock::now();
  BYTE *data = nullptr;
  ULONG size = 0;
  Check(TaveloGetFileData(camera.handle, &file, 0, &data, &size), "download over a noisy line");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const bool exact = size == kLineFileSize &&
                     std::memcmp(data, Context::Get().Payload().data(), kLineFileSize) == 0;
  CoTaskMemFree(data);
  if (!exact) {
    Fail("the download over a noisy line is not byte-exact", size);
  }
  return seconds;
}

// A 1 MB download over a paced 115200 line that flips one bit in every
// 10,000 bytes, against the same over a clean line: damaged frames are sent
// again, and the goal is at most 1.3 times the clean time.
void BM_SerialBitErrors(benchmark::State &state) {
  double clean = 0;
  double noisy = 0;
  for (auto _ : state) {
    clean += LineDownload(0);
    noisy += LineDownload(kFlipEvery);
  }
  state.counters["clean_s"] = clean / static_cast<double>(state.iterations());
  state.counters["noisy_s"] = noisy / static_cast<double>(state.iterations());
  state.counters["x_clean"] = noisy / clean;
}
// Three minutes a run: measured once.
BENCHMARK(BM_SerialBitErrors)->Iterations(1)->Repetitions(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

} // namespace tavelo::bench
