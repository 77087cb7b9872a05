// Base of every command ("flow"). A flow accepts the request whose methodName is its
// method code; Process runs the skeleton every command shares, written once here:
//
//   take g_flow_mutex (the song, play and notation commands only), log the start
//   lines, make the response, then each in its own guard: copy clientID, copy
//   clientSecret, the command's own step, copy encoding, expiredDate and
//   installationId, stamp responseDate, copy token; set responseCode 0 and
//   errorMessage "SUCCESS"; encode.
//
// A guard catches standard exceptions, logs the flow's error line with the
// exception's text and goes on. A derived flow supplies its description and its own
// step, and overrides the hooks where its command departs from the skeleton.
// A flow lives for one message and is used by one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "link/CvRequest.h"
#include "link/CvResponse.h"

// Held for the whole processing of the commands that load, play and write cached
// songs and notation, so they never overlap. Taken before g_local_db_mutex.
extern std::mutex g_flow_mutex;

// What the skeleton needs to know of one command.
struct CvFlowDescription {
  int methodCode;
  const char* errorLine;         // ERROR line of a failed step; null: catch all, log nothing
  bool holdsFlowMutex = false;
  const char* startLine = nullptr;        // INFO line before anything else
  const char* startStdoutLine = nullptr;  // standard-output line after it
  const char* endLine = nullptr;          // INFO line once the answer is encoded
  // The command sets responseCode and errorMessage itself; the skeleton leaves them.
  bool setsResponseCode = false;
  // Eight error lines, one per guarded step in skeleton order, in place of errorLine.
  const char* const* stepErrorLines = nullptr;
};

class CvBaseFlow {
 public:
  explicit CvBaseFlow(std::shared_ptr<const CvRequest> request);
  virtual ~CvBaseFlow();
  CvBaseFlow(const CvBaseFlow&) = delete;
  CvBaseFlow& operator=(const CvBaseFlow&) = delete;

  // True when the request is present and its methodName is this flow's code.
  virtual bool Matches();
  // The encoded answer, or empty text when the command sends none.
  virtual std::string Process();

  std::string result;

 protected:
  virtual const CvFlowDescription& description() const = 0;

  // The command's own step: fills response.data (and whatever else it answers).
  // Runs inside one guard; a command that needs several guards calls guarded().
  virtual void ownStep(CvResponse& response) = 0;

  // Runs right after the response is made, outside any guard. Returning false ends
  // the command at once with an empty answer.
  virtual bool beforeSteps(CvResponse& response);

  // Runs step in a guard that logs the flow's error line on a standard exception.
  // stepNumber (1 to 8, the command's own step being 3) picks the line where the
  // command has one per step.
  void guarded(const std::function<void()>& step, int stepNumber = kOwnStep) const;
  static const int kOwnStep = 3;

  // {"code": code, "message": message}, the outcome most commands answer with.
  static Json::Value codeMessage(int code, const char* message);

  const CvRequest& request() const { return *request_; }
  const Json::Value& requestData() const { return request_->data; }
  // A text member of the request's data: empty when absent or null; a member of
  // any other type (a number where a text belongs) raises, failing the step.
  std::string dataText(const char* key) const;
  // A member read as text (a number turned into its text first), then the decimal
  // integer it starts with: "90bpm" reads 90; no leading digits, or no member, 0.
  int32_t dataLeadingInteger(const char* key) const;

 private:
  std::string runSkeleton();

  std::shared_ptr<const CvRequest> request_;
};
