// Where a Linux install keeps its files, and a learner's first start from a system
// install: the learner's folder made private, and a database for it copied from the
// earlier /opt layout or from the pristine one, under temporary names first.
#include "platform/linux/learner_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

const char* const EARLIER_INSTALL_FOLDER = "/opt/pianocorvida";

namespace {

namespace fs = std::filesystem;

const char* const kDatabaseName = "pianocorvida.db";
const char* const kLogName = "pianocorvida.log";
const int kLogBackups = 5;  // the rolling log keeps pianocorvida.log.1 to .5
// Where a first start gathers the copies before anything is put in place; one left
// behind by a start cut short is removed and made again.
const char* const kStagingName = ".first-start";

std::string systemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

// Makes path and every missing folder above it, each private to its owner, as desktop
// programs make their XDG folders. One that exists keeps its mode.
bool makePrivateFolders(const std::string& path, std::string& failure) {
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    std::string part = path.substr(0, end);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      failure = systemError("cannot make the folder", part);
      return false;
    }
    if (end == std::string::npos) break;
  }
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    errno = ENOTDIR;
    failure = systemError("cannot make the folder", path);
    return false;
  }
  return true;
}

// A private copy that has reached the disk, or the reason why not.
bool copyFile(const std::string& from, const std::string& to, std::string& failure) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    failure = systemError("cannot read", from);
    return false;
  }
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    failure = systemError("cannot write", to);
    ::close(in);
    return false;
  }
  std::vector<char> buffer(64 * 1024);
  bool copied = true;
  for (;;) {
    ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      failure = systemError("cannot read", from);
      copied = false;
      break;
    }
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      ssize_t put = ::write(out, buffer.data() + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) {
        failure = systemError("cannot write", to);
        copied = false;
        break;
      }
      done += put;
    }
    if (!copied) break;
  }
  if (copied && ::fsync(out) != 0) {
    failure = systemError("cannot write", to);
    copied = false;
  }
  ::close(out);
  ::close(in);
  return copied;
}

// The names of the regular files directly in folder (none when it is missing).
std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    std::error_code typeError;
    if (entry->is_regular_file(typeError)) names.push_back(entry->path().filename().string());
  }
  return names;
}

bool copyFiles(const std::string& from, const std::vector<std::string>& names,
               const std::string& to, std::string& failure) {
  for (const std::string& name : names) {
    if (!copyFile(from + "/" + name, to + "/" + name, failure)) return false;
  }
  return true;
}

// Renames each staged file into folder where folder has none of that name: what the
// learner's folder already holds (from a start cut short, or their own) stays.
bool moveInWhereMissing(const std::string& staged, const std::vector<std::string>& names,
                        const std::string& folder, std::string& failure) {
  for (const std::string& name : names) {
    std::string target = folder + "/" + name;
    if (exists(target)) continue;
    if (::rename((staged + "/" + name).c_str(), target.c_str()) != 0) {
      failure = systemError("cannot put in place", target);
      return false;
    }
  }
  if (flushToDisk(folder)) return true;
  failure = systemError("cannot flush", folder);
  return false;
}

// The earlier layout's database counts only when it is the running user's own: the
// earlier package handed its folder to one learner, and another account that can
// read that file must not start with the first one's keyboards, users and keys.
bool isOwnReadableFile(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_uid != ::geteuid()) return false;
  return ::access(path.c_str(), R_OK) == 0;
}

std::vector<std::string> logFilesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (int backup = 0; backup <= kLogBackups; ++backup) {
    std::string name = backup == 0 ? kLogName : kLogName + ("." + std::to_string(backup));
    if (exists(folder + "/" + name)) names.push_back(name);
  }
  return names;
}

// Every copy into staging: the earlier layout's data, or the pristine database.
bool stage(const ProgramFolders& folders, const std::string& earlierFolder, bool fromEarlier,
           const std::string& staging, std::string& failure) {
  const std::string stagedDb = staging + "/db";
  if (!makePrivateFolders(stagedDb, failure)) return false;
  if (!fromEarlier) {
    return copyFile(folders.shipped + "/" + kDatabaseName, stagedDb + "/" + kDatabaseName,
                    failure);
  }
  const std::string earlierDb = earlierFolder + "/db";
  const std::string earlierCache = earlierFolder + "/cache";
  // A journal beside the database goes too: it finishes or undoes the last write.
  if (!copyFiles(earlierDb, filesIn(earlierDb), stagedDb, failure)) return false;
  if (!makePrivateFolders(staging + "/cache", failure)) return false;
  if (!copyFiles(earlierCache, filesIn(earlierCache), staging + "/cache", failure)) return false;
  return copyFiles(earlierFolder, logFilesIn(earlierFolder), staging, failure);
}

}  // namespace

