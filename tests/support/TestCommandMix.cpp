#include "tests/support/TestCommandMix.h"

#include <regex>
#include <utility>

#include <json/writer.h>

#include "tests/support/TestClient.h"

namespace {

const int kExerciseId = 7;
const char* const kNotationStamp = "2026-12-09 11:00:00";

std::string notation() {
  std::string text = "<score-partwise version=\"3.1\">\n";
  for (int m = 1; m <= 20; ++m) text += "  <measure number=\"" + std::to_string(m) + "\"/>\n";
  return text + "</score-partwise>\n";
}

std::string keyOf(const std::string& clientID) { return "key of " + clientID + " \xC3\xA9"; }

Json::Value outcome(int code, const char* message) {
  Json::Value data;
  data["code"] = code;
  data["message"] = message;
  return data;
}

}  // namespace

TestCommandMix::TestCommandMix(std::string keyboard, int songId, std::string songStamp)
    : keyboard_(std::move(keyboard)), songId_(songId), songStamp_(std::move(songStamp)) {}

bool TestCommandMix::storeExercise(TestClient& client) const {
  Json::Value exercise;
  exercise["exerciseId"] = kExerciseId;
  exercise["notation"] = notation();
  exercise["lastXmlModified"] = kNotationStamp;
  return client.call(19, exercise)["data"]["code"] == 0;
}

std::string TestCommandMix::request(size_t connection, size_t sequence) const {
  static const int kMix[] = {1, 5, 20, 3, 22};
  std::string clientID = "load-" + std::to_string(connection);
  int code = sequence == 0 ? 21 : kMix[(connection + sequence) % 5];
  Json::Value request;
  request["methodName"] = code;
  request["clientID"] = clientID;
  request["token"] = std::to_string(connection) + "-" + std::to_string(sequence);
  if (code == 21) request["data"]["EncryptionKey"] = keyOf(clientID);
  if (code == 5) request["data"]["id"] = songId_;
  if (code == 20) request["data"]["exerciseId"] = kExerciseId;
  return Json::FastWriter().write(request);
}

std::string TestCommandMix::check(const std::string& requestText,
                                  const std::string& answerText) const {
  static const std::regex kDate(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6})");
  Json::Value request = parseJson(requestText);
  Json::Value answer = parseJson(answerText);
  if (!answer.isObject() || answerText.find('\n') != answerText.size() - 1) {
    return "not one compact JSON object ending in a line break";
  }
  if (answer["responseCode"] != 0 || answer["errorMessage"] != "SUCCESS") return "not a success";
  if (answer["clientID"] != request["clientID"] || answer["token"] != request["token"]) {
    return "answers another request";
  }
  if (!std::regex_match(answer["responseDate"].asString(), kDate)) return "no response date";
  for (const std::string& member : answer.getMemberNames()) {
    if (member != "clientID" && member != "token" && member != "data" &&
        member != "responseCode" && member != "errorMessage" && member != "responseDate") {
      return "unexpected member " + member;
    }
  }
  const Json::Value& data = answer["data"];
  Json::Value want;
  switch (request["methodName"].asInt()) {
    case 1:
      want["pluginVersion"] = "0.0.4.0";
      break;
    case 5:
      want = outcome(0, "ALREADY_CACHE_MIDI_FILE");
      want["lastMidiModified"] = songStamp_;
      break;
    case 20:
      want = outcome(0, "SUCCESS");
      want["notation"] = notation();
      want["lastXmlModified"] = kNotationStamp;
      break;
    case 21:
      want = outcome(0, "SUCCESS");
      break;
    case 22:
      want = outcome(0, "SUCCESS");
      want["EncryptionKey"] = keyOf(request["clientID"].asString());
      break;
    case 3: {
      if (!data.isArray()) return "device list is not a list";
      bool listed = false;
      for (const Json::Value& device : data) {
        if (device["id"] != device["deviceName"]) return "device id and name differ";
        listed = listed || device["deviceName"] == keyboard_;
      }
      return listed ? "" : "keyboard not listed";
    }
    default:
      return "a request the mix never sends";
  }
  return data == want ? "" : "wrong data for the command";
}

TestClientPool::Script TestCommandMix::script() const {
  return [this](size_t connection, size_t sequence) { return request(connection, sequence); };
}

TestClientPool::Check TestCommandMix::checker() const {
  return [this](const std::string& request, const std::string& answer) {
    return check(request, answer);
  };
}
