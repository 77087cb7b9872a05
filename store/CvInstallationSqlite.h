// The Installation table's row: this installation's identifier.
#pragma once

#include <string>

class CvInstallationSqlite {
 public:
  CvInstallationSqlite() = default;
  CvInstallationSqlite(std::string installationId, std::string createdDate,
                       std::string modifiedDate);

  // Stores this row; false when it was not stored (the failure is logged).
  bool insertInstallation();
  // The stored identifier (that of the last row when there are several), or empty.
  // readFailed, when given, tells an empty table from a table that could not be read.
  std::string getInstallationId(bool* readFailed = nullptr);

  std::string createdDate;
  std::string modifiedDate;
  std::string installationId;
};
