// The store under real faults, on the real service: a database locked by another
// process, a missing database folder or tables, a read-only cache folder, a cache
// folder that fills up during a song save, and a service killed while it saves.
// Each case ends by checking that the service still answers and that nothing stored
// earlier was lost or damaged. The mounts happen in the test's own mount namespace
// (tests/in-netns.sh), never in the host's.
#include <chrono>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <json/writer.h>
#include <sqlite3.h>
#include <sys/mount.h>

#include <boost/filesystem.hpp>

#include "tests/support/TestClient.h"
#include "tests/support/TestService.h"

namespace fs = boost::filesystem;

namespace {

const char* const kLearner = "learner-1";

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Song bytes that no two sizes share a prefix of, so a truncated or mixed file shows.
std::string songBytes(size_t size, char seed) {
  std::string bytes = "MThd";
  for (size_t i = bytes.size(); i < size; ++i) bytes.push_back(static_cast<char>(seed + i * 7));
  return bytes;
}

bool inPrivateMountNamespace() {
  boost::system::error_code error;
  return fs::read_symlink("/proc/self/ns/mnt", error) != fs::read_symlink("/proc/1/ns/mnt", error);
}

// A connection of the test process that holds the database's lock in an open
// transaction ("BEGIN EXCLUSIVE": no reader or writer gets in; "BEGIN IMMEDIATE":
// readers do, writers do not) until release.
class DatabaseLock {
 public:
  DatabaseLock(const std::string& path, const char* begin) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &connection_), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(connection_, begin, nullptr, nullptr, nullptr), SQLITE_OK);
  }
  ~DatabaseLock() { release(); }
  void release() {
    if (connection_ == nullptr) return;
    EXPECT_EQ(sqlite3_exec(connection_, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(connection_);
    connection_ = nullptr;
  }

 private:
  sqlite3* connection_ = nullptr;
};

// A mount over a folder of the install folder, undone when the case ends.
class FolderMount {
 public:
  // A tmpfs of sizeText ("1m") at folder.
  static FolderMount tmpfs(const std::string& folder, const std::string& sizeText) {
    EXPECT_EQ(mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + sizeText).c_str()), 0);
    return FolderMount(folder);
  }
  // folder bound onto itself read-only: root is refused writes too (EROFS).
  static FolderMount readOnly(const std::string& folder) {
    EXPECT_EQ(mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr), 0);
    EXPECT_EQ(mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
              0);
    return FolderMount(folder);
  }
  FolderMount(FolderMount&& other) noexcept : folder_(std::move(other.folder_)) {
    other.folder_.clear();
  }
  ~FolderMount() { release(); }
  void release() {
    if (!folder_.empty()) umount2(folder_.c_str(), MNT_DETACH);
    folder_.clear();
  }

 private:
  explicit FolderMount(std::string folder) : folder_(std::move(folder)) {}
  std::string folder_;
};

class StoreFaultTest : public ::testing::Test {
 protected:
  void startAndConnect() {
    // Plays nothing; it runs in the test's own mount namespace, so that a folder the
    // test makes read-only or full is so for the service too (hiding the SoundFonts
    // would give it a namespace of its own, where a later remount does not reach).
    service_.setSoundFonts(TestService::SoundFonts::Visible);
    ASSERT_TRUE(service_.start());
    ASSERT_TRUE(client_.connect());
  }

