// One row of the User table: a learner (the web application's client id).
#pragma once

#include <string>

class CvUserSqlite {
 public:
  bool insertUser(const std::string& userId, const std::string& token,
                  const std::string& createdDate, const std::string& modifiedDate);
  bool getUserById(const std::string& userId);  // true when a row was found
  bool updateSpeakerPc(const std::string& speakerPc, const std::string& userId);

  std::string userId;
  std::string token;
  std::string createdDate;
  std::string modifiedDate;
  std::string remark;
  bool speakerPc = false;
};
