// The cache commands through the protocol: song files (codes 5, 6), notation texts
// (19, 20) and parked keys (21, 22), looked at as files, Midi/Exersise rows and log
// lines of the real service.
#include <atomic>
#include <chrono>
#include <optional>
#include <csignal>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include "tests/support/TestClient.h"
#include "tests/support/TestService.h"

namespace fs = boost::filesystem;

namespace {

// A small standard MIDI file (one note) and a shorter other content, with their
// Base64 forms.
const std::string kSongBytes(
    "\x4d\x54\x68\x64\x00\x00\x00\x06\x00\x00\x00\x01\x01\xe0\x4d\x54\x72\x6b\x00\x00"
    "\x00\x0d\x00\x90\x3c\x64\x83\x60\x80\x3c\x00\x00\xff\x2f\x00",
    35);
const char* const kSongBase64 = "TVRoZAAAAAYAAAABAeBNVHJrAAAADQCQPGSDYIA8AAD/LwA=";
const std::string kShortBytes("MThd\x00\x00\x00\x06\xff", 9);
const char* const kShortBase64 = "TVRoZAAAAAb/";

const char* const kWriteError = "WRITE FILE MIDI ERROR";

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::set<std::string> entriesOf(const std::string& folder) {
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

class CacheCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start());
    ASSERT_TRUE(client_.connect());
  }

  Json::Value saveSong(const Json::Value& id, const std::string& midiFile,
                       const std::string& stamp) {
    Json::Value data(Json::objectValue);
    if (!id.isNull()) data["id"] = id;
    data["midiFile"] = midiFile;
    data["lastMidiModified"] = stamp;
    return client_.call(6, data);
  }
  Json::Value checkSong(const Json::Value& id) {
    Json::Value data(Json::objectValue);
    data["id"] = id;
    return client_.call(5, data);
  }
  Json::Value saveNotation(const Json::Value& id, const std::string& notation,
                           const std::string& stamp) {
    Json::Value data(Json::objectValue);
    data["exerciseId"] = id;
    data["notation"] = notation;
    data["lastXmlModified"] = stamp;
    return client_.call(19, data);
  }
  Json::Value getNotation(const Json::Value& id) {
    Json::Value data(Json::objectValue);
    data["exerciseId"] = id;
    return client_.call(20, data);
  }
  Json::Value saveKey(const std::string& clientID, const std::string& key) {
    Json::Value data(Json::objectValue);
    data["EncryptionKey"] = key;
    return client_.call(21, data, clientID);
  }
  Json::Value getKey(const std::string& clientID) {
    return client_.call(22, Json::Value(), clientID);
  }

  std::string sql(const std::string& statement) {
    return sqlQuery(service_.databasePath(), statement);
  }

  TestService service_;
  TestClient client_;
};

void expectOutcome(const Json::Value& answer, int code, const std::string& message) {
  EXPECT_EQ(answer["responseCode"].asInt(), 0);
  EXPECT_EQ(answer["errorMessage"].asString(), "SUCCESS");
  EXPECT_EQ(answer["data"]["code"].asInt(), code) << answer.toStyledString();
  EXPECT_EQ(answer["data"]["message"].asString(), message);
}