  Json::Value saveSong(int id, const std::string& bytes, const std::string& stamp,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    Json::Value data(Json::objectValue);
    data["id"] = id;
    data["midiFile"] = base64(bytes);
    data["lastMidiModified"] = stamp;
    return client_.call(6, data, kLearner, timeout);
  }
  Json::Value checkSong(int id) {
    Json::Value data(Json::objectValue);
    data["id"] = id;
    return client_.call(5, data, kLearner);
  }
  Json::Value saveNotation(int id, const std::string& text, const std::string& stamp) {
    Json::Value data(Json::objectValue);
    data["exerciseId"] = id;
    data["notation"] = text;
    data["lastXmlModified"] = stamp;
    return client_.call(19, data, kLearner);
  }
  Json::Value getNotation(int id) {
    Json::Value data(Json::objectValue);
    data["exerciseId"] = id;
    return client_.call(20, data, kLearner);
  }
  Json::Value saveKey(const std::string& key) {
    Json::Value data(Json::objectValue);
    data["EncryptionKey"] = key;
    return client_.call(21, data, kLearner);
  }
  Json::Value startSession(const std::string& clientID) {
    Json::Value data(Json::objectValue);
    data["clientID"] = clientID;
    data["token"] = "token-" + clientID;
    return client_.call(2, data, clientID);
  }
  Json::Value setSpeaker(bool on) {
    Json::Value data(Json::objectValue);
    data["speakerPc"] = on;
    return client_.call(23, data, kLearner);
  }
  std::string installationId() { return client_.call(11)["data"]["installationId"].asString(); }

  // A song, a notation, a key, a learner with speakerPc set and the installation's
  // identifier: one of everything the store keeps.
  void storeOneOfEach() {
    expectCode(saveSong(7, song_, "song stamp"), 0);
    expectCode(saveNotation(12, "<score>\"held\" \xc3\xa9</score>", "notation stamp"), 0);
    expectCode(saveKey("key of learner-1"), 0);
    expectCode(startSession(kLearner), 0);
    EXPECT_EQ(setSpeaker(true)["responseCode"].asInt(), 0);
    identity_ = installationId();
    EXPECT_EQ(identity_.size(), 36u);
    rows_ = allRows();
  }

  // Everything of storeOneOfEach is there, whole, through the protocol and on disk.
  void expectOneOfEachIntact() {
    SCOPED_TRACE("stored before the fault");
    EXPECT_EQ(client_.call(1)["data"]["pluginVersion"].asString(), "0.0.4.0");
    EXPECT_EQ(readFile(service_.cachePath("7")), song_);
    Json::Value check = checkSong(7)["data"];
    EXPECT_EQ(check["code"].asInt(), 0);
    EXPECT_EQ(check["lastMidiModified"].asString(), "song stamp");
    Json::Value notation = getNotation(12)["data"];
    EXPECT_EQ(notation["notation"].asString(), "<score>\"held\" \xc3\xa9</score>");
    EXPECT_EQ(notation["lastXmlModified"].asString(), "notation stamp");
    EXPECT_EQ(client_.call(22, Json::Value(), kLearner)["data"]["EncryptionKey"].asString(),
              "key of learner-1");
    Json::Value session = startSession(kLearner)["data"];
    EXPECT_EQ(session["code"].asInt(), 0);
    EXPECT_TRUE(session["speakerPc"].asBool());
    EXPECT_EQ(installationId(), identity_);
    std::string now = allRows();
    for (const std::string& row : rowsOf(rows_)) EXPECT_TRUE(contains(now, row)) << row;
  }

  // Every row of the five tables, one per line, tagged with its table.
  std::string allRows() {
    std::string rows;
    for (const char* table : {"Device", "User", "Installation", "Midi", "Exersise"}) {
      std::string part = sqlQuery(service_.databasePath(), std::string("SELECT * FROM ") + table);
      for (const std::string& row : rowsOf(part)) rows += std::string(table) + ":" + row + "\n";
    }
    return rows;
  }
  static std::set<std::string> rowsOf(const std::string& text) {
    std::set<std::string> rows;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      rows.insert(text.substr(start, end - start));
      start = end + 1;
    }
    return rows;
  }

  static void expectCode(const Json::Value& answer, int code) {
    EXPECT_EQ(answer["data"]["code"].asInt(), code) << answer.toStyledString();
    EXPECT_TRUE(answer["data"].isMember("code")) << answer.toStyledString();
  }

  TestService service_;
  TestClient client_;
  const std::string song_ = songBytes(3000, 'a');
  std::string identity_;
  std::string rows_;
};

