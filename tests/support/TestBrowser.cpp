#include "tests/support/TestBrowser.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <json/reader.h>
#include <json/writer.h>

#include "tests/support/TestService.h"

namespace {

std::string compact(const Json::Value& value) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, value);
}

bool waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
  return eventually([pid] { return waitpid(pid, nullptr, WNOHANG) == pid; }, timeout);
}

}  // namespace

TestBrowser::TestBrowser() {
  char folder[] = "/tmp/pianocorvida-browser-XXXXXX";
  if (mkdtemp(folder) != nullptr) profile_ = folder;
}

TestBrowser::~TestBrowser() {
  if (pid_ > 0) {
    command("Browser.close", Json::objectValue, std::chrono::seconds(5));
    if (!waitForExit(pid_, std::chrono::seconds(5))) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  if (toBrowser_ >= 0) ::close(toBrowser_);
  if (fromBrowser_ >= 0) ::close(fromBrowser_);
  std::error_code ignored;
  if (!profile_.empty()) std::filesystem::remove_all(profile_, ignored);
}

std::string TestBrowser::output() const { return readFile(profile_ + "/output.txt"); }

bool TestBrowser::start(std::chrono::milliseconds timeout) {
  if (profile_.empty()) return false;
  // A browser that died (or never started) must fail the test, not kill it on a write.
  std::signal(SIGPIPE, SIG_IGN);
  int down[2], up[2];
  if (pipe2(down, O_CLOEXEC) != 0 || pipe2(up, O_CLOEXEC) != 0) return false;
  const std::string userData = "--user-data-dir=" + profile_ + "/profile";
  const std::string log = profile_ + "/output.txt";
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    // The browser reads commands on descriptor 3 and writes answers on 4.
    if (dup2(down[0], 3) < 0 || dup2(up[1], 4) < 0) _exit(126);
    int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    execlp("chromium", "chromium", "--headless", "--no-sandbox", "--disable-gpu",
           "--disable-quic", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--remote-debugging-pipe",
           userData.c_str(), "about:blank", static_cast<char*>(nullptr));
    std::perror("chromium");
    _exit(127);
  }
  ::close(down[0]);
  ::close(up[1]);
  toBrowser_ = down[1];
  fromBrowser_ = up[0];
  Json::Value version = command("Browser.getVersion", Json::objectValue, timeout);
  if (version.isMember("product")) return true;
  std::cerr << "chromium did not answer; its output:\n" << output() << std::endl;
  return false;
}

bool TestBrowser::open(const std::string& url) {
  Json::Value params;
  params["url"] = url;
  Json::Value target = command("Target.createTarget", params, std::chrono::seconds(10));
  if (!target["targetId"].isString()) return false;
  Json::Value attach;
  attach["targetId"] = target["targetId"];
  attach["flatten"] = true;
  Json::Value session = command("Target.attachToTarget", attach, std::chrono::seconds(10));
  sessionId_ = session["sessionId"].asString();
  return !sessionId_.empty();
}

Json::Value TestBrowser::evaluate(const std::string& expression,
                                  std::chrono::milliseconds timeout) {
  Json::Value params;
  params["expression"] = expression;
  params["returnByValue"] = true;
  params["awaitPromise"] = true;
  Json::Value result = command("Runtime.evaluate", params, timeout);
  if (result.isMember("exceptionDetails")) return Json::Value();
  return result["result"]["value"];
}

Json::Value TestBrowser::command(const std::string& method, const Json::Value& params,
                                 std::chrono::milliseconds timeout) {
  if (toBrowser_ < 0) return Json::Value();
  Json::Value message;
  const int id = nextId_++;
  message["id"] = id;
  message["method"] = method;
  message["params"] = params;
  if (!sessionId_.empty() && method.rfind("Runtime.", 0) == 0) message["sessionId"] = sessionId_;
  // Messages on the pipe end with a NUL byte.
  std::string text = compact(message) + '\0';
  for (size_t sent = 0; sent < text.size();) {
    ssize_t n = ::write(toBrowser_, text.data() + sent, text.size() - sent);
    if (n <= 0) return Json::Value();
    sent += static_cast<size_t>(n);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    for (size_t end = received_.find('\0'); end != std::string::npos;
         end = received_.find('\0')) {
      Json::Value answer;
      std::istringstream stream(received_.substr(0, end));
      received_.erase(0, end + 1);
      std::string errors;
      if (!Json::parseFromStream(Json::CharReaderBuilder(), stream, &answer, &errors)) continue;
      if (answer["id"] != id) continue;  // an event, or the answer to an earlier command
      if (answer.isMember("error")) {
        std::cerr << method << ": " << compact(answer["error"]) << std::endl;
        return Json::Value();
      }
      return answer["result"];
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Json::Value();
    pollfd ready{fromBrowser_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[65536];
    ssize_t got = ::read(fromBrowser_, buffer, sizeof(buffer));
    if (got <= 0) return Json::Value();  // the browser ended
    received_.append(buffer, static_cast<size_t>(got));
  }
}
