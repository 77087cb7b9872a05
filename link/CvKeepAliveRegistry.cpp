#include "link/CvKeepAliveRegistry.h"

#include "midi/CvMidiState.h"

CvKeepAliveRegistry g_keep_alive_connections;

void CvKeepAliveRegistry::markKeepAlive(websocketpp::connection_hdl handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  g_keep_alive_open.exchange(true);
  connections_[handle] = "KEEP ALIVE";
}

bool CvKeepAliveRegistry::closeConnection(websocketpp::connection_hdl handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (connections_.find(handle) == connections_.end()) return false;
  g_keep_alive_open.exchange(false);
  connections_.clear();
  return true;
}
