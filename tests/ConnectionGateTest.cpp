// Who may connect: peers on another host are cut off before their handshake, loopback
// peers are served over IPv4 and IPv6, and where db/allowed-origins.txt exists only
// the web pages it lists (and programs sending no Origin) are served.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TestClient.h"
#include "tests/support/TestHandshake.h"
#include "tests/support/TestService.h"

namespace {

const char* const kRefusedPeer = "[CvServerSocket] refused connection from ";
const char* const kRefusedOrigin = "[CvServerSocket] refused handshake from origin ";

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

bool pingAnswered(TestClient& client) {
  Json::Value answer = client.call(1);
  return answer["data"]["pluginVersion"] == "0.0.4.0";
}

class ConnectionGateTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service_.start()); }
  std::string originList() const { return service_.path("db/allowed-origins.txt"); }

  TestService service_;
};

TEST_F(ConnectionGateTest, LoopbackPeersAreServedOverBothFamilies) {
  for (const char* host : {"::1", "127.0.0.1"}) {
    TestClient client;
    ASSERT_TRUE(client.connect(19420, host)) << host;
    EXPECT_TRUE(pingAnswered(client)) << host;
  }
  // Another address of the 127.0.0.0/8 block, reached as IPv4-mapped on the IPv6 socket.
  EXPECT_EQ(handshakeStatus("127.0.0.2"), 101);
  EXPECT_EQ(count(service_.log(), kRefusedPeer), 0u);
}

// The service's own host reaching it through a non-loopback address is a network
// peer like any other: a page elsewhere could be relayed through it.
TEST_F(ConnectionGateTest, OwnNetworkAddressIsRefused) {
  ASSERT_TRUE(run("ip link add pcgate0 type veth peer name pcgate1 && "
                  "ip addr add 10.78.0.1/24 dev pcgate0 && "
                  "ip -6 addr add fd78::1/64 dev pcgate0 nodad && "
                  "ip link set pcgate1 up && ip link set pcgate0 up"));
  EXPECT_EQ(handshakeStatus("10.78.0.1"), 0);
  EXPECT_EQ(handshakeStatus("fd78::1"), 0);
  std::string log = service_.log();
  EXPECT_EQ(count(log, std::string(kRefusedPeer) + "::ffff:10.78.0.1: not a loopback address"), 1u)
      << log;
  EXPECT_EQ(count(log, std::string(kRefusedPeer) + "fd78::1: not a loopback address"), 1u) << log;

  TestClient client;
  ASSERT_TRUE(client.connect());
  EXPECT_TRUE(pingAnswered(client));
}

