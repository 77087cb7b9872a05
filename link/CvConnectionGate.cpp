#include "link/CvConnectionGate.h"

#include <algorithm>
#include <cctype>
#include <fstream>

#include <sys/stat.h>

const char* const ORIGIN_LIST_RELATIVE_PATH = "db\\allowed-origins.txt";
const char* const SHIPPED_ORIGIN_LIST_NAME = "allowed-origins.txt";

namespace {

std::string trimmed(const std::string& text) {
  const char* space = " \t\r\n";
  size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// Browsers send origins in lower case without a trailing slash; a list written by
// hand may have either.
std::string normalizedOrigin(std::string origin) {
  origin = trimmed(origin);
  while (!origin.empty() && origin.back() == '/') origin.pop_back();
  std::transform(origin.begin(), origin.end(), origin.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return origin;
}

bool fileExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

bool CvConnectionGate::IsLoopback(const boost::asio::ip::address& address) {
  if (address.is_v4()) return address.to_v4().is_loopback();
  boost::asio::ip::address_v6 v6 = address.to_v6();
  if (v6.is_loopback()) return true;
  return v6.is_v4_mapped() &&
         boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6).is_loopback();
}

CvConnectionGate::CvConnectionGate(std::string originListPath, std::string shippedListPath,
                                   int port)
    : originListPath_(std::move(originListPath)),
      shippedListPath_(std::move(shippedListPath)),
      port_(port) {}

std::string CvConnectionGate::listInForce() const {
  if (fileExists(originListPath_)) return originListPath_;
  if (fileExists(shippedListPath_)) return shippedListPath_;
  return std::string();
}

bool CvConnectionGate::AllowsOrigin(const std::string& origin) const {
  if (origin.empty()) return true;
  const std::string listPath = listInForce();
  if (listPath.empty()) return true;
  const std::string wanted = normalizedOrigin(origin);
  // The service's own page is reached only from this machine, and a list written for
  // the web application should not lock it out.
  const std::string port = ":" + std::to_string(port_);
  for (const char* host : {"http://localhost", "http://127.0.0.1", "http://[::1]"}) {
    if (wanted == host + port) return true;
  }
  std::ifstream list(listPath);
  if (!list) return false;
  std::string line;
  while (std::getline(list, line)) {
    std::string entry = normalizedOrigin(line);
    if (entry.empty() || entry[0] == '#') continue;
    if (entry == wanted) return true;
  }
  return false;
}
