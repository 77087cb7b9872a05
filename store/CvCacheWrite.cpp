#include "store/CvCacheWrite.h"

#include <utility>

#include "service/CvLog.h"
#include "store/CvFileWriter.h"

Json::Value writeCacheEntry(const std::string& path, std::string content,
                            const std::function<bool()>& storeStamp,
                            const CvCacheWriteOutcome& outcome) {
  CvFileWriter writer(path);
  writer.setContent(std::move(content));
  Json::Value data(Json::objectValue);
  if (!writer.writeFile()) {
    if (outcome.writeFailLine != nullptr) cvlog::error(outcome.writeFailLine, path);
    data["code"] = 3;
    data["message"] = "WRITE FILE MIDI ERROR";
  } else if (storeStamp && !storeStamp()) {
    data["code"] = -1;
    data["message"] = outcome.stampFailMessage;
  } else {
    data["code"] = 0;
    data["message"] = "SUCCESS";
  }
  return data;
}
