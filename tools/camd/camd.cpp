// tavelo-camd: puts a camera at the far end of a link. Serves the virtual
// camera of a store, or relays to a camera reached through any installed
// transport component, over TCP or a serial line (a pseudo-terminal or a real
// device). One host link at a time: a newcomer waits its turn for a bounded
// time, an idle host is dropped. One thread; SIGINT/SIGTERM end it after the
// command in progress; losing the serial line ends it with status 3.
#include "link.h"
#include "tavelo/component/com_object.h"
#include "tavelo/emulator/engine.h"
#include "tavelo/transport.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <span>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace tavelo;
using link::Clock;

constexpr unsigned kPtyBaud = 115200; // what a pseudo-terminal claims; it runs at any speed
constexpr std::size_t kCommandAt = 8; // the command code in the packet header
constexpr std::size_t kStatusAt = 10; // the status word
constexpr std::uint32_t kLongLength = 0x7FFFFFF0; // the "long" fault's length field
constexpr std::uint32_t kShortLength = 4;         // the "short" fault's

int signal_pipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 0;
  [[maybe_unused]] const auto ignored = write(signal_pipe[1], &byte, 1);
}

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char *format, ...) {
  std::array<char, 1024> text{};
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text.data(), text.size(), format, arguments);
  va_end(arguments);
  std::fprintf(stderr, "tavelo-camd: %s\n", text.data());
}

std::uint16_t Be16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

// The camera behind the daemon: answers one request packet at a time.
class Camera {
public:
  virtual ~Camera() = default;
  // A host opened the link, as a transport component's Open would.
  virtual HRESULT Connected() = 0;
  // S_OK and the answer's size, or a failure: no answer at all.
  virtual HRESULT Answer(std::span<const std::uint8_t> request, std::span<std::uint8_t> response,
                         std::size_t *size) = 0;
};

class VirtualCamera final : public Camera {
public:
  VirtualCamera(const std::string &store, const emu::Faults &faults) : engine_(store) {
    engine_.set_faults(faults);
  }
  HRESULT Connected() override {
    engine_.power_on(); // a host opening the link switches the camera on
    return S_OK;
  }
  HRESULT Answer(std::span<const std::uint8_t> request, std::span<std::uint8_t> response,
                 std::size_t *size) override {
    const auto result = engine_.exchange(request, response);
    *size = result.length;
    switch (result.outcome) {
    case emu::Outcome::answered:
      return S_OK;
    case emu::Outcome::too_large:
      return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    default:
      return E_FAIL; // switched off, or a fault: the camera stays silent
    }
  }

private:
  emu::Engine engine_;
};

// Forwards to a camera through the transport component its identifier's
// prefix names. A failed exchange drops the component; the next host link,
// or the next request, opens a new one.
class RelayCamera final : public Camera {
public:
  explicit RelayCamera(std::string device) : device_(std::move(device)) {}
  ~RelayCamera() override { Drop(); }
  RelayCamera(const RelayCamera &) = delete;
  RelayCamera &operator=(const RelayCamera &) = delete;

  static std::optional<CLSID> ClassOf(const std::string &device) {
    if (device.starts_with("net:")) {
      return CLSID_TaveloNetTransport;
    }
    if (device.starts_with("serial:")) {
      return CLSID_TaveloSerialTransport;
    }
    if (device.starts_with("virtual:")) {
      return CLSID_TaveloVirtualTransport;
    }
    return std::nullopt;
  }