// Another process holds the database's exclusive lock: every command that needs the
// database answers its failure, none reports a success it did not have; once the
// lock is gone everything works and nothing stored earlier is missing.
TEST_F(StoreFaultTest, DatabaseLockedByAnotherProcess) {
  startAndConnect();
  storeOneOfEach();

  DatabaseLock lock(service_.databasePath(), "BEGIN EXCLUSIVE");
  {
    SCOPED_TRACE("while locked");
    Json::Value check = checkSong(7)["data"];
    EXPECT_EQ(check["code"].asInt(), 0);
    EXPECT_FALSE(check.isMember("lastMidiModified"));
    expectCode(saveSong(8, songBytes(500, 'b'), "locked stamp"), -1);
    expectCode(saveNotation(13, "locked text", "locked stamp"), -1);
    Json::Value notation = getNotation(12)["data"];
    EXPECT_EQ(notation["notation"].asString(), "<score>\"held\" \xc3\xa9</score>");
    EXPECT_EQ(notation["lastXmlModified"].asString(), "");
    expectCode(startSession("learner-2"), 11);
    EXPECT_EQ(setSpeaker(false)["responseCode"].asInt(), -1);
    // The identifier cannot be read: not a made-up one that is stored nowhere.
    EXPECT_EQ(installationId(), "");
    EXPECT_EQ(client_.call(1)["data"]["pluginVersion"].asString(), "0.0.4.0");
  }
  lock.release();
  EXPECT_TRUE(contains(service_.log(), "database is locked"));

  expectOneOfEachIntact();
  expectCode(saveSong(8, songBytes(500, 'b'), "after"), 0);
  EXPECT_EQ(checkSong(8)["data"]["lastMidiModified"].asString(), "after");
  expectCode(startSession("learner-2"), 0);
  EXPECT_EQ(sqlQuery(service_.databasePath(), "SELECT count(*) FROM Installation"), "1");
  EXPECT_EQ(sqlQuery(service_.databasePath(), "SELECT count(*) FROM User WHERE userId = 'learner-1'"),
            "1");
}

// Another process holds the write lock only: what reads the database still answers
// in full, what writes it answers its failure.
TEST_F(StoreFaultTest, DatabaseWriteLockedByAnotherProcess) {
  startAndConnect();
  storeOneOfEach();

  DatabaseLock lock(service_.databasePath(), "BEGIN IMMEDIATE");
  {
    SCOPED_TRACE("while write-locked");
    EXPECT_EQ(checkSong(7)["data"]["lastMidiModified"].asString(), "song stamp");
    expectCode(saveSong(7, songBytes(500, 'b'), "locked stamp"), -1);
    expectCode(saveSong(8, songBytes(500, 'b'), "locked stamp"), -1);
    expectCode(saveNotation(13, "locked text", "locked stamp"), -1);
    EXPECT_EQ(getNotation(12)["data"]["lastXmlModified"].asString(), "notation stamp");
    expectCode(startSession(kLearner), 0);
    expectCode(startSession("learner-2"), 11);
    EXPECT_EQ(installationId(), identity_);
  }
  lock.release();

  // The file saved during the lock was written, its stamp was not: the check still
  // tells the old stamp, so the web application will send the song again.
  EXPECT_EQ(checkSong(7)["data"]["lastMidiModified"].asString(), "song stamp");
  expectCode(saveSong(7, song_, "song stamp"), 0);
  expectOneOfEachIntact();
  expectCode(startSession("learner-2"), 0);
}

// No identifier stored yet, and the database refuses the insert of a new one (write
// lock of another process, a read-only folder): codes 11 and 17 answer an empty
// identifier rather than one stored nowhere, and once the database takes writes again
// the identifier they answer is the one stored, and stays.
TEST_F(StoreFaultTest, InstallationIdentifierAnsweredOnlyOnceStored) {
  startAndConnect();
  auto rows = [this] { return sqlQuery(service_.databasePath(), "SELECT count(*) FROM Installation"); };
  auto information = [this] { return client_.call(17)["data"]["installationId"].asString(); };
  {
    DatabaseLock lock(service_.databasePath(), "BEGIN IMMEDIATE");
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(installationId(), "");
      EXPECT_EQ(information(), "");
    }
  }
  EXPECT_TRUE(contains(service_.log(), "database is locked"));
  EXPECT_EQ(rows(), "0");

  if (inPrivateMountNamespace()) {
    FolderMount readOnly = FolderMount::readOnly(service_.path("db"));
    EXPECT_EQ(installationId(), "");
    EXPECT_EQ(information(), "");
    EXPECT_TRUE(contains(service_.log(), "readonly database")) << service_.log();
  }
  EXPECT_EQ(rows(), "0");

  std::string stored = installationId();
  EXPECT_EQ(stored.size(), 36u);
  EXPECT_EQ(information(), stored);
  EXPECT_EQ(installationId(), stored);
  EXPECT_EQ(sqlQuery(service_.databasePath(), "SELECT installationId FROM Installation"), stored);
}

