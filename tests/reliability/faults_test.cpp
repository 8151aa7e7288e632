// Faults from the link, end to end through the virtual camera: each gives a
// documented result, the next command reconnects, and a host file being
// replaced stays whole until its new content is complete.
#include "virtual_store.h"

#include <csignal>
#include <sys/resource.h>

namespace reliability {
namespace {

bool Failed(CAMRESULT result) { return FAILED(result); }
bool Succeeded(CAMRESULT result) { return result == S_OK; }
bool Busy(CAMRESULT result) { return result == CAM_E_BUSY; }

struct Fault {
  const char *name;
  const char *switches; // camera.conf
  const char *call;     // an entry of kExportCalls
  bool (*expected)(CAMRESULT);
};

const Fault kFaults[] = {
    {"TransportFailsMidDownload", "chunk_limit = 1000\nfail_exchange = 4\n", "GetFileData", Failed},
    {"TransportFailsMidUpload", "fail_exchange = 5\n", "CopyFileToCamera", Failed},
    {"TransportFailsMidCopyToHost", "chunk_limit = 1000\nfail_exchange = 4\n", "CopyFileFromCamera", Failed},
    {"BusyStorm", "busy = 40\n", "GetImageCount", Busy},
    {"TotalGrowsMidDownload", "chunk_limit = 1000\ntotal_skew = 3000\n", "GetFileData", Failed},
    {"TotalShrinksMidDownload", "chunk_limit = 1000\ntotal_skew = -3000\n", "CopyFileFromCamera", Failed},
    {"SlowAnswers", "delay_ms = 20\n", "GetThumbnail", Succeeded},
};

class LinkFault : public VirtualStore, public ::testing::WithParamInterface<Fault> {
protected:
  std::vector<std::string> HostFiles() const {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string HostText(const char *name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
};

TEST_P(LinkFault, GivesADocumentedResultAndTheNextCommandReconnects) {
  const Fault &fault = GetParam();
  Configure(fault.switches);
  std::ofstream(dir_ / "down.jpg") << "old";
  const auto before = HostFiles();
  HCAMERA camera = Bind();
  const auto call = std::find_if(kExportCalls.begin(), kExportCalls.end(), [&](const ExportCall &c) {
    return std::string(c.name) == fault.call;
  });
  const CAMRESULT result = call->call(camera);
  EXPECT_TRUE(fault.expected(result)) << std::hex << result;
  EXPECT_TRUE((result & 0xFFFF0000u) == 0xCFFA0000u || result == E_FAIL || SUCCEEDED(result)) << std::hex << result;
  CAMRESULT next = CAM_E_BUSY;
  for (int attempt = 0; attempt < 64 && next == CAM_E_BUSY; ++attempt) {
    ULONG count = 0;
    next = TaveloGetImageCount(camera, &count);
  }
  EXPECT_EQ(next, S_OK) << "the next command works";
  EXPECT_EQ(HostFiles(), before) << "no half-written host file";
  EXPECT_EQ(HostText("down.jpg"), "old") << "the old host file is kept";
  EXPECT_EQ(TaveloCloseCamera(camera), S_OK);
}

INSTANTIATE_TEST_SUITE_P(VirtualCamera, LinkFault, ::testing::ValuesIn(kFaults),
                         [](const auto &info) { return std::string(info.param.name); });

// A host file that cannot be written in full (the file size limit stands in
// for a full disk) fails the copy and keeps the file it was to replace; once
// writing works, the copy replaces it with the camera's file.
TEST_F(LinkFault, CopyToAHostFileReplacesItOnlyWhenComplete) {
  std::ofstream(dir_ / "down.jpg") << "old";
  const auto before = HostFiles();
  HCAMERA camera = Bind();
  const FH board = Handle("2:ALBUM1/BOARD.JPG");
  const std::string target = (dir_ / "down.jpg").string();
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 1024;
  std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  const CAMRESULT limited = TaveloCopyFileFromCamera(camera, target.c_str(), &board);
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_TRUE(FAILED(limited)) << std::hex << limited;
  EXPECT_EQ(HostText("down.jpg"), "old");
  EXPECT_EQ(HostFiles(), before);
  ASSERT_EQ(TaveloCopyFileFromCamera(camera, target.c_str(), &board), S_OK);
  std::ifstream in(dir_ / "store" / "2" / "ALBUM1" / "BOARD.JPG", std::ios::binary);
  EXPECT_EQ(HostText("down.jpg"), std::string(std::istreambuf_iterator<char>(in), {}));
  EXPECT_EQ(TaveloCloseCamera(camera), S_OK);
}

} // namespace
} // namespace reliability
