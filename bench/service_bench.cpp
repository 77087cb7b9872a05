// The real service on loopback: keep-alive round trips, what the running service
// costs at rest (also with the web application connected and a keyboard open, while
// the port monitor polls), and how long a key press on the keyboard takes to be
// reported by the polling device test. Starts its own JACK server (dummy backend).
// Run it where port 19420 is free, for example:
//   unshare --net sh -c 'ip link set lo up && exec ./bench/service_bench'
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <boost/filesystem.hpp>

#include "bench/BenchFigures.h"
#include "tests/support/DeviceChecks.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestXrunCounter.h"
#include "tests/support/TestService.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kWarmUp = 200;
const int kSingleRequests = 5000;
const int kConnections = 50;
const int kRequestsPerConnection = 100;
const int kIdleSeconds = 5;
const int kKeyPresses = 300;

struct Figures {
  std::vector<double> micros;  // one round trip each
  double seconds = 0;
  int failures = 0;
};

// One keep-alive and its answer; the time in microseconds, or a negative value when
// the answer was missing or wrong.
double roundTrip(TestClient& client, const std::string& request, const std::string& clientID) {
  Clock::time_point sent = Clock::now();
  Json::Value answer = client.request(request, std::chrono::seconds(10));
  double micros = std::chrono::duration<double, std::micro>(Clock::now() - sent).count();
  return answer["clientID"].asString() == clientID ? micros : -1;
}

std::string keepAlive(const std::string& clientID) {
  return R"({"methodName":31,"clientID":")" + clientID + R"(","clientSecret":"bench"})";
}

Figures measure(int connections, int requestsEach) {
  std::vector<Figures> perThread(static_cast<size_t>(connections));
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int c = 0; c < connections; ++c) {
    clients.push_back(std::make_unique<TestClient>());
    if (!clients.back()->connect()) std::fprintf(stderr, "connection %d failed\n", c);
    std::string id = "warm-" + std::to_string(c);
    for (int i = 0; i < kWarmUp / connections + 1; ++i) roundTrip(*clients.back(), keepAlive(id), id);
  }
  Figures all;
  Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < connections; ++c) {
    threads.emplace_back([&, c] {
      std::string id = "bench-" + std::to_string(c);
      std::string request = keepAlive(id);
      Figures& mine = perThread[static_cast<size_t>(c)];
      for (int i = 0; i < requestsEach; ++i) {
        double micros = roundTrip(*clients[static_cast<size_t>(c)], request, id);
        if (micros < 0) {
          ++mine.failures;
        } else {
          mine.micros.push_back(micros);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  all.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (const Figures& f : perThread) {
    all.micros.insert(all.micros.end(), f.micros.begin(), f.micros.end());
    all.failures += f.failures;
  }
  std::sort(all.micros.begin(), all.micros.end());
  return all;
}

void print(const char* title, const Figures& f) {
  std::printf("%-28s %6zu ok %3d failed   p50 %8.1f us   p99 %8.1f us   %9.0f requests/s\n",
              title, f.micros.size(), f.failures, percentile(f.micros, 0.50),
              percentile(f.micros, 0.99), static_cast<double>(f.micros.size()) / f.seconds);
}

// CPU time the process's threads have used, in seconds, read from the scheduler's
// per-thread counters (exact, unlike the tick-sampled utime and stime). With a thread
// name, only the first thread of that name counts: threads a library starts from it
// inherit the name.
double cpuSeconds(pid_t pid, const std::string& threadName = std::string()) {
  std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
  std::vector<long> ids;
  boost::system::error_code error;
  for (boost::filesystem::directory_iterator entry(tasks, error), end; !error && entry != end;
       entry.increment(error)) {
    ids.push_back(std::stol(entry->path().filename().string()));
  }
  std::sort(ids.begin(), ids.end());
  double total = 0;
  for (long id : ids) {
    std::string task = tasks + std::to_string(id);
    if (!threadName.empty() && readFile(task + "/comm") != threadName + "\n") continue;
    std::istringstream schedstat(readFile(task + "/schedstat"));
    double nanos = 0;
    if (schedstat >> nanos) total += nanos / 1e9;
    if (!threadName.empty()) break;
  }
  return total;
}

std::string statusField(pid_t pid, const std::string& name) {
  std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) {
      size_t value = line.find_first_not_of(" \t", name.size() + 1);
      return value == std::string::npos ? std::string() : line.substr(value);
    }
  }
  return "?";
}

void printIdle(const char* title, pid_t pid) {
  std::this_thread::sleep_for(std::chrono::seconds(1));  // let the last traffic settle
  double before = cpuSeconds(pid);
  double monitorBefore = cpuSeconds(pid, "cv-port-monitor");
  std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
  double used = cpuSeconds(pid) - before;
  double monitor = cpuSeconds(pid, "cv-port-monitor") - monitorBefore;
  std::printf("%-28s CPU %.3f s over %d s (%.2f %% of one core; port monitor %.3f %%)   "
              "VmRSS %s   threads %s\n",
              title, used, kIdleSeconds, 100.0 * used / kIdleSeconds,
              100.0 * monitor / kIdleSeconds, statusField(pid, "VmRSS").c_str(),
              statusField(pid, "Threads").c_str());
}

// Presses a key, then asks code 29 back to back until it reports the key: the time
// from the press to the answer that reports it, in microseconds.
Figures keyReportTimes(TestClient& browser, TestKeyboard& keyboard) {
  Figures f;
  browser.call(27);
  Clock::time_point start = Clock::now();
  for (int i = 0; i < kKeyPresses; ++i) {
    int note = 48 + i % 24;
    Clock::time_point pressed = Clock::now();
    keyboard.noteOn(note, 100);
    bool reported = false;
    while (!reported && Clock::now() - pressed < std::chrono::seconds(1)) {
      reported = browser.call(29)["data"]["code"] == 0;
    }
    if (reported) {
      f.micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - pressed).count());
    } else {
      ++f.failures;
    }
    keyboard.noteOff(note);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  browser.call(28);
  std::sort(f.micros.begin(), f.micros.end());
  return f;
}

}  // namespace