// Without a usable database the service still starts and answers every store
// command with its failure, and says why in its log.
TEST_F(StoreFaultTest, MissingDatabaseFolderOrTables) {
  struct Setup {
    const char* name;
    void (*prepare)(TestService&);
    std::string (*logged)(const TestService&);  // the log line that tells why
  };
  const Setup setups[] = {
      {"no db folder", [](TestService& s) { fs::remove_all(s.path("db")); },
       [](const TestService& s) {
         return "can not query table Midi unable to open database file: " + s.databasePath();
       }},
      {"empty database file", [](TestService& s) { writeFileBytes(s.databasePath(), ""); },
       [](const TestService&) { return std::string("no such table: Midi"); }},
      {"tables dropped",
       [](TestService& s) {
         sqlQuery(s.databasePath(), "DROP TABLE Midi; DROP TABLE User; DROP TABLE Installation");
       },
       [](const TestService&) { return std::string("no such table: User"); }},
  };
  for (const Setup& setup : setups) {
    SCOPED_TRACE(setup.name);
    TestService service;
    setup.prepare(service);
    ASSERT_TRUE(service.start());
    TestClient client;
    ASSERT_TRUE(client.connect());

    Json::Value song(Json::objectValue);
    song["id"] = 7;
    song["midiFile"] = base64(song_);
    song["lastMidiModified"] = "s";
    EXPECT_EQ(client.call(6, song)["data"]["code"].asInt(), -1);
    EXPECT_EQ(readFile(service.cachePath("7")), song_);
    Json::Value check = client.call(5, parseJson(R"({"id":7})"))["data"];
    EXPECT_EQ(check["code"].asInt(), 0);
    EXPECT_FALSE(check.isMember("lastMidiModified"));
    Json::Value session =
        client.call(2, parseJson(R"({"clientID":"a","token":"t"})"), "a")["data"];
    EXPECT_EQ(session["code"].asInt(), 11);
    EXPECT_EQ(session["message"].asString(), "INSERT DATA TO DATABASE FAIL");
    EXPECT_EQ(client.call(23, parseJson(R"({"speakerPc":true})"), "a")["responseCode"].asInt(),
              -1);
    EXPECT_EQ(client.call(11)["data"]["installationId"].asString(), "");
    EXPECT_EQ(client.call(1)["data"]["pluginVersion"].asString(), "0.0.4.0");
    EXPECT_TRUE(contains(service.log(), setup.logged(service))) << service.log();
    EXPECT_EQ(service.stop(), 0);
  }
}

// A cache folder that refuses writes (read-only even for root): song, notation and
// key saves answer their write error; what was cached stays readable and whole.
TEST_F(StoreFaultTest, ReadOnlyCacheFolder) {
  if (!inPrivateMountNamespace()) GTEST_SKIP() << "mounts only in a namespace of its own";
  startAndConnect();
  storeOneOfEach();
  {
    FolderMount readOnly = FolderMount::readOnly(service_.path("cache"));
    expectCode(saveSong(7, songBytes(4000, 'c'), "new stamp"), 3);
    expectCode(saveSong(9, songBytes(4000, 'c'), "new stamp"), 3);
    expectCode(saveNotation(12, "new text", "new stamp"), 3);
    expectCode(saveKey("new key"), 3);
    EXPECT_TRUE(contains(service_.log(), "[CvSaveSongMidiFlow] can not write midi file: " +
                                             service_.cachePath("7")));
    expectOneOfEachIntact();
    EXPECT_EQ(checkSong(9)["data"]["code"].asInt(), 1);
  }
  expectCode(saveSong(9, songBytes(4000, 'c'), "new stamp"), 0);
  EXPECT_EQ(readFile(service_.cachePath("9")), songBytes(4000, 'c'));
}

