#include "store/CvCacheFolder.h"

#include <iterator>
#include <mutex>

#include <boost/filesystem.hpp>
#include <boost/filesystem/fstream.hpp>

#include "platform/platform.h"
#include "service/CvLog.h"
#include "service/CvService.h"
#include "store/CvDatabase.h"

namespace fs = boost::filesystem;

namespace {

// Opening a folder for input succeeds on some systems; it is never a cache file.
bool isFolder(const std::string& path) {
  boost::system::error_code error;
  return fs::is_directory(fs::path(path), error);
}

bool createFolder(const fs::path& folder) {
  boost::system::error_code error;
  fs::create_directories(folder, error);
  // Checked afterwards rather than trusting the "made" flag: a folder that appeared
  // meanwhile serves as well.
  return !error && fs::is_directory(folder, error);
}

// Value of one Base64 character, or -1 outside the alphabet ("=" included).
int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string cacheFolderPath() { return platform::joinPath(g_install_path, "cache"); }

std::string cacheFilePath(const std::string& name) {
  return platform::joinPath(cacheFolderPath(), name);
}

std::string readCacheFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_local_db_mutex);
  if (isFolder(path)) return std::string();
  fs::ifstream in(fs::path(path), std::ios::in | std::ios::binary);
  if (!in.is_open()) return std::string();
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  std::string bytes;
  if (size > 0) bytes.reserve(static_cast<std::size_t>(size));
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return bytes;
}

bool isFileReadable(const std::string& path) {
  if (isFolder(path)) return false;
  fs::ifstream in{fs::path(path)};
  return in.good();
}

bool existsInCache(const std::string& name) {
  return fs::status(fs::path(cacheFilePath(name))).type() != fs::file_not_found;
}

std::string decodeBase64(const std::string& text) {
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3 + 2);
  unsigned long group = 0;
  int count = 0;
  for (char c : text) {
    int value = base64Value(c);
    if (value < 0) break;
    group = (group << 6) | static_cast<unsigned long>(value);
    if (++count == 4) {
      bytes.push_back(static_cast<char>(group >> 16));
      bytes.push_back(static_cast<char>(group >> 8));
      bytes.push_back(static_cast<char>(group));
      group = 0;
      count = 0;
    }
  }
  if (count == 2) {
    bytes.push_back(static_cast<char>(group >> 4));
  } else if (count == 3) {
    bytes.push_back(static_cast<char>(group >> 10));
    bytes.push_back(static_cast<char>(group >> 2));
  }
  return bytes;
}

bool isWholeBase64(const std::string& text) {
  size_t run = 0;
  while (run < text.size() && base64Value(text[run]) >= 0) ++run;
  if (run % 4 == 1) return false;
  size_t padding = text.size() - run;
  if (text.find_first_not_of('=', run) != std::string::npos) return false;
  return padding == 0 || (run % 4 >= 2 && run % 4 + padding == 4);
}

bool ensureCacheFolder(const std::string& tag) {
  const fs::path folder(cacheFolderPath());
  boost::system::error_code error;
  fs::file_status status = fs::status(folder, error);
  if (fs::is_directory(status)) return true;
  if (status.type() == fs::file_not_found || status.type() == fs::status_error) {
    if (createFolder(folder)) return true;
    cvlog::error("[%s]can not create %s folder", tag, "\\cache");
    return false;
  }
  // A file (or another kind of entry) stands where the folder belongs.
  fs::remove(folder, error);
  if (!error && createFolder(folder)) return true;
  cvlog::error("[%s]can not create %s folder", tag, folder.string());
  return false;
}
