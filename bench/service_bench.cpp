// Keep-alive round trips against the real service on loopback, and what the running
// service costs at rest. Run it where port 19420 is free, for example:
//   unshare --net sh -c 'ip link set lo up && exec ./bench/keepalive_bench'
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "tests/support/TestClient.h"
#include "tests/support/TestService.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kWarmUp = 200;
const int kSingleRequests = 5000;
const int kConnections = 50;
const int kRequestsPerConnection = 100;
const int kIdleSeconds = 5;

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

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  size_t index = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[index];
}

void print(const char* title, const Figures& f) {
  std::printf("%-28s %6zu ok %3d failed   p50 %8.1f us   p99 %8.1f us   %9.0f requests/s\n",
              title, f.micros.size(), f.failures, percentile(f.micros, 0.50),
              percentile(f.micros, 0.99), static_cast<double>(f.micros.size()) / f.seconds);
}

// utime + stime of the process, in clock ticks.
long cpuTicks(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t afterName = stat.rfind(')');
  if (afterName == std::string::npos) return -1;
  std::istringstream fields(stat.substr(afterName + 2));
  std::string field;
  long utime = 0;
  long stime = 0;
  // Fields from the state (3rd) on; utime and stime are the 14th and 15th.
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::stol(field);
    if (number == 15) stime = std::stol(field);
  }
  return utime + stime;
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
  long before = cpuTicks(pid);
  std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
  long after = cpuTicks(pid);
  double cpuSeconds = static_cast<double>(after - before) / static_cast<double>(sysconf(_SC_CLK_TCK));
  std::printf("%-28s CPU %.3f s over %d s (%.2f %% of one core)   VmRSS %s   threads %s\n", title,
              cpuSeconds, kIdleSeconds, 100.0 * cpuSeconds / kIdleSeconds,
              statusField(pid, "VmRSS").c_str(), statusField(pid, "Threads").c_str());
}

}  // namespace

int main() {
  if (portAccepts(19420)) {
    std::fprintf(stderr, "port 19420 is already in use; run in a private network namespace\n");
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
  int status = service.stop();
  std::printf("service stopped with status %d\n", status);
  return status == 0 && many.failures == 0 ? 0 : 1;
}
