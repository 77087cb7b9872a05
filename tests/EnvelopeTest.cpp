// The request and response envelopes as the web application meets them: what the
// service makes of odd requests, and the exact bytes of its answers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>

#include "tests/support/TestClient.h"
#include "tests/support/TestService.h"

namespace {

const char* const kNoOperation = "No operation";
const char* const kKeepAliveData = R"("data":{"pluginVersion":"0.0.4.0"})";
const char* const kLogLineStart = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} )";

class Envelope : public ::testing::Test {
 protected:
  void SetUp() override {
    // Local time far from UTC, so an answer stamped with local time shows.
    setenv("TZ", "CVT-5", 1);
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(client.connect());
  }

  // Sends text and returns the answer frame's payload; logged receives the lines the
  // log gained until the answer came.
  std::string ask(const std::string& text, std::string* logged = nullptr) {
    size_t mark = service.log().size();
    client.sendText(text);
    std::optional<TestFrame> frame = client.receive();
    if (!frame) {
      ADD_FAILURE() << "no answer to " << text;
      return std::string();
    }
    EXPECT_FALSE(frame->binary);
    if (logged != nullptr) *logged = service.log().substr(mark);
    return frame->payload;
  }

  // Compares an answer with expected, where "@DATE@" stands for the responseDate
  // value; that value must be the current UTC time with six fraction digits.
  static void expectAnswer(const std::string& answer, const std::string& expected) {
    size_t at = expected.find("@DATE@");
    ASSERT_NE(at, std::string::npos);
    std::string head = expected.substr(0, at);
    std::string tail = expected.substr(at + 6);
    ASSERT_GT(answer.size(), head.size() + tail.size()) << answer;
    std::string date = answer.substr(head.size(), answer.size() - head.size() - tail.size());
    EXPECT_EQ(answer, head + date + tail);
    ASSERT_TRUE(std::regex_match(date, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6})")))
        << date;
    std::tm parts{};
    ASSERT_NE(strptime(date.c_str(), "%Y-%m-%d %H:%M:%S", &parts), nullptr);
    EXPECT_LE(std::abs(std::difftime(std::time(nullptr), timegm(&parts))), 5.0)
        << date << " is not the UTC time now";
  }

  static bool hasLogLine(const std::string& log, const std::string& levelAndText) {
    return std::regex_search(log, std::regex(std::string("(^|\n)") + kLogLineStart +
                                             escaped(levelAndText) + "(\n|$)"));
  }

  static size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

  static std::string escaped(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
  }

  TestService service;
  TestClient client;
};

TEST_F(Envelope, KeepAliveAnswerEchoesIdentityInByteOrder) {
  expectAnswer(ask(R"({"requestDate":"2001-01-01 00:00:00.000000","methodName":31,)"
                   R"("token":"t","clientSecret":"s","installationId":"inst-1",)"
                   R"("encoding":"utf8","expiredDate":"e","clientID":"c1"})"),
               std::string(R"({"clientID":"c1","clientSecret":"s",)") + kKeepAliveData +
                   R"(,"encoding":"utf8","errorMessage":"SUCCESS","expiredDate":"e",)"
                   R"("responseCode":0,"responseDate":"@DATE@","token":"t"})"
                   "\n");
  // Nothing to echo: only the members every answer has.
  expectAnswer(ask(R"({"methodName":31})"),
               std::string("{") + kKeepAliveData +
                   R"(,"errorMessage":"SUCCESS","responseCode":0,"responseDate":"@DATE@"})"
                   "\n");
  // A real code is truncated toward zero; 31.7 is a keep-alive.
  expectAnswer(ask(R"({"methodName":31.7,"clientID":"k"})"),
               std::string(R"({"clientID":"k",)") + kKeepAliveData +
                   R"(,"errorMessage":"SUCCESS","responseCode":0,"responseDate":"@DATE@"})"
                   "\n");
}

TEST_F(Envelope, CommandAnswerFollowsTheSameEnvelope) {
  expectAnswer(ask(R"({"methodName":1})"),
               R"({"data":{"pluginVersion":"0.0.4.0"},"errorMessage":"SUCCESS",)"
               R"("responseCode":0,"responseDate":"@DATE@"})"
               "\n");
  expectAnswer(ask(R"({"methodName":1,"clientID":"c","clientSecret":"s","token":"t",)"
                   R"("expiredDate":"e","encoding":"x","requestDate":"r","installationId":"i",)"
                   R"("data":{"ignored":true}})"),
               R"({"clientID":"c","clientSecret":"s","data":{"pluginVersion":"0.0.4.0"},)"
               R"("encoding":"x","errorMessage":"SUCCESS","expiredDate":"e","responseCode":0,)"
               R"("responseDate":"@DATE@","token":"t"})"
               "\n");
  expectAnswer(ask(R"({"methodName":16.9,"clientID":"v"})"),
               R"({"clientID":"v","data":{"code":0,"version":"0.0.4.0"},"errorMessage":"SUCCESS",)"
               R"("responseCode":0,"responseDate":"@DATE@"})"
               "\n");
  // true converts to 1.
  expectAnswer(ask(R"({"methodName":true})"),
               R"({"data":{"pluginVersion":"0.0.4.0"},"errorMessage":"SUCCESS",)"
               R"("responseCode":0,"responseDate":"@DATE@"})"
               "\n");
}

