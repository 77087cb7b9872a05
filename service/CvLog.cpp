#include "service/CvLog.h"

namespace cvlog {

log4cpp::Category& category() {
  static log4cpp::Category& instance = log4cpp::Category::getInstance("<pianocorvida>");
  return instance;
}

}  // namespace cvlog
