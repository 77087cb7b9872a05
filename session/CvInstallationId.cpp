#include "session/CvInstallationId.h"

#include <mutex>

#include "link/CvSocketUtility.h"
#include "store/CvInstallationSqlite.h"

namespace {

// Makes read-then-insert one step, so two first callers cannot store two
// identifiers. Taken outside g_local_db_mutex, which each table operation takes.
std::mutex g_installation_id_mutex;

}  // namespace

std::string getOrCreateInstallationId() {
  std::string result;
  try {
    std::lock_guard<std::mutex> lock(g_installation_id_mutex);
    CvInstallationSqlite stored;
    bool readFailed = false;
    result = stored.getInstallationId(&readFailed);
    // A table that cannot be read (locked by another process, missing) may well hold
    // an identifier: making one now would answer an identity stored nowhere, or store
    // a second one once the lock is gone.
    if (result.empty() && !readFailed) {
      result = CvSocketUtility::newUuidText();
      std::string now = CvSocketUtility::nowText();
      CvInstallationSqlite fresh(result, now, now);
      // An identifier that is not stored would be another one at the next call.
      if (!fresh.insertInstallation()) result.clear();
    }
  } catch (...) {
  }
  return result;
}
