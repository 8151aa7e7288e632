// Initialise, bind and close through the exported functions.
#include "api/checks.h"
#include "fake_transport.h"
#include "tavelo/tavelort.h"
#include "tavelocam.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using tavelo::test::FakeCamera;

struct Box {
  std::string text;
  std::string caption;
};

class BoxCapture {
public:
  BoxCapture() { tavelort_set_message_box_hook(&BoxCapture::Hook, this); }
  ~BoxCapture() { tavelort_set_message_box_hook(nullptr, nullptr); }
  const std::vector<Box> &boxes() const { return boxes_; }

private:
  static void Hook(const char *text, const char *caption, void *self) {
    static_cast<BoxCapture *>(self)->boxes_.push_back({text, caption});
  }
  std::vector<Box> boxes_;
};

// An anonymous mapping with the given protection, unmapped on destruction.
class Pages {
public:
  explicit Pages(int protection)
      : size_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))),
        base_(mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {
    protection_ = protection;
  }
  ~Pages() { munmap(base_, size_); }
  void *get() const { return base_; }
  void Protect() { mprotect(base_, size_, protection_); }

private:
  std::size_t size_;
  void *base_;
  int protection_;
};

class LifecycleTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_GE(TaveloInitialize(1), 0); }
  void TearDown() override { TaveloUninitialize(); }
};

TEST(Initialize, RefusesUnknownModesAndReportsARepeat) {
  for (LONG mode : {0, 3, -1}) {
    EXPECT_EQ(TaveloInitialize(mode), CAM_E_BAD_PARAMETER) << mode;
  }
  std::thread([] {
    EXPECT_EQ(TaveloInitialize(1), S_OK);
    EXPECT_EQ(TaveloInitialize(1), S_FALSE);
    EXPECT_EQ(TaveloUninitialize(), S_OK);
    EXPECT_EQ(TaveloUninitialize(), S_OK);
  }).join();
}

TEST_F(LifecycleTest, BindChecksItsPointersAndClearsTheHandle) {
  HCAMERA camera = reinterpret_cast<HCAMERA>(0x1234);
  EXPECT_EQ(TaveloBindCamera(&camera, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(camera, nullptr);
  DEVICE_INFO record{};
  EXPECT_EQ(TaveloBindCamera(nullptr, &record), CAM_E_BAD_PARAMETER);
}

TEST_F(LifecycleTest, BindWithEmptyTransportSucceedsAndTheFirstCommandFails) {
  DEVICE_INFO record{};
  HCAMERA camera = nullptr;
  ASSERT_EQ(TaveloBindCamera(&camera, &record), S_OK);
  ASSERT_NE(camera, nullptr);
  tavelo::CameraSession *session = tavelo::ResolveHandle(camera);
  ASSERT_NE(session, nullptr);
  {
    tavelo::Command command(*session);
    EXPECT_EQ(command.BeginResult(), CAM_E_COMM);
  }
  EXPECT_EQ(TaveloCloseCamera(camera), S_OK);
}

TEST_F(LifecycleTest, BindContactsNothingAndCloseReleasesTheComponent) {
  FakeCamera fake;
  DEVICE_INFO record = fake.Record();
  HCAMERA camera = nullptr;
  ASSERT_EQ(TaveloBindCamera(&camera, &record), S_OK);
  VariantClear(&record.deviceId); // the session keeps its own copy
  EXPECT_EQ(fake.InstancesCreated(), 0);
  BoxCapture boxes;
  EXPECT_EQ(TaveloCloseCamera(camera), S_OK);
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(LifecycleTest, CloseSurvivesNullHandlesAndCellsQuietly) {
  BoxCapture boxes;
  EXPECT_EQ(TaveloCloseCamera(nullptr), S_OK);
  auto *cell = static_cast<void **>(HeapAlloc(GetProcessHeap(), 0, sizeof(void *)));
  *cell = nullptr;
  EXPECT_EQ(TaveloCloseCamera(cell), S_OK); // frees the cell: ASan would report a leak otherwise
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(LifecycleTest, CloseReportsAnUnreadableSessionAndStillFreesTheCell) {
  Pages session(PROT_NONE);
  session.Protect();
  auto *cell = static_cast<void **>(HeapAlloc(GetProcessHeap(), 0, sizeof(void *)));
  *cell = session.get();
  BoxCapture boxes;
  EXPECT_EQ(TaveloCloseCamera(cell), S_OK);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, "Blow up in close camera: pCam is bogus");
  EXPECT_EQ(boxes.boxes()[0].caption, "Fault");
}

TEST_F(LifecycleTest, CloseReportsAnUnreadableHandle) {
  Pages cell(PROT_NONE);
  cell.Protect();
  BoxCapture boxes;
  EXPECT_EQ(TaveloCloseCamera(cell.get()), S_OK);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, "Blow up in close camera: hCamera is bogus");
}

} // namespace