  HRESULT Connected() override {
    Drop();
    void *object = nullptr;
    HRESULT hr =
        CoCreateInstance(*ClassOf(device_), nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                         IID_ITaveloTransport, &object);
    if (FAILED(hr)) {
      Log("relay: no transport component for %s (0x%08X; is TAVELO_COMPONENT_PATH set?)",
          device_.c_str(), static_cast<unsigned>(hr));
      return hr;
    }
    transport_ = static_cast<ITaveloTransport *>(object);
    void *bounded = nullptr;
    if (SUCCEEDED(transport_->QueryInterface(IID_ITaveloTransport2, &bounded))) {
      bounded_ = static_cast<ITaveloTransport2 *>(bounded);
    }
    VARIANT id;
    VariantInit(&id);
    id.vt = VT_BSTR;
    id.bstrVal = SysAllocString(component::Wide(device_).c_str());
    transport_->Configure(id);
    VariantClear(&id);
    hr = transport_->Open();
    if (FAILED(hr)) {
      Log("relay: cannot open %s: %s", device_.c_str(), link::ErrorText(hr).c_str());
      Drop();
    }
    return hr;
  }

  HRESULT Answer(std::span<const std::uint8_t> request, std::span<std::uint8_t> response,
                 std::size_t *size) override {
    *size = 0;
    if (transport_ == nullptr) {
      if (const HRESULT hr = Connected(); FAILED(hr)) {
        return hr;
      }
    }
    const auto length = static_cast<ULONG>(request.size());
    ULONG got = 0;
    HRESULT hr = S_OK;
    if (bounded_ != nullptr) {
      hr = bounded_->ExchangeBounded(0, request.data(), length, response.data(),
                                     static_cast<ULONG>(response.size()), &got);
    } else {
      hr = transport_->Exchange(0, request.data(), length, response.data(), &got);
      got = response.size() >= link::kLengthFieldSize
                ? link::GetU32(response, 0) + static_cast<ULONG>(link::kLengthFieldSize)
                : 0;
    }
    if (FAILED(hr) || got < link::kHeaderSize || got > response.size()) {
      Log("relay: exchange with %s failed: %s", device_.c_str(), link::ErrorText(hr).c_str());
      Drop();
      return FAILED(hr) ? hr : E_FAIL;
    }
    *size = got;
    return S_OK;
  }

private:
  void Drop() {
    if (bounded_ != nullptr) {
      bounded_->Release();
      bounded_ = nullptr;
    }
    if (transport_ != nullptr) {
      transport_->Release();
      transport_ = nullptr;
    }
  }

  std::string device_;
  ITaveloTransport *transport_ = nullptr;
  ITaveloTransport2 *bounded_ = nullptr;
};

// A misbehaviour of the link, once, on the first answer to one command.
struct LinkFault {
  enum Kind { stall, cut, long_length, short_length, corrupt } kind;
  std::uint16_t command;
};

std::optional<LinkFault> ParseLinkFault(const std::string &text) {
  static const std::vector<std::pair<std::string, LinkFault::Kind>> kinds = {
      {"stall", LinkFault::stall},
      {"cut", LinkFault::cut},
      {"long", LinkFault::long_length},
      {"short", LinkFault::short_length},
      {"corrupt", LinkFault::corrupt}};
  const auto colon = text.find(':');
  for (const auto &[name, kind] : kinds) {
    if (colon != std::string::npos && text.compare(0, colon, name) == 0) {
      char *end = nullptr;
      const unsigned long code = std::strtoul(text.c_str() + colon + 1, &end, 0);
      if (*end == 0 && code <= 0xFFFF && end != text.c_str() + colon + 1) {
        return LinkFault{kind, static_cast<std::uint16_t>(code)};
      }
    }
  }
  return std::nullopt;
}

struct Options {
  std::string store;
  std::vector<std::string> listen;
  bool pty = false;
  std::string serial;
  std::string relay;
  link::SerialOptions line;              // pacing and noise of the serial line
  std::chrono::milliseconds wait{5000};  // a newcomer waits this long for the camera
  std::chrono::milliseconds idle{60000}; // a host silent this long is dropped
  int verbose = 0;
  emu::Faults faults;
  std::vector<LinkFault> linkFaults;
};

// How the daemon ends.
enum class End { stopped, line_lost };

