// A real WebSocket client for tests: connects to the service on loopback, sends
// text or binary frames and waits for the next answer frame.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <json/value.h>
#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>

struct TestFrame {
  std::string payload;
  bool binary = false;
};

class TestClient {
 public:
  TestClient();
  ~TestClient();

  // Connects to ws://[host]:port/; false when no connection opened in time.
  bool connect(int port = 19420, const std::string& host = "::1",
               std::chrono::milliseconds timeout = std::chrono::seconds(5));
  void close();
  bool isOpen();
  // Sent as the handshake's Origin header by the next connect, as a browser page does.
  void setOrigin(const std::string& origin) { origin_ = origin; }

  // The close code and reason the service sent when it closed the connection; 0 and
  // empty while open or when it closed without one.
  int remoteCloseCode();
  std::string remoteCloseReason();

  void sendText(const std::string& text);
  void sendBinary(const std::string& bytes);

  // The next received frame, or nothing when none arrived in time.
  std::optional<TestFrame> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // Sends text and parses the answer as JSON; null Json::Value when none or not JSON.
  Json::Value request(const std::string& text,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Builds {"methodName":code,"clientID":clientID,"data":data} and sends it.
  Json::Value call(int code, const Json::Value& data = Json::Value(),
                   const std::string& clientID = "test-client",
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  using Client = websocketpp::client<websocketpp::config::asio_client>;
  void send(const std::string& payload, websocketpp::frame::opcode::value opcode);

  Client client_;
  std::thread loop_;
  websocketpp::connection_hdl handle_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<TestFrame> frames_;  // guarded by mutex_
  bool open_ = false;             // guarded by mutex_
  bool failed_ = false;           // guarded by mutex_
  std::string origin_;

  int closeCode_ = 0;             // guarded by mutex_
  std::string closeReason_;       // guarded by mutex_
};

// Parses text as JSON; null when it is not JSON.
Json::Value parseJson(const std::string& text);