TEST_F(CacheCommandsTest, SongIsSavedCheckedAndReplacedWhole) {
  Json::Value never = checkSong(7);
  expectOutcome(never, 1, "NOT CACHE MIDI FILE");
  EXPECT_FALSE(never["data"].isMember("lastMidiModified"));
  EXPECT_EQ(never["clientID"].asString(), "test-client");

  expectOutcome(saveSong(7, kSongBase64, "2015-06-01 08:30:05"), 0, "SUCCESS");
  EXPECT_EQ(readFile(service_.cachePath("7")), kSongBytes);
  EXPECT_EQ(sql("SELECT midiID, lastModifiedDate FROM Midi"), "7|2015-06-01 08:30:05");

  Json::Value cached = checkSong(7);
  expectOutcome(cached, 0, "ALREADY_CACHE_MIDI_FILE");
  EXPECT_EQ(cached["data"]["lastMidiModified"].asString(), "2015-06-01 08:30:05");

  // A second save replaces the file and updates the row.
  expectOutcome(saveSong(7, kShortBase64, "stamp 2"), 0, "SUCCESS");
  EXPECT_EQ(readFile(service_.cachePath("7")), kShortBytes);
  EXPECT_EQ(sql("SELECT midiID, lastModifiedDate FROM Midi"), "7|stamp 2");

  // A stamp holding SQL text is kept as text and touches no other row.
  expectOutcome(saveSong(8, kShortBase64, "x'); DELETE FROM Midi; --"), 0, "SUCCESS");
  EXPECT_EQ(checkSong(8)["data"]["lastMidiModified"].asString(), "x'); DELETE FROM Midi; --");
  EXPECT_EQ(sql("SELECT midiID, lastModifiedDate FROM Midi ORDER BY midiID"),
            "7|stamp 2\n8|x'); DELETE FROM Midi; --");

  EXPECT_TRUE(contains(service_.output(), "CvSaveSongMidiFlow::Process()\n"));
  EXPECT_TRUE(contains(service_.output(), "XML file path: " + service_.cachePath("7") + "\n"));
  std::string log = service_.log();
  EXPECT_TRUE(contains(log, "[INFO] [CvSaveSongMidiFlow] start...."));
  EXPECT_TRUE(contains(log, "[INFO] [CvSaveSongMidiFlow] return...."));
  EXPECT_TRUE(contains(log, "[INFO] CvCheckSongMidiCacheFlow::Process()"));
  EXPECT_TRUE(contains(log, "[INFO] [CvCheckSongMidiCacheFlow] return...."));
}

TEST_F(CacheCommandsTest, SongSaveRefusesEmptyContentAndNonNumericIds) {
  expectOutcome(saveSong(7, kSongBase64, "first"), 0, "SUCCESS");

  expectOutcome(saveSong(7, "", "second"), 3, kWriteError);
  expectOutcome(saveSong(7, "=QUJD", "third"), 3, kWriteError);
  // Base64 the decoder would stop inside: stored, it would be a song cut short.
  std::string song(kSongBase64);
  for (const std::string& cut : {song.substr(0, 20) + "\r\n" + song.substr(20),
                                 song.substr(0, 20) + "-" + song.substr(21),
                                 song.substr(0, 20) + "=" + song.substr(20),
                                 song.substr(0, 45)}) {
    expectOutcome(saveSong(7, cut, "cut"), 3, kWriteError);
  }
  EXPECT_TRUE(contains(service_.log(),
                       "[ERROR] [CvSaveSongMidiFlow] midiFile is not one line of Base64"));
  EXPECT_TRUE(contains(service_.log(), "[ERROR] [CvSaveSongMidiFlow] can not write midi file: " +
                                           service_.cachePath("7")));
  EXPECT_EQ(readFile(service_.cachePath("7")), kSongBytes);
  EXPECT_EQ(sql("SELECT midiID, lastModifiedDate FROM Midi"), "7|first");

  // An id sent as text: no data, nothing written.
  Json::Value textId = saveSong("8", kSongBase64, "x");
  EXPECT_EQ(textId["errorMessage"].asString(), "SUCCESS");
  EXPECT_FALSE(textId["data"].isMember("code"));
  EXPECT_FALSE(fs::exists(service_.cachePath("8")));
  EXPECT_TRUE(contains(service_.log(),
                       "[ERROR] [CvSaveSongMidiFlow] error message: Value is not convertible"));
  EXPECT_FALSE(checkSong("8")["data"].isMember("code"));
  EXPECT_TRUE(contains(service_.log(),
                       "[ERROR] [CvCheckSongMidiCacheFlow] getting data field eror: Value is not"));

  // A missing id is song 0.
  expectOutcome(saveSong(Json::Value(), kShortBase64, "zero"), 0, "SUCCESS");
  EXPECT_EQ(readFile(service_.cachePath("0")), kShortBytes);

  // A stamp that is not text: the file is written, the stamp is not stored and the
  // answer has no data members.
  Json::Value data(Json::objectValue);
  data["id"] = 9;
  data["midiFile"] = kShortBase64;
  data["lastMidiModified"] = 20240101;
  Json::Value numberStamp = client_.call(6, data);
  EXPECT_EQ(numberStamp["errorMessage"].asString(), "SUCCESS");
  EXPECT_FALSE(numberStamp["data"].isMember("code"));
  EXPECT_EQ(readFile(service_.cachePath("9")), kShortBytes);
  EXPECT_EQ(sql("SELECT count(*) FROM Midi WHERE midiID = '9'"), "0");
}

