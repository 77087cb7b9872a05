#include "store/CvCacheSqlite.h"

#include "service/CvLog.h"
#include "store/CvDatabase.h"

namespace {

// Inserts and updates of these tables log only three failed attempts.
bool write(const std::string& sql, const std::vector<std::string>& values, const char* failLine) {
  return g_local_db->execute(
      sql, values, nullptr, [failLine](const std::string& text) { cvlog::error(failLine, text); },
      nullptr);
}

}  // namespace

bool CvCacheSqlite::query(const std::string& sql, const std::string& key, const char* failLine) {
  bool ran = g_local_db->execute(
      sql, {key},
      [this](const CvDatabase::Row& row) {
        id = row.at(0);
        lastModifiedDate = row.at(1);
      },
      [failLine](const std::string& text) { cvlog::error(failLine, text); }, nullptr);
  return ran && !id.empty();
}

bool CvCacheSqlite::insertMidi(const std::string& midiID, const std::string& modified) {
  return write("INSERT INTO Midi (midiID, lastModifiedDate) VALUES ( ?1, ?2)", {midiID, modified},
               "[CvCacheSqlite] insert midi fail %s");
}

bool CvCacheSqlite::updateMidi(const std::string& midiID, const std::string& modified) {
  return write("UPDATE Midi SET lastModifiedDate = ?1 WHERE midiID=?2", {modified, midiID},
               "[CvCacheSqlite] update midi fail %s");
}

bool CvCacheSqlite::getMidi(const std::string& midiID) {
  return query("SELECT * FROM Midi WHERE midiID = ?1", midiID,
               "[CvCacheSqlite] can not query table Midi %s");
}

bool CvCacheSqlite::insertExersise(const std::string& exersiseId, const std::string& modified) {
  return write("INSERT INTO Exersise (exersiseId, lastModifiedDate) VALUES ( ?1, ?2)",
               {exersiseId, modified}, "[CvUserSqlite] insert exersise fail %s");
}

bool CvCacheSqlite::updateExersise(const std::string& exersiseId, const std::string& modified) {
  return write("UPDATE Exersise SET lastModifiedDate = ?1 WHERE exersiseId=?2",
               {modified, exersiseId}, "[CvDeviceSqlite] update exersise fail %s");
}

bool CvCacheSqlite::getExersise(const std::string& exersiseId) {
  return query("SELECT * FROM Exersise WHERE exersiseId = ?1", exersiseId,
               "[CvUserSqlite] can not query table Exersise %s");
}

bool saveMidiModifiedDate(const std::string& midiID, const std::string& lastModifiedDate) {
  CvCacheSqlite row;
  if (row.getMidi(midiID)) return row.updateMidi(midiID, lastModifiedDate);
  return row.insertMidi(midiID, lastModifiedDate);
}

bool saveExersiseModifiedDate(const std::string& exersiseId, const std::string& lastModifiedDate) {
  CvCacheSqlite row;
  if (row.getExersise(exersiseId)) return row.updateExersise(exersiseId, lastModifiedDate);
  return row.insertExersise(exersiseId, lastModifiedDate);
}
