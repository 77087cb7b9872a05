// The service host: the log file it keeps in its install folder, how it stops on a
// signal while clients are busy, how it waits for a port that is taken or for the
// threads the system will not give, and what it tells systemd's service manager.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TestClient.h"
#include "tests/support/TestService.h"

namespace {

const char* const kStartingLine = "[CorvidaPianoPlugin] Starting corvida piano plugin service...";
const char* const kVersionLine = "[CorvidaPianoPlugin] Piano Corvida Plugin version 0.0.4.0";
const char* const kStoppedReport =
    "[ServiceStatus] state 1, controls accepted 0, exit code 0, check point 4";
const size_t kLogMaxSize = 10120000;

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

bool exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

// Waits for the process to end without reaping it (TestService::stop still can):
// its exit status, or -1 when it was killed by a signal or did not end in time.
int exitStatusWithin(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      return info.si_code == CLD_EXITED ? info.si_status : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

// Clients that keep sending keep-alives and pings until told to stop; the service
// may vanish under them at any moment.
class Traffic {
 public:
  explicit Traffic(int clients) {
    for (int c = 0; c < clients; ++c) {
      threads_.emplace_back([this, c] {
        TestClient client;
        if (!client.connect()) return;
        ++connected_;
        for (int n = 0; !stop_ && n < 100000; ++n) {
          Json::Value answer = client.call(n % 2 == 0 ? 31 : 1, Json::Value(),
                                           "c" + std::to_string(c), std::chrono::seconds(1));
          if (answer.isNull()) break;
          ++answers_;
        }
      });
    }
  }
  ~Traffic() {
    stop_ = true;
    for (std::thread& thread : threads_) thread.join();
  }
  int connected() const { return connected_; }
  int answers() const { return answers_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> connected_{0};
  std::atomic<int> answers_{0};
  std::vector<std::thread> threads_;
};

TEST(ServiceHost, LogsItsBannerInItsInstallFolderFromAnotherWorkingFolder) {
  umask(022);
  TestService service;
  ASSERT_TRUE(service.start());  // started from "/", not from its folder
  ASSERT_TRUE(eventually([&] { return service.log().find(kVersionLine) != std::string::npos; }));
  std::string log = service.log();
  const std::string stamp = R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} \[INFO\] )";
  std::smatch starting;
  std::smatch version;
  ASSERT_TRUE(std::regex_search(log, starting, std::regex(stamp + R"(\[CorvidaPianoPlugin\] )"
                                                        R"(Starting corvida piano plugin service\.\.\.\n)")))
      << log;
  ASSERT_TRUE(std::regex_search(log, version, std::regex(stamp + R"(\[CorvidaPianoPlugin\] )"
                                                       R"(Piano Corvida Plugin version 0\.0\.4\.0\n)")))
      << log;
  EXPECT_LT(starting.position(0), version.position(0));

  struct stat info;
  ASSERT_EQ(::stat(service.path("pianocorvida.log").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);

  // The database beside the program is the one it uses.
  TestClient client;
  ASSERT_TRUE(client.connect());
  EXPECT_EQ(client.call(11)["responseCode"].asInt(), 0);
  EXPECT_EQ(sqlQuery(service.databasePath(), "SELECT count(*) FROM Installation"), "1");

  std::string output = service.output();
  size_t pending =
      output.find("[ServiceStatus] state 2, controls accepted 0, exit code 0, check point 0");
  size_t running =
      output.find("[ServiceStatus] state 4, controls accepted 1, exit code 0, check point 0");
  EXPECT_NE(pending, std::string::npos) << output;
  EXPECT_NE(running, std::string::npos) << output;
  EXPECT_LT(pending, running);
  EXPECT_EQ(service.stop(), 0);
}

TEST(ServiceHost, AppendsToTheLogOfEarlierRuns) {
  TestService service;
  const std::string earlier = "2001-02-03 04:05:06,789 [INFO] from an earlier run\n";
  writeFileBytes(service.path("pianocorvida.log"), earlier);
  for (int run = 1; run <= 2; ++run) {
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(eventually([&] { return count(service.log(), kVersionLine) == size_t(run); }));
    EXPECT_EQ(service.stop(), 0);
  }
  std::string log = service.log();
  EXPECT_EQ(log.compare(0, earlier.size(), earlier), 0) << log;
  EXPECT_EQ(count(log, kStartingLine), 2u);
  EXPECT_EQ(count(log, kStoppedReport), 2u);
}

TEST(ServiceHost, RollsTheLogOverAtItsMaximumSizeKeepingFiveBackups) {
  TestService service;
  std::string filler;
  while (filler.size() < kLogMaxSize) filler += "2001-02-03 04:05:06,789 [INFO] filler line\n";
  filler.resize(kLogMaxSize);
  writeFileBytes(service.path("pianocorvida.log"), filler);
  for (int i = 1; i <= 5; ++i) {
    writeFileBytes(service.path("pianocorvida.log." + std::to_string(i)),
                   "backup " + std::to_string(i) + "\n");
  }
  ASSERT_TRUE(service.start());
  ASSERT_TRUE(eventually([&] {
    return count(service.log() + readFile(service.path("pianocorvida.log.1")), kVersionLine) == 1;
  }));
  std::string rolled = readFile(service.path("pianocorvida.log.1"));
  EXPECT_EQ(rolled.compare(0, filler.size(), filler), 0);
  EXPECT_LT(service.log().size(), 100000u);
  for (int i = 2; i <= 5; ++i) {
    EXPECT_EQ(readFile(service.path("pianocorvida.log." + std::to_string(i))),
              "backup " + std::to_string(i - 1) + "\n");
  }
  EXPECT_FALSE(exists(service.path("pianocorvida.log.6")));
  EXPECT_EQ(service.stop(), 0);
}

TEST(ServiceHost, StopsPromptlyOnSigtermOrSigintWhileClientsAreBusy) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signal));
    TestService service;
    ASSERT_TRUE(service.start());
    {
      Traffic traffic(40);
      ASSERT_TRUE(eventually([&] { return traffic.connected() == 40 && traffic.answers() > 200; },
                             std::chrono::seconds(20)));
      ::kill(service.pid(), signal);
      EXPECT_EQ(exitStatusWithin(service.pid(), std::chrono::seconds(2)), 0);
    }
    EXPECT_EQ(service.stop(), 0);
    EXPECT_EQ(count(service.output(), kStoppedReport), 1u) << service.output();
    EXPECT_EQ(count(service.log(), kStoppedReport), 1u);
    // The handler's report is the last: the worker is not waited for.
    EXPECT_EQ(service.output().find("check point 3"), std::string::npos);
  }
}

