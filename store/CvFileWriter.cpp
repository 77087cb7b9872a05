#include "store/CvFileWriter.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

#include "link/CvSocketUtility.h"
#include "platform/platform.h"
#include "service/CvLog.h"

namespace fs = boost::filesystem;

namespace {

// "<name>.partial.<process>.<number>": the process part tells this run's side files
// from those an earlier run left when it was killed mid-write; the number, drawn
// from an atomic counter by every writer thread, keeps writes of the same moment
// apart.
const std::string& processToken() {
  static const std::string token = [] {
    std::string uuid = CvSocketUtility::newUuidText();
    uuid.erase(std::remove(uuid.begin(), uuid.end(), '-'), uuid.end());
    return uuid;
  }();
  return token;
}
std::atomic<unsigned long> g_side_file_count{0};

bool isSideFileOf(const std::string& name, const std::string& stem) {
  if (name == stem) return true;  // the one shared side file of earlier versions
  if (name.compare(0, stem.size() + 1, stem + ".") != 0) return false;
  std::string rest = name.substr(stem.size() + 1);
  size_t dot = rest.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == rest.size()) return false;
  if (rest.find_first_not_of("0123456789abcdef") != dot) return false;
  return rest.find_first_not_of("0123456789", dot + 1) == std::string::npos;
}

// Side files of target that an earlier run left behind; this run's own belong to
// writes that are still going on and are left alone.
void removeLeftSideFiles(const fs::path& target) {
  const std::string stem = target.filename().string() + ".partial";
  const std::string own = stem + "." + processToken() + ".";
  boost::system::error_code error;
  fs::directory_iterator entry(target.parent_path(), error);
  for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
    std::string name = entry->path().filename().string();
    if (isSideFileOf(name, stem) && name.compare(0, own.size(), own) != 0) {
      boost::system::error_code ignored;
      fs::remove(entry->path(), ignored);
    }
  }
}

}  // namespace

CvFileWriter::CvFileWriter(const std::string& path) : path_(path) {
  cvlog::out("XML file path: %s\n", path_);
}

void CvFileWriter::setContent(std::string content) {
  content_ = std::move(content);
  size_ = content_.size();
}

bool CvFileWriter::writeFile() const {
  if (size_ == 0) return false;
  // The content goes to a side file first and replaces the old file only once it is
  // complete and on the disk, so a write that fails half-way (a full disk, a killed
  // process, a power cut) keeps the cached copy whose stamp the database still holds,
  // and a stamp the database keeps never vouches for a file lost with the power.
  // Every write has a side file of its own: two saves of one file at the same moment
  // each rename a whole file, and the last rename wins.
  fs::path target(path_);
  removeLeftSideFiles(target);
  fs::path partial(path_ + ".partial." + processToken() + "." +
                   std::to_string(g_side_file_count.fetch_add(1)));
  bool written;
  {
    fs::ofstream out(partial, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!out.is_open()) return false;
    out.write(content_.data(), static_cast<std::streamsize>(size_));
    out.close();
    written = !out.fail() && platform::flushToDisk(partial.string());
  }
  boost::system::error_code error;
  if (written) fs::rename(partial, target, error);
  if (!written || error) {
    fs::remove(partial, error);
    return false;
  }
  // The new name itself lives in the folder's entries. The file is whole under one
  // name or the other whatever happens here, so this one's outcome changes nothing.
  platform::flushToDisk(target.parent_path().string());
  return true;
}