// Another host on the learner's network: a namespace of the test's own on the far end
// of a veth pair. Its traffic never leaves the two namespaces.
TEST_F(ConnectionGateTest, PeerOnAnotherHostCannotCompleteAHandshake) {
  ASSERT_TRUE(run("ip link add pcveth0 type veth peer name pcveth1 && "
                  "ip addr add 10.77.0.1/24 dev pcveth0 && "
                  "ip -6 addr add fd77::1/64 dev pcveth0 nodad && ip link set pcveth0 up"));
  int ready[2], moved[2], result[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(moved), 0);
  ASSERT_EQ(pipe(result), 0);
  pid_t host = fork();
  ASSERT_GE(host, 0);
  if (host == 0) {
    char byte = 0;
    if (unshare(CLONE_NEWNET) != 0) _exit(2);
    (void)!write(ready[1], &byte, 1);
    if (read(moved[0], &byte, 1) != 1) _exit(3);
    if (!run("ip link set lo up && ip addr add 10.77.0.2/24 dev pcveth1 && "
             "ip -6 addr add fd77::2/64 dev pcveth1 nodad && ip link set pcveth1 up"))
      _exit(4);
    int statuses[3] = {handshakeStatus("10.77.0.1"), handshakeStatus("fd77::1"),
                       handshakeStatus("10.77.0.1", 19420, "http://localhost:8080")};
    (void)!write(result[1], statuses, sizeof(statuses));
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_TRUE(run("ip link set pcveth1 netns " + std::to_string(host)));
  ASSERT_EQ(write(moved[1], &byte, 1), 1);
  int statuses[3] = {-2, -2, -2};
  EXPECT_EQ(read(result[0], statuses, sizeof(statuses)), static_cast<ssize_t>(sizeof(statuses)));
  int exitStatus = 0;
  waitpid(host, &exitStatus, 0);
  EXPECT_TRUE(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0) << exitStatus;

  // The TCP connection opens (the endpoint listens on every address) and is cut before
  // any HTTP answer.
  EXPECT_EQ(statuses[0], 0);
  EXPECT_EQ(statuses[1], 0);
  EXPECT_EQ(statuses[2], 0);
  std::string log = service_.log();
  EXPECT_EQ(count(log, std::string(kRefusedPeer) + "::ffff:10.77.0.2: not a loopback address"), 2u)
      << log;
  EXPECT_EQ(count(log, std::string(kRefusedPeer) + "fd77::2: not a loopback address"), 1u) << log;

  TestClient client;
  ASSERT_TRUE(client.connect());
  EXPECT_TRUE(pingAnswered(client));
}

TEST_F(ConnectionGateTest, WithoutAnOriginListEveryPageIsServed) {
  TestClient page;
  page.setOrigin("https://elsewhere.example");
  ASSERT_TRUE(page.connect());
  EXPECT_TRUE(pingAnswered(page));
  EXPECT_EQ(handshakeStatus("::1", 19420, "null"), 101);
  EXPECT_EQ(count(service_.log(), kRefusedOrigin), 0u);
}

TEST_F(ConnectionGateTest, OriginListServesListedPagesAndProgramsOnly) {
  writeFileBytes(originList(),
                 "# the web application\r\nhttps://learn.pianocorvida.example\r\n\r\n"
                 "  HTTP://localhost:8080/  \n");
  TestClient listed;
  listed.setOrigin("https://learn.pianocorvida.example");
  ASSERT_TRUE(listed.connect());
  EXPECT_TRUE(pingAnswered(listed));
  // Browsers send origins in lower case and without a path.
  EXPECT_EQ(handshakeStatus("::1", 19420, "http://localhost:8080"), 101);
  // A local program sends no Origin.
  EXPECT_EQ(handshakeStatus("::1"), 101);

  EXPECT_EQ(handshakeStatus("::1", 19420, "https://elsewhere.example"), 403);
  EXPECT_EQ(handshakeStatus("127.0.0.1", 19420, "https://learn.pianocorvida.example.evil"), 403);
  EXPECT_EQ(handshakeStatus("::1", 19420, "null"), 403);
  TestClient unlisted;
  unlisted.setOrigin("http://localhost:8081");
  EXPECT_FALSE(unlisted.connect());

  std::string log = service_.log();
  for (const char* origin : {"https://elsewhere.example", "https://learn.pianocorvida.example.evil",
                             "null", "http://localhost:8081"}) {
    EXPECT_EQ(count(log, std::string(kRefusedOrigin) + origin + ": not in allowed-origins.txt"), 1u)
        << origin << "\n" << log;
  }
  EXPECT_EQ(count(log, kRefusedOrigin), 4u);
  // The refusals cost the listed page nothing.
  EXPECT_TRUE(pingAnswered(listed));
}

TEST_F(ConnectionGateTest, OriginListIsReadAtEachHandshake) {
  writeFileBytes(originList(), "https://learn.pianocorvida.example\n");
  EXPECT_EQ(handshakeStatus("::1", 19420, "https://elsewhere.example"), 403);
  writeFileBytes(originList(), "https://learn.pianocorvida.example\nhttps://elsewhere.example\n");
  EXPECT_EQ(handshakeStatus("::1", 19420, "https://elsewhere.example"), 101);
  // An empty list lets no page in; taking the list away serves every page again.
  writeFileBytes(originList(), "");
  EXPECT_EQ(handshakeStatus("::1", 19420, "https://learn.pianocorvida.example"), 403);
  ASSERT_EQ(std::remove(originList().c_str()), 0);
  EXPECT_EQ(handshakeStatus("::1", 19420, "https://elsewhere.example"), 101);
}

// The diagnostics page the service serves itself connects with its own origin, which a
// list written for the web application does not name.
TEST_F(ConnectionGateTest, ServicesOwnPageIsLetThroughAnyOriginList) {
  writeFileBytes(originList(), "https://learn.pianocorvida.example\n");
  for (const char* origin : {"http://localhost:19420", "http://127.0.0.1:19420",
                             "http://[::1]:19420", "HTTP://LOCALHOST:19420"}) {
    EXPECT_EQ(handshakeStatus("::1", 19420, origin), 101) << origin;
  }
  // Other ports, schemes and names on this machine are pages like any other.
  for (const char* origin : {"http://localhost:19421", "http://localhost",
                             "https://localhost:19420", "http://127.0.0.2:19420",
                             "http://localhost:194200"}) {
    EXPECT_EQ(handshakeStatus("127.0.0.1", 19420, origin), 403) << origin;
  }
}

}  // namespace
