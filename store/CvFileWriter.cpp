#include "store/CvFileWriter.h"

#include <utility>

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

#include "platform/platform.h"
#include "service/CvLog.h"

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
  namespace fs = boost::filesystem;
  fs::path target(path_);
  fs::path partial(path_ + ".partial");
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
