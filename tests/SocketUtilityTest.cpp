// The envelope coder and the shared text helpers, in-process: the conversions a
// client can only provoke one at a time through the socket are checked here in bulk.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <regex>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/StringQueueAppender.hh>

#include "link/CvSocketUtility.h"
#include "service/CvLog.h"

namespace {

using CvSocketUtility::encodeResponse;
using CvSocketUtility::parseRequest;

const char* const kNotConvertible = "Type is not convertible to string";

// Collects what the program logs as "[LEVEL] message" lines.
class SocketUtility : public ::testing::Test {
 protected:
  void SetUp() override {
    capture_ = new log4cpp::StringQueueAppender("capture");
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern("[%p] %m");
    capture_->setLayout(layout);
    cvlog::category().setPriority(log4cpp::Priority::INFO);
    cvlog::category().addAppender(capture_);  // the category owns and frees it
  }
  void TearDown() override { cvlog::category().removeAppender(capture_); }

  std::vector<std::string> logged() {
    std::vector<std::string> lines;
    auto& queue = capture_->getQueue();
    while (!queue.empty()) {
      lines.push_back(queue.front());
      queue.pop();
    }
    return lines;
  }

  // Lines at the level that start with prefix.
  static size_t count(const std::vector<std::string>& lines, const std::string& level,
                      const std::string& prefix) {
    size_t n = 0;
    for (const std::string& line : lines) {
      if (line.rfind("[" + level + "] " + prefix, 0) == 0) ++n;
    }
    return n;
  }

  log4cpp::StringQueueAppender* capture_ = nullptr;
};

TEST_F(SocketUtility, MethodNameConvertsLikeTheJsonLibraryOrGivesMinusOne) {
  struct Case {
    const char* text;
    int methodName;
    bool warns;
  };
  const std::vector<Case> cases = {
      {R"({"methodName":16})", 16, false},
      {R"({"methodName":16.9})", 16, false},
      {R"({"methodName":-3.7})", -3, false},
      {R"({"methodName":-0.5})", 0, false},
      {R"({"methodName":true})", 1, false},
      {R"({"methodName":false})", 0, false},
      {R"({"methodName":null})", 0, false},
      {R"({"clientID":"x"})", 0, false},
      {R"({"methodName":2147483647})", 2147483647, false},
      {R"({"methodName":-2147483648})", -2147483647 - 1, false},
      {R"({"methodName":2147483648})", -1, true},
      {R"({"methodName":-2147483649})", -1, true},
      {R"({"methodName":18446744073709551615})", -1, true},
      {R"({"methodName":1e10})", -1, true},
      {R"({"methodName":"1"})", -1, true},
      {R"({"methodName":[1]})", -1, true},
      {R"({"methodName":{}})", -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto request = parseRequest(c.text);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->methodName, c.methodName);
    std::vector<std::string> lines = logged();
    EXPECT_EQ(count(lines, "WARN", "[CvUtility] Json request not containing method name"),
              c.warns ? 1u : 0u);
    EXPECT_EQ(count(lines, "ERROR", ""), 0u);
  }
}

TEST_F(SocketUtility, TextMembersConvertScalarsAndRejectContainers) {
  struct Case {
    const char* value;
    const char* text;
  };
  const std::vector<Case> scalars = {
      {R"("abc")", "abc"},  {"true", "true"},    {"false", "false"},
      {"null", ""},         {"12345", "12345"},  {"-42", "-42"},
      {"18446744073709551615", "18446744073709551615"}, {R"("")", ""},
  };
  for (const Case& c : scalars) {
    SCOPED_TRACE(c.value);
    std::string v = c.value;
    auto request = parseRequest(
        R"({"methodName":1,"clientID":)" + v + R"(,"clientSecret":)" + v + R"(,"token":)" + v +
        R"(,"expiredDate":)" + v + R"(,"encoding":)" + v + R"(,"requestDate":)" + v +
        R"(,"installationId":)" + v + "}");
    ASSERT_NE(request, nullptr);
    for (const std::string* field :
         {&request->clientID, &request->clientSecret, &request->token, &request->expiredDate,
          &request->encoding, &request->requestDate, &request->installationId}) {
      EXPECT_EQ(*field, c.text);
    }
    EXPECT_EQ(count(logged(), "ERROR", ""), 0u);
  }

  // Arrays and objects fail member by member; the other members are still read.
  for (const char* container : {"{}", "[1]"}) {
    SCOPED_TRACE(container);
    std::string v = container;
    auto request = parseRequest(R"({"clientID":)" + v + R"(,"clientSecret":)" + v +
                                R"(,"token":)" + v + R"(,"expiredDate":)" + v +
                                R"(,"encoding":)" + v + R"(,"requestDate":)" + v +
                                R"(,"installationId":)" + v +
                                R"(,"methodName":7,"data":{"k":1}})");
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->methodName, 7);
    EXPECT_EQ(request->data["k"].asInt(), 1);
    for (const std::string* field :
         {&request->clientID, &request->clientSecret, &request->token, &request->expiredDate,
          &request->encoding, &request->requestDate, &request->installationId}) {
      EXPECT_EQ(*field, "");
    }
    std::vector<std::string> lines = logged();
    const std::string e = std::string(" error ") + kNotConvertible;
    EXPECT_EQ(count(lines, "ERROR", "[CvUtility] get client id" + e), 1u);
    EXPECT_EQ(count(lines, "ERROR", "[CvUtility] get client secret" + e), 1u);
    EXPECT_EQ(count(lines, "ERROR", "[CvUtility] get token" + e), 1u);
    EXPECT_EQ(count(lines, "ERROR", "[CvUtility] get expired date" + e), 1u);
    EXPECT_EQ(count(lines, "ERROR", "[CvUtility] get encoding" + e), 1u);
    EXPECT_EQ(count(lines, "ERROR", "[CvUtility] get request date" + e), 1u);
    EXPECT_EQ(count(lines, "ERROR", ""), 7u);  // the six above and installationId's
    EXPECT_EQ(count(lines, "WARN", ""), 0u);
  }
}

