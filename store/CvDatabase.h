// The learner's local SQLite store (g_local_db), beside the program in an install folder
// of its own, in the learner's data folder for a system install. Every table operation
// opens the file, runs its statement (at most three attempts, no waiting), closes
// the file, all under g_local_db_mutex; no connection stays open in between.
// Values are bound as statement parameters, never spliced into the SQL text.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

// Serialises every table operation and every cache-file read. Non-recursive; taken
// after g_flow_mutex where a command holds both.
extern std::mutex g_local_db_mutex;

class CvDatabase {
 public:
  using Row = std::vector<std::string>;  // a NULL column reads as empty text
  using RowCallback = std::function<void(const Row&)>;
  using FailureReport = std::function<void(const std::string& text)>;

  // The file relativePath ("db\pianocorvida.db") in the learner's folder (the
  // program's own where it is writable, platform::learnerFilesFolder). Writes its
  // progress lines to standard output; does not open the file.
  explicit CvDatabase(const std::string& relativePath);
  // The same in a given folder (tests).
  CvDatabase(const std::string& folder, const std::string& relativePath);

  const std::string& path() const { return path_; }

  // Runs one statement: takes g_local_db_mutex, opens, tries up to three times,
  // closes, releases. sql holds ?1..?N for values, bound as text in order; onRow,
  // when set, receives every result row. After three failed attempts onFailed gets
  // SQLite's error text of the last one; if an exception escapes the statement
  // steps, onException gets its text. Either report may be empty. True when the
  // statement ran.
  bool execute(const std::string& sql, const std::vector<std::string>& values,
               const RowCallback& onRow, const FailureReport& onFailed,
               const FailureReport& onException);

 private:
  std::string path_;
  sqlite3* connection_ = nullptr;  // guarded by g_local_db_mutex; open only inside execute
};

// Created by the service's worker thread before the server runs; never destroyed.
extern CvDatabase* g_local_db;