TEST_F(CacheCommandsTest, CacheFolderTakesThePlaceOfAFile) {
  writeFileBytes(service_.path("cache"), "stray file");
  expectOutcome(saveSong(5, kSongBase64, "s"), 0, "SUCCESS");
  EXPECT_TRUE(fs::is_directory(service_.path("cache")));
  EXPECT_EQ(readFile(service_.cachePath("5")), kSongBytes);
  expectOutcome(checkSong(5), 0, "ALREADY_CACHE_MIDI_FILE");
}

TEST_F(CacheCommandsTest, FolderThatCannotBeMadeEndsTheSaveWithoutAnswer) {
  // "cache" is a link into a path below a plain file: it can be neither used nor made.
  writeFileBytes(service_.path("blocker"), "x");
  fs::create_symlink(service_.path("blocker/cache"), service_.path("cache"));

  client_.sendText(R"({"methodName":6,"data":{"id":3,"midiFile":"QUJD"}})");
  ASSERT_TRUE(eventually([&] { return contains(service_.output(), "responseMessage = ''"); }));
  EXPECT_TRUE(
      contains(service_.log(), "[ERROR] [CvSaveSongMidiFlow]can not create \\cache folder"));
  client_.sendText(R"({"methodName":19,"data":{"exerciseId":3,"notation":"n"}})");
  ASSERT_TRUE(eventually([&] {
    return contains(service_.log(),
                    "[ERROR] [CvSaveNotationDataFlow]can not create \\cache folder");
  }));
  EXPECT_FALSE(client_.receive(std::chrono::milliseconds(300)));

  // The command lock was given back.
  expectOutcome(getNotation(3), 0, "SUCCESS");
  expectOutcome(checkSong(3), 1, "NOT CACHE MIDI FILE");
}

TEST_F(CacheCommandsTest, NotationTravelsByteForByte) {
  const std::string text =
      "<?xml version=\"1.0\"?>\n<score title='F\xc3\xbcr \xc3\x89lise'>\r\n"
      "\t\"quoted\" \\ back \xe9\x9f\xb3\xe6\xa5\xbd \xf0\x9f\x8e\xb9</score>\n";
  expectOutcome(saveNotation(12, text, "2020-02-02"), 0, "SUCCESS");
  EXPECT_EQ(readFile(service_.cachePath("12.txt")), text);
  EXPECT_EQ(sql("SELECT exersiseId, lastModifiedDate FROM Exersise"), "12|2020-02-02");

  Json::Value got = getNotation(12);
  expectOutcome(got, 0, "SUCCESS");
  EXPECT_EQ(got["data"]["notation"].asString(), text);
  EXPECT_EQ(got["data"]["lastXmlModified"].asString(), "2020-02-02");
  EXPECT_TRUE(
      contains(service_.log(), "[GETNOTATONDATAFLOW] - XML FILE FOUND, WE WILL COMPOSE IT"));

  expectOutcome(saveNotation(12, "short", "2020-03-03"), 0, "SUCCESS");
  EXPECT_EQ(readFile(service_.cachePath("12.txt")), "short");
  EXPECT_EQ(sql("SELECT exersiseId, lastModifiedDate FROM Exersise"), "12|2020-03-03");

  expectOutcome(saveNotation(12, "", "2020-04-04"), 3, kWriteError);
  EXPECT_TRUE(
      contains(service_.log(), "[ERROR] [CvSaveNotationDataFlow] can not write notation file: " +
                                   service_.cachePath("12.txt")));
  EXPECT_EQ(readFile(service_.cachePath("12.txt")), "short");
  EXPECT_EQ(sql("SELECT lastModifiedDate FROM Exersise"), "2020-03-03");

  Json::Value never = getNotation(99);
  expectOutcome(never, 0, "SUCCESS");
  EXPECT_EQ(never["data"]["notation"].asString(), "");
  EXPECT_EQ(never["data"]["lastXmlModified"].asString(), "");
  EXPECT_TRUE(contains(service_.log(), "[GETNOTATIONDATAFLOW] - FILE NOT FOUND - WE RETURN EMPTY"));

  writeFileBytes(service_.cachePath("13.txt"), "loose");
  Json::Value loose = getNotation(13);
  EXPECT_EQ(loose["data"]["notation"].asString(), "loose");
  EXPECT_EQ(loose["data"]["lastXmlModified"].asString(), "");
  EXPECT_TRUE(
      contains(service_.log(),
               "[GETNOTATIONDATAFLOW]- FILE FOUND BUT DON NOT HAVE INFORMATION ON DATABASE"));

  EXPECT_FALSE(saveNotation("14", "text", "s")["data"].isMember("code"));
  EXPECT_FALSE(fs::exists(service_.cachePath("14.txt")));
}

