// The decoded request envelope of one message. Made by CvSocketUtility::parseRequest,
// shared read-only by the flows of one chain, never by two messages.
#pragma once

#include <string>

#include <json/value.h>

struct CvRequest {
  std::string clientID;
  std::string clientSecret;
  Json::Value data;  // the "data" member as it stands; null when absent
  int methodName = -1;
  std::string token;
  std::string expiredDate;
  std::string encoding;
  std::string requestDate;
  std::string installationId;
};