// systemd's notification socket: a datagram socket at a path, or an abstract one
// when the name starts with '@'.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& name) : name_(name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path, sizeof(address.sun_path) - 1);
    if (address.sun_path[0] == '@') address.sun_path[0] = '\0';
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address),
                  static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) == 0;
    timeval wait{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
  }
  ~NotifySocket() {
    close(fd_);
    if (name_[0] != '@') unlink(name_.c_str());
  }
  bool bound() const { return bound_; }

  // The next message, or empty after the timeout.
  std::string next(std::chrono::seconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char text[256];
    while (std::chrono::steady_clock::now() < deadline) {
      ssize_t length = recv(fd_, text, sizeof(text), 0);
      if (length > 0) return std::string(text, static_cast<size_t>(length));
    }
    return std::string();
  }

 private:
  std::string name_;
  int fd_ = -1;
  bool bound_ = false;
};

// The user unit is of type notify: without READY=1 systemd would kill the service as
// failing to start.
TEST(ServiceHost, TellsTheServiceManagerWhenReadyAndWhenStopping) {
  for (std::string name : {std::string("@pianocorvida-notify-") + std::to_string(getpid()),
                           std::string("notify.socket")}) {
    SCOPED_TRACE(name);
    TestService service;
    if (name[0] != '@') name = service.path(name);
    NotifySocket notifications(name);
    ASSERT_TRUE(notifications.bound());
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    bool started = service.start();
    unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(started);
    EXPECT_EQ(notifications.next(), "READY=1");
    ::kill(service.pid(), SIGTERM);
    EXPECT_EQ(notifications.next(), "STOPPING=1");
    EXPECT_EQ(service.stop(), 0);
  }
}

TEST(ServiceHost, RepeatedStopRequestsAreHarmless) {
  TestService service;
  ASSERT_TRUE(service.start());
  TestClient client;
  ASSERT_TRUE(client.connect());
  ::kill(service.pid(), SIGTERM);
  ::kill(service.pid(), SIGTERM);
  ::kill(service.pid(), SIGINT);
  EXPECT_EQ(exitStatusWithin(service.pid(), std::chrono::seconds(2)), 0);
  EXPECT_EQ(service.stop(), 0);
  EXPECT_EQ(count(service.output(), kStoppedReport), 1u) << service.output();
}

TEST(ServiceHost, SignalsThatAreNoStopRequestChangeNothing) {
  // SIGUSR1 included: the stand-in for the service control manager uses it inside
  // the process, but one sent from outside is no stop request.
  for (int signal : {SIGUSR1, SIGWINCH, SIGCHLD, SIGURG}) {
    SCOPED_TRACE(strsignal(signal));
    TestService service;
    ASSERT_TRUE(service.start());
    TestClient client;
    ASSERT_TRUE(client.connect());
    ::kill(service.pid(), signal);
    EXPECT_EQ(exitStatusWithin(service.pid(), std::chrono::milliseconds(500)), -1)
        << "the service ended";
    if (!service.running()) continue;
    EXPECT_EQ(client.call(31)["data"]["pluginVersion"].asString(), "0.0.4.0");
    EXPECT_EQ(count(service.output(), "[ServiceStatus] state 1"), 0u) << service.output();
    EXPECT_EQ(service.stop(), 0);
  }
}