TEST_F(SocketUtility, DataIsKeptAsItStands) {
  EXPECT_TRUE(parseRequest(R"({"methodName":1})")->data.isNull());
  EXPECT_TRUE(parseRequest(R"({"data":null})")->data.isNull());
  Json::Value array = parseRequest(R"({"data":[1,"a",{"b":null}]})")->data;
  ASSERT_TRUE(array.isArray());
  EXPECT_EQ(array.size(), 3u);
  EXPECT_EQ(array[1].asString(), "a");
  EXPECT_TRUE(array[2].isMember("b"));
  Json::Value zero = parseRequest(R"({"data":0})")->data;
  EXPECT_TRUE(zero.isInt());
  EXPECT_EQ(parseRequest(R"({"data":"text"})")->data.asString(), "text");
}

TEST_F(SocketUtility, EmptyInvalidAndNonObjectPayloads) {
  EXPECT_EQ(parseRequest(""), nullptr);
  logged();

  for (const char* text : {"{", "not json", "   ", R"({"methodName":31)"}) {
    SCOPED_TRACE(text);
    auto request = parseRequest(text);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->methodName, -1);
    EXPECT_EQ(request->clientID, "");
    std::vector<std::string> lines = logged();
    EXPECT_EQ(count(lines, "ERROR", "[CvSocketUtility] jsoncpp parse fail"), 1u);
    EXPECT_EQ(count(lines, "INFO", std::string("[CvUtility] JSON REQUEST:") + text), 1u);
  }

  for (const char* text : {"[1,2]", "42", R"("text")", "true"}) {
    SCOPED_TRACE(text);
    auto request = parseRequest(text);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->methodName, -1);
    EXPECT_TRUE(request->data.isNull());
    std::vector<std::string> lines = logged();
    EXPECT_EQ(count(lines, "ERROR", "[CvUtility] get data error "), 1u);
    EXPECT_EQ(count(lines, "ERROR", "[CvUtility] get client id error "), 1u);
    EXPECT_EQ(count(lines, "ERROR", ""), 8u);  // seven text members and data
    EXPECT_EQ(count(lines, "WARN", "[CvUtility] Json request not containing method name"), 1u);
    EXPECT_EQ(count(lines, "ERROR", "[CvSocketUtility] jsoncpp parse fail"), 0u);
  }
}

