// Who may open a WebSocket to the service. It drives the learner's MIDI output,
// writes files and hands out stored keys by client id, so it serves the learner's own
// machine only, and, where the installation keeps a list of allowed web origins, only
// the pages on that list. The endpoint still listens on the IPv6 wildcard address.
#pragma once

#include <string>

#include <boost/asio/ip/address.hpp>

// The learner's origin list beside the database, one origin per line
// ("https://app.example").
extern const char* const ORIGIN_LIST_RELATIVE_PATH;  // "db\allowed-origins.txt"
// The list a package was built with, among the shipped files; the same lines.
extern const char* const SHIPPED_ORIGIN_LIST_NAME;  // "allowed-origins.txt"

class CvConnectionGate {
 public:
  // ::1, 127.0.0.0/8 and both in their IPv4-mapped form (::ffff:127.0.0.1).
  static bool IsLoopback(const boost::asio::ip::address& address);

  // port is the service's own: the diagnostics page it serves there is always let in.
  // The learner's own list, where it exists, takes the place of the shipped one: it
  // narrows or widens what the package allows, as the learner chose.
  CvConnectionGate(std::string originListPath, std::string shippedListPath, int port);

  // True when no origin list exists (every page is served, as before the list), when
  // the handshake carries no Origin (a local program, not a browser), when origin is
  // the service's own page (http://localhost, 127.0.0.1 or [::1] on port), or when it
  // is listed. The file is read at each handshake, so an edit takes effect without a
  // restart; a list that exists but cannot be read lets no browser page in.
  bool AllowsOrigin(const std::string& origin) const;

 private:
  // The list that applies: the learner's where it exists, else the shipped one where
  // that exists; empty when neither does.
  std::string listInForce() const;

  std::string originListPath_;
  std::string shippedListPath_;
  int port_;
};
