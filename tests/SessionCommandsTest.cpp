// Plugin information and installation identity, through the protocol.
#include <regex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TestClient.h"
#include "tests/support/TestService.h"

namespace {

bool isVersion4Uuid(const std::string& text) {
  static const std::regex form("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
  return std::regex_match(text, form);
}

int installationRows(const TestService& service) {
  return std::stoi(sqlQuery(service.databasePath(), "SELECT count(*) FROM Installation"));
}

}  // namespace

TEST(PluginInformation, PingAnswersVersionWithoutIdentityMembers) {
  TestService service;
  ASSERT_TRUE(service.start());
  TestClient client;
  ASSERT_TRUE(client.connect());
  client.sendText(R"({"methodName":1})");
  auto frame = client.receive();
  ASSERT_TRUE(frame);
  Json::Value answer = parseJson(frame->payload);
  EXPECT_EQ(answer["data"], parseJson(R"({"pluginVersion":"0.0.4.0"})"));
  EXPECT_EQ(answer["responseCode"], 0);
  EXPECT_EQ(answer["errorMessage"], "SUCCESS");
  EXPECT_TRUE(answer.isMember("responseDate"));
  for (const char* member : {"clientID", "clientSecret", "token", "expiredDate", "encoding"}) {
    EXPECT_FALSE(answer.isMember(member)) << member;
  }

  Json::Value version = client.call(16, Json::Value(), "learner-7");
  EXPECT_EQ(version["data"], parseJson(R"({"code":0,"version":"0.0.4.0"})"));
  EXPECT_EQ(version["clientID"], "learner-7");
}

TEST(InstallationIdentity, MadeOnceAndKeptAcrossRestarts) {
  TestService service;
  ASSERT_TRUE(service.start());
  std::string first;
  {
    TestClient client;
    ASSERT_TRUE(client.connect());
    Json::Value answer = client.call(11);
    EXPECT_EQ(answer["data"]["code"], 0);
    EXPECT_EQ(answer["data"]["message"], "SUCCESS");
    first = answer["data"]["installationId"].asString();
    EXPECT_TRUE(isVersion4Uuid(first)) << first;
    EXPECT_EQ(installationRows(service), 1);
    std::string dates =
        sqlQuery(service.databasePath(), "SELECT createdDate, modifiedDate FROM Installation");
    size_t bar = dates.find('|');
    ASSERT_NE(bar, std::string::npos);
    EXPECT_EQ(dates.substr(0, bar), dates.substr(bar + 1));

    Json::Value information = client.call(17);
    EXPECT_EQ(information["data"]["installationId"], first);
    EXPECT_EQ(information["data"]["version"], "0.0.4.0");
    EXPECT_EQ(information["data"]["code"], 0);
  }
  ASSERT_EQ(service.stop(), 0);

  ASSERT_TRUE(service.start());
  TestClient client;
  ASSERT_TRUE(client.connect());
  EXPECT_EQ(client.call(17)["data"]["installationId"], first);
  EXPECT_EQ(client.call(11)["data"]["installationId"], first);
  EXPECT_EQ(installationRows(service), 1);
}

TEST(InstallationIdentity, ConcurrentFirstRequestsStoreOneIdentifier) {
  TestService service;
  ASSERT_TRUE(service.start());
  const int kClients = 16;
  std::vector<std::string> identifiers(kClients);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&identifiers, i] {
      TestClient client;
      if (!client.connect()) return;
      identifiers[i] = client.call(i % 2 == 0 ? 11 : 17)["data"]["installationId"].asString();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(installationRows(service), 1);
  for (const std::string& identifier : identifiers) EXPECT_EQ(identifier, identifiers[0]);
}

TEST(InstallationIdentity, MissingTableStillAnswersAndServiceGoesOn) {
  TestService service;
  sqlQuery(service.databasePath(), "DROP TABLE Installation");
  ASSERT_TRUE(service.start());
  TestClient client;
  ASSERT_TRUE(client.connect());
  Json::Value answer = client.call(11);
  EXPECT_EQ(answer["responseCode"], 0);
  EXPECT_EQ(answer["data"]["code"], 0);
  // The table cannot be read, so no identifier is known and none is made up.
  EXPECT_EQ(answer["data"]["installationId"], "");
  EXPECT_NE(service.log().find("no such table: Installation"), std::string::npos);
  EXPECT_EQ(client.call(1)["data"]["pluginVersion"], "0.0.4.0");
}
