// The protocol reference (docs/protocol.md) replayed against the real service: every
// request block is sent in document order, on a JACK rig with the keyboard and sound
// module the document describes, and the answer must be the block that follows it.
// So the document cannot drift from the program.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/DeviceChecks.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestService.h"
#include "tests/support/TestSynth.h"

namespace {

using std::chrono::milliseconds;

// One request block of the document, with the answer block right after it, if any.
struct DocExample {
  int line = 0;  // of the request's opening fence
  std::string request;
  bool requestIsJson = false;
  std::optional<std::string> answer;
  bool answerIsJson = false;
  std::string replay;  // what the "<!-- replay: ... -->" comment before it asks for
};

struct Document {
  std::vector<DocExample> examples;
  std::vector<std::string> faults;  // blocks that break the example form
};

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Fenced blocks whose info string is "<language> request" or "<language> answer"; an
// answer belongs to the request block it follows with nothing but blank lines between.
Document readDocument(const std::string& path) {
  Document document;
  std::ifstream in(path);
  if (!in) document.faults.push_back("cannot read " + path);
  std::string line;
  std::string replay;
  bool answerMayFollow = false;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string text = trimmed(line);
    if (text.rfind("<!-- replay:", 0) == 0) {
      replay = trimmed(text.substr(12, text.rfind("-->") - 12));
      answerMayFollow = false;
      continue;
    }
    if (text.rfind("```", 0) != 0) {
      if (!text.empty()) answerMayFollow = false;
      continue;
    }
    std::istringstream info(text.substr(3));
    std::string language, role;
    info >> language >> role;
    const int opening = number;
    std::string block;
    while (std::getline(in, line) && trimmed(line) != "```") {
      block += line + "\n";
      ++number;
    }
    ++number;
    const std::string where = "line " + std::to_string(opening) + ": ";
    if (role == "request") {
      DocExample example;
      example.line = opening;
      example.request = trimmed(block);
      example.requestIsJson = language == "json";
      example.replay = replay;
      document.examples.push_back(example);
      replay.clear();
      answerMayFollow = true;
      continue;
    }
    if (role == "answer" && answerMayFollow) {
      document.examples.back().answer = trimmed(block);
      document.examples.back().answerIsJson = language == "json";
    } else if (role == "answer") {
      document.faults.push_back(where + "an answer without its request");
    } else if (!replay.empty()) {
      document.faults.push_back(where + "a replay comment before a block that is no request");
      replay.clear();
    }
    answerMayFollow = false;
  }
  for (const DocExample& example : document.examples) {
    const std::string where = "line " + std::to_string(example.line) + ": ";
    if (example.requestIsJson && parseJson(example.request).isNull()) {
      document.faults.push_back(where + "the request is not JSON");
    }
    if (example.answer && example.answerIsJson && parseJson(*example.answer).isNull()) {
      document.faults.push_back(where + "the answer is not JSON");
    }
    static const std::set<std::string> actions = {"",       "keyboard-open",     "press-before",
                                                  "press-during", "second-connection", "binary",
                                                  "skip"};
    if (actions.count(example.replay.substr(0, example.replay.find(' '))) == 0) {
      document.faults.push_back(where + "an unknown replay action: " + example.replay);
    }
  }
  return document;
}

// "<text: ...>" and "<number: ...>" stand for values that vary; they match by type.
bool matchesPlaceholder(const std::string& placeholder, const Json::Value& actual, bool* isOne) {
  static const std::regex form("^<(text|number)(: .*)?>$");
  std::smatch kind;
  *isOne = std::regex_match(placeholder, kind, form);
  if (!*isOne) return false;
  return kind[1] == "text" ? actual.isString() : actual.isIntegral();
}

// Where actual differs from the documented value; empty when it matches.
std::string difference(const Json::Value& documented, const Json::Value& actual,
                       const std::string& where) {
  if (documented.isString()) {
    bool isPlaceholder = false;
    bool matches = matchesPlaceholder(documented.asString(), actual, &isPlaceholder);
    if (isPlaceholder) return matches ? "" : where + ": not of the documented type";
  }
  if (documented.isObject() && actual.isObject()) {
    for (const std::string& name : documented.getMemberNames()) {
      if (!actual.isMember(name)) return where + "." + name + ": missing";
      std::string inner = difference(documented[name], actual[name], where + "." + name);
      if (!inner.empty()) return inner;
    }
    for (const std::string& name : actual.getMemberNames()) {
      if (!documented.isMember(name)) return where + "." + name + ": not documented";
    }
    return "";
  }
  if (documented.isArray() && actual.isArray() && documented.size() == actual.size()) {
    for (Json::ArrayIndex i = 0; i < documented.size(); ++i) {
      std::string at = where + "[" + std::to_string(i) + "]";
      std::string inner = difference(documented[i], actual[i], at);
      if (!inner.empty()) return inner;
    }
    return "";
  }
  return documented == actual ? "" : where + ": documented " + documented.toStyledString() +
                                         "answered " + actual.toStyledString();
}

Document theDocument() { return readDocument(PROTOCOL_DOC_PATH); }

