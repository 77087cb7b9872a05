// The Installation table's row: this installation's identifier.
#pragma once

#include <string>

class CvInstallationSqlite {
 public:
  CvInstallationSqlite() = default;
  CvInstallationSqlite(std::string installationId, std::string createdDate,
                       std::string modifiedDate);

  void insertInstallation();
  // The stored identifier (that of the last row when there are several), or empty.
  std::string getInstallationId();

  std::string createdDate;
  std::string modifiedDate;
  std::string installationId;
};
