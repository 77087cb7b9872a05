// The write step the three cache saves (song, notation, key) share: write the file,
// then store its stamp, and tell the outcome as the answer's data object.
#pragma once

#include <functional>
#include <string>

#include <json/value.h>

struct CvCacheWriteOutcome {
  const char* writeFailLine = nullptr;     // ERROR line with the path; null: log nothing
  const char* stampFailMessage = nullptr;  // data "message" with code -1
};

// Writes content as the file at path with a CvFileWriter. When written, runs
// storeStamp (if set): data "code" 0 "SUCCESS", or -1 and stampFailMessage when it
// returned false. When not written: data "code" 3 "WRITE FILE MIDI ERROR". An
// exception from storeStamp passes through, with the file already written.
Json::Value writeCacheEntry(const std::string& path, std::string content,
                            const std::function<bool()>& storeStamp,
                            const CvCacheWriteOutcome& outcome);