// Text the service holds that is not UTF-8 (bytes saved over a binary frame, a lone
// surrogate sent as an escape) still makes an answer that a text frame can carry:
// each get is answered, lone surrogates as their escapes, other stray bytes as
// U+FFFD; the files keep the bytes as saved.
TEST_F(CacheCommandsTest, AnswersAreValidUtf8WhateverWasStored) {
  expectOutcome(saveSong(1, kSongBase64, "s"), 0, "SUCCESS");  // makes the folder
  const std::string rawNotation = "ok \xff\xfe end \xc3\xa9 cut\xe2\x82 x \xed\xb2\x80";
  const std::string rawKey = "\x80key\xf0\x9f\x8e\xb9";
  const std::string saves[] = {
      R"({"methodName":19,"clientID":"bin","data":{"exerciseId":12,"lastXmlModified":"b","notation":")" +
          rawNotation + "\"}}",
      R"({"methodName":21,"clientID":"bin","data":{"EncryptionKey":")" + rawKey + "\"}}",
  };
  for (const std::string& save : saves) {
    client_.sendBinary(save);
    std::optional<TestFrame> answer = client_.receive();
    ASSERT_TRUE(answer) << save;
    EXPECT_EQ(parseJson(answer->payload)["data"]["code"], 0) << answer->payload;
  }
  client_.sendText(
      R"({"methodName":19,"data":{"exerciseId":13,"lastXmlModified":"t","notation":"a\udc80b\ud83c\udfb9"}})");
  ASSERT_TRUE(client_.receive());

  const std::string replacement = "\xef\xbf\xbd";
  struct Get {
    std::string request;
    std::string answered;  // as it stands in the answer text
    bool textToo;          // a request that is no UTF-8 itself goes only as binary
  };
  const Get gets[] = {
      {R"({"methodName":20,"data":{"exerciseId":12}})",
       "\"ok " + replacement + replacement + " end \xc3\xa9 cut" + replacement +
           " x \\udc80\"", true},
      {R"({"methodName":22,"clientID":"bin"})", "\"" + replacement + "key\xf0\x9f\x8e\xb9\"", true},
      {R"({"methodName":20,"data":{"exerciseId":13}})", "\"a\\udc80b\xf0\x9f\x8e\xb9\"", true},
      // A clientID that is no UTF-8, echoed.
      {"{\"methodName\":1,\"clientID\":\"\xc0\xafid\"}", "\"" + replacement + replacement + "id\"",
       false},
  };
  for (const Get& get : gets) {
    SCOPED_TRACE(get.request);
    for (bool binary : {false, true}) {
      if (!binary && !get.textToo) continue;
      if (binary) {
        client_.sendBinary(get.request);
      } else {
        client_.sendText(get.request);
      }
      std::optional<TestFrame> answer = client_.receive();
      ASSERT_TRUE(answer) << (binary ? "binary" : "text") << " request unanswered";
      EXPECT_EQ(answer->binary, binary);
      EXPECT_TRUE(contains(answer->payload, get.answered)) << answer->payload;
      EXPECT_FALSE(parseJson(answer->payload).isNull()) << answer->payload;
    }
  }
  EXPECT_EQ(readFile(service_.cachePath("12.txt")), rawNotation);
  EXPECT_EQ(getKey("bin")["data"]["code"], 0);
  EXPECT_FALSE(contains(service_.log(), "answer not sent")) << service_.log();
}

TEST_F(CacheCommandsTest, MissingTablesAnswerTheirFailureCodes) {
  sql("DROP TABLE Midi");
  sql("DROP TABLE Exersise");

  expectOutcome(saveSong(7, kSongBase64, "s"), -1, "[CvSaveSongMidiFlow] FAIL TO UPDATE DTBs");
  EXPECT_EQ(readFile(service_.cachePath("7")), kSongBytes);
  Json::Value check = checkSong(7);
  expectOutcome(check, 0, "ALREADY_CACHE_MIDI_FILE");
  EXPECT_FALSE(check["data"].isMember("lastMidiModified"));

  expectOutcome(saveNotation(12, "text", "s"), -1,
                "[CvSaveNotationDataFlow] ERROR WHEN UPDATE DATA TO DTBs");
  Json::Value got = getNotation(12);
  expectOutcome(got, 0, "SUCCESS");
  EXPECT_EQ(got["data"]["notation"].asString(), "text");
  EXPECT_EQ(got["data"]["lastXmlModified"].asString(), "");

  EXPECT_TRUE(contains(service_.log(), "no such table: Midi"));
  EXPECT_TRUE(contains(service_.log(), "no such table: Exersise"));
  expectOutcome(checkSong(8), 1, "NOT CACHE MIDI FILE");
  EXPECT_TRUE(service_.running());
}

