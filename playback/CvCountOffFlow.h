// Code 9: prepares a performance. Loads the song's cached MIDI file into the
// accompaniment engine for the requested tempo, time signature and excerpt, prepares
// the count-off and answers with its expected length ("duration"), which the web
// application lines its display up with. Nothing plays yet. Holds g_flow_mutex.
#pragma once

#include "link/CvBaseFlow.h"

class CvCountOffFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
  // Reads the song and prepares it; the data of the answer.
  Json::Value PrepareSong(CvResponse& response);
};