ProgramFolders programFoldersFor(const std::string& programFolder, bool programFolderWritable,
                                 const char* xdgDataHome, const char* home) {
  ProgramFolders folders;
  if (programFolderWritable) {
    folders.shipped = folders.learner = programFolder;
    return folders;
  }
  folders.separate = true;
  folders.shipped = folderOf(folderOf(programFolder)) + "/share/pianocorvida";
  // The XDG rule: a relative XDG_DATA_HOME is invalid and ignored.
  std::string dataHome;
  if (xdgDataHome != nullptr && xdgDataHome[0] == '/') {
    dataHome = xdgDataHome;
  } else if (home != nullptr && home[0] != '\0') {
    dataHome = std::string(home) + "/.local/share";
  }
  if (!dataHome.empty()) folders.learner = dataHome + "/pianocorvida";
  return folders;
}

LearnerFilesSetup prepareLearnerFolder(const ProgramFolders& folders,
                                       const std::string& earlierFolder) {
  LearnerFilesSetup setup;
  if (!folders.separate) return setup;
  if (folders.learner.empty()) {
    setup.failure = "no folder for the learner's files: the account has no home folder";
    return setup;
  }
  const std::string learnerDb = folders.learner + "/db";
  const std::string database = learnerDb + "/" + kDatabaseName;
  if (exists(database)) return setup;

  std::string& failure = setup.failure;
  if (!makePrivateFolders(learnerDb, failure)) return setup;
  // The folder is the learner's alone, even where something made it before.
  if (::chmod(folders.learner.c_str(), 0700) != 0) {
    failure = systemError("cannot make private", folders.learner);
    return setup;
  }
  const std::string staging = folders.learner + "/" + kStagingName;
  std::error_code ignored;
  fs::remove_all(staging, ignored);
  const bool fromEarlier = isOwnReadableFile(earlierFolder + "/db/" + kDatabaseName);
  if (!stage(folders, earlierFolder, fromEarlier, staging, failure)) {
    fs::remove_all(staging, ignored);
    return setup;
  }

  // In place, the database last: until it is there, the next start begins again.
  const std::string stagedDb = staging + "/db";
  std::vector<std::string> dbFiles = filesIn(stagedDb);
  dbFiles.erase(std::remove(dbFiles.begin(), dbFiles.end(), kDatabaseName), dbFiles.end());
  bool placed = true;
  if (fromEarlier) {
    const std::string learnerCache = folders.learner + "/cache";
    placed = makePrivateFolders(learnerCache, failure) &&
             moveInWhereMissing(staging + "/cache", filesIn(staging + "/cache"), learnerCache,
                                failure) &&
             moveInWhereMissing(staging, logFilesIn(staging), folders.learner, failure);
  }
  placed = placed && moveInWhereMissing(stagedDb, dbFiles, learnerDb, failure) &&
           moveInWhereMissing(stagedDb, {kDatabaseName}, learnerDb, failure);
  fs::remove_all(staging, ignored);
  if (!placed) return setup;
  if (fromEarlier) {
    setup.copiedFrom = earlierFolder;
  } else {
    setup.madeFrom = folders.shipped + "/" + kDatabaseName;
  }
  return setup;
}

namespace {

bool isWritableFolder(const std::string& folder) { return ::access(folder.c_str(), W_OK) == 0; }

// HOME, or the account's own home folder where the environment has none.
std::string homeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr) {
    return std::string();
  }
  return found->pw_dir;
}

const ProgramFolders& runningProgramFolders() {
  static const ProgramFolders folders = [] {
    std::string programFolder = folderOf(modulePath());
    std::string home = homeFolder();
    return programFoldersFor(programFolder, isWritableFolder(programFolder),
                             std::getenv("XDG_DATA_HOME"), home.c_str());
  }();
  return folders;
}

}  // namespace

std::string shippedFilesFolder() { return runningProgramFolders().shipped; }
std::string learnerFilesFolder() { return runningProgramFolders().learner; }

LearnerFilesSetup prepareLearnerFiles() {
  return prepareLearnerFolder(runningProgramFolders(), EARLIER_INSTALL_FOLDER);
}

}  // namespace platform