TEST_F(CacheCommandsTest, KeysAreParkedScrambledPerClient) {
  Json::Value early = saveKey("A", "k");
  expectOutcome(early, 3, kWriteError);
  EXPECT_FALSE(early["data"].isMember("EncryptionKey"));
  EXPECT_FALSE(fs::exists(service_.path("cache")));

  expectOutcome(saveSong(1, kSongBase64, "s"), 0, "SUCCESS");  // makes the folder
  const std::string key = "s3cr\"et \xd0\xba\xd0\xbb\xd1\x8e\xd1\x87 42";
  Json::Value saved = saveKey("A", key);
  expectOutcome(saved, 0, "SUCCESS");
  EXPECT_FALSE(saved["data"].isMember("EncryptionKey"));
  std::string stored = readFile(service_.cachePath("AEncryptionKey"));
  ASSERT_EQ(stored.size(), key.size());
  EXPECT_FALSE(contains(stored, "s3cr"));

  Json::Value got = getKey("A");
  expectOutcome(got, 0, "SUCCESS");
  EXPECT_EQ(got["data"]["EncryptionKey"].asString(), key);
  Json::Value other = getKey("B");
  expectOutcome(other, 1, kWriteError);
  EXPECT_EQ(other["data"]["EncryptionKey"].asString(), "");

  expectOutcome(saveKey("A", ""), 3, kWriteError);
  EXPECT_EQ(readFile(service_.cachePath("AEncryptionKey")), stored);

  // The pad the file was scrambled with, sent as the key, is stored as zero bytes.
  std::string pad;
  for (int i = 0; i < 6; ++i) pad.push_back(static_cast<char>(stored[i % 3] ^ key[i % 3]));
  expectOutcome(saveKey("A", pad), 0, "SUCCESS");
  EXPECT_EQ(readFile(service_.cachePath("AEncryptionKey")), std::string(6, '\0'));
  EXPECT_EQ(getKey("A")["data"]["EncryptionKey"].asString(), pad);

  expectOutcome(saveKey("", "nobody's"), 0, "SUCCESS");
  EXPECT_TRUE(fs::exists(service_.cachePath("EncryptionKey")));
  EXPECT_EQ(getKey("")["data"]["EncryptionKey"].asString(), "nobody's");
}

// Two saves for one client at the same moment, again and again: both answer SUCCESS,
// the stored key is always one of the two whole, and no side file is left behind.
TEST_F(CacheCommandsTest, KeySavesAtTheSameMomentLeaveOneWholeKey) {
  expectOutcome(saveSong(1, kSongBase64, "s"), 0, "SUCCESS");  // makes the folder
  // Long keys of different lengths and bytes, so a mix or a cut of them shows.
  const std::string keys[2] = {std::string(60000, 'a') + "end of a",
                               std::string(45000, 'b') + "end of b"};
  std::string saves[2];
  for (int i = 0; i < 2; ++i) {
    Json::Value request(Json::objectValue);
    request["methodName"] = 21;
    request["clientID"] = "racer";
    request["data"]["EncryptionKey"] = keys[i];
    saves[i] = request.toStyledString();
  }
  TestClient senders[2];
  for (TestClient& sender : senders) ASSERT_TRUE(sender.connect());

  const int kRounds = 300;
  int bothSaved = 0;
  int whole = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  int round = 0;
  for (; round < kRounds && std::chrono::steady_clock::now() < deadline; ++round) {
    senders[0].sendText(saves[round % 2]);
    senders[1].sendText(saves[(round + 1) % 2]);
    bool saved = true;
    for (TestClient& sender : senders) {
      std::optional<TestFrame> answer = sender.receive(std::chrono::seconds(10));
      ASSERT_TRUE(answer) << "round " << round << ": a save went unanswered";
      saved = saved && parseJson(answer->payload)["data"]["code"] == 0;
    }
    bothSaved += saved ? 1 : 0;
    std::string got = getKey("racer")["data"]["EncryptionKey"].asString();
    whole += (got == keys[0] || got == keys[1]) ? 1 : 0;
  }
  EXPECT_GT(round, 50) << "too few rounds in the time";
  EXPECT_EQ(bothSaved, round);
  EXPECT_EQ(whole, round);
  std::set<std::string> left = entriesOf(service_.path("cache"));
  EXPECT_EQ(left, (std::set<std::string>{"1", "racerEncryptionKey"}));
}

