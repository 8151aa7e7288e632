// Faults from the link, end to end through the virtual camera: each gives a
// documented result, the next command reconnects, and a host file being
// replaced stays whole until its new content is complete.
#include "virtual_store.h"

namespace reliability {
namespace {

struct Fault {
  const char *name;
  const char *switches; // camera.conf
  const char *call;     // an entry of kExportCalls
  CAMRESULT expected;
};

// A failed exchange is passed on as the transport gave it (E_FAIL from the
// virtual camera); totals that change mid-transfer are bad data.
const Fault kFaults[] = {
    {"TransportFailsMidDownload", "chunk_limit = 1000\nfail_exchange = 4\n", "GetFileData", E_FAIL},
    {"TransportFailsMidUpload", "fail_exchange = 5\n", "CopyFileToCamera", E_FAIL},
    {"TransportFailsMidCopyToHost", "chunk_limit = 1000\nfail_exchange = 4\n", "CopyFileFromCamera",
     E_FAIL},
    {"BusyStorm", "busy = 40\n", "GetImageCount", CAM_E_BUSY},
    {"TotalGrowsMidDownload", "chunk_limit = 1000\ntotal_skew = 3000\n", "GetFileData",
     CAM_E_BAD_DATA},
    {"TotalShrinksMidCopy", "chunk_limit = 1000\ntotal_skew = -3000\n", "CopyFileFromCamera",
     CAM_E_BAD_DATA},
    {"SlowAnswers", "delay_ms = 20\n", "GetThumbnail", S_OK},
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
  const CAMRESULT result = Named(fault.call).call(camera);
  EXPECT_EQ(result, fault.expected) << std::hex << result;
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

} // namespace
} // namespace reliability
