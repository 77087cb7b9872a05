// The diagnostics page a support person opens at http://localhost:19420/: one
// self-contained HTML page (no outside resources) that speaks the WebSocket protocol
// like any client and adds no command. It answers plain HTTP requests on the
// WebSocket endpoint; the connection gate has already cut peers that are not on this
// machine.
#pragma once

#include <string>

#include "link/CvServerSocket.h"

// The page's text, built into the program from link/diagnostics.html, so that an
// install cannot lose it or pair it with another version of the service.
extern const char* const DIAGNOSTICS_PAGE_HTML;

class CvDiagnosticsPage {
 public:
  // port is the one the service listens on: the page is served only under the host
  // names of this machine with that port.
  explicit CvDiagnosticsPage(int port);

  // Sets the status, headers and body of one plain HTTP request's answer: the page for
  // GET "/", 404 for any other path, 405 for another method on "/", 403 for a Host
  // header that names another site (a page elsewhere whose name was pointed at this
  // machine must not read the installation id).
  void Answer(CvServerEndpoint::connection_ptr connection) const;

 private:
  bool IsOwnHost(const std::string& host) const;

  int port_;
};
