// The command chain of one message: one flow of each command class in a fixed
// order, all sharing the message's decoded request. CvInvalidFlow stays last.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "link/CvBaseFlow.h"

struct CvFlowChain {
  std::vector<std::unique_ptr<CvBaseFlow>> flows;
};

// Decodes text with parseRequest and makes the flows in chain order.
CvFlowChain CreateFlowChain(const std::string& text);

// Asks Matches and, when true, runs Process into flow.result: 1. Returns 0 when the
// flow does not match or raised anything (swallowed, not logged).
int RunFlow(CvBaseFlow& flow);