class Server {
public:
  Server(Options options, Camera &camera)
      : options_(std::move(options)), camera_(camera),
        request_(std::make_unique_for_overwrite<std::uint8_t[]>(link::kMaxPlainPacket)),
        response_(std::make_unique_for_overwrite<std::uint8_t[]>(link::kMaxPlainPacket)),
        timeout_(link::LinkTimeout()) {}

  // Opens the listening sockets or the serial line; prints where it serves.
  bool Start() {
    for (const std::string &address : options_.listen) {
      const auto parsed = link::ParseNetAddress(address);
      link::Fd fd;
      std::string bound;
      const HRESULT hr = parsed ? link::ListenTcp(*parsed, &fd, &bound) : E_INVALIDARG;
      if (FAILED(hr)) {
        Log("cannot listen on %s: %s", address.c_str(), link::ErrorText(hr).c_str());
        return false;
      }
      std::printf("listening on %s\n", bound.c_str());
      listeners_.push_back(std::move(fd));
    }
    if (options_.pty) {
      return StartPty();
    }
    if (!options_.serial.empty()) {
      const auto parsed = link::ParseSerialAddress(options_.serial);
      link::Fd fd;
      const HRESULT hr = parsed ? link::OpenSerial(*parsed, &fd) : E_INVALIDARG;
      if (FAILED(hr)) {
        Log("cannot open %s: %s", options_.serial.c_str(), link::ErrorText(hr).c_str());
        return false;
      }
      std::printf("serving on %s\n", parsed->device.c_str());
      line_ =
          link::MakeSerialChannel(std::move(fd), link::Role::camera, parsed->baud, options_.line);
      camera_.Connected();
    }
    return true;
  }

  // Serves until a signal arrives, finishing the command in progress, or
  // until the serial line is lost.
  End Run() {
    for (;;) {
      std::vector<pollfd> &fds = fds_; // kept, so a request costs no allocation
      fds.assign(1, {signal_pipe[0], POLLIN, 0});
      for (const link::Fd &listener : listeners_) {
        fds.push_back({listener.get(), POLLIN, 0});
      }
      link::Channel *peer = host_ ? host_.get() : line_.get();
      if (peer != nullptr) {
        fds.push_back({peer->fd(), POLLIN, 0});
      }
      const bool buffered = peer != nullptr && peer->Buffered();
      if (poll(fds.data(), fds.size(), buffered ? 0 : NextTimer()) < 0 && errno != EINTR) {
        Log("poll failed: %s", std::strerror(errno));
        return End::stopped;
      }
      if (fds[0].revents != 0) {
        Log("stopping");
        return End::stopped;
      }
      if (peer != nullptr && (buffered || fds.back().revents != 0) && !Serve(*peer)) {
        if (peer == line_.get()) {
          Log("the serial line is gone");
          return End::line_lost;
        }
        DropHost("left");
      }
      for (std::size_t i = 0; i < listeners_.size(); ++i) {
        if (fds[i + 1].revents != 0) {
          Accept(listeners_[i].get());
        }
      }
      Tick();
    }
  }

private:
  // A host accepted while the camera had another, waiting its turn.
  struct Waiting {
    link::Fd fd;
    std::string name;
    Clock::time_point since;
  };

  void DropHost(const char *why) {
    host_.reset(); // closed before it is told, so that a log reader sees it closed
    Log("host %s %s", hostName_.c_str(), why);
  }

  // Hands the camera to the first newcomer still there.
  void NextHost() {
    while (!host_ && !waiting_.empty()) {
      Waiting next = std::move(waiting_.front());
      waiting_.erase(waiting_.begin());
      Connect(std::move(next.fd), next.name);
    }
  }