TEST_F(Envelope, ClientIdIsReadAsText) {
  expectAnswer(ask(R"({"methodName":31,"clientID":12345})"),
               std::string(R"({"clientID":"12345",)") + kKeepAliveData +
                   R"(,"errorMessage":"SUCCESS","responseCode":0,"responseDate":"@DATE@"})"
                   "\n");
  expectAnswer(ask(R"({"methodName":1,"clientID":false})"),
               R"({"clientID":"false","data":{"pluginVersion":"0.0.4.0"},"errorMessage":"SUCCESS",)"
               R"("responseCode":0,"responseDate":"@DATE@"})"
               "\n");

  std::string logged;
  expectAnswer(ask(R"({"methodName":31,"clientID":{},"token":"still read"})", &logged),
               std::string("{") + kKeepAliveData +
                   R"(,"errorMessage":"SUCCESS","responseCode":0,"responseDate":"@DATE@",)"
                   R"("token":"still read"})"
                   "\n");
  EXPECT_TRUE(hasLogLine(
      logged, "[ERROR] [CvUtility] get client id error Type is not convertible to string"))
      << logged;

  // Quotes, controls and non-ASCII text come back as they were sent.
  Json::Value answer = parseJson(ask(R"({"methodName":1,"clientID":"Cl\u00e9 \u266a \"q\"\n"})"));
  EXPECT_EQ(answer["clientID"].asString(), "Cl\xc3\xa9 \xe2\x99\xaa \"q\"\n");
}

TEST_F(Envelope, MethodNameThatIsNotANumberIsNoOperation) {
  std::string logged;
  EXPECT_EQ(ask(R"({"methodName":"1","clientID":"c"})", &logged), kNoOperation);
  EXPECT_TRUE(hasLogLine(logged, "[WARN] [CvUtility] Json request not containing method name"))
      << logged;
  // A keep-alive code written as text is no keep-alive either.
  EXPECT_EQ(ask(R"({"methodName":"31"})", &logged), kNoOperation);
  EXPECT_EQ(logged.find("KEEP ALIVE REQUEST"), std::string::npos) << logged;
  EXPECT_EQ(ask(R"({"methodName":[1]})"), kNoOperation);
  EXPECT_EQ(ask(R"({"methodName":4294967327})"), kNoOperation);  // 2^32 + 31
}

TEST_F(Envelope, JsonThatIsNotAnObjectIsNoOperation) {
  for (const char* text : {"[1,2]", "42"}) {
    SCOPED_TRACE(text);
    std::string logged;
    EXPECT_EQ(ask(text, &logged), kNoOperation);
    for (const char* member : {"client id", "client secret", "token", "expired date", "encoding",
                               "request date", "data"}) {
      EXPECT_TRUE(std::regex_search(
          logged, std::regex(std::string(kLogLineStart) + R"(\[ERROR\] \[CvUtility\] get )" +
                             member + " error .")))
          << member << " in\n"
          << logged;
    }
    // Every member a decoding reads fails: seven text members and data, then the
    // method name's WARN line.
    size_t errors = count(logged, "[ERROR] ");
    size_t warnings = count(logged, "[WARN] [CvUtility] Json request not containing method name");
    EXPECT_GE(warnings, 1u);
    EXPECT_EQ(errors, 8 * warnings) << logged;
  }
}

TEST_F(Envelope, TextThatIsNotJsonIsNoOperation) {
  for (const char* text : {R"({"methodName":31)", "hello", "{'methodName':31}"}) {
    SCOPED_TRACE(text);
    std::string logged;
    EXPECT_EQ(ask(text, &logged), kNoOperation);
    EXPECT_TRUE(hasLogLine(logged, "[ERROR] [CvSocketUtility] jsoncpp parse fail")) << logged;
    EXPECT_TRUE(hasLogLine(logged, std::string("[INFO] [CvUtility] JSON REQUEST:") + text));
  }
}

TEST_F(Envelope, CodesWithoutACommandAreNoOperation) {
  EXPECT_EQ(ask(""), kNoOperation);
  for (const char* text :
       {R"({"methodName":13})", R"({"methodName":24})", R"({"methodName":0})",
        R"({"methodName":-1})", R"({"methodName":999})", R"({"methodName":null})",
        R"({"clientID":"no code"})", R"({})", R"({"methodName":-0.9})"}) {
    EXPECT_EQ(ask(text), kNoOperation) << text;
  }
  // Still serving after all of that.
  EXPECT_EQ(parseJson(ask(R"({"methodName":31})"))["responseCode"].asInt(), 0);
}

}  // namespace