TEST(ServiceHost, RetriesWhileThePortIsTakenAndServesOnceItIsFree) {
  int holder = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);  // not the service's to keep
  ASSERT_GE(holder, 0);
  int on = 1;  // earlier tests' connections may still linger on the port
  setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(19420);
  address.sin6_addr = in6addr_any;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(holder, 16), 0);

  TestService service;
  auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(service.start(false));
  ASSERT_TRUE(eventually([&] { return count(service.log(), "[CvServerSocket] exeception: ") >= 3; },
                         std::chrono::seconds(20)))
      << service.log();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::string log = service.log();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  size_t passes = count(log, kStartingLine);
  EXPECT_GE(passes, 3u);
  EXPECT_LT(passes / seconds, 10.0) << passes << " passes in " << seconds << " s";
  EXPECT_TRUE(std::regex_search(
      log, std::regex(R"(\[ERROR\] \[CvServerSocket\] exeception: [^\n]+\n)")))
      << log;
  EXPECT_TRUE(service.running());

  ::close(holder);
  ASSERT_TRUE(eventually([] { return portAccepts(19420); }, std::chrono::seconds(10)));
  TestClient client;
  ASSERT_TRUE(client.connect());
  EXPECT_EQ(client.call(31, Json::Value(), "after")["clientID"].asString(), "after");

  // Every pass logged its banner once: no pass added a second log appender.
  log = service.log();
  size_t failures = count(log, "[CvServerSocket] exeception: ");
  EXPECT_EQ(count(log, kStartingLine), failures + 1);
  EXPECT_EQ(count(log, kVersionLine), failures + 1);
  EXPECT_EQ(service.stop(), 0);
}

// An address-space limit lets the service start but not its 1000 event-loop threads
// (a task limit does the same, but root is exempt from RLIMIT_NPROC). It must log why
// and try again like a failed listen, not end in std::terminate; once the limit is
// lifted it serves.
TEST(ServiceHost, RetriesWhileTheEventLoopThreadsCannotStartAndServesOnceTheyCan) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's shadow memory is larger than any address-space limit";
#endif
  // 8 MiB thread stacks: 1000 threads want 8 GiB, the service itself about 0.5 GiB.
  const rlim_t stack = rlim_t{8} << 20;
  const rlim_t space = rlim_t{3} << 30;
  rlimit originalStack{}, originalSpace{};
  ASSERT_EQ(getrlimit(RLIMIT_STACK, &originalStack), 0);
  ASSERT_EQ(getrlimit(RLIMIT_AS, &originalSpace), 0);
  if (originalSpace.rlim_max < space || originalStack.rlim_max < stack) {
    GTEST_SKIP() << "the hard limits leave no room for the test's own";
  }
  TestService service;
  // The limits are inherited by the program; this process keeps them only while it
  // starts it.
  rlimit limitedStack{stack, originalStack.rlim_max}, limitedSpace{space, originalSpace.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_STACK, &limitedStack), 0);
  ASSERT_EQ(setrlimit(RLIMIT_AS, &limitedSpace), 0);
  bool started = service.start(false);
  setrlimit(RLIMIT_AS, &originalSpace);
  setrlimit(RLIMIT_STACK, &originalStack);
  ASSERT_TRUE(started);

  const char* const refused = "[CvServerSocket] exeception: event-loop thread ";
  ASSERT_TRUE(eventually([&] { return count(service.log(), refused) >= 3; },
                         std::chrono::seconds(20)))
      << service.log() << service.output();
  EXPECT_TRUE(std::regex_search(
      service.log(),
      std::regex(R"(\[ERROR\] \[CvServerSocket\] exeception: event-loop thread \d+ of 1000 )"
                 R"(could not start: [^\n]+\n)")))
      << service.log();
  EXPECT_TRUE(service.running());
  EXPECT_EQ(service.output().find("terminate"), std::string::npos) << service.output();

  ASSERT_EQ(prlimit(service.pid(), RLIMIT_AS, &originalSpace, nullptr), 0);
  ASSERT_TRUE(eventually([] { return portAccepts(19420); }, std::chrono::seconds(10)));
  TestClient client;
  ASSERT_TRUE(client.connect());
  EXPECT_EQ(client.call(31, Json::Value(), "after")["clientID"].asString(), "after");
  // Each failed pass gave its threads back: the one that serves has them all (its
  // pool may still be growing when the first connection is served).
  auto threads = [&] {
    std::string status = readFile("/proc/" + std::to_string(service.pid()) + "/status");
    std::smatch found;
    return std::regex_search(status, found, std::regex(R"(Threads:\s+(\d+))"))
               ? std::stoi(found[1])
               : -1;
  };
  EXPECT_TRUE(eventually([&] { return threads() >= 1000; }, std::chrono::seconds(10)))
      << threads();
  EXPECT_LT(threads(), 1100);

  std::string log = service.log();
  EXPECT_EQ(count(log, kStartingLine), count(log, refused) + 1);
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