TEST_F(CacheCommandsTest, PathLikeClientIdsNeverLeaveTheCacheFolder) {
  expectOutcome(saveSong(7, kSongBase64, "s"), 0, "SUCCESS");
  fs::create_directories(service_.cachePath("a"));
  writeFileBytes(service_.path("xEncryptionKey"), "planted");
  const std::string unique = fs::path(service_.folder()).filename().string() + "-x";
  const std::string parent = fs::path(service_.folder()).parent_path().string();
  std::set<std::string> installBefore = entriesOf(service_.folder());

  for (const std::string& clientID :
       {std::string("../x"), std::string("a/b"), std::string(".."), std::string("."),
        std::string("a\\b"), "../../" + unique, std::string("7\0", 2)}) {
    SCOPED_TRACE(clientID);
    Json::Value saved = saveKey(clientID, "key");
    expectOutcome(saved, 3, kWriteError);
    Json::Value got = getKey(clientID);
    expectOutcome(got, 1, kWriteError);
    EXPECT_EQ(got["data"]["EncryptionKey"].asString(), "");
  }

  EXPECT_EQ(entriesOf(service_.folder()), installBefore);
  EXPECT_EQ(readFile(service_.path("xEncryptionKey")), "planted");
  EXPECT_FALSE(fs::exists(parent + "/" + unique + "EncryptionKey"));
  EXPECT_EQ(entriesOf(service_.path("cache")), (std::set<std::string>{"7", "a"}));
  EXPECT_TRUE(fs::is_empty(service_.cachePath("a")));
  EXPECT_EQ(readFile(service_.cachePath("7")), kSongBytes);
}

TEST_F(CacheCommandsTest, SongSaveWaitsWhileAnotherCommandHoldsTheLock) {
  expectOutcome(saveNotation(1, "makes the folder", "s"), 0, "SUCCESS");
  // A notation file that is a pipe: the get-notation command blocks opening it while
  // it holds the command lock, until the test opens the other end.
  ASSERT_EQ(mkfifo(service_.cachePath("12.txt").c_str(), 0644), 0);
  client_.sendText(R"({"methodName":20,"data":{"exerciseId":12}})");
  ASSERT_TRUE(
      eventually([&] { return contains(service_.log(), "[CvGetNotationDataFlow]-START"); }));

  TestClient second;
  ASSERT_TRUE(second.connect());
  second.sendText(
      R"({"methodName":6,"data":{"id":4242,"midiFile":"QUJD","lastMidiModified":"w"}})");
  ASSERT_TRUE(eventually([&] { return contains(service_.log(), "\"id\":4242"); }));
  // Received and decoded, yet it must not start while the lock is held. (A slow
  // machine can only hide a fault here, never invent one.)
  EXPECT_FALSE(second.receive(std::chrono::milliseconds(300)));
  EXPECT_FALSE(contains(service_.log(), "[CvSaveSongMidiFlow] start...."));

  // The feeder may write just after the service closed its end of the pipe.
  std::signal(SIGPIPE, SIG_IGN);
  std::atomic<bool> done{false};
  std::thread feeder([&] {
    while (!done) {
      int fd = open(service_.cachePath("12.txt").c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) {
        (void)!write(fd, "held", 4);
        close(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  auto first = client_.receive(std::chrono::seconds(10));
  auto waited = second.receive(std::chrono::seconds(10));
  done = true;
  feeder.join();

  ASSERT_TRUE(first);
  ASSERT_TRUE(waited);
  EXPECT_EQ(parseJson(first->payload)["data"]["code"].asInt(), 0);
  expectOutcome(parseJson(waited->payload), 0, "SUCCESS");
  std::string log = service_.log();
  EXPECT_LT(log.find("[CvGetNotationData] Before return....."),
            log.find("[CvSaveSongMidiFlow] start...."));
  EXPECT_EQ(readFile(service_.cachePath("4242")), "ABC");
}

}  // namespace
