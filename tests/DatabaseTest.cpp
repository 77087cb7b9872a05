// The local store against real SQLite files: a copy of the shipped database, an empty
// file, a missing folder and a file locked by another connection.
#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <log4cpp/OstreamAppender.hh>
#include <sqlite3.h>

#include <boost/filesystem.hpp>

#include "service/CvLog.h"
#include "store/CvCacheSqlite.h"
#include "store/CvDatabase.h"
#include "store/CvDeviceSqlite.h"
#include "store/CvInstallationSqlite.h"
#include "store/CvUserSqlite.h"
#include "tests/support/TestService.h"

namespace fs = boost::filesystem;

namespace {

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / fs::unique_path("pianocorvida-db-%%%%-%%%%");
    fs::create_directories(folder_ / "db");
    fs::copy_file(fs::path(PIANOCORVIDA_BUILD_DIR) / "db" / "pianocorvida.db", file());
    database_.reset(new CvDatabase(folder_.string(), "db\\pianocorvida.db"));
    g_local_db = database_.get();
    cvlog::category().addAppender(appender_);
  }

  void TearDown() override {
    cvlog::category().removeAppender(&appender_);
    g_local_db = nullptr;
    boost::system::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  std::string file() const { return (folder_ / "db" / "pianocorvida.db").string(); }
  std::string sql(const std::string& statement) { return sqlQuery(file(), statement); }
  std::string log() const { return logged_.str(); }

  // Replaces the store by an empty file, or one with the given schema.
  void useFileWith(const std::string& schema) {
    fs::remove(file());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, schema.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }

  fs::path folder_;
  std::unique_ptr<CvDatabase> database_;
  std::ostringstream logged_;
  log4cpp::OstreamAppender appender_{"database-test", &logged_};
};

