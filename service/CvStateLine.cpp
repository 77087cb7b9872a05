#include "service/CvStateLine.h"

#include <utility>

#include "service/CvLog.h"

CvStateLine::CvStateLine(std::string text) : text_(std::move(text)) {}

void CvStateLine::holds() {
  if (shown_) return;
  shown_ = true;
  cvlog::out("%s", text_);
}

void CvStateLine::ended() { shown_ = false; }
