#include <gtest/gtest.h>
#include <sys/stat.h>

#include "protocol/ReceiverState.h"
#include "UploadTestSupport.h"

namespace kelvane {
namespace {

using test::Bytes;
using test::Entries;
using test::ReadFile;
using test::Text;
using test::WriteFile;

// Every case runs twice: with the unnamed temporary file the file system
// offers here, and with the named one used where it offers none.
class UploadFileTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.Ok());
    CUploadFile::UseNamedTemporaryForTest(GetParam());
  }
  void TearDown() override { CUploadFile::UseNamedTemporaryForTest(false); }

  // Names in the directory other than the ones the test made itself.
  std::set<std::string> Extra(const std::set<std::string>& own) {
    std::set<std::string> extra;
    for (auto& n : Entries())
      if (!own.count(n)) extra.insert(n);
    return extra;
  }

  test::CScratchDir dir;
};

TEST_P(UploadFileTest, TheDestinationChangesOnlyAtCommit) {
  for (const bool earlier : {true, false}) {
    SCOPED_TRACE(earlier ? "earlier file" : "fresh name");
    std::filesystem::remove("Boot.Dat");
    if (earlier) WriteFile("Boot.Dat", Text("earlier backup"));
    CUploadFile f;
    ASSERT_TRUE(f.Open("Boot.Dat"));
    EXPECT_TRUE(f.IsOpen());
    const Bytes area = test::Area(5000);
    ASSERT_TRUE(f.Append(area.data(), 2048));
    ASSERT_TRUE(f.Append(area.data() + 2048, 2952));

    // While the data arrive the destination name shows what it showed before;
    // a temporary file, if it has a name at all, is hidden and cannot be
    // taken for an area file.
    EXPECT_EQ(test::Exists("Boot.Dat"), earlier);
    if (earlier) {
      EXPECT_EQ(ReadFile("Boot.Dat"), Text("earlier backup"));
    }
    const auto extra = Extra({"Boot.Dat"});
    if (GetParam()) {
      ASSERT_EQ(extra.size(), 1u);
      EXPECT_EQ(extra.begin()->rfind(".Boot.Dat.part-", 0), 0u) << *extra.begin();
    } else {
      EXPECT_TRUE(extra.empty());
    }

    ASSERT_TRUE(f.Commit());
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(ReadFile("Boot.Dat"), area);
    EXPECT_EQ(Entries(), std::set<std::string>{"Boot.Dat"});
  }
}

TEST_P(UploadFileTest, AnUnfinishedFileLeavesNoTrace) {
  enum class End { Discard, Destroy, Reopen };
  for (const End end : {End::Discard, End::Destroy, End::Reopen}) {
    for (const bool earlier : {true, false}) {
      SCOPED_TRACE(::testing::Message() << "end " << static_cast<int>(end) << (earlier ? " earlier file" : " fresh name"));
      std::filesystem::remove("Data.Dat");
      if (earlier) WriteFile("Data.Dat", Text("earlier backup"));
      {
        CUploadFile f;
        ASSERT_TRUE(f.Open("Data.Dat"));
        const Bytes part = test::Area(3000);
        ASSERT_TRUE(f.Append(part.data(), 3000));
        if (end == End::Discard) {
          f.Discard();
          EXPECT_FALSE(f.IsOpen());
          EXPECT_FALSE(f.Commit());  // nothing left to commit
        }
        if (end == End::Reopen) {
          // A new Upload on the same connection drops the unfinished one.
          ASSERT_TRUE(f.Open("Key.Dat"));
          f.Discard();
        }
      }
      EXPECT_EQ(test::Exists("Data.Dat"), earlier);
      if (earlier) {
        EXPECT_EQ(ReadFile("Data.Dat"), Text("earlier backup"));
      }
      EXPECT_EQ(Entries(), earlier ? std::set<std::string>{"Data.Dat"} : std::set<std::string>{});
    }
  }
}

