// The Debian package's program, installed in a scratch root (tests/deb_package.sh,
// which names it in PIANOCORVIDA_PACKAGE_ROOT), run as learners of a shared PC: each
// account gets a private data folder of its own with its own database, cache and log,
// made on its first start; the shipped origin list applies until a learner keeps one
// of their own; and the data an earlier /opt/pianocorvida install kept for its learner
// is copied, never moved, into that learner's folder on their first start only.
// Needs root (learners are other user ids) and tests/in-netns.sh (a private network,
// and a mount namespace where the root's opt/ stands at /opt).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include "tests/support/TestClient.h"
#include "tests/support/TestHandshake.h"
#include "tests/support/TestService.h"

namespace fs = boost::filesystem;

namespace {

const char* const kSongBase64 = "TVRoZAAAAAYAAAABAeBNVHJrAAAADQCQPGSDYIA8AAD/LwA=";
const char* const kBanner = "[CorvidaPianoPlugin] Starting corvida piano plugin service...";
const char* const kCopiedFromOpt = "[CorvidaPianoPlugin] copied the database, cache and log of "
                                   "/opt/pianocorvida to ";

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

bool contains(const std::string& text, const std::string& part) { return count(text, part) > 0; }

std::string packageRoot() {
  const char* root = std::getenv("PIANOCORVIDA_PACKAGE_ROOT");
  return root != nullptr ? root : "";
}

struct stat statOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) info.st_mode = 0;
  return info;
}

class PackageLearnersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = packageRoot();
    if (root_.empty()) GTEST_SKIP() << "run by deb_package.sh on the package's scratch root";
    ASSERT_EQ(geteuid(), 0u) << "learners are other user ids";
    program_ = root_ + "/usr/lib/pianocorvida/pianocorvida-plugin";
    ASSERT_TRUE(fs::exists(program_));
  }

  // A learner with a fresh private home in the scratch root.
  TestService::Learner learner(uid_t uid, const std::string& name, bool ownXdgDataHome = false) {
    TestService::Learner who;
    who.uid = uid;
    who.home = root_ + "/home/" + name;
    fs::create_directories(who.home);
    EXPECT_EQ(::chown(who.home.c_str(), uid, uid), 0);
    EXPECT_EQ(::chmod(who.home.c_str(), 0700), 0);
    if (ownXdgDataHome) who.xdgDataHome = who.home + "/data";
    return who;
  }

  // Checks that the learner's data folder is theirs alone.
  void expectPrivateFolder(const TestService::Learner& who) {
    struct stat info = statOf(who.dataFolder());
    ASSERT_TRUE(S_ISDIR(info.st_mode)) << who.dataFolder();
    EXPECT_EQ(info.st_mode & 0777, 0700u) << who.dataFolder();
    EXPECT_EQ(info.st_uid, who.uid);
    EXPECT_EQ(statOf(who.dataFolder() + "/db/pianocorvida.db").st_uid, who.uid);
  }

  Json::Value checkSong(TestClient& client, int id) {
    Json::Value data(Json::objectValue);
    data["id"] = id;
    return client.call(5, data);
  }
  Json::Value saveSong(TestClient& client, int id, const std::string& stamp) {
    Json::Value data(Json::objectValue);
    data["id"] = id;
    data["midiFile"] = kSongBase64;
    data["lastMidiModified"] = stamp;
    return client.call(6, data);
  }

  std::string root_;
  std::string program_;
};

