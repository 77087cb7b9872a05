// The WebSocket endpoint: the keep-alive command it answers itself, the frame type
// of its answers, many connections at once, and what closing a connection records.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/TestClient.h"
#include "tests/support/TestService.h"

namespace {

const char* const kKeepAliveClosed = "[CvServerSocket] KEEP ALIVE is closed";
const char* const kNotKeepAliveClosed = "[CvServerSocket] on_close is not: KEEP ALIVE";

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string keepAlive(const std::string& clientID) {
  return R"({"methodName":31,"clientID":")" + clientID + R"("})";
}

// A browser that vanishes: a hand-made WebSocket connection whose TCP connection is
// reset without a closing handshake.
class AbruptClient {
 public:
  bool connect() {
    fd_ = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(19420);
    address.sin6_addr = in6addr_loopback;
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return false;
    std::string handshake =
        "GET / HTTP/1.1\r\nHost: [::1]:19420\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    if (!sendAll(handshake)) return false;
    return readUntil("\r\n\r\n").find(" 101 ") != std::string::npos;
  }

  // Sends one masked text frame (payload under 126 bytes) and returns what arrives
  // until expected was seen.
  std::string exchange(const std::string& payload, const std::string& expected) {
    std::string frame;
    frame += static_cast<char>(0x81);
    frame += static_cast<char>(0x80 | payload.size());
    const char mask[4] = {0x12, 0x34, 0x56, 0x78};
    frame.append(mask, 4);
    for (size_t i = 0; i < payload.size(); ++i) frame += static_cast<char>(payload[i] ^ mask[i % 4]);
    if (!sendAll(frame)) return std::string();
    return readUntil(expected);
  }

  void reset() {
    linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    ::close(fd_);
    fd_ = -1;
  }

