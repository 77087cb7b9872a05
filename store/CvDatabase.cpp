#include "store/CvDatabase.h"

#include <exception>
#include <memory>

#include <sqlite3.h>

#include "platform/platform.h"
#include "service/CvLog.h"

std::mutex g_local_db_mutex;
CvDatabase* g_local_db = nullptr;

namespace {

constexpr int kAttempts = 3;

using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

std::string columnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}

// One attempt: prepare, bind, step through every row. The statement is finalized
// on every way out, an exception from onRow included, so the connection can close.
bool runOnce(sqlite3* connection, const std::string& sql, const std::vector<std::string>& values,
             const CvDatabase::RowCallback& onRow, std::string& error) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(connection, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr) !=
      SQLITE_OK) {
    error = sqlite3_errmsg(connection);
    return false;
  }
  Statement statement(raw, &sqlite3_finalize);
  for (size_t i = 0; i < values.size(); ++i) {
    if (sqlite3_bind_text(statement.get(), static_cast<int>(i + 1), values[i].data(),
                          static_cast<int>(values[i].size()), SQLITE_TRANSIENT) != SQLITE_OK) {
      error = sqlite3_errmsg(connection);
      return false;
    }
  }
  int rc;
  while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    if (!onRow) continue;
    int columns = sqlite3_column_count(statement.get());
    CvDatabase::Row row;
    row.reserve(static_cast<size_t>(columns));
    for (int column = 0; column < columns; ++column) {
      row.push_back(columnText(statement.get(), column));
    }
    onRow(row);
  }
  if (rc != SQLITE_DONE) {
    error = sqlite3_errmsg(connection);
    return false;
  }
  return true;
}

}  // namespace

CvDatabase::CvDatabase(const std::string& relativePath) {
  cvlog::out("3.1\n");
  cvlog::out("3.2\n");
  std::string folder = platform::learnerFilesFolder();
  cvlog::out("3.3\n");
  cvlog::out("3.4 %s\n", folder);
  path_ = platform::joinPath(folder, relativePath);
}

CvDatabase::CvDatabase(const std::string& folder, const std::string& relativePath)
    : path_(platform::joinPath(folder, relativePath)) {}

bool CvDatabase::execute(const std::string& sql, const std::vector<std::string>& values,
                         const RowCallback& onRow, const FailureReport& onFailed,
                         const FailureReport& onException) {
  std::unique_lock<std::mutex> lock(g_local_db_mutex);
  auto closeAndRelease = [&] {
    sqlite3_close(connection_);
    connection_ = nullptr;
    lock.unlock();
  };

  bool ran = false;
  std::string error;
  try {
    int opened = sqlite3_open_v2(path_.c_str(), &connection_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (opened != SQLITE_OK) {
      // A connection that failed to open cannot run anything; every attempt fails
      // with the open's own text rather than a misuse error, and names the file so
      // that a missing or unreadable database is plain from the log.
      error = connection_ != nullptr ? sqlite3_errmsg(connection_) : sqlite3_errstr(opened);
      error += ": " + path_;
    } else {
      for (int attempt = 0; attempt < kAttempts && !ran; ++attempt) {
        ran = runOnce(connection_, sql, values, onRow, error);
      }
    }
  } catch (const std::exception& e) {
    closeAndRelease();
    if (onException) onException(e.what());
    return false;
  }

  closeAndRelease();
  if (!ran && onFailed) onFailed(error);
  return ran;
}
