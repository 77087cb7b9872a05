#include "store/CvUserSqlite.h"

#include "service/CvLog.h"
#include "store/CvDatabase.h"

bool CvUserSqlite::insertUser(const std::string& newUserId, const std::string& newToken,
                              const std::string& created, const std::string& modified) {
  auto fail = [](const std::string& text) {
    cvlog::error("[CvUserSqlite] insert user fail %s", text);
  };
  return g_local_db->execute(
      "INSERT INTO User (userId, token, createdDate, modifiedDate, speakerPc) VALUES ( ?1, ?2, "
      "?3, ?4, 0)",
      {newUserId, newToken, created, modified}, nullptr, fail, fail);
}

bool CvUserSqlite::getUserById(const std::string& id) {
  bool ran = g_local_db->execute(
      "SELECT * FROM User WHERE userId = ?1", {id},
      [this](const CvDatabase::Row& row) {
        userId = row.at(0);
        speakerPc = row.at(5) != "0";
      },
      [](const std::string& text) {
        cvlog::error("[CvUserSqlite] can not query table User %s", text);
      },
      [](const std::string&) { cvlog::error("[CvUserSqlite] check exist user fail"); });
  return ran && !userId.empty();
}

bool CvUserSqlite::updateSpeakerPc(const std::string& value, const std::string& id) {
  return g_local_db->execute(
      "UPDATE User SET speakerPc = ?1 WHERE userId=?2", {value, id}, nullptr,
      [](const std::string& text) {
        cvlog::out("[CvUserSqlite] update speakerPc of table User fail %s\n", text);
      },
      [](const std::string& text) {
        cvlog::error("[CvUserSqlite] update speakerPc of table User fail %s", text);
      });
}