TEST_F(PackageLearnersTest, EachLearnerKeepsPrivateFilesAndTheShippedOriginListAppliesUntilTheirOwn) {
  TestService::Learner anna = learner(4201, "anna");
  TestService::Learner ben = learner(4202, "ben", true);  // XDG_DATA_HOME of his own
  std::string annaId;
  {
    TestService service(program_, anna);
    ASSERT_TRUE(service.start()) << service.output();
    TestClient client;
    ASSERT_TRUE(client.connect());
    annaId = client.call(11)["data"]["installationId"].asString();
    EXPECT_FALSE(annaId.empty());
    EXPECT_EQ(saveSong(client, 7, "anna's stamp")["data"]["code"].asInt(), 0);
    EXPECT_EQ(checkSong(client, 7)["data"]["lastMidiModified"].asString(), "anna's stamp");

    // The package's list, among the shipped files, until the learner keeps their own,
    // which then is the list: both read at each handshake.
    const std::string shippedList = root_ + "/usr/share/pianocorvida/allowed-origins.txt";
    const std::string ownList = anna.dataFolder() + "/db/allowed-origins.txt";
    EXPECT_EQ(handshakeStatus("::1", 19420, "https://learn.example"), 101);
    writeFileBytes(shippedList, "https://learn.example\n");
    EXPECT_EQ(handshakeStatus("::1", 19420, "https://learn.example"), 101);
    EXPECT_EQ(handshakeStatus("::1", 19420, "https://other.example"), 403);
    writeFileBytes(ownList, "# anna's\nhttps://mine.example\n");
    EXPECT_EQ(handshakeStatus("::1", 19420, "https://mine.example"), 101);
    EXPECT_EQ(handshakeStatus("::1", 19420, "https://learn.example"), 403);
    fs::remove(ownList);
    EXPECT_EQ(handshakeStatus("::1", 19420, "https://learn.example"), 101);
    fs::remove(shippedList);
    EXPECT_EQ(service.stop(), 0);
  }
  expectPrivateFolder(anna);
  const std::string annaLog = readFile(anna.dataFolder() + "/pianocorvida.log");
  EXPECT_TRUE(contains(annaLog, kBanner));
  EXPECT_EQ(count(annaLog, "[CorvidaPianoPlugin] learner's files in " + anna.dataFolder() +
                               ", database copied from " + root_ +
                               "/usr/share/pianocorvida/pianocorvida.db"),
            1u)
      << annaLog;
  EXPECT_FALSE(contains(annaLog, kCopiedFromOpt));  // the /opt data is someone else's
  EXPECT_EQ(readFile(anna.dataFolder() + "/cache/7").size(), 35u);
  EXPECT_EQ(sqlQuery(anna.dataFolder() + "/db/pianocorvida.db", "SELECT * FROM Midi"),
            "7|anna's stamp");

  {
    TestService service(program_, ben);
    ASSERT_TRUE(service.start()) << service.output();
    EXPECT_EQ(service.folder(), ben.home + "/data/pianocorvida");
    TestClient client;
    ASSERT_TRUE(client.connect());
    std::string benId = client.call(11)["data"]["installationId"].asString();
    EXPECT_FALSE(benId.empty());
    EXPECT_NE(benId, annaId);
    EXPECT_EQ(checkSong(client, 7)["data"]["message"].asString(), "NOT CACHE MIDI FILE");
    EXPECT_EQ(saveSong(client, 8, "ben's stamp")["data"]["code"].asInt(), 0);
    EXPECT_EQ(service.stop(), 0);
  }
  expectPrivateFolder(ben);
  EXPECT_TRUE(contains(readFile(ben.dataFolder() + "/pianocorvida.log"), kBanner));
  EXPECT_FALSE(fs::exists(ben.home + "/.local"));
  EXPECT_EQ(sqlQuery(ben.dataFolder() + "/db/pianocorvida.db", "SELECT * FROM Midi"),
            "8|ben's stamp");
  EXPECT_FALSE(fs::exists(ben.dataFolder() + "/cache/7"));

  // A second start keeps the learner's database: the same installation, the same song.
  {
    TestService service(program_, anna);
    ASSERT_TRUE(service.start()) << service.output();
    TestClient client;
    ASSERT_TRUE(client.connect());
    EXPECT_EQ(client.call(11)["data"]["installationId"].asString(), annaId);
    EXPECT_EQ(checkSong(client, 7)["data"]["lastMidiModified"].asString(), "anna's stamp");
    EXPECT_EQ(checkSong(client, 8)["data"]["message"].asString(), "NOT CACHE MIDI FILE");
    EXPECT_EQ(service.stop(), 0);
  }
  EXPECT_EQ(count(readFile(anna.dataFolder() + "/pianocorvida.log"), "database copied from"), 1u);
}