TEST_F(SocketUtility, EncodeWritesSortedCompactLineWithItsOwnRules) {
  CvResponse empty;
  EXPECT_EQ(encodeResponse(empty), "{\"data\":null,\"errorMessage\":\"\",\"responseCode\":0}\n");

  CvResponse zero;
  zero.data = Json::Value(0);
  EXPECT_EQ(encodeResponse(zero), "{\"errorMessage\":\"\",\"responseCode\":0}\n");
  zero.data = Json::Value(0u);
  EXPECT_EQ(encodeResponse(zero), "{\"errorMessage\":\"\",\"responseCode\":0}\n");
  // Only the integer 0 is left out: other falsy values are answers.
  zero.data = Json::Value(false);
  EXPECT_EQ(encodeResponse(zero),
            "{\"data\":false,\"errorMessage\":\"\",\"responseCode\":0}\n");
  zero.data = Json::Value("0");
  EXPECT_EQ(encodeResponse(zero), "{\"data\":\"0\",\"errorMessage\":\"\",\"responseCode\":0}\n");
  zero.data = Json::Value(Json::arrayValue);
  EXPECT_EQ(encodeResponse(zero), "{\"data\":[],\"errorMessage\":\"\",\"responseCode\":0}\n");

  CvResponse full;
  full.clientID = "id";
  full.clientSecret = "secret";
  full.data["b"] = 1;
  full.data["B"] = 2;
  full.data["a"] = Json::Value();
  full.responseCode = -1;
  full.errorMessage = "line\nbreak \"quoted\"";
  full.token = "tok";
  full.expiredDate = "exp";
  full.encoding = "enc";
  full.responseDate = "2015-06-01 08:30:05.042317";
  full.installationId = "never written";
  EXPECT_EQ(encodeResponse(full),
            "{\"clientID\":\"id\",\"clientSecret\":\"secret\","
            "\"data\":{\"B\":2,\"a\":null,\"b\":1},\"encoding\":\"enc\","
            "\"errorMessage\":\"line\\nbreak \\\"quoted\\\"\",\"expiredDate\":\"exp\","
            "\"responseCode\":-1,\"responseDate\":\"2015-06-01 08:30:05.042317\","
            "\"token\":\"tok\"}\n");
}

TEST_F(SocketUtility, NowTextIsUtcWithMicroseconds) {
  setenv("TZ", "CVT-5", 1);  // local time far from UTC, so a local stamp shows
  tzset();
  std::string now = CvSocketUtility::nowText();
  ASSERT_TRUE(std::regex_match(now, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6})")))
      << now;
  std::tm parts{};
  ASSERT_NE(strptime(now.c_str(), "%Y-%m-%d %H:%M:%S", &parts), nullptr);
  std::time_t stamped = timegm(&parts);
  EXPECT_LE(std::abs(std::difftime(std::time(nullptr), stamped)), 5.0) << now;
}

TEST_F(SocketUtility, NumberToStringIsDecimal) {
  EXPECT_EQ(CvSocketUtility::numberToString(0), "0");
  EXPECT_EQ(CvSocketUtility::numberToString(-17), "-17");
  EXPECT_EQ(CvSocketUtility::numberToString(2147483647), "2147483647");
  EXPECT_EQ(CvSocketUtility::numberToString(-2147483647 - 1), "-2147483648");
}

TEST_F(SocketUtility, WaitMillisecondsWaitsAtLeastTheAskedTime) {
  for (long ms : {1L, 7L, 40L}) {
    auto start = std::chrono::steady_clock::now();
    CvSocketUtility::waitMilliseconds(start, ms);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms)) << ms;
  }
  // A start long past, or nothing to wait for, returns at once.
  auto before = std::chrono::steady_clock::now();
  CvSocketUtility::waitMilliseconds(before - std::chrono::milliseconds(500), 200);
  CvSocketUtility::waitMilliseconds(std::chrono::steady_clock::now(), 0);
  CvSocketUtility::waitMilliseconds(std::chrono::steady_clock::now(), -5);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));

  // With a flag it ends when the flag is cleared: a 30 s beat stopped after 50 ms.
  std::atomic<bool> playing{true};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    playing = false;
  });
  before = std::chrono::steady_clock::now();
  CvSocketUtility::waitMilliseconds(before, 30000, &playing);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  // Set all along, it waits the whole time.
  playing = true;
  before = std::chrono::steady_clock::now();
  CvSocketUtility::waitMilliseconds(before, 40, &playing);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(40));
}

TEST_F(SocketUtility, NewUuidTextIsRandomVersionFourAndUnique) {
  const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  std::mutex seenMutex;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2500; ++i) {
        std::string id = CvSocketUtility::newUuidText();
        std::lock_guard<std::mutex> lock(seenMutex);
        seen.insert(id);
        if (!std::regex_match(id, form)) ADD_FAILURE() << id;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(seen.size(), 10000u);
  EXPECT_EQ(seen.begin()->size(), 36u);
}

}  // namespace
