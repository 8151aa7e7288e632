// The store: listing, reading and writing in chunks, deleting, directories,
// groups, tags and scripts, and what survives a restart.
#include "support.h"

#include <csignal>
#include <sys/resource.h>

namespace emutest {
namespace {

class StorageTest : public CameraTest {
protected:
  void SetUp() override {
    store.write("2/ALBUM1/IMG0001.JPG", jpeg(64, 48));
    store.write("2/ALBUM1/IMG0002.JPG", jpeg(32, 32));
    store.write("2/ALBUM1/SUB/DEEP.JPG", jpeg(16, 16));
    store.write_text("2/TOP.JPG", "not decoded here");
    store.write_text("2/NOTES.TXT", "hello");
    store.write_text("2/long-host-name.jpeg", "not nameable by the camera");
    store.write_text("2/SYSTEM/LOGO.JPG", "an image, but the camera's own");
  }
};

TEST_F(StorageTest, ListingsAndCounts) {
  EXPECT_EQ(cam.list(""), (Names{"ALBUM1/", "NOTES.TXT 5", "SYSTEM/", "TOP.JPG 16"}))
      << "the long host name is skipped";
  EXPECT_EQ(cam.list("/ALBUM1"), cam.list("ALBUM1/")) << "leading '/', no final '/'";
  const auto all = Req(cmd::file_list, 68).u32(12, 1);
  EXPECT_EQ(cam.names(all, 60), (Names{"2:ALBUM1/IMG0001.JPG", "2:ALBUM1/IMG0002.JPG",
                                       "2:ALBUM1/SUB/DEEP.JPG", "2:TOP.JPG"}))
      << "images of every directory but SYSTEM";
  EXPECT_EQ(u32(cam.ask(bare(cmd::counts)), 12), 4u);
}

// Downloads at other block sizes are compared with the store's files end to end.
TEST_F(StorageTest, ChunksFitMhbsAndTheCallersCapacity) {
  ASSERT_EQ(cam.status_of(set_param("mhbs", 1028)), 0);
  EXPECT_EQ(cam.download("ALBUM1/", "IMG0001.JPG"), store.read("2/ALBUM1/IMG0001.JPG"));
  EXPECT_EQ(cam.chunks.at(0), 1028u - 24) << "a chunk packet fills mhbs";
  Bytes response(600);
  const auto r = cam.engine().exchange(read_request(2, "ALBUM1/", "IMG0001.JPG", 0, 0), response);
  EXPECT_EQ(r.length, 600u);
  EXPECT_EQ(u32(response, 16), 600u - 24);
}

class UploadTest : public StorageTest, public ::testing::WithParamInterface<std::uint32_t> {};

// With mhbs 1080 a chunk holds 1000 bytes; a short chunk (maybe empty) ends
// the file. The old file stays whole until the chunk that completes the new.
TEST_P(UploadTest, ChunksReplaceTheFileWhenCompleteAndAnnounceItOnce) {
  const std::uint32_t total = GetParam();
  Bytes data(total);
  std::iota(data.begin(), data.end(), std::uint8_t{7});
  const Bytes old = {'o', 'l', 'd'};
  store.write("2/ALBUM1/NEW.BIN", old);
  ASSERT_EQ(cam.status_of(set_param("mhbs", 1080)), 0);
  const auto listed = cam.list("ALBUM1/");
  for (std::uint32_t offset = 0, n = 1000; n == 1000; offset += 1000) {
    const bool complete = offset == total && total > 0;
    EXPECT_EQ(store.read("2/ALBUM1/NEW.BIN"), complete ? data : old);
    if (!complete) {
      EXPECT_EQ(cam.list("ALBUM1/"), listed) << "the old file, and nothing of the new";
    }
    n = std::min<std::uint32_t>(1000, total - offset);
    const Bytes part(data.begin() + offset, data.begin() + offset + n);
    ASSERT_EQ(cam.status_of(write_chunk("ALBUM1/", "NEW.BIN", offset, total, part)), 0);
  }
  EXPECT_EQ(store.read("2/ALBUM1/NEW.BIN"), data);
  EXPECT_EQ(cam.status_word(12) & 0x02000000u, 0x02000000u) << "new file";
  EXPECT_EQ(cam.names(bare(cmd::new_file_list), 60), Names{"2:ALBUM1/NEW.BIN"});
  EXPECT_EQ(cam.names(bare(cmd::new_file_list), 60), Names{}) << "handed over once";
  EXPECT_EQ(cam.status_word(12) & 0x02000000u, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, UploadTest, ::testing::Values(2500u, 2000u, 0u));

// An upload that stops half way leaves the old file; deleting the file takes
// the unfinished upload with it.
TEST_F(StorageTest, UnfinishedUploadLeavesTheOldFileAndGoesWithItsDelete) {
  ASSERT_EQ(cam.status_of(set_param("mhbs", 1080)), 0);
  auto before = store.snapshot();
  ASSERT_EQ(cam.status_of(write_chunk("", "TOP.JPG", 0, 2500, Bytes(1000, 1))), 0);
  EXPECT_EQ(cam.status_of(write_chunk("", "TOP.JPG", 2000, 2500, Bytes(500, 1))), 5) << "a gap";
  EXPECT_EQ(store.read("2/TOP.JPG"), before.at("2/TOP.JPG"));
  ASSERT_EQ(cam.status_of(named(cmd::delete_file, 64, "", "TOP.JPG")), 0);
  before.erase("2/TOP.JPG");
  EXPECT_EQ(store.snapshot(), before) << "nothing left of the upload";
}

// A state file that cannot be written whole (past the process's file size
// limit, standing in for a full disk) is left as it was, and the camera
// answers "no space".
TEST_F(StorageTest, FullDiskLeavesTheOldStateAndAnswersNoSpace) {
  ASSERT_EQ(cam.status_of(set_tag("", "TOP.JPG", "rate", 5)), 0);
  const Bytes state = store.read("camera.state");
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = state.size();
  auto *previous = std::signal(SIGXFSZ, SIG_IGN); // EFBIG instead of the end of the process
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const auto answer = cam.status_of(set_tag("", "NOTES.TXT", "ttle", std::string("Harbour")));
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(answer, 6);
  EXPECT_EQ(store.read("camera.state"), state);
  EXPECT_FALSE(store.exists("camera.state.new"));
}

TEST_F(StorageTest, DeleteRemovesFileAndTagsAndAnExistingDirectoryIsMadeAgain) {
  ASSERT_EQ(cam.status_of(set_tag("", "TOP.JPG", "rate", 5)), 0);
  ASSERT_EQ(cam.status_of(named(cmd::delete_file, 64, "", "TOP.JPG")), 0);
  EXPECT_FALSE(store.exists("2/TOP.JPG"));
  store.write_text("2/TOP.JPG", "not decoded here");
  EXPECT_EQ(cam.status_of(get_tag("", "TOP.JPG", "rate")), 8) << "a new file has no old tags";
  EXPECT_EQ(cam.status_of(dir_request(cmd::create_directory, "TRIP/")), 0);
  EXPECT_TRUE(fs::is_directory(store.drive() / "TRIP"));
  EXPECT_EQ(cam.status_of(dir_request(cmd::create_directory, "TRIP/")), 0) << "exists already";
}

TEST_F(StorageTest, GroupsGatherTheirMembersWithTheirTags) {
  ASSERT_EQ(cam.status_of(set_tag("", "TOP.JPG", "ttle", std::string("Sunset"))), 0);
  ASSERT_EQ(cam.status_of(group("HOLIDAY", {{"", "TOP.JPG"}, {"ALBUM1/", "IMG0002.JPG"}})), 0);
  EXPECT_EQ(cam.text(get_tag("HOLIDAY/", "TOP.JPG", "ttle")), "Sunset");
  ASSERT_EQ(cam.status_of(group("EMPTY", {})), 0);
  EXPECT_EQ(cam.names(bare(cmd::group_list), 36), (Names{"2:EMPTY/", "2:HOLIDAY/"}));
  ASSERT_EQ(cam.status_of(dir_request(cmd::remove_directory, "EMPTY/")), 0);
  EXPECT_EQ(cam.names(bare(cmd::group_list), 36), Names{"2:HOLIDAY/"}) << "its directory gone";
}

TEST_F(StorageTest, ScriptsSetParametersMakeDirectoriesAndTakePictures) {
  store.write_text("2/SYSTEM/SETUP.CSM",
                   "# Night setup\nset flsh 1\nmkdir NIGHT\nset iqal 3\ncapture\n");
  ASSERT_EQ(cam.status_of(run_script("SETUP.CSM")), 0);
  EXPECT_TRUE(fs::is_directory(store.drive() / "NIGHT"));
  EXPECT_EQ(cam.number(get_param("iqal")), 3u);
  EXPECT_TRUE(store.exists("2/DCIM/100TAVEL/IMG0001.JPG"));
}

TEST_F(StorageTest, WhatTheHostSetsSurvivesARestart) {
  const Bytes clock = set_clock(0x00061599, 0x00101010);
  ASSERT_EQ(cam.status_of(clock), 0);
  ASSERT_EQ(cam.status_of(set_param("wbal", 3)), 0);
  ASSERT_EQ(cam.status_of(set_param("ownr", std::string("Grace"))), 0);
  const auto lab = Req(cmd::set_user_default, 52).u32(12, 1).tag(16, "cnam").text(20, 32, "Lab");
  ASSERT_EQ(cam.status_of(lab), 0);
  ASSERT_EQ(cam.status_of(set_tag("ALBUM1/", "IMG0001.JPG", "rate", 4)), 0);
  ASSERT_EQ(cam.status_of(set_tag("", "NOTES.TXT", "ttle", std::string("Harbour"))), 0);
  ASSERT_EQ(cam.status_of(group("HOLIDAY", {{"", "TOP.JPG"}})), 0);
  ASSERT_EQ(cam.status_of(capture(0, 0)), 0);

  Camera again(store.root());
  auto now = again.ask(bare(cmd::get_clock));
  EXPECT_EQ(Bytes(now.begin() + 12, now.end()), Bytes(clock.begin() + 12, clock.end()));
  EXPECT_EQ(again.number(get_param("wbal")), 3u);
  EXPECT_EQ(again.text(get_param("ownr")), "Grace");
  EXPECT_EQ(again.text(Req(cmd::get_default, 20).u32(12, 1).tag(16, "cnam")), "Lab");
  EXPECT_EQ(again.ask(get_tag("ALBUM1/", "IMG0001.JPG", "rate")),
            Bytes(Req(cmd::get_tag, 56).u32(12, 1).tag(16, "rate").u32(20, 1).u32(24, 4)));
  const auto title = again.ask(get_tag("", "NOTES.TXT", "ttle"));
  EXPECT_EQ(u32(title, 20), 8u);
  EXPECT_EQ(wire::get_text(title, 24, 32), "Harbour");
  EXPECT_EQ(again.names(bare(cmd::group_list), 36), Names{"2:HOLIDAY/"});
  ASSERT_EQ(again.status_of(capture(0, 0)), 0);
  EXPECT_TRUE(store.exists("2/DCIM/100TAVEL/IMG0002.JPG")) << "image numbers continue";
}

} // namespace
} // namespace emutest
