// Code 21: parks the requesting client's key, scrambled, in the cache folder file
// named after its clientID. Takes no lock and does not make the cache folder: the
// write fails while the folder is missing.
#pragma once

#include "link/CvBaseFlow.h"

class CvSaveSecurityKey : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
