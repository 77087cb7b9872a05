// The Linux folder rules on folders of the test's own: where an install keeps its
// shipped and its learner's files, and a learner's first start from a system install,
// including one cut short half-way and one that cannot finish.
#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include "platform/linux/learner_files.h"
#include "tests/support/TestService.h"

namespace fs = boost::filesystem;

namespace {

unsigned modeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 01000;
}

TEST(LearnerFolders, FollowWhereTheProgramIsAndWhetherItsFolderIsWritable) {
  platform::ProgramFolders own = platform::programFoldersFor("/home/l/build", true, nullptr, "/home/l");
  EXPECT_FALSE(own.separate);
  EXPECT_EQ(own.shipped, "/home/l/build");
  EXPECT_EQ(own.learner, "/home/l/build");

  platform::ProgramFolders system =
      platform::programFoldersFor("/usr/lib/pianocorvida", false, nullptr, "/home/l");
  EXPECT_TRUE(system.separate);
  EXPECT_EQ(system.shipped, "/usr/share/pianocorvida");
  EXPECT_EQ(system.learner, "/home/l/.local/share/pianocorvida");
  EXPECT_EQ(platform::programFoldersFor("/usr/local/libexec/pianocorvida", false, "/data/l", "/home/l")
                .learner,
            "/data/l/pianocorvida");
  EXPECT_EQ(platform::programFoldersFor("/usr/local/libexec/pianocorvida", false, "", "/home/l").shipped,
            "/usr/local/share/pianocorvida");
  // A relative XDG_DATA_HOME is invalid, as for every desktop program.
  EXPECT_EQ(platform::programFoldersFor("/usr/lib/pianocorvida", false, "data", "/home/l").learner,
            "/home/l/.local/share/pianocorvida");

  platform::ProgramFolders homeless =
      platform::programFoldersFor("/usr/lib/pianocorvida", false, nullptr, "");
  EXPECT_EQ(homeless.learner, "");
  EXPECT_NE(platform::prepareLearnerFolder(homeless, "/nonexistent").failure, "");
  EXPECT_EQ(platform::prepareLearnerFolder(own, "/nonexistent").failure, "");
}

class LearnerFirstStart : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = (fs::temp_directory_path() / fs::unique_path("learner-files-%%%%-%%%%")).string();
    folders_.separate = true;
    folders_.shipped = base_ + "/usr/share/pianocorvida";
    folders_.learner = base_ + "/home/.local/share/pianocorvida";
    earlier_ = base_ + "/opt/pianocorvida";
    fs::create_directories(folders_.shipped);
    fs::create_directories(base_ + "/home");
    writeFileBytes(folders_.shipped + "/pianocorvida.db", "pristine");
  }
  void TearDown() override { fs::remove_all(base_); }

  // An earlier /opt layout of the running user's, as its service left it.
  void makeEarlierLayout() {
    fs::create_directories(earlier_ + "/db");
    fs::create_directories(earlier_ + "/cache");
    writeFileBytes(earlier_ + "/db/pianocorvida.db", "learner's rows");
    writeFileBytes(earlier_ + "/db/allowed-origins.txt", "https://learn.example\n");
    writeFileBytes(earlier_ + "/cache/7", "song 7");
    writeFileBytes(earlier_ + "/cache/8", "song 8");
    writeFileBytes(earlier_ + "/pianocorvida.log", "old line\n");
    writeFileBytes(earlier_ + "/pianocorvida.log.1", "older line\n");
  }

  std::string learner(const std::string& name) const { return folders_.learner + "/" + name; }

  std::string base_;
  std::string earlier_;
  platform::ProgramFolders folders_;
};

