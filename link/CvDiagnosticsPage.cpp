#include "link/CvDiagnosticsPage.h"

#include <algorithm>
#include <cctype>

namespace {

// Inline script and style only, and WebSockets only to this service: the page can
// load nothing from elsewhere even if its text were changed by mistake.
std::string contentSecurityPolicy(int port) {
  std::string sockets;
  for (const char* host : {"localhost", "127.0.0.1", "[::1]"}) {
    sockets += std::string(" ws://") + host + ":" + std::to_string(port);
  }
  return "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
         "connect-src" + sockets + "; frame-ancestors 'none'";
}

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

CvDiagnosticsPage::CvDiagnosticsPage(int port) : port_(port) {}

bool CvDiagnosticsPage::IsOwnHost(const std::string& host) const {
  const std::string wanted = lowerCase(host);
  const std::string port = ":" + std::to_string(port_);
  for (const char* name : {"localhost", "127.0.0.1", "[::1]"}) {
    if (wanted == name + port) return true;
  }
  return false;
}

void CvDiagnosticsPage::Answer(CvServerEndpoint::connection_ptr connection) const {
  std::string path = connection->get_resource();
  path = path.substr(0, path.find('?'));
  connection->append_header("Content-Type", "text/plain; charset=utf-8");
  connection->append_header("Cache-Control", "no-store");
  if (path != "/") {
    connection->set_status(websocketpp::http::status_code::not_found);
    connection->set_body("Not found: this service serves its diagnostics page at /\n");
  } else if (connection->get_request().get_method() != "GET") {
    connection->set_status(websocketpp::http::status_code::method_not_allowed);
    connection->append_header("Allow", "GET");
    connection->set_body("Only GET is answered here\n");
  } else if (!IsOwnHost(connection->get_request_header("Host"))) {
    connection->set_status(websocketpp::http::status_code::forbidden);
    connection->set_body("Open this page as http://localhost:" + std::to_string(port_) + "/\n");
  } else {
    connection->set_status(websocketpp::http::status_code::ok);
    connection->replace_header("Content-Type", "text/html; charset=utf-8");
    connection->append_header("Content-Security-Policy", contentSecurityPolicy(port_));
    connection->append_header("X-Content-Type-Options", "nosniff");
    connection->set_body(DIAGNOSTICS_PAGE_HTML);
  }
}
