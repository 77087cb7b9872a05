// Code 2: a learner's session starts. Registers the learner (clientID and token) in
// the User table, remembers them as the session user, loads their speaker preference
// and reports the current keyboard with its range.
#pragma once

#include "link/CvBaseFlow.h"

class CvStartedSessionFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
  bool registerLearner(const std::string& clientID, const std::string& token);
};
