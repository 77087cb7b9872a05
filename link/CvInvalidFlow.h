// Last flow of every chain: accepts any request no other flow took (empty message,
// unknown or missing code) and answers the plain text "No operation".
#pragma once

#include "link/CvBaseFlow.h"

class CvInvalidFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;
  bool Matches() override;
  std::string Process() override;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse&) override {}
};