TEST_F(LearnerFirstStart, MakesAPrivateFolderFromThePristineDatabaseOnce) {
  platform::LearnerFilesSetup setup = platform::prepareLearnerFolder(folders_, earlier_);
  EXPECT_EQ(setup.failure, "");
  EXPECT_EQ(setup.copiedFrom, "");
  EXPECT_EQ(setup.madeFrom, folders_.shipped + "/pianocorvida.db");
  EXPECT_EQ(readFile(learner("db/pianocorvida.db")), "pristine");
  EXPECT_EQ(modeOf(folders_.learner), 0700u);
  EXPECT_EQ(modeOf(base_ + "/home/.local"), 0700u);  // made on the way, as XDG asks
  EXPECT_EQ(modeOf(learner("db/pianocorvida.db")), 0600u);
  EXPECT_FALSE(fs::exists(learner(".first-start")));

  // Later starts keep the learner's database, whatever appears in /opt.
  writeFileBytes(learner("db/pianocorvida.db"), "learner's own");
  makeEarlierLayout();
  setup = platform::prepareLearnerFolder(folders_, earlier_);
  EXPECT_EQ(setup.madeFrom + setup.copiedFrom + setup.failure, "");
  EXPECT_EQ(readFile(learner("db/pianocorvida.db")), "learner's own");
  EXPECT_FALSE(fs::exists(learner("cache")));
}

TEST_F(LearnerFirstStart, CopiesTheEarlierLayoutAfterAStartCutShortAndLeavesItAsItWas) {
  makeEarlierLayout();
  // What a start killed half-way leaves: a folder made by someone else's rule, part of
  // the copies under the temporary name, one song already in place.
  fs::create_directories(learner(".first-start/db"));
  ASSERT_EQ(::chmod(folders_.learner.c_str(), 0755), 0);
  writeFileBytes(learner(".first-start/db/pianocorvida.db"), "learner's r");
  fs::create_directories(learner("cache"));
  writeFileBytes(learner("cache/7"), "song 7");

  platform::LearnerFilesSetup setup = platform::prepareLearnerFolder(folders_, earlier_);
  EXPECT_EQ(setup.failure, "");
  EXPECT_EQ(setup.copiedFrom, earlier_);
  EXPECT_EQ(setup.madeFrom, "");
  EXPECT_EQ(readFile(learner("db/pianocorvida.db")), "learner's rows");
  EXPECT_EQ(readFile(learner("db/allowed-origins.txt")), "https://learn.example\n");
  EXPECT_EQ(readFile(learner("cache/7")), "song 7");
  EXPECT_EQ(readFile(learner("cache/8")), "song 8");
  EXPECT_EQ(readFile(learner("pianocorvida.log")), "old line\n");
  EXPECT_EQ(readFile(learner("pianocorvida.log.1")), "older line\n");
  EXPECT_EQ(modeOf(folders_.learner), 0700u);
  EXPECT_FALSE(fs::exists(learner(".first-start")));
  // Copied, never moved.
  EXPECT_EQ(readFile(earlier_ + "/db/pianocorvida.db"), "learner's rows");
  EXPECT_EQ(readFile(earlier_ + "/cache/8"), "song 8");
  EXPECT_EQ(readFile(earlier_ + "/pianocorvida.log"), "old line\n");
}

TEST_F(LearnerFirstStart, PutsNoDatabaseInPlaceWhenTheCopyCannotFinish) {
  fs::remove(folders_.shipped + "/pianocorvida.db");
  platform::LearnerFilesSetup setup = platform::prepareLearnerFolder(folders_, earlier_);
  EXPECT_NE(setup.failure.find(folders_.shipped + "/pianocorvida.db"), std::string::npos)
      << setup.failure;
  EXPECT_EQ(setup.madeFrom, "");
  EXPECT_FALSE(fs::exists(learner("db/pianocorvida.db")));
  EXPECT_FALSE(fs::exists(learner(".first-start")));

  // The next start does it all again.
  writeFileBytes(folders_.shipped + "/pianocorvida.db", "pristine");
  EXPECT_EQ(platform::prepareLearnerFolder(folders_, earlier_).failure, "");
  EXPECT_EQ(readFile(learner("db/pianocorvida.db")), "pristine");
}

TEST_F(LearnerFirstStart, LeavesAnotherAccountsEarlierDatabaseAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "giving the earlier database to another account needs root";
  makeEarlierLayout();
  ASSERT_EQ(::chown((earlier_ + "/db/pianocorvida.db").c_str(), 4299, 4299), 0);
  ASSERT_EQ(::chmod((earlier_ + "/db/pianocorvida.db").c_str(), 0644), 0);
  platform::LearnerFilesSetup setup = platform::prepareLearnerFolder(folders_, earlier_);
  EXPECT_EQ(setup.copiedFrom, "");
  EXPECT_EQ(readFile(learner("db/pianocorvida.db")), "pristine");
  EXPECT_FALSE(fs::exists(learner("cache/7")));
}

}  // namespace
