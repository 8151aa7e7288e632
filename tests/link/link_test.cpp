// The network and serial transports end to end: the library's public
// interface on this side, a real loopback socket or pseudo-terminal in the
// middle, and tavelo-camd serving a demo store (or relaying) on the far side.
#include "link.h"
#include "tavelo/transport.h"
#include "virtual_camera.h"

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace e2e {
namespace {

constexpr char kNetClass[] = "{7D41A0E3-52C9-4B17-9A3B-00A0C93E71B4}";
constexpr char kSerialClass[] = "{0B6E2F40-8D15-4B17-9A62-00A0C93E71B4}";
constexpr char kPhoto[] = "TRIP/RAINBOW.JPG"; // several chunks long

// tavelo-camd as a child process; its output lines are collected as they come.
class Daemon {
public:
  explicit Daemon(std::vector<std::string> args) {
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    args.insert(args.begin(), CAMD);
    std::vector<char *> argv;
    for (std::string &arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, CAMD, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    reader_ = std::thread([this, in = fdopen(out[0], "r")] {
      std::array<char, 512> line{};
      while (std::fgets(line.data(), line.size(), in) != nullptr) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line.data(), std::strcspn(line.data(), "\n"));
        changed_.notify_all();
      }
      std::fclose(in);
      std::lock_guard lock(mutex_);
      ended_ = true;
      changed_.notify_all();
    });
  }
  ~Daemon() { Stop(SIGTERM); }

  // What follows `text` in the first output line holding it; empty when the
  // daemon ended without printing it.
  std::string Await(const std::string &text) {
    std::unique_lock lock(mutex_);
    std::string found;
    changed_.wait(lock, [&] {
      for (const std::string &line : lines_) {
        if (const auto at = line.find(text); at != std::string::npos) {
          found = line.substr(at + text.size());
          return true;
        }
      }
      return ended_;
    });
    return found;
  }
  // The exit status after `signal`.
  int Stop(int signal) {
    int status = -1;
    if (pid_ > 0) {
      kill(pid_, signal);
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    if (reader_.joinable()) {
      reader_.join();
    }
    return status;
  }

private:
  pid_t pid_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool ended_ = false;
  std::thread reader_;
};

class Link : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = std::string(E2E_TMP) + "/linkXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    ASSERT_GE(TaveloInitialize(1), 0);
  }
  void TearDown() override {
    for (HCAMERA camera : cameras_) {
      TaveloCloseCamera(camera);
    }
    TaveloUninitialize();
    unsetenv("TAVELO_NET_CAMERAS");
    unsetenv("TAVELO_SERIAL_CAMERAS");
    daemons_.clear();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  fs::path Store(const std::string &name) {
    tavelo::emu::make_demo_store(dir_ / name);
    return dir_ / name;
  }
  Daemon &Start(std::vector<std::string> args) {
    return *daemons_.emplace_back(std::make_unique<Daemon>(std::move(args)));
  }
  // Serves `store` over TCP or a pty; gives the device identifier.
  std::string Serve(const fs::path &store, bool serial, std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), store.string());
    if (serial) {
      extra.emplace_back("--pty");
      return "serial:" + Start(extra).Await("serving on ") + "@115200";
    }
    extra.insert(extra.end(), {"--listen", "127.0.0.1:0"});
    return "net:" + Start(extra).Await("listening on ");
  }
  HCAMERA Bind(const std::string &id) {
    DEVICE_INFO record = DeviceRecord(id.starts_with("net:") ? kNetClass : kSerialClass, id);
    HCAMERA camera = nullptr;
    EXPECT_EQ(TaveloBindCamera(&camera, &record), S_OK);
    VariantClear(&record.deviceId);
    return cameras_.emplace_back(camera);
  }
  static HRESULT Clock(HCAMERA camera) {
    SYSTEMTIME time{};
    return TaveloGetCameraTime(camera, &time);
  }
  static HRESULT Download(HCAMERA camera, const std::string &path, Bytes *data) {
    FH file = Handle("2:" + path);
    BYTE *block = nullptr;
    ULONG size = 0;
    const HRESULT result = TaveloGetFileData(camera, &file, 0, &block, &size);
    *data = block != nullptr ? Bytes(block, block + size) : Bytes{};
    CoTaskMemFree(block);
    return result;
  }
  // Uploads noise as TRIP/UP.BIN; true when the store holds exactly it.
  bool Upload(HCAMERA camera, const fs::path &store) {
    Bytes noise(70000);
    std::generate(noise.begin(), noise.end(),
                  [n = 7u]() mutable { return (n = n * 69069 + 1) >> 24; });
    PutHostBytes(dir_ / "up.bin", noise);
    FH dir = Handle("2:TRIP/");
    FH *made = nullptr;
    EXPECT_EQ(TaveloCopyFileToCamera(camera, (dir_ / "up.bin").c_str(), &dir, "UP.BIN", &made),
              S_OK);
    TaveloCloseFile(camera, made);
    return HostBytes(store / "2/TRIP/UP.BIN") == noise;
  }
  fs::path dir_;
  std::vector<std::unique_ptr<Daemon>> daemons_;
  std::vector<HCAMERA> cameras_;
};

