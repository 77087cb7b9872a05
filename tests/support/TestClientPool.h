// Many WebSocket connections to the service served by one client endpoint on one
// event-loop thread, for load: each connection sends a request, waits for its answer,
// pauses and sends the next, until the time given has passed. Every answer is judged
// by a check the caller gives, on that thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>

class TestClientPool {
 public:
  // The request a connection sends as its sequence-th (0, 1, ...).
  using Script = std::function<std::string(size_t connection, size_t sequence)>;
  // Empty when the answer is right for the request; otherwise what is wrong.
  using Check = std::function<std::string(const std::string& request, const std::string& answer)>;

  struct Tally {
    long sent = 0;
    long answered = 0;    // answers that passed the check
    long wrong = 0;       // answers the check refused
    long unanswered = 0;  // requests still without an answer at the end
    long closed = 0;      // connections that closed while in use
    std::vector<std::string> faults;  // the first few refusals, with their requests
  };

  TestClientPool();
  ~TestClientPool();
  TestClientPool(const TestClientPool&) = delete;
  TestClientPool& operator=(const TestClientPool&) = delete;

  // Opens count connections to ws://[host]:port/; how many are open when they all
  // settled or timeout passed.
  size_t connect(size_t count, int port = 19420, const std::string& host = "::1",
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Runs the script on every open connection for duration, pausing between an answer
  // and the next request; then waits up to answerTimeout for the last answers.
  Tally run(const Script& script, const Check& check, std::chrono::milliseconds duration,
            std::chrono::milliseconds pause,
            std::chrono::milliseconds answerTimeout = std::chrono::seconds(30));

  // Closes every connection and waits for the closes.
  void close();

 private:
  using Client = websocketpp::client<websocketpp::config::asio_client>;
  struct Connection;

  void sendNext(Connection& connection);
  void onAnswer(Connection& connection, const std::string& answer);
  void finish(Connection& connection);

  Client client_;
  std::thread loop_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<Connection>> connections_;  // guarded by mutex_
  // What run() is doing; touched by the loop thread and by run() under mutex_.
  const Script* script_ = nullptr;
  const Check* check_ = nullptr;
  std::chrono::steady_clock::time_point until_;
  std::chrono::milliseconds pause_{0};
  size_t busy_ = 0;  // connections still in the run
  Tally tally_;
};