  // Drops an idle host or one stuck half way through a request, refuses
  // newcomers that waited too long, and gives the camera to the next one.
  void Tick() {
    const auto now = Clock::now();
    if (host_ && host_->Partial() && now - requestStart_ > timeout_) {
      DropHost("stalled in the middle of a request: dropped");
    } else if (host_ && !host_->Partial() && now - lastHeard_ > options_.idle) {
      DropHost("idle too long: dropped");
    }
    NextHost();
    while (!waiting_.empty() && now - waiting_.front().since >= options_.wait) {
      Log("refused %s: the camera stayed busy with %s", waiting_.front().name.c_str(),
          hostName_.c_str());
      waiting_.erase(waiting_.begin()); // closing it fails that host's exchange at once
    }
  }

  // Milliseconds until Tick has something to do; -1: nothing to wait for.
  int NextTimer() const {
    std::optional<Clock::time_point> next;
    const auto earlier = [&next](Clock::time_point at) { next = next ? std::min(*next, at) : at; };
    if (host_) {
      earlier(host_->Partial() ? requestStart_ + timeout_ : lastHeard_ + options_.idle);
    }
    if (!waiting_.empty()) {
      earlier(waiting_.front().since + options_.wait);
    }
    if (!next) {
      return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
  }

  bool StartPty() {
    link::Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0 ||
        fcntl(master.get(), F_SETFL, O_NONBLOCK) != 0) {
      Log("cannot make a pseudo-terminal: %s", std::strerror(errno));
      return false;
    }
    const std::string path = ptsname(master.get());
    // Holding the far end open keeps the pseudo-terminal alive between hosts.
    ptyHold_ = link::Fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!ptyHold_ || FAILED(link::MakeRawLine(ptyHold_.get(), kPtyBaud))) {
      Log("cannot open %s: %s", path.c_str(), std::strerror(errno));
      return false;
    }
    std::printf("serving on %s\n", path.c_str());
    line_ = link::MakeSerialChannel(std::move(master), link::Role::camera, kPtyBaud, options_.line);
    camera_.Connected();
    return true;
  }

  // A newcomer while the camera has a host waits in line: the host may be in
  // the middle of a transfer, or its close may simply not have been read yet.
  void Accept(int listener) {
    link::Fd fd;
    std::string peer;
    if (FAILED(link::AcceptTcp(listener, &fd, &peer))) {
      return;
    }
    if (host_ || !waiting_.empty()) {
      Log("host %s waits for the camera, busy with %s", peer.c_str(), hostName_.c_str());
      waiting_.push_back({std::move(fd), peer, Clock::now()});
      return;
    }
    Connect(std::move(fd), peer);
  }

  void Connect(link::Fd fd, const std::string &peer) {
    Log("host %s connected", peer.c_str());
    if (FAILED(camera_.Connected())) {
      return;
    }
    hostName_ = peer;
    host_ = link::MakeTcpChannel(std::move(fd), link::Role::camera);
    lastHeard_ = Clock::now();
  }

  // Takes what arrived and answers a request once it is whole. False when
  // the host link ends.
  bool Serve(link::Channel &peer) {
    const bool tcp = &peer == host_.get();
    const bool begun = peer.Partial();
    std::size_t size = 0;
    HRESULT hr = peer.Poll(std::span(request_.get(), link::kMaxPlainPacket), &size);
    lastHeard_ = Clock::now();
    if (hr == S_FALSE) {
      if (!begun && peer.Partial()) {
        requestStart_ = lastHeard_;
      }
      return true; // the rest of the request is on its way
    }
    if (link::Ended(hr)) {
      return false;
    }
    if (FAILED(hr)) {
      Log("bad request: %s", link::ErrorText(hr).c_str());
      return !tcp; // a serial line resynchronises at the next frame
    }
    const std::span<const std::uint8_t> request(request_.get(), size);
    const std::uint16_t command = Be16(request, kCommandAt);
    if (wake_ && !tcp) {
      camera_.Connected(); // a line has no connect: a host's retry wakes the camera
    }
    const auto start = Clock::now();
    std::size_t length = 0;
    const std::span<std::uint8_t> out(response_.get(), link::kMaxPlainPacket);
    hr = camera_.Answer(request, out, &length);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    wake_ = FAILED(hr);
    if (FAILED(hr)) {
      Log("command 0x%04X request %zu: no answer (%s)", command, size, link::ErrorText(hr).c_str());
      return !tcp; // closing the connection fails the host's exchange now
    }
    if (options_.verbose > 0) {
      Log("command 0x%04X request %zu answer %zu status 0x%04X %.3f ms", command, size, length,
          Be16(out, kStatusAt), ms);
    }
    const bool kept = Send(peer, command, out.first(length), tcp);
    lastHeard_ = Clock::now(); // an answer that took long is no idleness of the host
    return kept;
  }

  // Sends the answer, spoilt when a link fault is set for the command.
  bool Send(link::Channel &peer, std::uint16_t command, std::span<std::uint8_t> answer, bool tcp) {
    auto fault = options_.linkFaults.begin();
    while (fault != options_.linkFaults.end() && fault->command != command) {
      ++fault;
    }
    link::Damage damage = link::Damage::none;
    bool keep = true;
    if (fault != options_.linkFaults.end()) {
      const LinkFault::Kind kind = fault->kind;
      options_.linkFaults.erase(fault);
      Log("link fault on command 0x%04X", command);
      switch (kind) {
      case LinkFault::stall:
        damage = link::Damage::drop; // no answer; the host times out or asks again
        break;
      case LinkFault::cut:
        damage = link::Damage::cut;
        keep = !tcp; // and the connection closes mid-packet
        break;
      case LinkFault::corrupt:
        damage = link::Damage::flip;
        break;
      case LinkFault::long_length:
      case LinkFault::short_length:
        link::PutU32(answer, 0, kind == LinkFault::long_length ? kLongLength : kShortLength);
        if (tcp) {
          answer = answer.first(link::kHeaderSize); // and nothing more: the host must not wait
        }
        break;
      }
    }
    const HRESULT hr = peer.Send(answer, Clock::now() + timeout_, damage);
    if (FAILED(hr)) {
      Log("cannot answer: %s", link::ErrorText(hr).c_str());
      return !tcp;
    }
    return keep;
  }

  Options options_;
  Camera &camera_;
  std::unique_ptr<std::uint8_t[]> request_; // untouched pages cost no memory
  std::unique_ptr<std::uint8_t[]> response_;
  std::chrono::milliseconds timeout_;
  std::vector<link::Fd> listeners_;
  std::vector<pollfd> fds_;
  std::unique_ptr<link::Channel> host_; // the one TCP host
  std::string hostName_;
  Clock::time_point lastHeard_;         // the host's last byte, or our last answer
  Clock::time_point requestStart_;      // the first byte of its request in progress
  std::vector<Waiting> waiting_;        // newcomers, first come first
  std::unique_ptr<link::Channel> line_; // the serial line, when serving one
  link::Fd ptyHold_;
  bool wake_ = false; // the last request went unanswered
};

