// The keep-alive command, answered by the endpoint itself.
#include <gtest/gtest.h>

#include "tests/support/TestClient.h"
#include "tests/support/TestService.h"

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
