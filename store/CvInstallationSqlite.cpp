#include "store/CvInstallationSqlite.h"

#include <utility>

#include "service/CvLog.h"
#include "store/CvDatabase.h"

CvInstallationSqlite::CvInstallationSqlite(std::string id, std::string created,
                                           std::string modified)
    : createdDate(std::move(created)),
      modifiedDate(std::move(modified)),
      installationId(std::move(id)) {}

bool CvInstallationSqlite::insertInstallation() {
  return g_local_db->execute(
      "INSERT INTO Installation (installationId, createdDate, modifiedDate) VALUES ( ?1, ?2, ?3)",
      {installationId, createdDate, modifiedDate}, nullptr,
      [this](const std::string& text) {
        cvlog::error("Insert installation id %s fail %s", installationId, text);
      },
      nullptr);
}

std::string CvInstallationSqlite::getInstallationId(bool* readFailed) {
  // Only three failed attempts give empty text; after an exception the member's text
  // stands as the rows before it left it.
  bool failed = false;
  bool ran = g_local_db->execute(
      "SELECT installationId FROM Installation", {},
      [this](const CvDatabase::Row& row) { installationId = row.at(0); },
      [&failed](const std::string& text) {
        failed = true;
        cvlog::error("[CvInstallationSqlite] select installation id fail %s", text);
      },
      nullptr);
  if (readFailed != nullptr) *readFailed = !ran;
  return failed ? std::string() : installationId;
}