bool InstallSignals() {
  if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    return false;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

int Main(int argc, char **argv) {
  Options options;
  std::vector<std::string> linkFaults;
  unsigned delayMs = 0;
  CLI::App app{"Serves a Tavelo camera over TCP or a serial line: the virtual camera of STORE, "
               "or, with --relay, a camera this host reaches through a transport component."};
  app.add_option("STORE", options.store, "Store folder of the virtual camera to serve");
  app.add_option("--listen", options.listen, "Serve over TCP at HOST:PORT (port 0: any free)");
  app.add_flag("--pty", options.pty, "Serve over a new pseudo-terminal; prints its path");
  app.add_option("--serial", options.serial, "Serve over the serial line DEVICE@BAUD");
  app.add_option("--relay", options.relay, "Forward to DEVICE-ID (net:, serial: or virtual:)");
  app.add_option("--pace", options.line.pace,
                 "Serial line only: carry bytes no faster than a BAUD line (8N1, 10 bits a byte) "
                 "would, as a real line does; a pseudo-terminal alone runs at any speed")
      ->option_text("BAUD")
      ->check(CLI::Range(300u, 4000000u));
  app.add_option("--bit-errors", options.line.flipEvery,
                 "Serial line only: flip one bit in every N bytes sent or received (a noisy line)")
      ->option_text("N");
  double waitSeconds = 5;
  double idleSeconds = 60;
  app.add_option("--wait", waitSeconds,
                 "A host that connects while the camera has another waits this many seconds "
                 "for it, then is refused")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 3600.0));
  app.add_option("--idle", idleSeconds,
                 "Drop a host that sends nothing for this many seconds, freeing the camera")
      ->capture_default_str()
      ->check(CLI::Range(0.01, 1e6));
  app.add_flag("-v,--verbose", options.verbose, "Log every command");
  app.add_flag("--older-model", options.faults.older_model, "Answer 0x4A with not supported");
  app.add_option("--busy", options.faults.busy_requests, "Answer the next N requests with busy");
  app.add_option("--fail-exchange", options.faults.fail_exchange,
                 "The N-th exchange from now gets no answer");
  app.add_option("--delay", delayMs, "Answer every request this many milliseconds later");
  app.add_option("--chunk-limit", options.faults.chunk_limit, "Data chunks of at most N bytes");
  app.add_option("--total-skew", options.faults.total_skew,
                 "Chunks after the first report the total plus N");
  app.add_flag("--low-battery", options.faults.low_battery, "Report a low battery");
  app.add_option("--link-fault", linkFaults,
                 "KIND:CODE: spoil the first answer to command CODE; KIND is stall, cut, long, "
                 "short or corrupt");
  CLI11_PARSE(app, argc, argv);
  options.faults.delay = std::chrono::milliseconds(delayMs);
  options.wait = std::chrono::milliseconds(static_cast<long long>(waitSeconds * 1000));
  options.idle = std::chrono::milliseconds(static_cast<long long>(idleSeconds * 1000));

  for (const std::string &text : linkFaults) {
    const auto fault = ParseLinkFault(text);
    if (!fault) {
      Log("bad --link-fault %s (KIND:CODE, e.g. stall:0x70)", text.c_str());
      return 2;
    }
    options.linkFaults.push_back(*fault);
  }
  const int links =
      (options.listen.empty() ? 0 : 1) + (options.pty ? 1 : 0) + (options.serial.empty() ? 0 : 1);
  if (options.store.empty() == options.relay.empty() || links != 1) {
    Log("give a STORE or --relay DEVICE-ID, and either --listen (repeatable), --pty or --serial");
    return 2;
  }
  if ((options.line.pace != 0 || options.line.flipEvery != 0) && !options.listen.empty()) {
    Log("--pace and --bit-errors apply to a serial line (--pty or --serial), not to --listen");
    return 2;
  }
  if (!options.relay.empty() && !RelayCamera::ClassOf(options.relay)) {
    Log("--relay %s: not a net:, serial: or virtual: device", options.relay.c_str());
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!InstallSignals()) {
    return 1;
  }

  std::unique_ptr<Camera> camera;
  const bool relay = !options.relay.empty();
  if (relay) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    camera = std::make_unique<RelayCamera>(options.relay);
  } else {
    try {
      camera = std::make_unique<VirtualCamera>(options.store, options.faults);
    } catch (const std::exception &error) {
      Log("cannot serve %s: %s", options.store.c_str(), error.what());
      return 1;
    }
  }
  int status = 1;
  {
    Server server(options, *camera);
    if (server.Start()) {
      // A lost serial line is a failure, so that a service manager restarts
      // the daemon once the line is back.
      status = server.Run() == End::line_lost ? 3 : 0;
    }
  }
  camera.reset();
  if (relay) {
    CoUninitialize();
  }
  return status;
}

} // namespace

int main(int argc, char **argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception &error) {
    Log("%s", error.what());
    return 1;
  }
}
