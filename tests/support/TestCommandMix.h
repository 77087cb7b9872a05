// The web application's everyday commands mixed, for load: ping, check song, get
// notation, device list and get key, after a first request on each connection that
// stores that connection's own key. Every request carries a token of its own; an
// answer is right when it echoes the request's client and token in a success
// envelope and carries the data that command gives for what is stored.
#pragma once

#include <cstddef>
#include <string>

#include "tests/support/TestClientPool.h"

class TestClient;

class TestCommandMix {
 public:
  // keyboard: a port name the device list must hold; the song must be cached under
  // songId with songStamp before the mix runs.
  TestCommandMix(std::string keyboard, int songId, std::string songStamp);

  // Stores the exercise the get-notation requests ask for; true when stored.
  bool storeExercise(TestClient& client) const;

  std::string request(size_t connection, size_t sequence) const;
  // Empty when the answer is right for the request; otherwise what is wrong.
  std::string check(const std::string& request, const std::string& answer) const;

  TestClientPool::Script script() const;
  TestClientPool::Check checker() const;

 private:
  std::string keyboard_;
  int songId_;
  std::string songStamp_;
};