// "60:100 64:90": note and velocity of each key.
std::vector<std::pair<int, int>> keysOf(const std::string& words) {
  std::vector<std::pair<int, int>> keys;
  std::istringstream in(words);
  int note = 0, velocity = 0;
  char colon = 0;
  while (in >> note >> colon >> velocity) keys.emplace_back(note, velocity);
  return keys;
}

class ProtocolDoc : public ::testing::Test {
 protected:
  // The computer the document describes: one keyboard, "Digital Piano:MIDI 1", chosen
  // in an earlier session with the range A0 to C8, and a sound module on MIDI output 0
  // (plugged first, so that it is port 0).
  void SetUp() override {
    ASSERT_TRUE(jack_.start(std::chrono::seconds(10), 256, true));
    ASSERT_TRUE(soundModule_.plug());
    ASSERT_TRUE(piano_.plug());
    storeDevice(service_, piano_.name(), true, 21, 108);
    ASSERT_TRUE(service_.start());
    ASSERT_TRUE(client_.connect());
  }

  void play(const std::string& keys) {
    for (const auto& [note, velocity] : keysOf(keys)) {
      piano_.noteOn(note, velocity);
      std::this_thread::sleep_for(milliseconds(20));
      piano_.noteOff(note);
    }
  }

  void send(const DocExample& example, bool binary) {
    if (binary) client_.sendBinary(example.request);
    else client_.sendText(example.request);
  }

  // Sends the example's request with the actions its replay comment asks for; the
  // frame answered, or nothing.
  std::optional<TestFrame> exchange(const DocExample& example) {
    std::istringstream words(example.replay);
    std::string action;
    words >> action;
    std::string argument = trimmed(example.replay.substr(action.size()));
    if (action == "keyboard-open" || action == "press-before" || action == "press-during") {
      EXPECT_TRUE(eventually([&] { return serviceListensTo(jack_, piano_); }));
    }
    if (action == "press-before") {
      play(argument);
      std::this_thread::sleep_for(milliseconds(50));
    }
    send(example, action == "binary");
    if (action == "press-during") {
      std::this_thread::sleep_for(milliseconds(300));
      play(argument);
    }
    if (action == "second-connection") {
      std::this_thread::sleep_for(milliseconds(300));
      TestClient second;
      EXPECT_TRUE(second.connect());
      second.sendText(argument);
      EXPECT_TRUE(second.receive(milliseconds(5000)));
    }
    if (!example.answer) return client_.receive(milliseconds(1000));
    std::optional<TestFrame> frame = client_.receive(milliseconds(30000));
    if (frame) {
      EXPECT_EQ(frame->binary, action == "binary") << "the frame type";
    }
    return frame;
  }

  // Empty when the answer is the documented one.
  static std::string mismatch(const DocExample& example, const std::optional<TestFrame>& frame) {
    if (!example.answer) return frame ? "answered " + frame->payload + ", documented none" : "";
    if (!frame) return "no answer";
    if (!example.answerIsJson) {
      return trimmed(frame->payload) == *example.answer ? "" : "answered " + frame->payload;
    }
    Json::Value actual = parseJson(frame->payload);
    if (actual.isNull()) return "answered " + frame->payload;
    return difference(parseJson(*example.answer), actual, "answer");
  }

  TestJack jack_;
  TestSynth soundModule_{jack_, "Sound Module"};
  TestKeyboard piano_{jack_, "Digital Piano", "MIDI 1"};
  TestService service_;
  TestClient client_;  // the web application's connection: the first example keeps it alive
};

}  // namespace

TEST(ProtocolDocForm, EveryCommandHasAnExampleInTheReplayedForm) {
  Document document = theDocument();
  for (const std::string& fault : document.faults) ADD_FAILURE() << fault;
  std::set<int> codes;
  for (const DocExample& example : document.examples) {
    const Json::Value code = parseJson(example.request)["methodName"];
    if (example.replay != "skip" && code.isInt()) codes.insert(code.asInt());
  }
  for (int code = 1; code <= 31; ++code) {
    if (code == 13 || code == 24) continue;
    EXPECT_EQ(codes.count(code), 1u) << "no example of code " << code;
  }
}

TEST_F(ProtocolDoc, EveryExampleIsAnsweredAsDocumented) {
  Document document = theDocument();
  ASSERT_FALSE(document.examples.empty());
  int replayed = 0;
  for (const DocExample& example : document.examples) {
    if (example.replay == "skip") continue;
    SCOPED_TRACE("docs/protocol.md line " + std::to_string(example.line));
    // A key press is held for 150 ms only: on a busy machine one may be asked for too
    // late, so a press is tried three times.
    const int attempts = example.replay.rfind("press-before", 0) == 0 ? 3 : 1;
    std::string fault;
    for (int attempt = 0; attempt < attempts; ++attempt) {
      fault = mismatch(example, exchange(example));
      if (fault.empty()) break;
    }
    EXPECT_EQ(fault, "") << example.request;
    ++replayed;
  }
  std::cout << replayed << " examples replayed\n";
  EXPECT_TRUE(service_.running());
}
