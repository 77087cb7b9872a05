// Who may open a WebSocket to the service. It drives the learner's MIDI output,
// writes files and hands out stored keys by client id, so it serves the learner's own
// machine only, and, where the installation keeps a list of allowed web origins, only
// the pages on that list. The endpoint still listens on the IPv6 wildcard address.
#pragma once

#include <string>

#include <boost/asio/ip/address.hpp>

// The origin list beside the database, one origin per line ("https://app.example").
extern const char* const ORIGIN_LIST_RELATIVE_PATH;  // "db\allowed-origins.txt"

class CvConnectionGate {
 public:
  // ::1, 127.0.0.0/8 and both in their IPv4-mapped form (::ffff:127.0.0.1).
  static bool IsLoopback(const boost::asio::ip::address& address);

  // port is the service's own: the diagnostics page it serves there is always let in.
  CvConnectionGate(std::string originListPath, int port);

  // True when no origin list exists (every page is served, as before the list), when
  // the handshake carries no Origin (a local program, not a browser), when origin is
  // the service's own page (http://localhost, 127.0.0.1 or [::1] on port), or when it
  // is listed. The file is read at each handshake, so an edit takes effect without a
  // restart; a list that exists but cannot be read lets no browser page in.
  bool AllowsOrigin(const std::string& origin) const;

 private:
  std::string originListPath_;
  int port_;
};