int main() {
  if (portAccepts(19420)) {
    std::fprintf(stderr, "port 19420 is already in use; run in a private network namespace\n");
    return 1;
  }
  TestJack jack;
  if (!jack.start()) {
    std::fprintf(stderr, "the JACK server did not start\n");
    return 1;
  }
  TestService service;
  if (!service.start()) {
    std::fprintf(stderr, "the service did not start\n%s", service.output().c_str());
    return 1;
  }
  pid_t pid = service.pid();
  std::printf("service pid %d, VmRSS after start %s, threads %s\n", pid,
              statusField(pid, "VmRSS").c_str(), statusField(pid, "Threads").c_str());

  print("1 connection:", measure(1, kSingleRequests));
  Figures many = measure(kConnections, kRequestsPerConnection);
  print("50 connections:", many);
  std::printf("VmRSS after traffic %s\n", statusField(pid, "VmRSS").c_str());

  printIdle("idle, no client:", pid);
  {
    TestClient browser;
    browser.connect();
    roundTrip(browser, keepAlive("browser"), "browser");
    printIdle("idle, keep-alive open:", pid);
  }

  TestKeyboard keyboard(jack, "Bench Keyboard");
  TestClient browser;
  bool open = keyboard.plug() && connectWebApplication(browser) &&
              browser.call(4, [&] {
                Json::Value data;
                data["deviceName"] = keyboard.name();
                return data;
              }())["data"]["code"] == 0 &&
              eventually([&] { return serviceListensTo(jack, keyboard); },
                         std::chrono::seconds(10));
  if (!open) {
    std::fprintf(stderr, "the service did not open the bench keyboard\n");
    return 1;
  }
  printIdle("idle, app + keyboard open:", pid);
  // A press can be lost in a period that missed its deadline (the server's doing, not
  // the service's): the xruns while pressing tell such a loss from the service's.
  TestXrunCounter xruns;
  Figures keys = keyReportTimes(browser, keyboard);
  std::printf("%-28s %6zu ok %3d failed   p50 %8.1f us   p99 %8.1f us   max %8.1f us\n",
              "key press to code 29:", keys.micros.size(), keys.failures,
              percentile(keys.micros, 0.50), percentile(keys.micros, 0.99),
              keys.micros.empty() ? 0.0 : keys.micros.back());
  std::printf("%-28s %llu\n", "JACK xruns while pressing:",
              static_cast<unsigned long long>(xruns.count()));

  int status = service.stop();
  std::printf("service stopped with status %d\n", status);
  return status == 0 && many.failures == 0 && keys.failures == 0 ? 0 : 1;
}
