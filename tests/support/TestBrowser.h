// A real headless Chromium driven by a test over the DevTools protocol on a pair of
// pipes (--remote-debugging-pipe): no debugging port, so nothing else on the machine
// can drive it. Each browser gets a new empty profile folder, removed afterwards.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include <json/value.h>

class TestBrowser {
 public:
  TestBrowser();
  ~TestBrowser();  // closes the browser (killed if it lingers) and removes its profile
  TestBrowser(const TestBrowser&) = delete;
  TestBrowser& operator=(const TestBrowser&) = delete;

  // Starts the chromium program; false when it is missing or does not answer in time
  // (its output is then printed).
  bool start(std::chrono::milliseconds timeout = std::chrono::seconds(30));

  // Opens url in a new tab that later evaluations run in; false on failure.
  bool open(const std::string& url);

  // The value of a JavaScript expression in the open tab (a promise is awaited); a null
  // value when it threw or the browser did not answer in time.
  Json::Value evaluate(const std::string& expression,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  // Sends one DevTools command and waits for its own answer, skipping events; a null
  // value when none came in time.
  Json::Value command(const std::string& method, const Json::Value& params,
                      std::chrono::milliseconds timeout);
  std::string output() const;

  std::string profile_;
  pid_t pid_ = -1;
  int toBrowser_ = -1;
  int fromBrowser_ = -1;
  int nextId_ = 1;
  std::string received_;   // bytes read past the last whole message
  std::string sessionId_;  // of the open tab
};
