#include "session/CvSetTimeOutValue.h"

#include "link/CvSocketUtility.h"
#include "service/CvLog.h"

std::atomic<int32_t> g_timeout_value{10000};

const CvFlowDescription& CvSetTimeOutValue::description() const {
  static const CvFlowDescription flow{30, "[CvSetTimeOutValue] error message: %s"};
  return flow;
}

bool CvSetTimeOutValue::beforeSteps(CvResponse&) {
  cvlog::out("CvSetTimeOutValue::Process(): %s\n", CvSocketUtility::nowText());
  return true;
}

void CvSetTimeOutValue::ownStep(CvResponse& response) {
  Json::Value data = requestData();
  g_timeout_value.exchange(data["timeoutValue"].asInt());
  cvlog::out("CvSetTimeOutValue::timeOut: %d\n", g_timeout_value.load());
  response.data = codeMessage(0, "TIMEOUT IS SET");
}