// The earlier package kept its one learner's data in /opt/pianocorvida (deb_package.sh
// leaves such a folder behind, as upgrading from that package does).
TEST_F(PackageLearnersTest, EarlierOptLayoutIsCopiedOnceIntoItsOwnersFolder) {
  const std::string earlier = root_ + "/opt/pianocorvida";
  ASSERT_TRUE(fs::exists(earlier + "/db/pianocorvida.db")) << "deb_package.sh makes it";
  // The learner's service looks for it where the earlier package was.
  ASSERT_EQ(::mount((root_ + "/opt").c_str(), "/opt", nullptr, MS_BIND, nullptr), 0)
      << "needs the private mount namespace of tests/in-netns.sh";
  const uid_t owner = statOf(earlier + "/db/pianocorvida.db").st_uid;
  ASSERT_NE(owner, 0u);
  const std::string oldDatabase = readFile(earlier + "/db/pianocorvida.db");
  const std::string oldSong = readFile(earlier + "/cache/7");
  const std::string oldLog = readFile(earlier + "/pianocorvida.log");
  ASSERT_FALSE(oldSong.empty());

  TestService::Learner carla = learner(owner, "carla");
  {
    TestService service(program_, carla);
    ASSERT_TRUE(service.start()) << service.output();
    TestClient client;
    ASSERT_TRUE(client.connect());
    Json::Value cached = checkSong(client, 7);
    EXPECT_EQ(cached["data"]["message"].asString(), "ALREADY_CACHE_MIDI_FILE");
    EXPECT_EQ(cached["data"]["lastMidiModified"].asString(), "old stamp");
    EXPECT_EQ(service.stop(), 0);
  }
  expectPrivateFolder(carla);
  std::string log = readFile(carla.dataFolder() + "/pianocorvida.log");
  EXPECT_EQ(log.compare(0, oldLog.size(), oldLog), 0) << "the old log goes first";
  EXPECT_EQ(count(log, kCopiedFromOpt + carla.dataFolder()), 1u) << log;
  EXPECT_EQ(readFile(carla.dataFolder() + "/cache/7"), oldSong);
  EXPECT_FALSE(fs::exists(carla.dataFolder() + "/.first-start"));
  // Copied, not moved: the earlier folder is as it was.
  EXPECT_EQ(readFile(earlier + "/db/pianocorvida.db"), oldDatabase);
  EXPECT_EQ(readFile(earlier + "/cache/7"), oldSong);
  EXPECT_EQ(readFile(earlier + "/pianocorvida.log"), oldLog);

  // Once only: what the earlier folder gains later stays there.
  sqlQuery(earlier + "/db/pianocorvida.db", "INSERT INTO Midi VALUES ('9', 'later stamp')");
  {
    TestService service(program_, carla);
    ASSERT_TRUE(service.start()) << service.output();
    TestClient client;
    ASSERT_TRUE(client.connect());
    EXPECT_EQ(checkSong(client, 9)["data"]["message"].asString(), "NOT CACHE MIDI FILE");
    EXPECT_EQ(checkSong(client, 7)["data"]["lastMidiModified"].asString(), "old stamp");
    EXPECT_EQ(service.stop(), 0);
  }
  EXPECT_EQ(count(readFile(carla.dataFolder() + "/pianocorvida.log"), kCopiedFromOpt), 1u);

  // Another account that can read the earlier database starts afresh: it was one
  // learner's, with their keyboards, users and keys.
  ASSERT_EQ(statOf(earlier + "/db/pianocorvida.db").st_mode & 0004, 0004u);
  TestService::Learner dora = learner(owner + 1, "dora");
  {
    TestService service(program_, dora);
    ASSERT_TRUE(service.start()) << service.output();
    TestClient client;
    ASSERT_TRUE(client.connect());
    EXPECT_EQ(checkSong(client, 7)["data"]["message"].asString(), "NOT CACHE MIDI FILE");
    EXPECT_EQ(service.stop(), 0);
  }
  expectPrivateFolder(dora);
  EXPECT_FALSE(contains(readFile(dora.dataFolder() + "/pianocorvida.log"), kCopiedFromOpt));
}

}  // namespace
