// The connections that sent a keep-alive (g_keep_alive_connections), kept together
// with g_keep_alive_open under one mutex so that on_message and on_close on
// different event-loop threads never see one without the other.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include <websocketpp/common/connection_hdl.hpp>

class CvKeepAliveRegistry {
 public:
  // Sets g_keep_alive_open and records handle with the text "KEEP ALIVE".
  void markKeepAlive(websocketpp::connection_hdl handle);

  // When handle sent a keep-alive: clears g_keep_alive_open, forgets every
  // connection (not only this one) and returns true. Otherwise changes nothing.
  bool closeConnection(websocketpp::connection_hdl handle);


 private:
  std::mutex mutex_;
  std::map<websocketpp::connection_hdl, std::string,
           std::owner_less<websocketpp::connection_hdl>>
      connections_;  // guarded by mutex_
};

// Written by the WebSocket endpoint's handlers only.
extern CvKeepAliveRegistry g_keep_alive_connections;
