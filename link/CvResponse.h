// The response envelope one command builds for one answer; CvSocketUtility::
// encodeResponse turns it into the answer text. Empty texts are left out of the
// answer, except errorMessage; installationId is carried but never written.
#pragma once

#include <string>

#include <json/value.h>

struct CvResponse {
  std::string clientID;
  std::string clientSecret;
  Json::Value data;  // written unless it is the integer 0
  int responseCode = 0;
  std::string errorMessage;
  std::string token;
  std::string expiredDate;
  std::string encoding;
  std::string responseDate;
  std::string installationId;
};
