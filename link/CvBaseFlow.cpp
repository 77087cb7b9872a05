#include "link/CvBaseFlow.h"

#include <cstdlib>
#include <exception>
#include <limits>

#include <json/value.h>

#include "link/CvSocketUtility.h"
#include "service/CvLog.h"

std::mutex g_flow_mutex;

CvBaseFlow::CvBaseFlow(std::shared_ptr<const CvRequest> request)
    : request_(std::move(request)) {}

CvBaseFlow::~CvBaseFlow() = default;

bool CvBaseFlow::Matches() {
  return request_ != nullptr && request_->methodName == description().methodCode;
}

std::string CvBaseFlow::Process() {
  if (!description().holdsFlowMutex) return runSkeleton();
  std::lock_guard<std::mutex> lock(g_flow_mutex);
  return runSkeleton();
}

std::string CvBaseFlow::dataText(const char* key) const {
  const Json::Value& member = request_->data[key];
  if (member.isNull()) return std::string();
  if (!member.isString()) throw Json::LogicError("Value is not a string.");
  return member.asString();
}

int32_t CvBaseFlow::dataLeadingInteger(const char* key) const {
  const Json::Value& member = request_->data[key];
  std::string text = member.isNull() ? std::string() : member.asString();
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

bool CvBaseFlow::beforeSteps(CvResponse&) { return true; }

Json::Value CvBaseFlow::codeMessage(int code, const char* message) {
  Json::Value data(Json::objectValue);
  data["code"] = code;
  data["message"] = message;
  return data;
}

void CvBaseFlow::guarded(const std::function<void()>& step, int stepNumber) const {
  const CvFlowDescription& flow = description();
  const char* errorLine =
      flow.stepErrorLines != nullptr ? flow.stepErrorLines[stepNumber - 1] : flow.errorLine;
  if (errorLine == nullptr) {
    try {
      step();
    } catch (...) {
    }
    return;
  }
  try {
    step();
  } catch (const std::exception& e) {
    cvlog::error(errorLine, e.what());
  }
}

std::string CvBaseFlow::runSkeleton() {
  const CvFlowDescription& flow = description();
  if (flow.startLine != nullptr) cvlog::info(flow.startLine);
  if (flow.startStdoutLine != nullptr) cvlog::out(flow.startStdoutLine);

  CvResponse response;
  if (!beforeSteps(response)) return std::string();

  const CvRequest& in = *request_;
  guarded([&] { response.clientID = in.clientID; }, 1);
  guarded([&] { response.clientSecret = in.clientSecret; }, 2);
  guarded([&] { ownStep(response); }, kOwnStep);
  guarded([&] { response.encoding = in.encoding; }, 4);
  guarded([&] { response.expiredDate = in.expiredDate; }, 5);
  guarded([&] { response.installationId = in.installationId; }, 6);
  guarded([&] { response.responseDate = CvSocketUtility::nowText(); }, 7);
  guarded([&] { response.token = in.token; }, 8);
  if (!flow.setsResponseCode) {
    response.responseCode = 0;
    response.errorMessage = "SUCCESS";
  }

  std::string answer = CvSocketUtility::encodeResponse(response);
  if (flow.endLine != nullptr) cvlog::info(flow.endLine);
  return answer;
}