class EveryCommand : public Link, public ::testing::WithParamInterface<bool> {};

TEST_P(EveryCommand, CrossesTheLinkAsInProcess) {
  const fs::path store = Store("store");
  const std::string id = Serve(store, GetParam());
  ASSERT_EQ(setenv(GetParam() ? "TAVELO_SERIAL_CAMERAS" : "TAVELO_NET_CAMERAS", id.c_str(), 1), 0);
  ULONG count = 0;
  DEVICE_INFO *records = nullptr;
  ASSERT_EQ(TaveloEnumCameras(&count, &records), S_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(records[0].ptid, "Virtual Camera VC-1") << "read over the link";
  EXPECT_STREQ(records[0].transportClsid, GetParam() ? kSerialClass : kNetClass);
  HCAMERA camera = nullptr;
  ASSERT_EQ(TaveloBindCamera(&camera, &records[0]), S_OK);
  cameras_.push_back(camera);
  VariantClear(&records[0].deviceId);
  CoTaskMemFree(records);

  FH **handles = nullptr;
  ASSERT_EQ(TaveloGetAllImagesList(camera, &count, &handles), S_OK);
  std::vector<std::string> names;
  for (ULONG i = 0; i < count; ++i) {
    names.emplace_back(handles[i]->path);
    TaveloCloseFile(camera, handles[i]);
  }
  EXPECT_NE(std::find(names.begin(), names.end(), std::string("2:") + kPhoto), names.end());
  Bytes photo;
  ASSERT_EQ(Download(camera, kPhoto, &photo), S_OK);
  EXPECT_EQ(photo, HostBytes(store / "2" / kPhoto));
  EXPECT_TRUE(Upload(camera, store));

  VARIANT value;
  VariantInit(&value);
  value.vt = VT_UI4;
  value.ulVal = 3;
  ASSERT_EQ(TaveloSetParameter(camera, Tag("iqal"), value), S_OK);
  ASSERT_EQ(TaveloGetParameter(camera, Tag("iqal"), &value), S_OK);
  EXPECT_EQ(value.ulVal, 3u);

  Events events;
  ASSERT_EQ(events.Subscribe(camera, 1), S_OK);
  const CAPTURE_REQUEST single{0, 0, 0, 0};
  ASSERT_EQ(TaveloStartCapture(camera, &single), S_OK);
  EXPECT_TRUE(events.Await(1));
  TaveloCloseCamera(camera); // with its notification thread, before `events` goes
  cameras_.clear();
  EXPECT_EQ(daemons_[0]->Stop(SIGTERM), 0) << "a clean stop";
}

INSTANTIATE_TEST_SUITE_P(NetAndPty, EveryCommand, ::testing::Bool());

struct Fault {
  bool serial;
  const char *kind;
};

class LinkFault : public Link, public ::testing::WithParamInterface<Fault> {};

// The first answer to a clock read (0x70) misbehaves: that command fails,
// nothing hangs (a transport that waited for the long packet's body would),
// and the next command reconnects and works.
TEST_P(LinkFault, FailsOneExchangeAndTheNextCommandWorks) {
  const bool stall = std::string(GetParam().kind) == "stall";
  ASSERT_EQ(setenv("TAVELO_LINK_TIMEOUT_MS", stall ? "1500" : "600000", 1), 0);
  const std::string id = Serve(Store("store"), GetParam().serial,
                               {"--link-fault", std::string(GetParam().kind) + ":0x70"});
  HCAMERA camera = Bind(id);
  EXPECT_LT(Clock(camera), 0);
  EXPECT_EQ(Clock(camera), S_OK);
  EXPECT_EQ(daemons_[0]->Await("link fault on command "), "0x0070");
  unsetenv("TAVELO_LINK_TIMEOUT_MS");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LinkFault,
    ::testing::Values(Fault{false, "stall"}, Fault{false, "cut"}, Fault{false, "long"},
                      Fault{false, "short"}, Fault{true, "stall"}, Fault{true, "cut"},
                      Fault{true, "long"}, Fault{true, "short"}, Fault{true, "corrupt"}),
    [](const auto &info) {
      return (info.param.serial ? "pty_" : "net_") + std::string(info.param.kind);
    });

TEST_F(Link, RestartedDaemonServesTheNextCommand) {
  const fs::path store = Store("store");
  const std::string id = Serve(store, false);
  HCAMERA camera = Bind(id);
  ASSERT_EQ(Clock(camera), S_OK);
  daemons_[0]->Stop(SIGKILL);
  EXPECT_LT(Clock(camera), 0) << "nobody listens";
  Start({store.string(), "--listen", id.substr(4)}).Await("listening on ");
  EXPECT_EQ(Clock(camera), S_OK);
  ASSERT_EQ(Clock(camera), S_OK);
  daemons_[1]->Stop(SIGKILL); // and again, between two commands: reconnects unseen
  Start({store.string(), "--listen", id.substr(4)}).Await("listening on ");
  EXPECT_EQ(Clock(camera), S_OK);
}

TEST_F(Link, SecondHostIsRefusedWhileTheFirstIsConnected) {
  const std::string id = Serve(Store("store"), false);
  HCAMERA first = Bind(id);
  ASSERT_EQ(Clock(first), S_OK);
  HCAMERA second = Bind(id);
  EXPECT_LT(Clock(second), 0);
  EXPECT_NE(daemons_[0]->Await("refused "), "");
  EXPECT_EQ(Clock(first), S_OK);
}

TEST_F(Link, TwoSessionsTwoDaemonsInParallel) {
  const fs::path stores[] = {Store("a"), Store("b")};
  const std::string ids[] = {Serve(stores[0], false), Serve(stores[1], true)};
  std::vector<std::thread> sessions;
  for (int i = 0; i < 2; ++i) {
    HCAMERA camera = Bind(ids[i]);
    sessions.emplace_back([camera, store = stores[i]] {
      for (int round = 0; round < 3; ++round) {
        Bytes photo;
        EXPECT_EQ(Download(camera, kPhoto, &photo), S_OK);
        EXPECT_EQ(photo, HostBytes(store / "2" / kPhoto));
      }
    });
  }
  for (std::thread &session : sessions) {
    session.join();
  }
}

TEST_F(Link, RelayForwardsToAPtyServedStore) {
  const fs::path store = Store("store");
  const std::string pty = Serve(store, true);
  const std::string port =
      Start({"--relay", pty, "--listen", "127.0.0.1:0"}).Await("listening on ");
  HCAMERA camera = Bind("net:" + port);
  Bytes photo;
  ASSERT_EQ(Download(camera, kPhoto, &photo), S_OK);
  EXPECT_EQ(photo, HostBytes(store / "2" / kPhoto));
  EXPECT_TRUE(Upload(camera, store));
}

// A serial line in one stream: noise, a late answer to an earlier request
// (sequence 5), a damaged frame, then the answer awaited (sequence 6). Only
// the damage is reported, and the awaited packet still decodes byte-exact.
TEST(SerialFraming, SkipsStaleFramesAndResynchronisesAfterDamage) {
  using namespace tavelo::link;
  Bytes packet = {0, 0, 0, 12, 1, 0, 0, 0, 0, 0x70, 0, 0, kEnd, kEsc, kEscEnd, 0};
  Bytes line = {0x55, kEsc, 0x01}, frame;
  for (const std::uint8_t sequence : {5, 6, 6}) {
    EncodeFrame(sequence, packet, frame);
    line.insert(line.end(), frame.begin(), frame.end());
  }
  line[line.size() - frame.size() - 3] ^= 0x40; // in the CRC of the first frame of sequence 6
  Bytes out(packet.size());
  FrameDecoder decoder(out, 6);
  std::vector<Read> reads;
  for (std::span<const std::uint8_t> rest(line); !rest.empty();) {
    const auto step = decoder.Feed(rest);
    rest = rest.subspan(step.used);
    reads.push_back(step.read);
  }
  EXPECT_EQ(reads, (std::vector<Read>{Read::bad_frame, Read::done}));
  EXPECT_EQ(out, packet);
  EXPECT_EQ(decoder.size(), packet.size());
}

// Opening a link that cannot be opened names the system's reason.
TEST(LinkOpen, FailsWithTheWindowsErrorOfTheCause) {
  struct Case {
    const CLSID &clsid;
    const char *id;
    HRESULT expected;
  };
  const Case cases[] = {
      {CLSID_TaveloNetTransport, "net:127.0.0.1:1", HRESULT_FROM_WIN32(tavelo::link::kWsaRefused)},
      {CLSID_TaveloNetTransport, "net:no.such.host.invalid:80",
       HRESULT_FROM_WIN32(tavelo::link::kWsaHostNotFound)},
      {CLSID_TaveloNetTransport, "net:::1:80", E_INVALIDARG}, // IPv6 needs brackets
      {CLSID_TaveloSerialTransport, "serial:/no/such/tty@9600",
       HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
      {CLSID_TaveloSerialTransport, "serial:/dev/null@9600",
       HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)},
      {CLSID_TaveloSerialTransport, "serial:/dev/null@12345", E_INVALIDARG},
  };
  ASSERT_GE(CoInitializeEx(nullptr, COINIT_MULTITHREADED), 0);
  for (const Case &c : cases) {
    void *object = nullptr;
    ASSERT_EQ(
        CoCreateInstance(c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITaveloTransport, &object),
        S_OK);
    auto *transport = static_cast<ITaveloTransport *>(object);
    VARIANT id;
    VariantInit(&id);
    id.vt = VT_BSTR;
    id.bstrVal = SysAllocString(std::u16string(c.id, c.id + std::strlen(c.id)).c_str());
    transport->Configure(id);
    EXPECT_EQ(transport->Open(), c.expected) << c.id;
    EXPECT_EQ(tavelo::link::ErrorText(c.expected).find("Error 0x"), std::string::npos) << c.id;
    VariantClear(&id);
    transport->Release();
  }
  CoUninitialize();
}

} // namespace
} // namespace e2e
