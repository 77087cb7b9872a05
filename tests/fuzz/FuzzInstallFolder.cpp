#include "tests/fuzz/FuzzInstallFolder.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <boost/filesystem.hpp>
#include <sqlite3.h>

#include "playback/CvCountOffInfo.h"
#include "playback/CvMetronomeTask.h"
#include "playback/CvMidiTaskPlayer.h"
#include "service/CvService.h"
#include "store/CvCacheFolder.h"
#include "store/CvDatabase.h"

namespace fs = boost::filesystem;

namespace {

std::string readSchema() {
  std::ifstream in(PIANOCORVIDA_SCHEMA_FILE, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " PIANOCORVIDA_SCHEMA_FILE);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void runSql(const std::string& databasePath, const std::string& sql) {
  sqlite3* db = nullptr;
  int opened = sqlite3_open(databasePath.c_str(), &db);
  int ran = opened == SQLITE_OK ? sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr)
                                : opened;
  sqlite3_close(db);
  if (ran != SQLITE_OK) throw std::runtime_error("cannot run SQL on " + databasePath);
}

}  // namespace

FuzzInstallFolder::FuzzInstallFolder() {
  // The JACK client library must neither start a server nor join one that a test or
  // another developer runs: every MIDI or audio client of the target finds none.
  setenv("JACK_NO_START_SERVER", "1", 1);
  setenv("JACK_DEFAULT_SERVER", "pianocorvida-fuzz-none", 1);

  folder_ = (fs::temp_directory_path() / fs::unique_path("pianocorvida-fuzz-%%%%-%%%%")).string();
  fs::create_directories(fs::path(folder_) / "db");
  g_install_path = folder_;
  g_local_db = new CvDatabase(folder_, DATABASE_RELATIVE_PATH);
  runSql(g_local_db->path(), readSchema());
  g_player = new CvMidiTaskPlayer();
  g_count_off = new CvCountOffInfo();
  g_metronome = new CvMetronomeTask();
}

FuzzInstallFolder::~FuzzInstallFolder() {
  boost::system::error_code error;
  fs::remove_all(folder_, error);
}

void FuzzInstallFolder::clearStores() {
  boost::system::error_code error;
  fs::remove_all(cacheFolderPath(), error);
  runSql(g_local_db->path(),
         "DELETE FROM Device; DELETE FROM User; DELETE FROM Installation; "
         "DELETE FROM Midi; DELETE FROM Exersise;");
}