// The cache folder fills up part-way through a save: the save answers its write error
// and the earlier file of that name, and every other file, stay whole.
TEST_F(StoreFaultTest, DiskFillsDuringSongSave) {
  if (!inPrivateMountNamespace()) GTEST_SKIP() << "mounts only in a namespace of its own";
  fs::create_directories(service_.path("cache"));
  FolderMount small = FolderMount::tmpfs(service_.path("cache"), "1m");
  startAndConnect();
  storeOneOfEach();

  expectCode(saveSong(7, songBytes(1500 * 1024, 'd'), "too big"), 3);
  expectCode(saveSong(10, songBytes(1500 * 1024, 'd'), "too big"), 3);
  expectCode(saveNotation(12, std::string(1500 * 1024, 'n'), "too big"), 3);
  expectCode(saveKey(std::string(1500 * 1024, 'k')), 3);
  expectOneOfEachIntact();
  EXPECT_EQ(checkSong(10)["data"]["code"].asInt(), 1);
  for (const fs::directory_entry& entry : fs::directory_iterator(service_.path("cache"))) {
    std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "7" || name == "12.txt" || name == std::string(kLearner) + "EncryptionKey")
        << "left behind: " << name;
  }
  // The space of the failed save is free again.
  expectCode(saveSong(10, songBytes(600 * 1024, 'e'), "fits"), 0);
  EXPECT_TRUE(readFile(service_.cachePath("10")) == songBytes(600 * 1024, 'e'));
}

// The service is killed while it writes a large song over an earlier one. After a
// restart the song is the earlier one or the new one, whole; everything else stored
// is intact and the database passes its integrity check.
TEST_F(StoreFaultTest, KilledDuringSongSave) {
  startAndConnect();
  storeOneOfEach();
  const std::string large = songBytes(8 * 1024 * 1024, 'k');
  const std::set<std::string> before = {"7", "12.txt", std::string(kLearner) + "EncryptionKey"};

  Json::Value largeSave(Json::objectValue);
  largeSave["methodName"] = 6;
  largeSave["data"]["id"] = 7;
  largeSave["data"]["midiFile"] = base64(large);
  largeSave["data"]["lastMidiModified"] = "large stamp";
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  const std::string message = Json::writeString(builder, largeSave);

  bool interrupted = false;
  for (int attempt = 0; attempt < 4 && !interrupted; ++attempt) {
    TestClient sender;
    ASSERT_TRUE(sender.connect());
    sender.sendText(message);
    // Kill as soon as the cache folder changes: a new entry, or song 7 changing size.
    bool changed = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!changed && std::chrono::steady_clock::now() < deadline) {
      std::set<std::string> names;
      for (const fs::directory_entry& entry : fs::directory_iterator(service_.path("cache"))) {
        names.insert(entry.path().filename().string());
      }
      boost::system::error_code error;
      changed = names != before || fs::file_size(service_.cachePath("7"), error) != song_.size();
      if (!changed) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    service_.kill();
    EXPECT_TRUE(changed) << "the save never reached the cache folder";
    std::string now = readFile(service_.cachePath("7"));
    ASSERT_TRUE(now == song_ || now == large) << "song 7 holds " << now.size() << " bytes";
    interrupted = changed && now == song_;
    ASSERT_TRUE(service_.start());
    ASSERT_TRUE(client_.connect());
    // The save won the race: put the earlier song back for the next try.
    if (!interrupted) expectCode(saveSong(7, song_, "song stamp"), 0);
  }
  EXPECT_TRUE(interrupted) << "every save finished before the kill";

  EXPECT_EQ(sqlQuery(service_.databasePath(), "PRAGMA integrity_check"), "ok");
  expectOneOfEachIntact();
  expectCode(saveSong(7, large, "large stamp", std::chrono::seconds(30)), 0);
  EXPECT_TRUE(readFile(service_.cachePath("7")) == large);
}

}  // namespace
