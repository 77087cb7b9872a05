// Writes one cache file in one go: the caller makes a writer for the path, gives it
// the content and calls writeFile. One object per write, used by one thread; writers
// of the same path on several threads at once each put a whole file in place, and
// the one that finishes last stays.
#pragma once

#include <cstddef>
#include <string>

class CvFileWriter {
 public:
  // Writes "XML file path: %s\n" with the path to standard output.
  explicit CvFileWriter(const std::string& path);

  // The bytes to write; the size becomes their count.
  void setContent(std::string content);

  // Replaces the file with the content, whole or not at all, through a side file of
  // this write's own beside it ("<name>.partial.<run>.<n>"; those an earlier run left
  // when it was killed are removed). False without touching the disk when the content
  // is empty, false when it cannot be fully written (the old file then stays as it was).
  bool writeFile() const;

 private:
  std::string path_;
  std::string content_;
  std::size_t size_ = 0;
};
