#include "tests/support/DeviceChecks.h"

#include <algorithm>
#include <thread>

#include "tests/support/TestClient.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestService.h"

bool connectWebApplication(TestClient& client) {
  if (!client.isOpen() && !client.connect()) return false;
  return client.request(R"({"methodName":31,"clientID":"web-app"})")["data"]["pluginVersion"] ==
         "0.0.4.0";
}

Json::Value pollKey(TestClient& client, std::chrono::milliseconds window) {
  auto deadline = std::chrono::steady_clock::now() + window;
  Json::Value data;
  for (int pass = 0; pass < 100; ++pass) {
    data = client.call(29)["data"];
    if (data["code"] == 0 || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return data;
}

bool keyCaptured(TestClient& client, TestKeyboard& keyboard, int note) {
  // The service holds a press for 150 ms only; on a loaded machine one poll can come
  // too late, so a press is tried three times before the key counts as not captured.
  Json::Value key;
  for (int attempt = 0; attempt < 3 && key["code"] != 0; ++attempt) {
    client.call(27);
    keyboard.noteOn(note, 100);
    key = pollKey(client);
    keyboard.noteOff(note);
    client.call(28);
  }
  int reported = -1;
  if (key["code"] == 0) {
    static const char* const names[] = {"C",      "Csharp", "D",      "Dsharp", "E",      "F",
                                        "Fsharp", "G",      "Gsharp", "A",      "Asharp", "B"};
    const std::string pitch = key["note"]["pitch"].asString();
    for (int i = 0; i < 12; ++i) {
      if (pitch == names[i]) reported = 12 * (key["note"]["octave"].asInt() + 1) + i;
    }
  }
  return reported == note;
}

bool serviceListensTo(TestJack& jack, const TestKeyboard& keyboard) {
  std::vector<std::string> linked = jack.connections(keyboard.name());
  return std::find(linked.begin(), linked.end(), kServiceInputPort) != linked.end();
}

void storeDevice(const TestService& service, const std::string& name, bool latest, int lowestNote,
                 int highestNote, const std::string& modifiedDate) {
  sqlQuery(service.databasePath(),
           "INSERT INTO Device (deviceName, createdDate, modifiedDate, isLatest, lowestNote, "
           "highestNote) VALUES (" +
               sqlText(name) + ", '2020-01-01 00:00:00.000000', " + sqlText(modifiedDate) + ", " +
               (latest ? "1" : "0") + ", " + std::to_string(lowestNote) + ", " +
               std::to_string(highestNote) + ")");
}

std::string deviceRows(const TestService& service) {
  return sqlQuery(
      service.databasePath(),
      "SELECT deviceName, isLatest, lowestNote, highestNote FROM Device ORDER BY rowid");
}

std::string sqlText(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c;
    if (c == '\'') quoted += c;
  }
  return quoted + "'";
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}