TEST_F(DatabaseTest, DevicesKeepRangeAndLatestFlag) {
  CvDeviceSqlite writer;
  ASSERT_TRUE(writer.insertDevice("Piano A", "1", "c1", "m1"));
  ASSERT_TRUE(writer.insertDevice("Piano B", "0", "c2", "m2"));
  // The quoted '1' of the insert must still match "isLatest = 1".
  EXPECT_EQ(sql("SELECT typeof(isLatest), typeof(lowestNote) FROM Device LIMIT 1"),
            "integer|integer");
  CvDeviceSqlite latest;
  ASSERT_TRUE(latest.getLatestDevice());
  EXPECT_EQ(latest.deviceName, "Piano A");
  EXPECT_TRUE(latest.isLatest);
  EXPECT_EQ(latest.lowestNote, 0);

  testing::internal::CaptureStdout();
  ASSERT_TRUE(writer.updateLowestHighestKey("Piano B", 21, 108, "m3"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Insert command UPDATE Device SET lowestNote = '21', highestNote='108', "
            "modifiedDate='m3',isLatest = 1 WHERE deviceName='Piano B' \n");
  testing::internal::CaptureStdout();
  CvDeviceSqlite byName;
  ASSERT_TRUE(byName.getDeviceByName("Piano B"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "g_midi_device_info.currentMidiDevice.instrument_name: \n"
            "CvDeviceSqlite::deviceName: Piano B\n");
  EXPECT_TRUE(byName.isLatest);
  EXPECT_EQ(byName.lowestNote, 21);
  EXPECT_EQ(byName.highestNote, 108);

  ASSERT_TRUE(writer.resetLatestDevice());
  ASSERT_TRUE(writer.updateDevice("Piano B", "1", "m4"));
  EXPECT_EQ(sql("SELECT deviceName, modifiedDate, isLatest FROM Device ORDER BY deviceName"),
            "Piano A|m1|0\nPiano B|m4|1");
  CvDeviceSqlite missing;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(missing.getDeviceByName("Piano C"));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(log(), "");
}

TEST_F(DatabaseTest, DeviceQueriesPickRowsAsTheQueryYieldsThem) {
  sql("INSERT INTO Device VALUES ('K', 'c', 'm', NULL, 1, 30, 90);"
      "INSERT INTO Device VALUES ('K', 'c', 'm', NULL, 0, 40, 80);"
      "INSERT INTO Device VALUES ('L', 'c', 'm', NULL, 1, 50, 70);");
  testing::internal::CaptureStdout();
  CvDeviceSqlite byName;
  ASSERT_TRUE(byName.getDeviceByName("K"));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(byName.lowestNote, 40);  // the last of the two rows
  EXPECT_FALSE(byName.isLatest);
  CvDeviceSqlite latest;
  ASSERT_TRUE(latest.getLatestDevice());
  EXPECT_EQ(latest.lowestNote, 30);  // the first isLatest row only
}

TEST_F(DatabaseTest, DeviceNumbersReadOnlyTheirLeadingDigits) {
  sql("INSERT INTO Device VALUES ('A', '', '', NULL, 1, '12x', '');"
      "INSERT INTO Device VALUES ('B', '', '', NULL, 1, 'abc', '99999999999999999999x');"
      "INSERT INTO Device VALUES ('C', '', '', NULL, NULL, NULL, NULL);");
  testing::internal::CaptureStdout();
  CvDeviceSqlite a, b, c;
  ASSERT_TRUE(a.getDeviceByName("A"));
  ASSERT_TRUE(b.getDeviceByName("B"));
  ASSERT_TRUE(c.getDeviceByName("C"));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(a.lowestNote, 12);
  EXPECT_EQ(a.highestNote, 0);
  EXPECT_EQ(b.lowestNote, 0);
  EXPECT_EQ(b.highestNote, 0);
  EXPECT_TRUE(c.isLatest);  // NULL reads as "", which is not "0"
  EXPECT_EQ(log(), "");
}

TEST_F(DatabaseTest, EmptyDeviceNameNeverReachesTheStore) {
  database_.reset(new CvDatabase((folder_ / "gone").string(), "db\\pianocorvida.db"));
  g_local_db = database_.get();
  testing::internal::CaptureStdout();
  CvDeviceSqlite device;
  EXPECT_FALSE(device.getDeviceByName(""));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(log(), "");
}

TEST_F(DatabaseTest, UsersInstallationAndCacheStamps) {
  CvUserSqlite user;
  ASSERT_TRUE(user.insertUser("u1", "t1", "c", "m"));
  CvUserSqlite read;
  ASSERT_TRUE(read.getUserById("u1"));
  EXPECT_FALSE(read.speakerPc);
  ASSERT_TRUE(user.updateSpeakerPc("1", "u1"));
  CvUserSqlite again;
  ASSERT_TRUE(again.getUserById("u1"));
  EXPECT_TRUE(again.speakerPc);
  CvUserSqlite nobody;
  EXPECT_FALSE(nobody.getUserById("u2"));

  CvInstallationSqlite empty;
  EXPECT_EQ(empty.getInstallationId(), "");
  CvInstallationSqlite("id-1", "c", "m").insertInstallation();
  CvInstallationSqlite("id-2", "c", "m").insertInstallation();
  CvInstallationSqlite installation;
  EXPECT_EQ(installation.getInstallationId(), "id-2");  // the last row

  EXPECT_TRUE(saveMidiModifiedDate("7", "2020-01-01"));
  EXPECT_TRUE(saveMidiModifiedDate("7", "2021-02-02"));
  EXPECT_TRUE(saveMidiModifiedDate("8", "2022-03-03"));
  EXPECT_EQ(sql("SELECT * FROM Midi ORDER BY midiID"), "7|2021-02-02\n8|2022-03-03");
  EXPECT_TRUE(saveExersiseModifiedDate("9", "a"));
  EXPECT_TRUE(saveExersiseModifiedDate("9", "b"));
  EXPECT_EQ(sql("SELECT * FROM Exersise"), "9|b");
  CvCacheSqlite stamp;
  ASSERT_TRUE(stamp.getExersise("9"));
  EXPECT_EQ(stamp.lastModifiedDate, "b");
  CvCacheSqlite none;
  EXPECT_FALSE(none.getMidi("9"));
  EXPECT_EQ(log(), "");
}

TEST_F(DatabaseTest, MissingTablesFailWithSqliteText) {
  useFileWith("");
  CvDeviceSqlite device;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(device.insertDevice("P", "1", "c", "m"));
  EXPECT_FALSE(device.getDeviceByName("P"));
  CvUserSqlite user;
  EXPECT_FALSE(user.updateSpeakerPc("1", "u"));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[CvDeviceSqlite] insert device fail no such table: Device\n"),
            std::string::npos);
  EXPECT_NE(out.find("no such table: User\n"), std::string::npos);
  EXPECT_FALSE(device.getLatestDevice());
  EXPECT_FALSE(user.getUserById("u"));
  CvInstallationSqlite("id-1", "c", "m").insertInstallation();
  CvInstallationSqlite preset("id-2", "c", "m");
  EXPECT_EQ(preset.getInstallationId(), "");
  CvCacheSqlite cache;
  EXPECT_FALSE(cache.getMidi("1"));
  EXPECT_FALSE(saveExersiseModifiedDate("1", "d"));

  std::string lines = log();
  for (const char* line :
       {"[CvDeviceSqlite] can not query table Device no such table: Device",
        "[CvUserSqlite] can not query table User no such table: User",
        "Insert installation id id-1 fail no such table: Installation",
        "[CvInstallationSqlite] select installation id fail no such table: Installation",
        "[CvCacheSqlite] can not query table Midi no such table: Midi",
        "[CvUserSqlite] can not query table Exersise no such table: Exersise",
        "[CvUserSqlite] insert exersise fail no such table: Exersise"}) {
    EXPECT_NE(lines.find(line), std::string::npos) << line;
  }
  // Insert and the speaker update report on standard output only.
  EXPECT_EQ(lines.find("insert device"), std::string::npos);
  EXPECT_EQ(lines.find("speakerPc"), std::string::npos);
  // The program never creates tables.
  EXPECT_EQ(sql("SELECT count(*) FROM sqlite_master"), "0");
}

TEST_F(DatabaseTest, MissingFolderFailsEveryOperation) {
  fs::remove_all(folder_ / "db");
  CvDeviceSqlite device;
  CvUserSqlite user;
  CvCacheSqlite cache;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(device.insertDevice("P", "1", "c", "m"));
  EXPECT_FALSE(device.updateDevice("P", "1", "m"));
  EXPECT_FALSE(device.updateLowestHighestKey("P", 1, 2, "m"));
  EXPECT_FALSE(device.getLatestDevice());
  EXPECT_FALSE(device.getDeviceByName("P"));
  EXPECT_FALSE(device.resetLatestDevice());
  EXPECT_FALSE(user.insertUser("u", "t", "c", "m"));
  EXPECT_FALSE(user.getUserById("u"));
  EXPECT_FALSE(user.updateSpeakerPc("1", "u"));
  CvInstallationSqlite("i", "c", "m").insertInstallation();
  EXPECT_EQ(CvInstallationSqlite().getInstallationId(), "");
  EXPECT_FALSE(saveMidiModifiedDate("1", "d"));
  EXPECT_FALSE(saveExersiseModifiedDate("1", "d"));
  EXPECT_FALSE(cache.updateMidi("1", "d"));
  EXPECT_FALSE(cache.updateExersise("1", "d"));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("insert device fail unable to open database file"), std::string::npos);
  EXPECT_NE(log().find("[CvCacheSqlite] insert midi fail unable to open database file"),
            std::string::npos);
  EXPECT_NE(log().find("[CvCacheSqlite] update midi fail unable to open database file"),
            std::string::npos);
  EXPECT_NE(log().find("[CvDeviceSqlite] update exersise fail unable to open database file"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(folder_ / "db"));
}

TEST_F(DatabaseTest, RowsOfAnotherShapeFailWithoutHoldingTheLock) {
  useFileWith("CREATE TABLE Device (deviceName TEXT); CREATE TABLE User (userId TEXT);"
              "INSERT INTO Device VALUES ('P'); INSERT INTO User VALUES ('u');"
              "CREATE TABLE Midi (midiID TEXT, lastModifiedDate TEXT);");
  CvDeviceSqlite device;
  EXPECT_FALSE(device.getLatestDevice());  // isLatest is not even a column
  testing::internal::CaptureStdout();
  EXPECT_FALSE(device.getDeviceByName("P"));
  testing::internal::GetCapturedStdout();
  CvUserSqlite user;
  EXPECT_FALSE(user.getUserById("u"));
  EXPECT_NE(log().find("[CvDeviceSqlite] check device exist per user"), std::string::npos);
  EXPECT_NE(log().find("[CvUserSqlite] check exist user fail"), std::string::npos);
  // The connection was closed and the lock released: the store still works.
  EXPECT_TRUE(saveMidiModifiedDate("1", "d"));
  EXPECT_EQ(sql("SELECT * FROM Midi"), "1|d");
}

TEST_F(DatabaseTest, LockedFileFailsWithoutWaiting) {
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(file().c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE; INSERT INTO Midi VALUES ('1', 'held');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  // The holder lets go soon after the operation returns, or after a while anyway: an
  // operation that waited for the lock would then succeed.
  std::atomic<bool> returned{false};
  std::thread release([&] {
    for (int i = 0; i < 300 && !returned; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
  });
  bool saved = saveMidiModifiedDate("2", "d");
  returned = true;
  release.join();
  sqlite3_close(holder);
  EXPECT_FALSE(saved);
  EXPECT_NE(log().find("[CvCacheSqlite] insert midi fail database is locked"), std::string::npos);
  EXPECT_EQ(sql("SELECT * FROM Midi"), "1|held");
  EXPECT_TRUE(saveMidiModifiedDate("2", "d"));
}

TEST_F(DatabaseTest, HostileValuesAreStoredAsTheyAre) {
  sql("INSERT INTO Device VALUES ('Other', 'c', 'm', NULL, 0, 10, 20);"
      "INSERT INTO User VALUES ('other', 'tok', 'c', 'm', NULL, 0);");
  const std::string name = "x'); DROP TABLE Device; --";
  const std::string sneaky = "Other' OR '1'='1";
  const std::string text = "it's \"quoted\"; SELECT 1; -- end";

  CvDeviceSqlite device;
  ASSERT_TRUE(device.insertDevice(name, "1", text, text));
  ASSERT_TRUE(device.insertDevice(sneaky, "0", "c", "m"));
  ASSERT_TRUE(device.updateDevice(sneaky, "1", "m2"));
  testing::internal::CaptureStdout();
  ASSERT_TRUE(device.updateLowestHighestKey(sneaky, 33, 44, text));
  // Only the shown text carries the value in place.
  EXPECT_NE(testing::internal::GetCapturedStdout().find("WHERE deviceName='" + sneaky + "' \n"),
            std::string::npos);
  testing::internal::CaptureStdout();
  CvDeviceSqlite read;
  ASSERT_TRUE(read.getDeviceByName(name));
  CvDeviceSqlite readSneaky;
  ASSERT_TRUE(readSneaky.getDeviceByName(sneaky));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(read.deviceName, name);
  EXPECT_EQ(readSneaky.lowestNote, 33);

  CvUserSqlite user;
  ASSERT_TRUE(user.insertUser(sneaky, text, text, text));
  ASSERT_TRUE(user.updateSpeakerPc("1", sneaky));
  CvUserSqlite readUser;
  ASSERT_TRUE(readUser.getUserById(sneaky));
  EXPECT_TRUE(readUser.speakerPc);

  CvInstallationSqlite(text, text, text).insertInstallation();
  EXPECT_EQ(CvInstallationSqlite().getInstallationId(), text);
  EXPECT_TRUE(saveMidiModifiedDate(sneaky, text));
  EXPECT_TRUE(saveExersiseModifiedDate(name, text));
  CvCacheSqlite midi;
  ASSERT_TRUE(midi.getMidi(sneaky));
  EXPECT_EQ(midi.lastModifiedDate, text);

  // The untouched rows stay as they were, and every stored text is the one given.
  EXPECT_EQ(sql("SELECT * FROM Device WHERE deviceName = 'Other'"), "Other|c|m||0|10|20");
  EXPECT_EQ(sql("SELECT * FROM User WHERE userId = 'other'"), "other|tok|c|m||0");
  EXPECT_EQ(sql("SELECT count(*) FROM Device"), "3");
  EXPECT_EQ(sql("SELECT createdDate, modifiedDate, isLatest FROM Device WHERE deviceName = '" +
                std::string("x''); DROP TABLE Device; --") + "'"),
            text + "|" + text + "|1");
  EXPECT_EQ(sql("SELECT token, speakerPc FROM User WHERE userId = 'Other'' OR ''1''=''1'"),
            text + "|1");
  EXPECT_EQ(sql("SELECT count(*) FROM Exersise WHERE exersiseId = 'x''); DROP TABLE Device; --'"),
            "1");
  EXPECT_EQ(log(), "");
}

TEST_F(DatabaseTest, ConcurrentOperationsLeaveConsistentRows) {
  const int threads = 6;
  const int rounds = 40;
  testing::internal::CaptureStdout();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t] {
      std::string id = std::to_string(t);
      CvDeviceSqlite device;
      device.insertDevice("dev" + id, "0", "c", "m");
      for (int i = 0; i < rounds; ++i) {
        saveMidiModifiedDate(id, std::to_string(i));
        device.updateLowestHighestKey("dev" + id, t, i, "m");
        CvDeviceSqlite read;
        read.getDeviceByName("dev" + id);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(log(), "");
  std::string last = std::to_string(rounds - 1);
  EXPECT_EQ(sql("SELECT count(*), count(DISTINCT midiID), min(lastModifiedDate), "
                "max(lastModifiedDate) FROM Midi"),
            std::to_string(threads) + "|" + std::to_string(threads) + "|" + last + "|" + last);
  EXPECT_EQ(sql("SELECT count(*), sum(lowestNote), min(highestNote), max(highestNote) FROM Device"),
            std::to_string(threads) + "|15|" + last + "|" + last);
}

TEST(DatabaseFolder, LivesBesideTheProgram) {
  testing::internal::CaptureStdout();
  CvDatabase database("db\\pianocorvida.db");
  std::string folder = std::string(PIANOCORVIDA_BUILD_DIR) + "/tests";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "3.1\n3.2\n3.3\n3.4 " + folder + "\n");
  EXPECT_EQ(database.path(), folder + "/db/pianocorvida.db");
}

}  // namespace
