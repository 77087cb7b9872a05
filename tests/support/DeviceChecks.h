// What a test asks the service about the learner's keyboard, through the protocol and
// the JACK graph.
#pragma once

#include <json/value.h>
#include <json/writer.h>  // prints Json::Value in failure messages

#include <chrono>
#include <string>

class TestClient;
class TestJack;
class TestKeyboard;
class TestService;

// Connects and sends a keep-alive (code 31), as the web application does on start;
// true when it was answered. The connection must stay open for the session.
bool connectWebApplication(TestClient& client);

// Polls code 29 every 10 ms until it reports a key or window has passed since the
// call; returns the data of that answer, or of the last "no message" answer. The
// service keeps a press for 150 ms, so a press made just before the call is caught.
Json::Value pollKey(TestClient& client,
                    std::chrono::milliseconds window = std::chrono::milliseconds(120));

// True when a press of note reaches the service: a polling test (27, press, 29s, 28,
// up to three presses)
// that reports exactly that note.
bool keyCaptured(TestClient& client, TestKeyboard& keyboard, int note = 60);

// True when the service's MIDI input port is connected to the keyboard's port.
bool serviceListensTo(TestJack& jack, const TestKeyboard& keyboard);

// A Device row as the service would have left it after an earlier session.
void storeDevice(const TestService& service, const std::string& name, bool latest, int lowestNote,
                 int highestNote, const std::string& modifiedDate = "2020-01-02 03:04:05.000000");
// Device rows in insertion order: "deviceName|isLatest|lowestNote|highestNote" each.
std::string deviceRows(const TestService& service);
// A text as an SQL string literal.
std::string sqlText(const std::string& text);

// Occurrences of part in text.
size_t countOf(const std::string& text, const std::string& part);
inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}