  ~AbruptClient() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  bool sendAll(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  std::string readUntil(const std::string& end) {
    timeval timeout{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    std::string received;
    char buffer[1024];
    while (received.find(end) == std::string::npos) {
      ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      received.append(buffer, static_cast<size_t>(n));
    }
    return received;
  }

  int fd_ = -1;
};

TEST(KeepAlive, AnswersPluginVersionAndEchoesIdentity) {
  TestService service;
  ASSERT_TRUE(service.start());
  TestClient client;
  ASSERT_TRUE(client.connect());
  client.sendText(
      R"({"methodName":31,"clientID":"c1","clientSecret":"s","token":"t","expiredDate":"e",)"
      R"("encoding":"utf8","requestDate":"r","installationId":"i"})");
  auto frame = client.receive();
  ASSERT_TRUE(frame);
  Json::Value answer = parseJson(frame->payload);
  EXPECT_EQ(answer["data"]["pluginVersion"].asString(), "0.0.4.0");
  EXPECT_EQ(answer["clientID"].asString(), "c1");
  EXPECT_EQ(answer["clientSecret"].asString(), "s");
  EXPECT_EQ(answer["token"].asString(), "t");
  EXPECT_EQ(answer["expiredDate"].asString(), "e");
  EXPECT_EQ(answer["encoding"].asString(), "utf8");
  EXPECT_FALSE(answer.isMember("installationId"));
  EXPECT_FALSE(answer.isMember("requestDate"));
  EXPECT_EQ(answer["responseCode"].asInt(), 0);
  EXPECT_EQ(answer["errorMessage"].asString(), "SUCCESS");
  EXPECT_EQ(service.stop(), 0);
  EXPECT_NE(service.log().find("[CvServerSocket]-KEEP ALIVE REQUEST"), std::string::npos);
}

TEST(KeepAlive, AnswerFrameHasTheRequestsFrameType) {
  TestService service;
  ASSERT_TRUE(service.start());
  TestClient client;
  ASSERT_TRUE(client.connect());
  struct Case {
    std::string payload;
    bool binary;
    std::string expected;  // a part of the answer
  };
  const std::vector<Case> cases = {
      {keepAlive("b"), true, R"("pluginVersion":"0.0.4.0")"},
      {keepAlive("t"), false, R"("pluginVersion":"0.0.4.0")"},
      {R"({"methodName":1})", true, R"("pluginVersion":"0.0.4.0")"},
      {R"({"methodName":1})", false, R"("pluginVersion":"0.0.4.0")"},
      {"not json", true, "No operation"},
      {"", true, "No operation"},
      {"", false, "No operation"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload + (c.binary ? " binary" : " text"));
    if (c.binary) {
      client.sendBinary(c.payload);
    } else {
      client.sendText(c.payload);
    }
    auto frame = client.receive();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->binary, c.binary);
    EXPECT_NE(frame->payload.find(c.expected), std::string::npos) << frame->payload;
  }
}

TEST(KeepAlive, ManyConnectionsAtOnceEachGetTheirOwnAnswers) {
  TestService service;
  ASSERT_TRUE(service.start());
  const int kClients = 200;
  const int kRounds = 5;
  std::atomic<int> answered{0};
  std::atomic<int> keepAlives{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      TestClient client;
      if (!client.connect(19420, "::1", std::chrono::seconds(20))) {
        ADD_FAILURE() << "client " << c << " did not connect";
        return;
      }
      for (int round = 0; round < kRounds; ++round) {
        std::string id = "client-" + std::to_string(c) + "-" + std::to_string(round);
        // Keep-alives and a command through the chain, interleaved.
        int code = (c + round) % 2 == 0 ? 31 : 1;
        if (code == 31) ++keepAlives;
        Json::Value answer = client.call(code, Json::Value(), id, std::chrono::seconds(30));
        if (answer["clientID"].asString() == id &&
            answer["data"]["pluginVersion"].asString() == "0.0.4.0") {
          ++answered;
        } else {
          ADD_FAILURE() << id << " got " << answer.toStyledString();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(answered.load(), kClients * kRounds);
  // Answers come from a pool of 1000 event-loop threads, so a slow command never
  // holds up another connection's.
  // (The pool may still be growing on a slow build, such as one under a sanitizer.)
  auto threadCount = [&] {
    std::string status = readFile("/proc/" + std::to_string(service.pid()) + "/status");
    size_t at = status.find("Threads:");
    return at == std::string::npos ? 0 : std::stoi(status.substr(at + 8));
  };
  EXPECT_TRUE(eventually([&] { return threadCount() >= 1000; }, std::chrono::seconds(30)))
      << threadCount() << " threads";
  EXPECT_EQ(count(service.log(), "[CvServerSocket]-KEEP ALIVE REQUEST"),
            static_cast<size_t>(keepAlives.load()));
  EXPECT_EQ(service.stop(), 0);
}

TEST(KeepAlive, ClosingAConnectionRecordsWhetherItWasTheKeepAlive) {
  TestService service;
  ASSERT_TRUE(service.start());

  {
    TestClient plain;
    ASSERT_TRUE(plain.connect());
    EXPECT_EQ(plain.call(1)["responseCode"].asInt(), 0);
  }
  EXPECT_TRUE(eventually([&] { return count(service.output(), kNotKeepAliveClosed) == 1; }))
      << service.output();
  EXPECT_EQ(count(service.log(), kKeepAliveClosed), 0u);

  // Closing one keep-alive connection forgets every other one too: the second
  // connection's close no longer counts as the keep-alive's.
  TestClient first;
  TestClient second;
  ASSERT_TRUE(first.connect());
  ASSERT_TRUE(second.connect());
  EXPECT_EQ(first.request(keepAlive("first"))["clientID"].asString(), "first");
  EXPECT_EQ(second.request(keepAlive("second"))["clientID"].asString(), "second");
  first.close();
  EXPECT_TRUE(eventually([&] { return count(service.log(), kKeepAliveClosed) == 1; }));
  second.close();
  EXPECT_TRUE(eventually([&] { return count(service.output(), kNotKeepAliveClosed) == 2; }))
      << service.output();
  EXPECT_EQ(count(service.log(), kKeepAliveClosed), 1u);

  // A keep-alive connection that drops without a closing handshake is closed too.
  AbruptClient vanishing;
  ASSERT_TRUE(vanishing.connect());
  std::string answer = vanishing.exchange(keepAlive("gone"), "}\n");
  EXPECT_NE(answer.find(R"("clientID":"gone")"), std::string::npos) << answer;
  vanishing.reset();
  EXPECT_TRUE(eventually([&] { return count(service.log(), kKeepAliveClosed) == 2; }))
      << service.log();
  EXPECT_EQ(count(service.output(), kNotKeepAliveClosed), 2u);
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