TEST_P(UploadFileTest, RefusesNamesItCannotCreateOrMustNotReplace) {
  std::filesystem::create_directory("adir");
  struct Case {
    const char* path;
    const char* why;
  } cases[] = {
      {"", "an empty status text names no file"},
      {"missing/Flash.Dat", "a directory that does not exist"},
      {"adir", "a directory of that name"},
      {"Flash.Dat/", "a name ending in a slash"},
      {"/dev/null", "a device: renaming over it would destroy it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    CUploadFile f;
    EXPECT_FALSE(f.Open(c.path));
    EXPECT_FALSE(f.IsOpen());
    const Bytes b = Text("x");
    EXPECT_FALSE(f.Append(b.data(), 1));
    EXPECT_FALSE(f.Commit());
  }
  EXPECT_EQ(Entries(), std::set<std::string>{"adir"});
  EXPECT_TRUE(Entries("adir").empty());
  struct stat st {};
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_P(UploadFileTest, AFullDiskFailsTheWriteAndKeepsTheEarlierFile) {
  WriteFile("Flash.Dat", Text("earlier backup"));
  CUploadFile f;
  ASSERT_TRUE(f.Open("Flash.Dat"));
  const Bytes area = test::Area(8192);
  {
    test::CFileSizeLimit limit(4096);
    ASSERT_TRUE(f.Append(area.data(), 2048));
    ASSERT_TRUE(f.Append(area.data() + 2048, 2048));
    EXPECT_FALSE(f.Append(area.data() + 4096, 2048));
  }
  f.Discard();
  EXPECT_EQ(ReadFile("Flash.Dat"), Text("earlier backup"));
  EXPECT_EQ(Entries(), std::set<std::string>{"Flash.Dat"});
}

TEST_P(UploadFileTest, TheNewFileGetsTheModeOfAPlainCreate) {
  const mode_t old = umask(027);
  CUploadFile f;
  ASSERT_TRUE(f.Open("Key.Dat"));
  ASSERT_TRUE(f.Commit());
  umask(old);
  struct stat st {};
  ASSERT_EQ(stat("Key.Dat", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_TRUE(ReadFile("Key.Dat").empty());
}

TEST_P(UploadFileTest, ASymbolicLinkIsWrittenThrough) {
  std::filesystem::create_directory("backups");
  WriteFile("backups/Program.Dat", Text("earlier backup"));
  std::filesystem::create_symlink("backups/Program.Dat", "Program.Dat");
  CUploadFile f;
  ASSERT_TRUE(f.Open("Program.Dat"));
  const Bytes area = test::Area(100);
  ASSERT_TRUE(f.Append(area.data(), 100));
  ASSERT_TRUE(f.Commit());
  EXPECT_TRUE(std::filesystem::is_symlink("Program.Dat"));
  EXPECT_EQ(ReadFile("backups/Program.Dat"), area);
  EXPECT_EQ(Entries("backups"), std::set<std::string>{"Program.Dat"});
}

TEST_P(UploadFileTest, ACommitThatCannotPutTheFileInPlaceFails) {
  std::filesystem::create_directory("backups");
  CUploadFile f;
  ASSERT_TRUE(f.Open("backups/Boot.Dat"));
  const Bytes area = test::Area(100);
  ASSERT_TRUE(f.Append(area.data(), 100));
  std::filesystem::rename("backups", "moved");
  EXPECT_FALSE(f.Commit());
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(Entries(), std::set<std::string>{"moved"});
  // A named temporary file moved with its directory; it is not removed from
  // there, but it is hidden and never takes the destination's name.
  for (const auto& n : Entries("moved")) EXPECT_EQ(n.rfind(".Boot.Dat.part-", 0), 0u) << n;
}

INSTANTIATE_TEST_SUITE_P(Temporary, UploadFileTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Named" : "Unnamed"; });

}  // namespace
}  // namespace kelvane
